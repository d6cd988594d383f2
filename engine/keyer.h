#pragma once
// The keyer state machine: one KeyerTick per timer tick, on the keyer thread only.
#include <atomic>
#include <cstdint>

#include "engine/handover.h"
#include "engine/keyer_settings.h"
#include "engine/ports.h"
#include "engine/wake_word.h"

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
// QuietTicks when nothing will happen until an input changes.
constexpr std::int64_t kQuietForever = 0x7FFFFFFF;

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

    // The ticks from now on that the timer may sleep through, were the inputs to stay as they
    // are (paddle contacts, mailbox, flags, settings words, the TX line): ticks that change
    // nothing but the tick counters, the tick that only ends an element or a gap when the next
    // one begins with an edge, and the end of a character's last gap with the letter gap after
    // it up to its end. 0 when the next tick must run; kQuietForever when only an input can
    // change anything. The tick after a change of state runs, except in a gap that reads no
    // input.
    struct Quiet {
        std::int64_t ticks = 0;
        bool edgeAfter = false;  // the tick after them changes the key line
    };
    // The timer thread, after a tick it ran: the span it may sleep through, kept as the plan
    // that SkipTicks follows.
    Quiet PlanSleep() noexcept;
    // Woken by an input, after the ticks slept through are accounted for: the plan again, with
    // the paddle read anew, so that an input the keyer has no use for now costs no tick.
    Quiet Replan() noexcept;
    std::int64_t QuietTicks() const noexcept;
    // Accounts for `n` ticks slept through as planned, n <= the planned span, as if they had
    // run: the counters move on, and a tick that ends an element or a gap runs (the end of the
    // last gap is applied as planned: ticks later, an input may since have changed).
    void SkipTicks(std::int64_t n) noexcept;
    // What the timer sleeps on. Whoever changes an input of the keyer from another thread wakes
    // it (Wake), so that the keyer looks at it on its next tick.
    WakeWord& WakeSignal() noexcept { return wake_; }
    void Wake() noexcept { wake_.Wake(); }

    // The timer thread: ticks were dropped after a stall. Taken as a release of the lines: the
    // character on the air is cut and the TX line's next use waits for the lead again.
    void NoteStall() noexcept { ports_.NoteRelease(); }

    // Window thread: stops sending text. The character on the air ends with the element being
    // keyed; nothing more of it is keyed, and the part keyed is what is echoed. The code in the
    // mailbox is the window's to take back first.
    void StopSending() noexcept {
        stopRequests_.fetch_add(1, std::memory_order_release);
        wake_.Wake();
    }

    const KeyerState& State() const noexcept { return state_; }
    // Ticks run or slept through so far, counted on while the timer sleeps; a watchdog reads it
    // from another thread to see that the keyer lives.
    std::uint64_t TickCount() const noexcept;
    // The timer thread, before it sleeps: up to `ticks` ticks, the first at `fromNs`
    // (CLOCK_MONOTONIC) and one every `periodNs` after it, pass asleep. 0 ticks: awake.
    void NoteSleep(std::int64_t fromNs, std::int64_t periodNs, std::int64_t ticks) noexcept;
    // The last code taken from the mailbox has had its last key-up (the letter gap may still
    // run). False from the moment a code is taken until then.
    bool TextKeyedUp() const noexcept { return textKeyedUp_.load(); }
    KeyUpSignal& KeyUpTold() noexcept { return keyUpTold_; }
    // Characters the paddle has begun so far; a program keying text sees the operator break in.
    std::uint32_t PaddleCharacters() const noexcept {
        return paddleCharacters_.load(std::memory_order_relaxed);
    }
    KeyerState& StateForTest() noexcept { return state_; }

  private:
    // The last key-up of a text character.
    void NoteTextKeyedUp() noexcept {
        textKeyedUp_.store(true);
        keyUpTold_.Raise();
    }
    bool NoteTxRise() noexcept;
    std::int64_t LeadMs() const noexcept;
    bool TxReady(bool mox) noexcept;
    bool MayStartCharacter() noexcept;
    bool StopRequested() noexcept;
    void TakeRelease() noexcept;
    void EndCharacterWithElement() noexcept;
    void TickState(std::int32_t dot, std::int32_t dash) noexcept;
    // Ticks before the first that acts, whether that one only ends an element or a gap (it is
    // folded into the sleep), and the ticks after it that again only count.
    struct Within {
        std::int64_t ticks = 0;
        bool folds = false;
        std::int64_t after = 0;
        bool edgeAfter = true;  // of a fold: the tick after the span changes the key line
        // All the ticks slept through, the fold and the ticks after it included.
        std::int64_t Span() const noexcept { return folds ? ticks + 1 + after : ticks; }
    };
    Within QuietWithin() const noexcept;
    void CountTicks(std::int64_t n) noexcept;
    std::int64_t FirstActiveIdleTick() const noexcept;

    Ports& ports_;
    const KeyerSettings& settings_;
    Mailbox& mailbox_;
    DecodedRing& ring_;
    SharedFlags& flags_;
    NotificationQueue& notifications_;
    KeyerState state_;
    std::atomic<std::uint64_t> tickCount_{0};
    mutable std::atomic<std::uint64_t> countShown_{0};  // the highest TickCount told
    std::atomic<bool> textKeyedUp_{false};
    std::atomic<std::uint32_t> paddleCharacters_{0};
    KeyUpSignal keyUpTold_;
    std::atomic<std::uint32_t> stopRequests_{0};
    std::uint32_t stopSeen_ = 0;  // stop requests made before the character on the air began
    std::uint32_t txRisesSeen_ = 0;
    std::uint32_t releasesSeen_ = 0;  // releases of the lines taken in
    bool txConfirmedSeen_ = true;
    std::int32_t leadTicks_ = 0;  // ticks since the TX line was last seen coming on
    WakeWord wake_;
    std::atomic<std::int64_t> sleepFromNs_{0};
    std::atomic<std::int64_t> sleepPeriodNs_{0};
    std::atomic<std::int64_t> sleepTicks_{0};
    // What the last tick saw, for QuietTicks.
    std::int32_t lastDot_ = 0;
    std::int32_t lastDash_ = 0;
    bool settled_ = false;  // the last tick ended in the state it began in
    Within plan_;           // what the timer sleeps through now
};

}  // namespace telkey
