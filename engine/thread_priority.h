#pragma once
// The scheduling of the keyer thread: real-time priority by the best means the system offers
// (SCHED_FIFO directly, else a broker such as RealtimeKit, else the lowest nice value allowed),
// and the text that tells the operator what the keyer got.
#include <sys/types.h>

#include <cstdint>
#include <string>

namespace telkey {

enum class SchedulingKind {
    NotAsked,     // real-time priority was not asked for: an ordinary thread
    Realtime,     // SCHED_FIFO set directly (root, CAP_SYS_NICE or an rtprio limit)
    RealtimeKit,  // real-time priority granted by the broker
    Ordinary,     // refused everywhere: an ordinary thread at the lowest nice value allowed
};

struct ThreadScheduling {
    SchedulingKind kind = SchedulingKind::NotAsked;
    int policy = 0;    // SCHED_OTHER, SCHED_FIFO or SCHED_RR as the kernel reports it
    int priority = 0;  // real-time priority; 0 for an ordinary thread
    int nice = 0;      // nice value of an ordinary thread

    bool IsRealtime() const noexcept {
        return kind == SchedulingKind::Realtime || kind == SchedulingKind::RealtimeKit;
    }
};

// A service that makes a thread of this process real-time for an unprivileged user
// (RealtimeKit on the system bus). The engine only knows this interface. Every call must end
// within a short bound whatever the service does (it may never answer): the keyer driver asks
// on a thread of its own and waits for that thread when it ends.
class RealtimeBroker {
  public:
    struct Limits {
        int maxPriority = 0;        // highest real-time priority it grants
        std::int64_t rttimeUs = 0;  // largest RLIMIT_RTTIME it accepts, in µs
    };

    virtual ~RealtimeBroker() = default;
    // False when the service cannot be reached.
    virtual bool QueryLimits(Limits& limits) = 0;
    // Asks for real-time priority `priority` for the thread `tid` of this process.
    virtual bool MakeThreadRealtime(std::uint64_t tid, std::uint32_t priority) = 0;
};

// Sets the calling thread's timer slack to 1 ns; needs no privilege.
void SetFineTimerSlack() noexcept;

// Raises the thread `tid` of this process to real-time priority `priority` (capped by what is
// allowed): SCHED_FIFO directly, else through `broker` (may be null) after lowering
// RLIMIT_RTTIME to what the broker requires, else to the lowest nice value allowed. Waits for
// the broker's answer.
ThreadScheduling RaiseThreadPriority(pid_t tid, int priority, RealtimeBroker* broker) noexcept;

// The steps of RaiseThreadPriority, for a caller that must not wait for the broker.
// SCHED_FIFO set directly; a syscall, never waits.
bool RaiseDirectly(pid_t tid, int priority) noexcept;
// Real-time priority from the broker; true when the kernel then runs the thread real-time.
bool RaiseThroughBroker(pid_t tid, int priority, RealtimeBroker& broker) noexcept;
void LowestNiceAllowed(pid_t tid) noexcept;
// Whether the kernel runs the thread `tid` at a real-time policy, however it got it.
bool RunsRealtime(pid_t tid) noexcept;

// The scheduling the thread `tid` has now, as the kernel reports it, with the given kind.
ThreadScheduling CurrentScheduling(pid_t tid, SchedulingKind kind) noexcept;

// One line for the operator; when the keyer got no real-time priority, how to get it.
std::string DescribeScheduling(const ThreadScheduling& scheduling);

}  // namespace telkey
