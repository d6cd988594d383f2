#pragma once
// A word one thread sleeps on until another thread changes it or a deadline passes (a futex).
// Wake never blocks, locks or allocates, and makes a system call only while someone sleeps.
#include <atomic>
#include <cstdint>

namespace telkey {

class WakeWord {
  public:
    static constexpr std::int64_t kNoDeadline = -1;

    void Wake() noexcept;
    // The changes so far; a sleeper passes it to WaitUntil to miss none made after it.
    std::uint32_t Seen() const noexcept { return word_.load(std::memory_order_acquire); }
    // Sleeps until a Wake after `seen`, or until CLOCK_MONOTONIC passes `deadlineNs`
    // (kNoDeadline: no bound). True when woken, also when the Wake came before the call.
    bool WaitUntil(std::uint32_t seen, std::int64_t deadlineNs) noexcept;

  private:
    std::atomic<std::uint32_t> word_{0};
    std::atomic<std::uint32_t> sleepers_{0};
};

}  // namespace telkey
