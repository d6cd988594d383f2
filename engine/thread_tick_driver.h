#pragma once
// The keyer timer of the program: a dedicated thread that calls KeyerTick every period on
// absolute CLOCK_MONOTONIC deadlines, at real-time priority (SCHED_FIFO) when the system grants
// it, with a 1 ns timer slack. A late wake-up runs one tick and skips to the next deadline that
// is still ahead; it never fires a burst of catch-up ticks.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/keyer_timer.h"

namespace telkey {

// Figures of the timer threads, for benchmarks and diagnostics. Written by the timer thread with
// relaxed atomic adds, readable from any thread.
struct TickStats {
    static constexpr std::size_t kLatenessBuckets = 4096;  // 1 µs each; the last holds the rest

    std::atomic<std::uint64_t> ticks{0};
    std::atomic<std::uint64_t> missedTicks{0};  // deadlines skipped after a late wake-up
    std::atomic<std::int64_t> maxLatenessNs{0};
    std::atomic<std::int64_t> totalLatenessNs{0};
    std::array<std::atomic<std::uint32_t>, kLatenessBuckets> latenessUs{};  // wake-up lateness

    void Reset() noexcept;
    // Lateness in µs below which the given fraction (0..1) of wake-ups fall.
    double LatenessPercentileUs(double fraction) const noexcept;
};

// Told by the timer thread after every tick, and when the thread ends; both run on the keyer's
// thread, so they must not block or allocate.
class TickHeartbeat {
  public:
    virtual void Beat(std::int64_t nowNs) noexcept = 0;
    virtual void Rest() noexcept = 0;

  protected:
    ~TickHeartbeat() = default;
};

class ThreadTickDriver : public TickDriver {
  public:
    // Priority asked for the timer thread when real-time scheduling is allowed.
    static constexpr int kRealtimePriority = 80;

    ThreadTickDriver();
    ~ThreadTickDriver() override;
    ThreadTickDriver(const ThreadTickDriver&) = delete;
    ThreadTickDriver& operator=(const ThreadTickDriver&) = delete;

    // clock_getres of CLOCK_MONOTONIC rounded up to whole ms (at least 1); -1 when it fails.
    int SmallestPeriodMs() override;
    // Nothing to ask for on Linux: high-resolution timers are always on.
    bool BeginResolution() override { return true; }
    void EndResolution() override {}
    std::uint32_t Start(int periodMs, Keyer& keyer) override;
    // Stops and joins the thread; waits at most one period. After it returns no tick runs.
    void Kill(std::uint32_t timerId) override;

    // Whether timers started from now on ask for real-time priority (on by default).
    void SetWantRealtime(bool want) noexcept { wantRealtime_ = want; }
    // Whom timers started from now on tell of their ticks (null: nobody).
    void SetHeartbeat(TickHeartbeat* heartbeat) noexcept { heartbeat_ = heartbeat; }
    // 1 when the last started thread runs with SCHED_FIFO, 0 when refused or not asked for,
    // -1 before it knows.
    int RealtimeGranted() const noexcept { return realtime_.load(std::memory_order_acquire); }
    TickStats& Stats() noexcept { return *stats_; }
    const TickStats& Stats() const noexcept { return *stats_; }

  private:
    struct Timer;
    static void Run(Timer& timer, TickStats& stats, std::atomic<int>& realtime) noexcept;

    bool wantRealtime_ = true;
    TickHeartbeat* heartbeat_ = nullptr;

    std::unique_ptr<TickStats> stats_;
    std::atomic<int> realtime_{-1};
    std::vector<std::unique_ptr<Timer>> timers_;
    std::uint32_t nextId_ = 1;
};

// Sets the calling thread's timer slack to 1 ns and, when `priority` is above 0, puts it in
// real-time scheduling (SCHED_FIFO at `priority`, or the highest RLIMIT_RTPRIO allows).
// Returns whether SCHED_FIFO was granted.
bool MakeThreadRealtime(int priority) noexcept;

// Touches the next part of the stack so that the loop never takes a page fault on it.
void PrefaultStack() noexcept;

}  // namespace telkey
