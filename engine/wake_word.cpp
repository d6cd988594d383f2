#include "engine/wake_word.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace telkey {
namespace {

constexpr std::int64_t kNsPerSec = 1'000'000'000;

long Futex(std::atomic<std::uint32_t>& word, int op, std::uint32_t value,
           const timespec* timeout) noexcept {
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), op, value, timeout, nullptr,
                   FUTEX_BITSET_MATCH_ANY);
}

}  // namespace

void WakeWord::Wake() noexcept {
    // Sequentially consistent on both sides: either the sleeper sees the new word before it
    // sleeps, or this sees the sleeper and wakes it.
    word_.fetch_add(1);
    if (sleepers_.load() != 0) Futex(word_, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
}

bool WakeWord::WaitUntil(std::uint32_t seen, std::int64_t deadlineNs) noexcept {
    sleepers_.fetch_add(1);
    timespec deadline{};
    if (deadlineNs != kNoDeadline) {
        deadline.tv_sec = static_cast<time_t>(deadlineNs / kNsPerSec);
        deadline.tv_nsec = static_cast<long>(deadlineNs % kNsPerSec);
    }
    // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC deadline.
    while (word_.load() == seen) {
        const long r = Futex(word_, FUTEX_WAIT_BITSET_PRIVATE, seen,
                             deadlineNs == kNoDeadline ? nullptr : &deadline);
        if (r != 0 && errno == ETIMEDOUT) break;
    }
    sleepers_.fetch_sub(1);
    return word_.load() != seen;
}

}  // namespace telkey
