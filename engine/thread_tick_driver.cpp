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
// Before the thread has seen its own wake-ups, a tick that changes the key line is woken a fifth
// of a period early, at most this much.
constexpr std::int64_t kFirstEdgeLeadMaxNs = kNsPerMs;
constexpr std::int64_t kFirstEdgeLeadPeriodDivisor = 5;
// The lead is worked out again after this many wake-ups.
constexpr std::size_t kEdgeLeadUpdateEvery = 32;

std::int64_t ToNs(const timespec& t) noexcept {
    return static_cast<std::int64_t>(t.tv_sec) * kNsPerSec + t.tv_nsec;
}

std::int64_t MonotonicNs() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return ToNs(now);
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
    int edgeLeadPercentile = EdgeLead::kDefaultPercentile;
    ThreadTickDriver::AfterWait afterWait;
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

EdgeLead::EdgeLead(std::int64_t periodNs, int percentile) noexcept
    : percentile_(std::clamp(percentile, 0, 100)),
      ceilingNs_(std::max(kFloorNs, std::min(kCeilingNs, periodNs / 2))),
      leadNs_(percentile_ == 0 ? 0
                               : std::clamp(std::min(kFirstEdgeLeadMaxNs,
                                                     periodNs / kFirstEdgeLeadPeriodDivisor),
                                            kFloorNs, ceilingNs_)) {}

void EdgeLead::Note(std::int64_t lateNs) noexcept {
    late_[count_ % kWindow] = lateNs;
    ++count_;
    if (percentile_ == 0 || count_ % kEdgeLeadUpdateEvery != 0) return;
    const std::size_t n = std::min(count_, kWindow);
    std::array<std::int64_t, kWindow> sorted = late_;
    const std::size_t at = std::min(n - 1, n * static_cast<std::size_t>(percentile_) / 100);
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(at),
                     sorted.begin() + static_cast<std::ptrdiff_t>(n));
    leadNs_ = std::clamp(sorted[at] + kMarginNs, kFloorNs, ceilingNs_);
}

void TickStats::Reset() noexcept {
    ticks.store(0, std::memory_order_relaxed);
    sleptTicks.store(0, std::memory_order_relaxed);
    wakeUps.store(0, std::memory_order_relaxed);
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
    timer->edgeLeadPercentile = edgeLeadPercentile_;
    timer->afterWait = afterWait_;
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
    timer->keyer->Wake();  // out of its sleep
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
    Keyer& keyer = *timer.keyer;
    WakeWord& wake = keyer.WakeSignal();
    const std::int64_t period = timer.periodNs;
    TickSchedule schedule(MonotonicNs() + period, period, timer.missedTicks);
    EdgeLead lead(period, timer.edgeLeadPercentile);
    std::int64_t quiet = 0;  // ticks from the next deadline on that may be slept through
    bool edgeAfter = false;  // the tick after them changes the key line
    bool watched = true;     // a line may be on: beat again within kBeatNs
    std::int64_t beatNs = MonotonicNs();
    std::uint32_t seen = wake.Seen();
    while (!timer.stop.load(std::memory_order_acquire)) {
        const std::int64_t tickAt = schedule.Deadline() + quiet * period;
        const std::int64_t edgeWakeAt = tickAt - lead.Ns();
        std::int64_t wakeAt = edgeAfter ? edgeWakeAt : tickAt;
        if (watched) wakeAt = std::min(wakeAt, beatNs + TickHeartbeat::kBeatNs);
        keyer.NoteSleep(schedule.Deadline(), period, quiet);
        const std::int64_t sleptFrom = MonotonicNs();
        const bool timed = !wake.WaitUntil(seen, wakeAt);
        if (timer.afterWait.run != nullptr) timer.afterWait.run(timer.afterWait.context);
        // A wake that came after the wait ended is read here: it counts as having woken it.
        const std::uint32_t seenNow = wake.Seen();
        const bool woken = seenNow != seen;
        seen = seenNow;
        std::int64_t now = MonotonicNs();
        const bool stopping = timer.stop.load(std::memory_order_acquire);
        stats.wakeUps.fetch_add(1, std::memory_order_relaxed);
        if (timed && !woken && !stopping && wakeAt > sleptFrom) {
            lead.Note(now - wakeAt);
            if (edgeAfter && wakeAt == edgeWakeAt) {
                while ((now = MonotonicNs()) < tickAt) {
                }
            }
        }
        // Deadlines passed while asleep: the quiet ones are accounted for, the rest run.
        const std::int64_t passed =
            now < schedule.Deadline() ? 0 : (now - schedule.Deadline()) / period + 1;
        if (const std::int64_t slept = std::min(passed, quiet); slept > 0) {
            keyer.SkipTicks(slept);
            schedule.Pass(slept);
            quiet -= slept;
            stats.sleptTicks.fetch_add(static_cast<std::uint64_t>(slept),
                                       std::memory_order_relaxed);
        }
        // Awake from here; the ticks slept through are counted already.
        keyer.NoteSleep(0, 0, 0);
        if (stopping) break;  // the ticks slept through still count
        if (woken) {
            // An input changed: the plan again from here.
            const Keyer::Quiet span = keyer.Replan();
            quiet = span.ticks;
            edgeAfter = span.edgeAfter;
        }
        if (quiet == 0 && now >= schedule.Deadline()) {
            const TickSchedule::Due due = schedule.Wake(now);
            // Ticks dropped: the element on the air was stretched past repair.
            if (due.skipped > 0) keyer.NoteStall();
            for (std::int64_t i = 0; i < due.run && !timer.stop.load(std::memory_order_acquire);
                 ++i) {
                keyer.KeyerTick();
                stats.ticks.fetch_add(1, std::memory_order_relaxed);
            }
            const Keyer::Quiet span = keyer.PlanSleep();
            quiet = span.ticks;
            edgeAfter = span.edgeAfter;
            const auto bucket =
                std::min<std::int64_t>(due.lateNs / kNsPerUs, TickStats::kLatenessBuckets - 1);
            stats.latenessUs[static_cast<std::size_t>(bucket)].fetch_add(1,
                                                                         std::memory_order_relaxed);
            stats.totalLatenessNs.fetch_add(due.lateNs, std::memory_order_relaxed);
            if (due.lateNs > stats.maxLatenessNs.load(std::memory_order_relaxed)) {
                stats.maxLatenessNs.store(due.lateNs, std::memory_order_relaxed);
            }
            stats.missedTicks.fetch_add(static_cast<std::uint64_t>(due.missed),
                                        std::memory_order_relaxed);
            stats.skippedTicks.fetch_add(static_cast<std::uint64_t>(due.skipped),
                                         std::memory_order_relaxed);
        }
        stats.edgeLeadNs.store(lead.Ns(), std::memory_order_relaxed);
        watched = timer.heartbeat != nullptr && timer.heartbeat->Beat(now);
        beatNs = now;
    }
}

}  // namespace telkey
