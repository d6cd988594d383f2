#include "engine/thread_priority.h"

#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace telkey {
namespace {

constexpr unsigned long kTimerSlackNs = 1;
constexpr int kHighestNice = -20;
// RLIMIT_NICE counts from this: a limit of n allows nice values down to 20 - n.
constexpr int kNiceLimitBase = 20;
constexpr rlim_t kNiceLimitMax = 40;

bool SetFifo(pid_t tid, int priority) noexcept {
    sched_param param{};
    param.sched_priority = priority;
    return sched_setscheduler(tid, SCHED_FIFO, &param) == 0;
}

// The broker refuses a process that may keep the CPU for ever at real-time priority; lower
// RLIMIT_RTTIME to what it accepts (the keyer thread blocks every tick, far below any limit).
bool LimitRealtimeCpu(std::int64_t rttimeUs) noexcept {
    if (rttimeUs <= 0) return false;
    rlimit limit{};
    if (getrlimit(RLIMIT_RTTIME, &limit) != 0) return false;
    const auto wanted = static_cast<rlim_t>(rttimeUs);
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max <= wanted &&
        limit.rlim_cur == limit.rlim_max) {
        return true;
    }
    const rlim_t hard = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(limit.rlim_max, wanted);
    limit.rlim_cur = hard;
    limit.rlim_max = hard;
    return setrlimit(RLIMIT_RTTIME, &limit) == 0;
}

}  // namespace

bool RaiseDirectly(pid_t tid, int priority) noexcept {
    if (SetFifo(tid, priority)) return true;
    // An unprivileged user may still be allowed a lower real-time priority (an rtprio limit).
    rlimit limit{};
    if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur > 0) {
        return SetFifo(
            tid, static_cast<int>(std::min<rlim_t>(limit.rlim_cur, static_cast<rlim_t>(priority))));
    }
    return false;
}

bool RunsRealtime(pid_t tid) noexcept {
    const int policy =
        sched_getscheduler(tid) & ~SCHED_RESET_ON_FORK;  // RealtimeKit sets that flag
    return policy == SCHED_FIFO || policy == SCHED_RR;
}

bool RaiseThroughBroker(pid_t tid, int priority, RealtimeBroker& broker) noexcept {
    RealtimeBroker::Limits limits;
    if (!broker.QueryLimits(limits) || limits.maxPriority < 1) return false;
    if (!LimitRealtimeCpu(limits.rttimeUs)) return false;
    const int granted = std::min(priority, limits.maxPriority);
    if (!broker.MakeThreadRealtime(static_cast<std::uint64_t>(tid),
                                   static_cast<std::uint32_t>(granted))) {
        return false;
    }
    // Believe the kernel, not the answer.
    return RunsRealtime(tid);
}

void LowestNiceAllowed(pid_t tid) noexcept {
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), kHighestNice) == 0) return;
    rlimit limit{};
    if (getrlimit(RLIMIT_NICE, &limit) != 0 || limit.rlim_cur == 0) return;
    const int lowest = std::max(
        kHighestNice, kNiceLimitBase - static_cast<int>(std::min(limit.rlim_cur, kNiceLimitMax)));
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    if (errno == 0 && lowest < current) setpriority(PRIO_PROCESS, static_cast<id_t>(tid), lowest);
}

void SetFineTimerSlack() noexcept {
    prctl(PR_SET_TIMERSLACK, kTimerSlackNs, 0, 0, 0);
}

ThreadScheduling CurrentScheduling(pid_t tid, SchedulingKind kind) noexcept {
    ThreadScheduling s;
    s.kind = kind;
    s.policy = sched_getscheduler(tid) & ~SCHED_RESET_ON_FORK;  // RealtimeKit sets that flag
    sched_param param{};
    if (sched_getparam(tid, &param) == 0) s.priority = param.sched_priority;
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    if (errno == 0) s.nice = nice;
    return s;
}

ThreadScheduling RaiseThreadPriority(pid_t tid, int priority, RealtimeBroker* broker) noexcept {
    if (priority > 0) {
        if (RaiseDirectly(tid, priority)) return CurrentScheduling(tid, SchedulingKind::Realtime);
        if (broker != nullptr && RaiseThroughBroker(tid, priority, *broker)) {
            return CurrentScheduling(tid, SchedulingKind::RealtimeKit);
        }
    }
    LowestNiceAllowed(tid);
    return CurrentScheduling(tid, SchedulingKind::Ordinary);
}

std::string DescribeScheduling(const ThreadScheduling& s) {
    const char* policy = s.policy == SCHED_RR ? "SCHED_RR" : "SCHED_FIFO";
    char text[320];
    switch (s.kind) {
        case SchedulingKind::Realtime:
            std::snprintf(text, sizeof text, "keyer thread at real-time priority %d (%s)",
                          s.priority, policy);
            break;
        case SchedulingKind::RealtimeKit:
            std::snprintf(text, sizeof text,
                          "keyer thread at real-time priority %d (%s) from RealtimeKit", s.priority,
                          policy);
            break;
        case SchedulingKind::NotAsked:
            std::snprintf(text, sizeof text,
                          "keyer thread without real-time priority (not asked for), nice %d",
                          s.nice);
            break;
        case SchedulingKind::Ordinary:
        default:
            std::snprintf(text, sizeof text,
                          "keyer thread without real-time priority, nice %d; for exact keying "
                          "install the rtkit package (RealtimeKit), or allow real-time priority "
                          "with a line such as \"@audio - rtprio 95\" in "
                          "/etc/security/limits.conf and join that group",
                          s.nice);
            break;
    }
    return text;
}

}  // namespace telkey
