#pragma once
// A link to one rig through rigctld: one on the network, or Telkey's own for a rig on a serial
// port. Exchanges block, so a rig thread of the link owns the connection and runs the queued
// requests in order; every
// request carries a time bound, and a watch thread answers it as failed when the bound passes
// while the rig thread is still stuck. A lost connection is reopened in the background, with a
// back-off. No call of this class blocks its caller.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rig/rig_ticket.h"

namespace telkey::rig {

class RigctldSession;

inline constexpr int kRigctldDefaultPort = 4532;
inline constexpr char kRigctldDefaultHost[] = "localhost";

struct RigTarget {
    enum class Kind { Rigctld, Serial };
    Kind kind = Kind::Rigctld;
    std::string host = kRigctldDefaultHost;  // Rigctld
    int port = kRigctldDefaultPort;          // Rigctld
    int model = 0;                           // Serial: Hamlib's model number, for rigctld
    std::string device;                      // Serial: the port, e.g. /dev/ttyUSB0
    int baud = 0;                            // Serial: 0 keeps the model's default speed

    // "rigctld at localhost:4532", "rig model 3073 on /dev/ttyUSB0"
    std::string Describe() const;
};

struct RigTimings {
    // The bound on one exchange with rigctld: a request and its whole answer.
    std::chrono::milliseconds answerTimeout{400};
    // A rigctld Telkey starts for a serial rig is waited for this long to listen.
    std::chrono::milliseconds childStartBound{3000};
    // The caller's bound: PTT is asked for often and waited on; the rest may take longer.
    std::chrono::milliseconds pttBound{500};
    std::chrono::milliseconds commandBound{1000};
    std::chrono::milliseconds identifyBound{3000};
    // Reconnecting after a failure: first wait, doubled up to the last.
    std::chrono::milliseconds backoffFirst{250};
    std::chrono::milliseconds backoffMax{4000};
};

enum class RigHealth { Connecting, Connected, Refused, NotAnswering, Closed };

struct RigStatus {
    RigHealth health = RigHealth::Connecting;
    // "connected: <model>", or what is wrong and what to do.
    std::string words;
    // The last request that failed, in words; empty when none has.
    std::string lastFailure;
    // Counts changes, so a poller sees one it missed.
    std::uint64_t serial = 0;
    // The loopback port of the rigctld Telkey started for a serial rig; 0 when none.
    int childPort = 0;
};

class RigLink {
  public:
    using StatusCallback = std::function<void(const RigStatus&)>;

    // Starts connecting in the background. onStatus runs on the link's threads at each change.
    explicit RigLink(RigTarget target, RigTimings timings = {}, StatusCallback onStatus = {});
    // Switches PTT off if the link switched it on, closes the rig and ends the threads; waits at
    // most for an exchange under way (its timeout) and a rigctld of its own to end.
    ~RigLink();
    RigLink(const RigLink&) = delete;
    RigLink& operator=(const RigLink&) = delete;

    // Queues a request; the ticket is answered by its bound at the latest.
    RigTicketPtr Submit(RigRequest request, RigTicket::Callback done = {});
    RigTicketPtr SetPtt(bool on, RigTicket::Callback done = {});
    RigTicketPtr GetPtt(RigTicket::Callback done = {});
    RigTicketPtr SendMorse(std::string text, RigTicket::Callback done = {});
    RigTicketPtr StopMorse(RigTicket::Callback done = {});
    RigTicketPtr SetKeySpeed(int wpm, RigTicket::Callback done = {});
    RigTicketPtr Identify(RigTicket::Callback done = {});

    RigStatus Status() const;
    const RigTarget& Target() const { return target_; }

  private:
    void RigThread();
    void WatchThread();
    std::chrono::milliseconds BoundFor(const RigRequest& request) const;
    void Run(RigctldSession& session, const RigTicketPtr& ticket);
    void SetStatus(RigHealth health, std::string words, int childPort = -1);
    void NoteFailure(std::string words);
    void FailQueued(RigOutcome outcome, const std::string& why);

    const RigTarget target_;
    const RigTimings timings_;
    const StatusCallback onStatus_;

    mutable std::mutex mutex_;
    std::condition_variable queued_;   // the rig thread waits for requests or the stop
    std::condition_variable watched_;  // the watch thread waits for the next deadline
    bool stopping_ = false;
    std::deque<RigTicketPtr> queue_;
    std::vector<RigTicketPtr> unanswered_;
    RigStatus status_;

    // The rig thread's own: whether it switched PTT on, and how the rig named itself.
    bool pttOn_ = false;
    std::string connectedWords_;

    std::thread rigThread_;
    std::thread watchThread_;
};

}  // namespace telkey::rig
