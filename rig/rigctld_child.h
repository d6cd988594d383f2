#pragma once
// rigctld started by Telkey for a rig on a serial port, listening on a loopback port Telkey chose.
// A small keeper process sits between: when Telkey is gone (or lets go), it switches the rig's PTT
// off and stops its keyer through rigctld, then ends rigctld; rigctld ends with the keeper.
// For the rig thread alone: starting may block up to its bound.
#include <sys/types.h>

#include <chrono>
#include <string>

#include "engine/unique_fd.h"

namespace telkey::rig {

struct RigTarget;

inline constexpr char kRigctldMissing[] =
    "rigctld not found: install libhamlib-utils (Hamlib's rigctld) for rig control";

class RigctldChild {
  public:
    explicit RigctldChild(const RigTarget& target) : target_(target) {}
    // Lets go: the keeper switches PTT off and ends rigctld; waits for it a bounded time.
    ~RigctldChild();
    RigctldChild(const RigctldChild&) = delete;
    RigctldChild& operator=(const RigctldChild&) = delete;

    // Starts rigctld unless it runs, and waits up to `bound` until it accepts. False with `error`
    // in words (and `missing` set when rigctld is not installed) when it does not.
    bool Ensure(std::chrono::milliseconds bound, std::string& error, bool& missing);
    // The loopback port rigctld listens on; 0 when none runs.
    int Port() const { return keeper_ > 0 ? port_ : 0; }
    // The keeper's process id, -1 when none runs.
    pid_t Keeper() const { return keeper_; }

  private:
    bool Spawn(const std::string& path, std::string& error);
    // Reaps an ended keeper: false when it ended, with what rigctld said in `error`.
    bool Alive(std::string& error);
    void Stop();

    const RigTarget& target_;
    pid_t keeper_ = -1;
    int port_ = 0;
    UniqueFd control_;    // the keeper's lifeline: closed, and it ends
    UniqueFd errors_;     // what rigctld writes on its standard error
    std::string said_;    // the last of it
    bool quiet_ = false;  // it ended without a word
};

}  // namespace telkey::rig
