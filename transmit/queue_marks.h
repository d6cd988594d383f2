#pragma once
// Marks that a program feeding the transmit queue (the cwdaemon listener) puts into Input. They
// are characters of the Unicode private use area that only that program can put there (the
// same characters typed or pasted are keyed as any character outside the code page):
//  - code characters, U+E000..U+E0FF, key the code number in their low byte (a prosign that no
//    character of the Morse table gives);
//  - event marks, U+E100..U+F8FF, key nothing: FeedKeyer holds one at the front of Input until
//    every code handed over before it has been keyed and echoed into Sent, then cuts it and runs
//    its action. So an action (a speed change, a reply) happens at its place in the text.
//    Some marks are reached earlier, at the last key-up of the text before them.
// Window thread only.
#include <cstdint>
#include <functional>

namespace telkey {

inline constexpr char16_t kQueueCodeFirst = 0xE000;
inline constexpr char16_t kQueueCodeLast = 0xE0FF;
inline constexpr char16_t kQueueEventFirst = 0xE100;
inline constexpr char16_t kQueueEventLast = 0xF8FF;

constexpr bool IsQueueCodeChar(char16_t ch) {
    return ch >= kQueueCodeFirst && ch <= kQueueCodeLast;
}
constexpr bool IsQueueEventMark(char16_t ch) {
    return ch >= kQueueEventFirst && ch <= kQueueEventLast;
}
constexpr char16_t QueueCodeChar(std::uint8_t code) {
    return static_cast<char16_t>(kQueueCodeFirst + code);
}

// The code number FeedKeyer hands over for one character of Input: a code character's own
// code, else the Morse table's code of the character in code page 1251.
std::uint8_t QueueCharToCode(char16_t ch) noexcept;

class QueueMarks {
  public:
    using Action = std::function<void(char16_t mark)>;

    // FeedKeyer: a code went into the mailbox. All but the control codes come back as one echo.
    void Handed(std::uint8_t code) noexcept;
    // EchoSent: `code` came back through the ring into Sent.
    void Echoed(std::uint8_t code = 0);
    // Nothing handed over still waits for its echo.
    bool Keyed() const noexcept { return awaited_ == 0; }
    int Awaited() const noexcept { return awaited_; }
    // Counts every Handed and Echoed, so a watchdog can tell that the keyer has gone quiet.
    std::uint64_t Activity() const noexcept { return activity_; }
    // The awaited echoes will not come (a word space cut short by the paddle echoes nothing).
    void Forget() noexcept { awaited_ = 0; }
    // A code handed over was taken back from the mailbox: its echo will not come.
    void Withdrawn() noexcept;

    // Nothing is handed over before the keyer has run to this tick.
    void HoldUntil(std::uint64_t tick) noexcept { holdTick_ = tick; }
    std::uint64_t HoldTick() const noexcept { return holdTick_; }

    // FeedKeyer: `mark` has been cut from the front of Input; runs its action.
    void Reached(char16_t mark) const {
        if (action) action(mark);
    }

    Action action;
    // Marks reached at the last key-up of the text before them, not after its letter gap.
    std::function<bool(char16_t mark)> atKeyUp;
    // Such a mark waits for nothing but that key-up, which no event announces: look again soon.
    std::function<void()> waitingForKeyUp;
    // Transmitting, and everything handed over has been keyed with nothing left in Input.
    std::function<void()> drained;
    // Transmitting, and the code just handed over was the last thing in Input to key (marks
    // may still wait there).
    std::function<void()> lastHanded;
    // A character the paddle keyed came back (nothing handed over waited for its echo).
    std::function<void(std::uint8_t code)> paddleEchoed;

  private:
    int awaited_ = 0;
    std::uint64_t holdTick_ = 0;
    std::uint64_t activity_ = 0;
};

}  // namespace telkey
