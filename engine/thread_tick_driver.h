#pragma once
// The keyer timer of the program: a dedicated thread that calls KeyerTick every period on
// absolute CLOCK_MONOTONIC deadlines, at real-time priority when the system grants it (directly
// or through a broker), with a 1 ns timer slack. A wake-up more than a tick late runs the ticks
// it missed at once (late, never early) and keeps to the absolute schedule. A killed timer's
// thread waits for the next timer, so a new tick length keeps the thread and its priority.
// Between the keyer's events the thread sleeps: it wakes for the next tick on which anything can
// happen, or when an input changes; the ticks slept through are accounted for as if they had run.
// A tick that changes the key line is woken a little early and waited for awake: as early as the
// thread's recent wake-ups have been late.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "engine/keyer_timer.h"
#include "engine/thread_priority.h"

namespace telkey {

// Figures of the timer threads, for benchmarks and diagnostics. Written by the timer thread with
// relaxed atomic adds, readable from any thread.
struct TickStats {
    static constexpr std::size_t kLatenessBuckets = 4096;  // 1 µs each; the last holds the rest

    std::atomic<std::uint64_t> ticks{0};       // ticks run
    std::atomic<std::uint64_t> sleptTicks{0};  // ticks slept through, accounted for
    std::atomic<std::uint64_t> wakeUps{0};
    std::atomic<std::int64_t> edgeLeadNs{0};     // the early wake now used before an edge
    std::atomic<std::uint64_t> missedTicks{0};   // deadlines more than a tick late
    std::atomic<std::uint64_t> skippedTicks{0};  // of these, ticks that never ran
    std::atomic<std::int64_t> maxLatenessNs{0};
    std::atomic<std::int64_t> totalLatenessNs{0};
    std::array<std::atomic<std::uint32_t>, kLatenessBuckets> latenessUs{};  // wake-up lateness

    void Reset() noexcept;
    // Lateness in µs below which the given fraction (0..1) of wake-ups fall.
    double LatenessPercentileUs(double fraction) const noexcept;
};

// Told by the timer thread after every wake-up, and when the thread ends; both run on the
// keyer's thread, so they must not block or allocate.
class TickHeartbeat {
  public:
    // True while a line is on: the thread then beats again within TickHeartbeat::kBeatNs
    // however long the keyer could sleep.
    virtual bool Beat(std::int64_t nowNs) noexcept = 0;
    virtual void Rest() noexcept = 0;

    static constexpr std::int64_t kBeatNs = 100'000'000;

  protected:
    ~TickHeartbeat() = default;
};

// How early a tick that changes the key line is woken: a high percentile of the lateness of the
// thread's recent timed wake-ups, with a margin, within a floor and a ceiling. A real-time thread
// on a quiet machine then waits a few tens of microseconds awake; an ordinary one on a loaded
// machine wakes early enough to catch its edge.
class EdgeLead {
  public:
    static constexpr std::size_t kWindow = 256;
    static constexpr std::int64_t kFloorNs = 20'000;
    static constexpr std::int64_t kMarginNs = 10'000;
    static constexpr std::int64_t kCeilingNs = 2'000'000;

    // Waiting awake costs more CPU than the edge gains on a laptop (measured: at 300 letters per
    // minute the 99th percentile doubles the keyer's CPU for edges 20 times more exact, both far
    // better than a ham can hear; even the median, with real-time priority at 100 letters per
    // minute, took more CPU than libcw for no better edges), so by default a tick is not woken
    // early.
    static constexpr int kDefaultPercentile = 0;

    // percentile 0: no early wake at all, the edge is as late as the wake-up.
    EdgeLead(std::int64_t periodNs, int percentile) noexcept;
    std::int64_t Ns() const noexcept { return leadNs_; }
    // A timed wake-up came `lateNs` after the time asked for.
    void Note(std::int64_t lateNs) noexcept;

  private:
    int percentile_;
    std::int64_t ceilingNs_;
    std::int64_t leadNs_;
    std::array<std::int64_t, kWindow> late_{};
    std::size_t count_ = 0;
};

// What a wake-up more than a tick late does with the ticks it missed.
enum class MissedTicks {
    CatchUp,  // run them at once, late but never early, and keep to the absolute schedule
    Skip,     // drop them: the current element grows and the rest of the text shifts
};

// The absolute schedule of a periodic timer: on each wake-up, how many ticks are due.
class TickSchedule {
  public:
    // A stall longer than this many ticks (a suspended machine, a debugger) is not caught up:
    // a burst of that many ticks would key garbage.
    static constexpr std::int64_t kMaxCatchUpTicks = 50;

    struct Due {
        std::int64_t run = 0;      // ticks to run now, back to back
        std::int64_t missed = 0;   // of the deadlines passed, those beyond the first
        std::int64_t skipped = 0;  // of these, ticks that are dropped
        std::int64_t lateNs = 0;   // how late the first of them is
    };

    TickSchedule(std::int64_t firstDeadlineNs, std::int64_t periodNs, MissedTicks policy) noexcept
        : deadline_(firstDeadlineNs), period_(periodNs), policy_(policy) {}

    std::int64_t Deadline() const noexcept { return deadline_; }
    // Ticks slept through: the deadline moves on by as many periods.
    void Pass(std::int64_t ticks) noexcept { deadline_ += ticks * period_; }
    // Woken at `nowNs`, at or after Deadline(): the ticks due, and Deadline() moves on to the
    // first deadline still ahead, on the absolute grid.
    Due Wake(std::int64_t nowNs) noexcept;

  private:
    std::int64_t deadline_;
    std::int64_t period_;
    MissedTicks policy_;
};

class ThreadTickDriver : public TickDriver {
  public:
    // Priority asked for the timer thread when real-time scheduling is allowed.
    static constexpr int kRealtimePriority = 80;
    // How long a broker that refused or did not answer is left alone. RealtimeKit grants a user
    // 25 requests in 20 s.
    static constexpr std::int64_t kBrokerRetryNs = 20'000'000'000;

    ThreadTickDriver();
    ~ThreadTickDriver() override;
    ThreadTickDriver(const ThreadTickDriver&) = delete;
    ThreadTickDriver& operator=(const ThreadTickDriver&) = delete;

    // clock_getres of CLOCK_MONOTONIC rounded up to whole ms (at least 1); -1 when it fails.
    int SmallestPeriodMs() override;
    // Nothing to ask for on Linux: high-resolution timers are always on.
    bool BeginResolution() override { return true; }
    // The keyer is done with timers: the thread kept for the next one ends.
    void EndResolution() override;
    // Runs the timer at once, on the thread a killed timer left when there is one. A thread
    // without real-time priority gets SCHED_FIFO directly when allowed; else the broker is asked
    // on a thread of the driver's while the keyer ticks, and after a refusal or no answer it is
    // not asked again for kBrokerRetryNs.
    std::uint32_t Start(int periodMs, Keyer& keyer) override;
    // Stops the timer; waits at most one period. After it returns no tick runs. Its thread is
    // kept for the next Start until EndResolution or the driver's end.
    void Kill(std::uint32_t timerId) override;

    // Whether timers started from now on ask for real-time priority (on by default).
    void SetWantRealtime(bool want) noexcept { wantRealtime_ = want; }
    // Whom timers started from now on tell of their ticks (null: nobody).
    void SetHeartbeat(TickHeartbeat* heartbeat) noexcept { heartbeat_ = heartbeat; }
    // Asked for real-time priority when SCHED_FIFO is refused; null: none. It must outlive the
    // driver.
    void SetRealtimeBroker(RealtimeBroker* broker) noexcept { broker_ = broker; }
    // Told the scheduling of every timer thread started once it is settled, on the thread that
    // starts timers: at Start, or at TakeBrokerAnswer when the broker was asked.
    void SetSchedulingObserver(std::function<void(const ThreadScheduling&)> observer) {
        observer_ = std::move(observer);
    }
    // Called on the driver's own thread as soon as the broker has answered, so that the thread
    // that starts timers can call TakeBrokerAnswer then rather than look now and then. Set it
    // before the first Start.
    void SetBrokerAnswered(std::function<void()> told) { brokerAnswered_ = std::move(told); }
    // Takes the broker's answer when it has come (true), and tells the observer. Call it on the
    // thread that starts timers; Start calls it too.
    bool TakeBrokerAnswer();
    // A request is out and its answer not taken.
    bool AwaitingBroker() const noexcept { return asking_; }
    void SetMissedTicks(MissedTicks policy) noexcept { missedTicks_ = policy; }
    // For tests: run on the timer thread of timers started from now on right after each wait,
    // before the thread looks at what woke it.
    struct AfterWait {
        void (*run)(void*) = nullptr;
        void* context = nullptr;
    };
    void SetAfterWait(AfterWait hook) noexcept { afterWait_ = hook; }
    // For timers started from now on: which percentile of the recent wake-up lateness a tick
    // that changes the key line is woken early by (0: not at all).
    void SetEdgeLeadPercentile(int percentile) noexcept { edgeLeadPercentile_ = percentile; }

    // 1 when the last started thread runs at real-time priority, 0 when refused or not asked
    // for, -1 before a thread has started.
    int RealtimeGranted() const noexcept { return realtime_.load(std::memory_order_acquire); }
    // Scheduling of the last started timer's thread.
    ThreadScheduling Scheduling() const noexcept { return scheduling_; }
    // Thread id of the thread that runs the last started timer; 0 when no timer runs.
    pid_t ThreadId() const noexcept;
    TickStats& Stats() noexcept { return *stats_; }
    const TickStats& Stats() const noexcept { return *stats_; }

  private:
    struct Timer;
    static void Run(Timer& timer, TickStats& stats) noexcept;
    static void Tick(Timer& timer, TickStats& stats) noexcept;
    static void End(std::unique_ptr<Timer> timer);
    // The scheduling of a timer's thread; false when the broker's answer is awaited.
    bool Settle(Timer& timer);
    // True when a request for `tid` is on its way to the broker.
    bool AskBroker(pid_t tid);

    bool wantRealtime_ = true;
    TickHeartbeat* heartbeat_ = nullptr;
    RealtimeBroker* broker_ = nullptr;
    std::function<void(const ThreadScheduling&)> observer_;
    std::function<void()> brokerAnswered_;
    MissedTicks missedTicks_ = MissedTicks::CatchUp;
    int edgeLeadPercentile_ = EdgeLead::kDefaultPercentile;
    AfterWait afterWait_;
    ThreadScheduling scheduling_;

    std::unique_ptr<TickStats> stats_;
    std::atomic<int> realtime_{-1};
    std::vector<std::unique_ptr<Timer>> timers_;
    std::unique_ptr<Timer> parked_;  // a killed timer's thread, waiting for the next timer
    std::uint32_t nextId_ = 1;

    enum BrokerAnswer : int { kNoAnswer, kGranted, kRefused };
    std::thread asker_;                         // asks the broker, one request at a time
    std::atomic<int> brokerAnswer_{kNoAnswer};  // written by asker_ when it is done
    bool asking_ = false;                       // a request is out and its answer not taken
    pid_t askedTid_ = 0;
    std::int64_t askAgainNs_ = 0;  // CLOCK_MONOTONIC before which the broker is not asked
};

// Touches the next part of the stack so that the loop never takes a page fault on it.
void PrefaultStack() noexcept;

}  // namespace telkey
