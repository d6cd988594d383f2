#pragma once
// One open Hamlib handle and the calls the link makes on it. Used by the rig thread alone.
#include <hamlib/rig.h>

#include <string>

#include "rig/rig_link.h"

namespace telkey::rig {

struct HamlibAnswer {
    RigOutcome outcome = RigOutcome::Ok;
    bool connectionLost = false;  // the handle must be closed and opened again
    int value = 0;
    std::string detail;  // Hamlib's own words for an error, or the rig's description
};

class HamlibSession {
  public:
    HamlibSession(const RigTarget& target, const RigTimings& timings);
    ~HamlibSession();
    HamlibSession(const HamlibSession&) = delete;
    HamlibSession& operator=(const HamlibSession&) = delete;

    // Opens the rig; on success detail names it.
    HamlibAnswer Open();
    bool IsOpen() const { return open_; }
    void Close();
    HamlibAnswer Call(const RigRequest& request);

  private:
    HamlibAnswer Answer(int code) const;

    const RigTarget& target_;
    const RigTimings& timings_;
    RIG* rig_ = nullptr;
    bool open_ = false;
};

}  // namespace telkey::rig
