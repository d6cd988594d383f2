#pragma once
// One connection to rigctld and the calls the link makes on it, in rigctld's own text protocol.
// For a rig on a serial port the session starts Telkey's own rigctld first. Used by the rig
// thread alone; every exchange is bounded by the link's answer timeout.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "engine/unique_fd.h"
#include "rig/rig_link.h"
#include "rig/rigctld_reply.h"

namespace telkey::rig {

class RigctldChild;

class RigctldSession {
  public:
    RigctldSession(const RigTarget& target, const RigTimings& timings);
    ~RigctldSession();
    RigctldSession(const RigctldSession&) = delete;
    RigctldSession& operator=(const RigctldSession&) = delete;

    // Connects (starting rigctld for a serial rig); on success detail names the rig.
    RigAnswer Open();
    bool IsOpen() const { return fd_.Get() >= 0; }
    void Close();
    RigAnswer Call(const RigRequest& request);
    // The loopback port of the rigctld Telkey started; 0 when it started none.
    int ChildPort() const;

  private:
    // Sends "+<command>" and takes the answer whose header names `name`.
    RigAnswer Exchange(const std::string& command, const std::string& name,
                       std::vector<std::string>* values = nullptr);
    // One line of the answer within `deadline`; an answer in words when there is none.
    bool ReadLine(std::chrono::steady_clock::time_point deadline, std::string& line,
                  RigAnswer& failed);
    RigAnswer Lost(std::string why);
    RigAnswer Describe(RigAnswer answer);

    const RigTarget& target_;
    const RigTimings& timings_;
    std::unique_ptr<RigctldChild> child_;
    UniqueFd fd_;
    std::string buffer_;  // read and not yet taken
    std::string vfo_;     // " currVFO" when rigctld runs with --vfo
};

}  // namespace telkey::rig
