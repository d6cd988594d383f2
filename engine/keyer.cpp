#include "engine/keyer.h"

#include "engine/morse_tables.h"

#include <time.h>

#include <algorithm>

namespace telkey {
namespace {

std::int32_t Load(const std::atomic<std::int32_t>& word) noexcept {
    return word.load(std::memory_order_relaxed);
}

// Products of settings words are taken in 64 bits: the settings are not range-checked.
bool Reached(std::int32_t ticks, std::int64_t limit) noexcept {
    return ticks >= limit;
}

}  // namespace

Keyer::Keyer(Ports& ports, const KeyerSettings& settings, Mailbox& mailbox, DecodedRing& ring,
             SharedFlags& flags, NotificationQueue& notifications) noexcept
    : ports_(ports),
      settings_(settings),
      mailbox_(mailbox),
      ring_(ring),
      flags_(flags),
      notifications_(notifications) {}

std::uint64_t Keyer::TickCount() const noexcept {
    std::uint64_t count = tickCount_.load(std::memory_order_acquire);
    const std::int64_t ticks = sleepTicks_.load(std::memory_order_acquire);
    if (ticks > 0) {
        const std::int64_t from = sleepFromNs_.load(std::memory_order_relaxed);
        const std::int64_t period = sleepPeriodNs_.load(std::memory_order_relaxed);
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const std::int64_t nowNs =
            static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
        if (period > 0 && nowNs >= from) {
            count += static_cast<std::uint64_t>(std::min(ticks, (nowNs - from) / period + 1));
        }
    }
    // A sleep that ends early counts fewer ticks than its estimate said: never go back.
    std::uint64_t shown = countShown_.load(std::memory_order_relaxed);
    while (count > shown && !countShown_.compare_exchange_weak(shown, count)) {
    }
    return std::max(count, shown);
}

void Keyer::NoteSleep(std::int64_t fromNs, std::int64_t periodNs, std::int64_t ticks) noexcept {
    // Cleared first and set last, so that a reader never counts a tick twice.
    sleepTicks_.store(0, std::memory_order_release);
    if (ticks <= 0) return;
    sleepFromNs_.store(fromNs, std::memory_order_relaxed);
    sleepPeriodNs_.store(periodNs, std::memory_order_relaxed);
    sleepTicks_.store(ticks, std::memory_order_release);
}

void Keyer::PushRing(std::uint8_t code) noexcept {
    if (ring_.Push(code)) notifications_.Post(Notification::WM_KEYER_CHAR);
}

bool Keyer::EdgeDueNextTick() const noexcept {
    // Every state that keys an element or its gap writes the change on its first tick.
    switch (state_.KeyerState) {
        case PaddleDot:
        case PaddleDotGap:
        case PaddleDash:
        case PaddleDashGap:
        case TextDot:
        case TextDash:
        case TextElementGap:
            return state_.StateTicks == 0;
        default:
            return false;
    }
}

// True when the TX line has come on since the last look; the PTT lead then starts again.
bool Keyer::NoteTxRise() noexcept {
    const std::uint32_t rises = ports_.TxRises();
    // With the rig's PTT the lead counts from the rig's confirmation.
    const bool confirmed = ports_.TxConfirmed();
    if (rises == txRisesSeen_ && confirmed == txConfirmedSeen_) return false;
    txRisesSeen_ = rises;
    txConfirmedSeen_ = confirmed;
    leadTicks_ = 0;
    return true;
}

std::int64_t Keyer::LeadMs() const noexcept {
    const std::int32_t clientLead = Load(settings_.PttLeadMs);
    return clientLead > 0 ? clientLead : Load(settings_.PaddleDelay);
}

// An element may start now. With the TX line on, only once the rig confirmed it and, where the
// line switches something (or with MOX), no sooner than PaddleDelay (or the lead a client
// program set) after it came on, whoever switched it. With MOX a character needs the line on.
bool Keyer::TxReady(bool mox) noexcept {
    if (!ports_.TxLineOn()) return !mox;
    if (!ports_.TxConfirmed()) return false;
    if (!mox && !ports_.TxLineWired()) return true;
    NoteTxRise();
    return static_cast<std::int64_t>(leadTicks_) * Load(settings_.TickMs) >= LeadMs();
}

bool Keyer::MayStartCharacter() noexcept {
    return TxReady(Load(settings_.MoxOn) != 0);
}

bool Keyer::StopRequested() noexcept {
    const std::uint32_t requests = stopRequests_.load(std::memory_order_relaxed);
    if (requests == stopSeen_) return false;
    stopSeen_ = requests;
    return true;
}

// The lines were released behind the keyer (a hold, the guardian): the character on the air is
// cut there, as a stop ends it but without the rest of its element, and the TX line that stays
// on counts as coming on again, so the PTT lead runs before the next element.
void Keyer::TakeRelease() noexcept {
    const std::uint32_t releases = ports_.Releases();
    if (releases == releasesSeen_) return;
    releasesSeen_ = releases;
    ports_.RiseAgain();
    KeyerState& s = state_;
    switch (s.KeyerState) {
        case TextDot:
        case TextDash:
        case TextElementGap:
            EndCharacterWithElement();
            ports_.SetKey(0, Ports::kTxKeying);
            NoteTextKeyedUp();
            s.ElementMask = 0;
            s.StateTicks = 0;
            s.KeyerState = TextLetterGap;
            break;
        case PaddleDot:
        case PaddleDash:
        case PaddleDotGap:
        case PaddleDashGap:
            ports_.SetKey(0, Ports::kTxKeying);
            s.StateTicks = 0;
            s.KeyerState = PaddleLetterEnd;
            break;
        default:
            break;
    }
}

// The element being keyed, or starting on this tick, is the character's last; the character
// becomes the part keyed, which is what its letter gap echoes.
void Keyer::EndCharacterWithElement() noexcept {
    KeyerState& s = state_;
    while (s.ElementMask > 1) {
        s.ElementMask >>= 1;
        s.SendCode >>= 1;
    }
    if (s.KeyerState == TextElementGap && s.StateTicks > 0) {
        // The key is already up: that was the last key-up.
        ports_.ReleaseTx(Ports::kTxKeying);
        NoteTextKeyedUp();
    }
}

void Keyer::KeyerTick() noexcept {
    tickCount_.store(tickCount_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    TakeRelease();
    if (!NoteTxRise() && leadTicks_ < kStateTicksLimit) ++leadTicks_;

    KeyerState& s = state_;
    const std::int32_t dot = ports_.ReadDotPaddle();
    const std::int32_t dash = ports_.ReadDashPaddle();
    if (dot != 0 || dash != 0) s.PaddleActivity = 1;
    lastDot_ = dot;
    lastDash_ = dash;
    plan_ = {};
    mailbox_.Watch(true);  // awake: whatever comes is seen or wakes
    const std::int32_t stateBefore = s.KeyerState;
    TickState(dot, dash);
    settled_ = s.KeyerState == stateBefore;
}

void Keyer::TickState(std::int32_t dot, std::int32_t dash) noexcept {
    KeyerState& s = state_;

    const std::int64_t dotTicks = Load(settings_.DotTicks);
    const std::int64_t dashTicks = Load(settings_.DashTicks);
    const std::int64_t weightTicks = Load(settings_.WeightTicks);

    // Leaves an element gap for the next paddle element: memories cleared, count restarted.
    auto startPaddleElement = [&s](std::int32_t state) {
        s.StateTicks = 0;
        s.DashMemory = 0;
        s.DotMemory = 0;
        s.KeyerState = state;
    };
    // The character is over: a TX line it held goes off.
    auto endPaddleCharacter = [this, &s]() {
        s.KeyerState = PaddleLetterEnd;
        ports_.ReleaseTx(Ports::kTxKeying);
    };
    auto nextTextElement = [&s]() {
        s.StateTicks = 0;
        s.KeyerState = (s.SendCode & s.ElementMask) != 0 ? TextDash : TextDot;
    };

    switch (s.KeyerState) {
        case Idle: {
            // No character is on the air: a TX line held for one is let go.
            ports_.SetKey(0, Ports::kTxKeying);
            // The count stops at its limit, so one silence gives at most one word space.
            if (s.StateTicks < kStateTicksLimit) {
                ++s.StateTicks;
                if (s.StateTicks == 2 * dotTicks + dashTicks) PushRing(CodeWordSpace);
            }
            if (s.PaddleActivity != 0 && Load(settings_.PauseAtPaddle) != 0) {
                flags_.Paused.store(1, std::memory_order_relaxed);
                notifications_.Post(Notification::WM_KEYER_PAUSE);
            }
            s.PaddleActivity = 0;

            if ((dot != 0 || dash != 0) &&
                flags_.Transmitting.load(std::memory_order_relaxed) == 0 &&
                Load(settings_.MoxOn) != 0 && Load(settings_.TxAtPaddle) != 0) {
                s.StateTicks = 0;
                s.KeyerState = PttDelay;
                ports_.SetTx(1);
                flags_.Transmitting.store(1, std::memory_order_relaxed);
                notifications_.Post(Notification::WM_KEYER_TX_ON);
                break;
            }
            if (dot != 0 || dash != 0) {  // with both paddles closed the dash wins
                if (!TxReady(false)) break;
                startPaddleElement(dash != 0 ? PaddleDash : PaddleDot);
                s.DecodedCode = 1;
                paddleCharacters_.fetch_add(1, std::memory_order_relaxed);
                // A character begun with the TX line on keeps it on to its end.
                ports_.KeepTx(Ports::kTxKeying);
                break;
            }
            if (mailbox_.WithdrawalWaiting()) {
                // The withdrawn code's hold goes before the slot can be filled again.
                ports_.ReleaseTx(Ports::kTxHanded);
                // A withdrawn code frees the slot only now: the window may fill it again.
                if (mailbox_.SeeWithdrawal()) {
                    notifications_.Post(Notification::WM_KEYER_NEED_CODE);
                }
            }
            std::uint8_t code = 0;
            if (mailbox_.Peek(code)) {
                const bool keys = KeysElements(code);
                if (keys && !MayStartCharacter()) break;
                // A character begun with the TX line on keeps it on to its last key-up; the
                // hold of the hand-over passes to it.
                if (keys) ports_.KeepTx(Ports::kTxKeying, Ports::kTxHanded);
                // Read after the look at the slot: a stop made before the code was handed over
                // is not this character's.
                stopSeen_ = stopRequests_.load(std::memory_order_acquire);
                releasesSeen_ = ports_.Releases();
                // Before the take: whoever sees the slot emptied sees this too.
                textKeyedUp_.store(false);
                if (!mailbox_.Take(code)) {  // withdrawn meanwhile
                    if (keys) ports_.ReleaseTx(Ports::kTxKeying);
                    break;
                }
                s.SendCode = code;
                ports_.CharacterStarted(code);
                notifications_.Post(Notification::WM_KEYER_NEED_CODE);
                if (code < 2) {
                    s.StateTicks = 0;
                    s.KeyerState = TextWordSpace;
                } else if (code == CodeRx) {
                    flags_.Transmitting.store(0, std::memory_order_relaxed);
                    notifications_.Post(Notification::WM_KEYER_TX_OFF);
                } else if (code == CodePause) {
                    flags_.Paused.store(1, std::memory_order_relaxed);
                    notifications_.Post(Notification::WM_KEYER_PAUSE);
                } else {
                    s.ElementMask = FirstElementMask(code);
                    nextTextElement();
                }
                break;
            }
            // The silence counts from the last key-up or the TX rise, whichever came later; the
            // tick that saw the rise counts, as StateTicks counts its own.
            if (Load(settings_.MoxOn) != 0 && Load(settings_.RxAtSilence) != 0 &&
                flags_.Transmitting.load(std::memory_order_relaxed) != 0 &&
                flags_.TxHeld.load(std::memory_order_relaxed) == 0 &&
                Reached(std::min(s.StateTicks, leadTicks_ + 1),
                        dotTicks * Load(settings_.SilenceLen))) {
                s.StateTicks = 0;
                // Only a transmit still on is ended, and the line goes off only while it stays
                // so: a transmit the window switched on meanwhile is never undone.
                std::int32_t on = 1;
                if (flags_.Transmitting.compare_exchange_strong(on, 0) && ports_.EndTx()) {
                    notifications_.Post(Notification::WM_KEYER_TX_OFF);
                }
            }
            break;
        }

        case PaddleDot:
            if (s.StateTicks == 0) {
                ports_.SetKey(1);
                s.DecodedCode = AddElement(s.DecodedCode, false);
            }
            if (dash != 0) s.DashMemory = 1;
            ++s.StateTicks;
            if (Reached(s.StateTicks, dotTicks + weightTicks)) {
                s.StateTicks = 0;
                s.KeyerState = PaddleDotGap;
            }
            break;

        case PaddleDash:
            if (s.StateTicks == 0) {
                ports_.SetKey(1);
                s.DecodedCode = AddElement(s.DecodedCode, true);
            }
            if (dot != 0) s.DotMemory = 1;
            ++s.StateTicks;
            if (Reached(s.StateTicks, dashTicks + weightTicks)) {
                s.StateTicks = 0;
                s.KeyerState = PaddleDashGap;
            }
            break;

        case PaddleDotGap:
            ports_.SetKey(0);
            if (dash != 0) s.DashMemory = 1;
            ++s.StateTicks;
            if (Reached(s.StateTicks, dotTicks - weightTicks)) {
                if (Load(settings_.IsYamb) == 0) s.DashMemory = dash;
                if (s.DashMemory != 0) {
                    startPaddleElement(PaddleDash);
                    break;
                }
                if (dot != 0) {
                    startPaddleElement(PaddleDot);
                    break;
                }
            }
            if (s.StateTicks > (12 * dotTicks) / 10 - weightTicks) endPaddleCharacter();
            break;

        case PaddleDashGap:
            ports_.SetKey(0);
            if (dot != 0) s.DotMemory = 1;
            ++s.StateTicks;
            if (Reached(s.StateTicks, dotTicks - weightTicks)) {
                if (s.DotMemory != 0 && Load(settings_.IsYamb) != 0) {
                    startPaddleElement(PaddleDot);
                    break;
                }
                if (dash != 0) {
                    startPaddleElement(PaddleDash);
                    break;
                }
                if (dot != 0) {
                    startPaddleElement(PaddleDot);
                    break;
                }
            }
            if (s.StateTicks > (12 * dotTicks) / 10 - weightTicks) endPaddleCharacter();
            break;

        case PaddleLetterEnd:
            ++s.StateTicks;
            if (Reached(s.StateTicks, (8 * dashTicks) / 10)) {
                s.KeyerState = Idle;
                PushRing(s.DecodedCode);
            }
            break;

        case TextWordSpace:
            ++s.StateTicks;
            if (dot != 0 || dash != 0) {
                // The paddle cuts the space short; only a space of two dots is echoed.
                s.KeyerState = Idle;
                if (Reached(s.StateTicks, 2 * dotTicks)) PushRing(CodeWordSpace);
            } else if (Reached(s.StateTicks, 4 * dotTicks)) {
                s.KeyerState = Idle;
                PushRing(CodeWordSpace);
            }
            break;

        case TextDot:
        case TextDash: {
            if (StopRequested()) EndCharacterWithElement();
            if (s.StateTicks == 0) ports_.SetKey(1);
            ++s.StateTicks;
            const std::int64_t element = s.KeyerState == TextDot ? dotTicks : dashTicks;
            if (Reached(s.StateTicks, element + weightTicks)) {
                s.StateTicks = 0;
                s.KeyerState = TextElementGap;
            }
            break;
        }

        case TextElementGap:
            if (StopRequested()) EndCharacterWithElement();
            if (s.StateTicks == 0) {
                // The last key-up of the character: a TX line it held goes off with the key.
                const bool last = (s.ElementMask >> 1) == 0;
                ports_.SetKey(0, last ? std::uint32_t{Ports::kTxKeying} : 0U);
                if (last) NoteTextKeyedUp();
            }
            ++s.StateTicks;
            if (Reached(s.StateTicks, dotTicks - weightTicks)) {
                s.ElementMask >>= 1;
                if (s.ElementMask == 0) {
                    s.KeyerState = TextLetterGap;
                } else {
                    nextTextElement();
                }
            }
            break;

        case TextLetterGap:
            ++s.StateTicks;
            if (Reached(s.StateTicks, dashTicks)) {
                s.KeyerState = Idle;
                PushRing(s.SendCode);
            }
            break;

        case PttDelay:
            // The rig's PTT: the delay counts from its confirmation; TX gone off ends the wait.
            if (!ports_.TxConfirmed()) {
                s.StateTicks = 0;
                if (!ports_.TxLineOn()) s.KeyerState = Idle;
                break;
            }
            ++s.StateTicks;
            if (static_cast<std::int64_t>(s.StateTicks) * Load(settings_.TickMs) >=
                Load(settings_.PaddleDelay)) {
                s.StateTicks = 0;
                s.KeyerState = Idle;
            }
            break;

        default:  // out of range: back to Idle, nothing else this tick
            s.KeyerState = Idle;
            break;
    }
}

}  // namespace telkey
