#include "engine/thread_tick_driver.h"

#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace telkey {
namespace {

constexpr std::int64_t kNsPerSec = 1'000'000'000;
constexpr std::int64_t kNsPerMs = 1'000'000;
constexpr std::int64_t kNsPerUs = 1'000;
constexpr std::size_t kStackPrefaultBytes = 64 * 1024;
// A tick that changes the key line is woken a fifth of a period early, at most this much, and
// waits out the rest awake: nearly all wake-ups are late by less, so the edge comes on time.
// Edges are rare at slow speeds, so the longer wait there costs little.
constexpr std::int64_t kEdgeLeadMaxNs = kNsPerMs;
constexpr std::int64_t kEdgeLeadPeriodDivisor = 5;

std::int64_t ToNs(const timespec& t) noexcept {
    return static_cast<std::int64_t>(t.tv_sec) * kNsPerSec + t.tv_nsec;
}

timespec ToTimespec(std::int64_t ns) noexcept {
    timespec t{};
    t.tv_sec = static_cast<time_t>(ns / kNsPerSec);
    t.tv_nsec = static_cast<long>(ns % kNsPerSec);
    return t;
}

std::int64_t MonotonicNs() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return ToNs(now);
}

void SleepUntil(std::int64_t ns) noexcept {
    const timespec wake = ToTimespec(ns);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
    }
}

}  // namespace

// One timer thread. The timer it runs (id, period, keyer, heartbeat, policy) is written by the
// owner while the thread waits for `go`, and read by the thread after it.
struct ThreadTickDriver::Timer {
    std::uint32_t id = 0;
    std::int64_t periodNs = 0;
    Keyer* keyer = nullptr;
    TickHeartbeat* heartbeat = nullptr;
    MissedTicks missedTicks = MissedTicks::CatchUp;
    ThreadScheduling scheduling;  // the owner's record of the thread's scheduling
    std::atomic<pid_t> tid{0};    // set by the thread as it starts
    std::atomic<bool> go{false};  // a timer is assigned and its scheduling settled
    std::atomic<bool> stop{false};
    std::atomic<bool> parked{false};  // the thread has stopped ticking and waits for `go`
    std::atomic<bool> quit{false};    // no further timer: the thread ends at `go`
    std::thread thread;
};

TickSchedule::Due TickSchedule::Wake(std::int64_t nowNs) noexcept {
    Due due;
    due.lateNs = std::max<std::int64_t>(0, nowNs - deadline_);
    due.missed = due.lateNs / period_;
    // Caught up, the missed ticks run now: every edge they write is late, none early, and the
    // rest of the text keeps its place.
    const bool catchUp = policy_ == MissedTicks::CatchUp && due.missed <= kMaxCatchUpTicks;
    due.run = catchUp ? due.missed + 1 : 1;
    due.skipped = catchUp ? 0 : due.missed;
    deadline_ += (due.missed + 1) * period_;
    return due;
}

void TickStats::Reset() noexcept {
    ticks.store(0, std::memory_order_relaxed);
    missedTicks.store(0, std::memory_order_relaxed);
    skippedTicks.store(0, std::memory_order_relaxed);
    maxLatenessNs.store(0, std::memory_order_relaxed);
    totalLatenessNs.store(0, std::memory_order_relaxed);
    for (auto& bucket : latenessUs) bucket.store(0, std::memory_order_relaxed);
}

double TickStats::LatenessPercentileUs(double fraction) const noexcept {
    std::uint64_t total = 0;
    for (const auto& bucket : latenessUs) total += bucket.load(std::memory_order_relaxed);
    if (total == 0) return 0.0;
    const auto wanted = static_cast<std::uint64_t>(fraction * static_cast<double>(total));
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < latenessUs.size(); ++i) {
        seen += latenessUs[i].load(std::memory_order_relaxed);
        if (seen > wanted) return static_cast<double>(i);
    }
    return static_cast<double>(latenessUs.size() - 1);
}

__attribute__((noinline)) void PrefaultStack() noexcept {
    volatile unsigned char block[kStackPrefaultBytes];
    for (std::size_t i = 0; i < sizeof block; i += 256) block[i] = 0;
}

ThreadTickDriver::ThreadTickDriver() : stats_(std::make_unique<TickStats>()) {}

ThreadTickDriver::~ThreadTickDriver() {
    while (!timers_.empty()) Kill(timers_.back()->id);
    EndResolution();
    if (asker_.joinable()) asker_.join();  // the broker bounds its calls
}

int ThreadTickDriver::SmallestPeriodMs() {
    timespec res{};
    if (clock_getres(CLOCK_MONOTONIC, &res) != 0) return -1;
    const std::int64_t ns = ToNs(res);
    return static_cast<int>(std::max<std::int64_t>(1, (ns + kNsPerMs - 1) / kNsPerMs));
}

std::uint32_t ThreadTickDriver::Start(int periodMs, Keyer& keyer) {
    if (periodMs < 1) return 0;
    TakeBrokerAnswer();  // while the thread it may be about is still kept
    std::unique_ptr<Timer> timer;
    // A thread raised to real-time priority is not kept for a timer that must not have it.
    if (parked_ && (wantRealtime_ || !parked_->scheduling.IsRealtime())) {
        timer = std::move(parked_);
    } else {
        EndResolution();
        timer = std::make_unique<Timer>();
        try {
            timer->thread =
                std::thread(&ThreadTickDriver::Run, std::ref(*timer), std::ref(*stats_));
        } catch (...) {
            return 0;  // no thread: "Timer not installed"
        }
        timer->tid.wait(0, std::memory_order_acquire);
    }
    timer->id = nextId_++;
    if (nextId_ == 0) nextId_ = 1;
    timer->periodNs = periodMs * kNsPerMs;
    timer->keyer = &keyer;
    timer->heartbeat = heartbeat_;
    timer->missedTicks = missedTicks_;
    timer->stop.store(false, std::memory_order_relaxed);
    timer->parked.store(false, std::memory_order_relaxed);
    // The keyer ticks at once: a key-down in progress must not wait for any priority request.
    timer->go.store(true, std::memory_order_release);
    timer->go.notify_one();
    const bool settled = Settle(*timer);
    scheduling_ = timer->scheduling;
    realtime_.store(scheduling_.IsRealtime() ? 1 : 0, std::memory_order_release);
    if (settled && observer_) observer_(scheduling_);
    const std::uint32_t id = timer->id;
    timers_.push_back(std::move(timer));
    return id;
}

bool ThreadTickDriver::Settle(Timer& timer) {
    const pid_t tid = timer.tid.load(std::memory_order_acquire);
    if (!wantRealtime_) {
        timer.scheduling = CurrentScheduling(tid, SchedulingKind::NotAsked);
        return true;
    }
    // A kept real-time thread asks nobody again; RealtimeKit demotes every thread it raised when
    // the system starves, and such a thread asks again.
    if (timer.scheduling.IsRealtime() && RunsRealtime(tid)) return true;
    if (RaiseDirectly(tid, kRealtimePriority)) {
        timer.scheduling = CurrentScheduling(tid, SchedulingKind::Realtime);
        return true;
    }
    LowestNiceAllowed(tid);
    timer.scheduling = CurrentScheduling(tid, SchedulingKind::Ordinary);
    return !AskBroker(tid);
}

bool ThreadTickDriver::AskBroker(pid_t tid) {
    if (broker_ == nullptr) return false;
    if (asking_) return askedTid_ == tid;
    if (MonotonicNs() < askAgainNs_) return false;
    if (asker_.joinable()) asker_.join();  // its answer was taken: it has ended or is ending
    try {
        asker_ = std::thread([this, tid, broker = broker_] {
            const bool granted = RaiseThroughBroker(tid, kRealtimePriority, *broker);
            brokerAnswer_.store(granted ? kGranted : kRefused, std::memory_order_release);
            if (brokerAnswered_) brokerAnswered_();
        });
    } catch (...) {
        askAgainNs_ = MonotonicNs() + kBrokerRetryNs;
        return false;
    }
    asking_ = true;
    askedTid_ = tid;
    return true;
}

bool ThreadTickDriver::TakeBrokerAnswer() {
    if (!asking_) return false;
    const int answer = brokerAnswer_.exchange(kNoAnswer, std::memory_order_acq_rel);
    if (answer == kNoAnswer) return false;
    asking_ = false;
    if (answer != kGranted) askAgainNs_ = MonotonicNs() + kBrokerRetryNs;
    const auto asked = [this](const std::unique_ptr<Timer>& t) {
        return t && t->tid.load(std::memory_order_acquire) == askedTid_;
    };
    Timer* timer = asked(parked_) ? parked_.get() : nullptr;
    for (const auto& t : timers_) {
        if (asked(t)) timer = t.get();
    }
    if (timer == nullptr) return true;  // that thread has ended
    timer->scheduling = CurrentScheduling(
        askedTid_, answer == kGranted ? SchedulingKind::RealtimeKit : SchedulingKind::Ordinary);
    if (timers_.empty() || timers_.back().get() == timer) {
        scheduling_ = timer->scheduling;
        realtime_.store(scheduling_.IsRealtime() ? 1 : 0, std::memory_order_release);
        if (observer_) observer_(scheduling_);
    }
    return true;
}

void ThreadTickDriver::Kill(std::uint32_t timerId) {
    auto it = std::find_if(timers_.begin(), timers_.end(),
                           [timerId](const auto& t) { return t->id == timerId; });
    if (it == timers_.end()) return;
    std::unique_ptr<Timer> timer = std::move(*it);
    timers_.erase(it);
    timer->stop.store(true, std::memory_order_release);
    timer->parked.wait(false, std::memory_order_acquire);
    EndResolution();  // only one thread is kept
    parked_ = std::move(timer);
}

void ThreadTickDriver::EndResolution() {
    if (parked_) End(std::move(parked_));
}

pid_t ThreadTickDriver::ThreadId() const noexcept {
    return timers_.empty() ? 0 : timers_.back()->tid.load(std::memory_order_acquire);
}

void ThreadTickDriver::End(std::unique_ptr<Timer> timer) {
    timer->quit.store(true, std::memory_order_release);
    timer->go.store(true, std::memory_order_release);
    timer->go.notify_one();
    if (timer->thread.joinable()) timer->thread.join();
}

void ThreadTickDriver::Run(Timer& timer, TickStats& stats) noexcept {
    SetFineTimerSlack();
    timer.tid.store(gettid(), std::memory_order_release);
    timer.tid.notify_one();
    while (true) {
        timer.go.wait(false, std::memory_order_acquire);
        if (timer.quit.load(std::memory_order_acquire)) break;
        PrefaultStack();
        Tick(timer, stats);
        if (timer.heartbeat != nullptr) timer.heartbeat->Rest();
        // `go` is cleared before the owner can see the thread parked and assign the next timer.
        timer.go.store(false, std::memory_order_relaxed);
        timer.parked.store(true, std::memory_order_release);
        timer.parked.notify_one();
    }
}

void ThreadTickDriver::Tick(Timer& timer, TickStats& stats) noexcept {
    TickSchedule schedule(MonotonicNs() + timer.periodNs, timer.periodNs, timer.missedTicks);
    const std::int64_t edgeLeadNs =
        std::min(kEdgeLeadMaxNs, timer.periodNs / kEdgeLeadPeriodDivisor);
    bool edgeDue = false;
    while (true) {
        const std::int64_t deadline = schedule.Deadline();
        if (edgeDue) {
            SleepUntil(deadline - edgeLeadNs);
            while (MonotonicNs() < deadline) {
            }
        } else {
            SleepUntil(deadline);
        }
        if (timer.stop.load(std::memory_order_acquire)) break;

        const std::int64_t now = MonotonicNs();
        const TickSchedule::Due due = schedule.Wake(now);
        for (std::int64_t i = 0; i < due.run && !timer.stop.load(std::memory_order_acquire); ++i) {
            timer.keyer->KeyerTick();
            stats.ticks.fetch_add(1, std::memory_order_relaxed);
        }
        edgeDue = timer.keyer->EdgeDueNextTick();
        if (timer.heartbeat != nullptr) timer.heartbeat->Beat(now);
        const auto bucket =
            std::min<std::int64_t>(due.lateNs / kNsPerUs, TickStats::kLatenessBuckets - 1);
        stats.latenessUs[static_cast<std::size_t>(bucket)].fetch_add(1, std::memory_order_relaxed);
        stats.totalLatenessNs.fetch_add(due.lateNs, std::memory_order_relaxed);
        if (due.lateNs > stats.maxLatenessNs.load(std::memory_order_relaxed)) {
            stats.maxLatenessNs.store(due.lateNs, std::memory_order_relaxed);
        }
        stats.missedTicks.fetch_add(static_cast<std::uint64_t>(due.missed),
                                    std::memory_order_relaxed);
        stats.skippedTicks.fetch_add(static_cast<std::uint64_t>(due.skipped),
                                     std::memory_order_relaxed);
    }
}

}  // namespace telkey
