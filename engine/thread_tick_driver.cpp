#include "engine/thread_tick_driver.h"

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace telkey {
namespace {

constexpr std::int64_t kNsPerSec = 1'000'000'000;
constexpr std::int64_t kNsPerMs = 1'000'000;
constexpr std::int64_t kNsPerUs = 1'000;
constexpr unsigned long kTimerSlackNs = 1;
constexpr std::size_t kStackPrefaultBytes = 64 * 1024;

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

}  // namespace

struct ThreadTickDriver::Timer {
    std::uint32_t id = 0;
    std::int64_t periodNs = 0;
    Keyer* keyer = nullptr;
    int priority = 0;
    TickHeartbeat* heartbeat = nullptr;
    std::atomic<bool> stop{false};
    std::thread thread;
};

void TickStats::Reset() noexcept {
    ticks.store(0, std::memory_order_relaxed);
    missedTicks.store(0, std::memory_order_relaxed);
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

bool MakeThreadRealtime(int priority) noexcept {
    prctl(PR_SET_TIMERSLACK, kTimerSlackNs, 0, 0, 0);
    if (priority <= 0) return false;
    sched_param param{};
    param.sched_priority = priority;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) return true;
    // An unprivileged user may still be allowed a lower real-time priority.
    rlimit limit{};
    if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur > 0) {
        param.sched_priority =
            static_cast<int>(std::min<rlim_t>(limit.rlim_cur, static_cast<rlim_t>(priority)));
        if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) return true;
    }
    return false;
}

__attribute__((noinline)) void PrefaultStack() noexcept {
    volatile unsigned char block[kStackPrefaultBytes];
    for (std::size_t i = 0; i < sizeof block; i += 256) block[i] = 0;
}

ThreadTickDriver::ThreadTickDriver() : stats_(std::make_unique<TickStats>()) {}

ThreadTickDriver::~ThreadTickDriver() {
    while (!timers_.empty()) Kill(timers_.back()->id);
}

int ThreadTickDriver::SmallestPeriodMs() {
    timespec res{};
    if (clock_getres(CLOCK_MONOTONIC, &res) != 0) return -1;
    const std::int64_t ns = ToNs(res);
    return static_cast<int>(std::max<std::int64_t>(1, (ns + kNsPerMs - 1) / kNsPerMs));
}

std::uint32_t ThreadTickDriver::Start(int periodMs, Keyer& keyer) {
    if (periodMs < 1) return 0;
    auto timer = std::make_unique<Timer>();
    timer->id = nextId_++;
    if (nextId_ == 0) nextId_ = 1;
    timer->periodNs = periodMs * kNsPerMs;
    timer->keyer = &keyer;
    timer->priority = wantRealtime_ ? kRealtimePriority : 0;
    timer->heartbeat = heartbeat_;
    try {
        timer->thread = std::thread(&ThreadTickDriver::Run, std::ref(*timer), std::ref(*stats_),
                                    std::ref(realtime_));
    } catch (...) {
        return 0;  // no thread: "Timer not installed"
    }
    const std::uint32_t id = timer->id;
    timers_.push_back(std::move(timer));
    return id;
}

void ThreadTickDriver::Kill(std::uint32_t timerId) {
    auto it = std::find_if(timers_.begin(), timers_.end(),
                           [timerId](const auto& t) { return t->id == timerId; });
    if (it == timers_.end()) return;
    (*it)->stop.store(true, std::memory_order_release);
    if ((*it)->thread.joinable()) (*it)->thread.join();
    timers_.erase(it);
}

void ThreadTickDriver::Run(Timer& timer, TickStats& stats, std::atomic<int>& realtime) noexcept {
    realtime.store(MakeThreadRealtime(timer.priority) ? 1 : 0, std::memory_order_release);
    PrefaultStack();

    const std::int64_t period = timer.periodNs;
    std::int64_t deadline = MonotonicNs() + period;
    while (true) {
        const timespec wake = ToTimespec(deadline);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
        }
        if (timer.stop.load(std::memory_order_acquire)) break;

        const std::int64_t now = MonotonicNs();
        const std::int64_t late = std::max<std::int64_t>(0, now - deadline);
        const auto bucket =
            std::min<std::int64_t>(late / kNsPerUs, TickStats::kLatenessBuckets - 1);
        stats.latenessUs[static_cast<std::size_t>(bucket)].fetch_add(1, std::memory_order_relaxed);
        stats.totalLatenessNs.fetch_add(late, std::memory_order_relaxed);
        if (late > stats.maxLatenessNs.load(std::memory_order_relaxed)) {
            stats.maxLatenessNs.store(late, std::memory_order_relaxed);
        }

        timer.keyer->KeyerTick();
        stats.ticks.fetch_add(1, std::memory_order_relaxed);
        if (timer.heartbeat != nullptr) timer.heartbeat->Beat(now);

        deadline += period;
        if (deadline <= now) {
            // Woken more than a period late: one tick has run, the lost ones are skipped.
            const std::int64_t skipped = (now - deadline) / period + 1;
            deadline += skipped * period;
            stats.missedTicks.fetch_add(static_cast<std::uint64_t>(skipped),
                                        std::memory_order_relaxed);
        }
    }
    if (timer.heartbeat != nullptr) timer.heartbeat->Rest();
}

}  // namespace telkey
