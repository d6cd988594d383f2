#pragma once
// The keyer state machine: one KeyerTick per timer tick, on the keyer thread only.
#include <atomic>
#include <cstdint>

#include "engine/handover.h"
#include "engine/keyer_settings.h"
#include "engine/ports.h"

namespace telkey {

enum KeyerStateNo : std::int32_t {
    Idle = 0,
    PaddleDot = 1,
    PaddleDotGap = 2,
    PaddleDash = 3,
    PaddleDashGap = 4,
    PaddleLetterEnd = 5,
    TextWordSpace = 6,
    TextDot = 7,
    TextDash = 8,
    TextElementGap = 9,
    TextLetterGap = 10,
    PttDelay = 11,
};

constexpr std::int32_t kStateTicksLimit = 0x0FFFFFFF;

// The keyer's own state; written only by KeyerTick (tests may set it between ticks).
struct KeyerState {
    std::int32_t KeyerState = Idle;
    std::int32_t StateTicks = 0;
    std::int32_t PaddleActivity = 0;
    std::int32_t DashMemory = 0;
    std::int32_t DotMemory = 0;
    std::uint8_t DecodedCode = 1;
    std::uint8_t SendCode = 0;
    std::uint8_t ElementMask = 0;
};

class Keyer {
  public:
    Keyer(Ports& ports, const KeyerSettings& settings, Mailbox& mailbox, DecodedRing& ring,
          SharedFlags& flags, NotificationQueue& notifications) noexcept;

    void KeyerTick() noexcept;

    // Stores a code in the ring and posts WM_KEYER_CHAR; a full ring drops it silently.
    void PushRing(std::uint8_t code) noexcept;

    // The next tick changes the key line: it starts an element or the gap after one. The timer
    // thread wakes early for such a tick, so that the edge is not late.
    bool EdgeDueNextTick() const noexcept;

    // Window thread: stops sending text. The character on the air ends with the element being
    // keyed; nothing more of it is keyed, and the part keyed is what is echoed. The code in the
    // mailbox is the window's to take back first.
    void StopSending() noexcept { stopRequests_.fetch_add(1, std::memory_order_release); }

    const KeyerState& State() const noexcept { return state_; }
    // Ticks run so far; a watchdog reads it from another thread to see that the keyer lives.
    std::uint64_t TickCount() const noexcept { return tickCount_.load(std::memory_order_relaxed); }
    // The last code taken from the mailbox has had its last key-up (the letter gap may still
    // run). False from the moment a code is taken until then.
    bool TextKeyedUp() const noexcept { return textKeyedUp_.load(); }
    KeyerState& StateForTest() noexcept { return state_; }

  private:
    bool NoteTxRise() noexcept;
    bool MayStartCharacter() noexcept;
    bool StopRequested() noexcept;
    void EndCharacterWithElement() noexcept;

    Ports& ports_;
    const KeyerSettings& settings_;
    Mailbox& mailbox_;
    DecodedRing& ring_;
    SharedFlags& flags_;
    NotificationQueue& notifications_;
    KeyerState state_;
    std::atomic<std::uint64_t> tickCount_{0};
    std::atomic<bool> textKeyedUp_{false};
    std::atomic<std::uint32_t> stopRequests_{0};
    std::uint32_t stopSeen_ = 0;  // stop requests made before the character on the air began
    std::uint32_t txRisesSeen_ = 0;
    bool txConfirmedSeen_ = true;
    std::int32_t leadTicks_ = 0;  // ticks since the TX line was last seen coming on
};

}  // namespace telkey
