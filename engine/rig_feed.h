#pragma once
// What the rig is told, from the keyer and the window thread to the rig bridge: each character
// the keyer starts (while the rig's keyer sends the text), each stop of sending, and a wake-up
// at every edge of the TX line. The bridge reads the line itself; the feed only wakes it.
// Nothing here locks, blocks or allocates after construction.
#include <array>
#include <atomic>
#include <cstdint>

#include "engine/unique_fd.h"

namespace telkey {

class RigFeed {
  public:
    static constexpr std::uint32_t kSize = 256;

    RigFeed() noexcept;

    // Bridge: while listened to, characters are kept and edges wake the descriptor.
    void Listen(bool on) noexcept;
    bool Listened() const noexcept { return listened_.load(std::memory_order_acquire); }
    // Readable while news may wait; the bridge clears it before it reads the news.
    int WakeupFd() const noexcept { return wake_.Get(); }
    void ClearWakeup() noexcept;
    void Wake() noexcept;

    // Keyer: a character started (a word space is code 0 or 1). Dropped when full.
    void Started(std::uint8_t code) noexcept;
    // Bridge: the next character started, false when none waits.
    bool TakeStarted(std::uint8_t& code) noexcept;

    // Window thread: sending stopped (Escape, an abort); the rig's keyer is to stop too.
    void Stop() noexcept;
    std::uint32_t Stops() const noexcept { return stops_.load(std::memory_order_acquire); }

  private:
    UniqueFd wake_;
    std::atomic<bool> listened_{false};
    std::array<std::uint8_t, kSize> codes_{};
    std::atomic<std::uint32_t> write_{0};  // keyer only writes it
    std::atomic<std::uint32_t> read_{0};   // bridge only writes it
    std::atomic<std::uint32_t> stops_{0};
};

}  // namespace telkey
