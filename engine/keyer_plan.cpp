// The keyer's sleep: which ticks ahead change nothing but the counters, and how the ticks slept
// through are accounted for.
#include "engine/keyer.h"

#include <algorithm>

#include "engine/morse_tables.h"

namespace telkey {
namespace {

std::int32_t Load(const std::atomic<std::int32_t>& word) noexcept {
    return word.load(std::memory_order_relaxed);
}

// The first tick ahead (1 = the next) on which a count now at `ticks`, one more every tick,
// reaches `limit`.
std::int64_t TicksUntil(std::int64_t ticks, std::int64_t limit) noexcept {
    return std::max<std::int64_t>(1, limit - ticks);
}

}  // namespace

// Idle: the first tick ahead that acts with the inputs as they are, kQuietForever when none.
std::int64_t Keyer::FirstActiveIdleTick() const noexcept {
    const KeyerState& s = state_;
    if (!ports_.KeyUpSettled(Ports::kTxKeying)) return 1;
    if (s.PaddleActivity != 0 || lastDot_ != 0 || lastDash_ != 0) return 1;
    if (mailbox_.WithdrawalWaiting()) return 1;
    std::int64_t first = kQuietForever + 1;
    const std::int64_t dotTicks = Load(settings_.DotTicks);
    const std::int64_t wordSpace = 2 * dotTicks + Load(settings_.DashTicks);
    if (s.StateTicks < wordSpace && wordSpace <= kStateTicksLimit) {
        first = wordSpace - s.StateTicks;
    }
    std::uint8_t code = 0;
    if (mailbox_.Peek(code)) {
        if (!KeysElements(code)) return 1;
        // Waiting for the TX line (and the rig's confirmation of it) wakes with it; waiting
        // for the lead counts ticks.
        const bool mox = Load(settings_.MoxOn) != 0;
        if (!ports_.TxLineOn()) return mox ? first : 1;
        if (!ports_.TxConfirmed()) return first;
        if (!mox && !ports_.TxLineWired()) return 1;
        const std::int64_t lead = LeadMs();
        const std::int64_t tickMs = Load(settings_.TickMs);
        if (tickMs <= 0) return lead <= 0 ? 1 : first;
        const std::int64_t leadTicks = lead <= 0 ? 0 : (lead + tickMs - 1) / tickMs;
        if (leadTicks <= kStateTicksLimit) {
            first = std::min(first, TicksUntil(leadTicks_, leadTicks));
        }
        return first;
    }
    if (Load(settings_.MoxOn) != 0 && Load(settings_.RxAtSilence) != 0 &&
        flags_.Transmitting.load(std::memory_order_relaxed) != 0 &&
        flags_.TxHeld.load(std::memory_order_relaxed) == 0) {
        const std::int64_t silence = dotTicks * Load(settings_.SilenceLen);
        if (silence <= kStateTicksLimit) {
            first = std::min(first, TicksUntil(std::min(s.StateTicks, leadTicks_ + 1), silence));
        }
    }
    return first;
}

Keyer::Within Keyer::QuietWithin() const noexcept {
    const KeyerState& s = state_;
    // A gap whose ticks only count (the paddle cuts the word space short, but a paddle change
    // wakes the keyer) may be planned from its first tick on; any other state from the tick
    // after the change.
    const bool readsNothing = s.KeyerState == TextLetterGap || s.KeyerState == TextWordSpace ||
                              s.KeyerState == PaddleLetterEnd;
    if ((!settled_ && !readsNothing) || ports_.TxRises() != txRisesSeen_ ||
        ports_.ReleasesSeen() != releasesSeen_ || ports_.TxConfirmed() != txConfirmedSeen_ ||
        !ports_.PaddleAnnounced()) {
        return {};
    }
    const bool pressed = lastDot_ != 0 || lastDash_ != 0;
    // A first press marks the paddle active: that is a change.
    if (pressed && s.PaddleActivity == 0) return {};
    const std::int64_t dotTicks = Load(settings_.DotTicks);
    const std::int64_t dashTicks = Load(settings_.DashTicks);
    const std::int64_t weightTicks = Load(settings_.WeightTicks);
    const std::int64_t letterEnd = (12 * dotTicks) / 10 - weightTicks;
    const bool stopWaits = stopRequests_.load(std::memory_order_relaxed) != stopSeen_;
    std::int64_t first = 1;
    std::int64_t after = 0;
    bool edgeAfter = true;
    // The acting tick only ends an element or a gap and starts the next element or gap, whose
    // first tick is an edge: it is slept through too, and run just before that edge.
    bool folds = false;
    switch (s.KeyerState) {
        case Idle:
            first = FirstActiveIdleTick();
            break;
        case PaddleDot:
        case PaddleDash: {
            const bool dash = s.KeyerState == PaddleDash;
            const bool memoryNew =
                dash ? lastDot_ != 0 && s.DotMemory == 0 : lastDash_ != 0 && s.DashMemory == 0;
            if (s.StateTicks == 0 || memoryNew) return {};
            first = TicksUntil(s.StateTicks, (dash ? dashTicks : dotTicks) + weightTicks);
            folds = true;
            break;
        }
        case PaddleDotGap:
        case PaddleDashGap: {
            if (s.StateTicks == 0 || !ports_.KeyUpSettled(0)) return {};
            bool decides = false;  // the element decision, once due, starts or forgets something
            if (s.KeyerState == PaddleDotGap) {
                if (lastDash_ != 0 && s.DashMemory == 0) return {};
                decides = pressed || s.DashMemory != 0;
            } else {
                if (lastDot_ != 0 && s.DotMemory == 0) return {};
                decides = pressed || (s.DotMemory != 0 && Load(settings_.IsYamb) != 0);
            }
            first = TicksUntil(s.StateTicks, letterEnd + 1);
            if (decides) {
                const std::int64_t decision = TicksUntil(s.StateTicks, dotTicks - weightTicks);
                folds = decision <= first;  // an element starts before the letter could end
                first = std::min(first, decision);
            }
            break;
        }
        case PaddleLetterEnd:
            first = TicksUntil(s.StateTicks, (8 * dashTicks) / 10);
            break;
        case TextWordSpace:
            if (pressed) return {};
            first = TicksUntil(s.StateTicks, 4 * dotTicks);
            break;
        case TextDot:
        case TextDash:
            if (s.StateTicks == 0 || stopWaits) return {};
            first = TicksUntil(s.StateTicks,
                               (s.KeyerState == TextDot ? dotTicks : dashTicks) + weightTicks);
            folds = true;
            break;
        case TextElementGap:
            if (s.StateTicks == 0 || stopWaits) return {};
            first = TicksUntil(s.StateTicks, dotTicks - weightTicks);
            folds = true;
            // After the last element the gap runs on as the letter gap, which only counts up to
            // its end.
            if ((s.ElementMask >> 1) == 0) {
                after = TicksUntil(s.StateTicks + first, dashTicks) - 1;
                edgeAfter = false;
            }
            break;
        case TextLetterGap:
            first = TicksUntil(s.StateTicks, dashTicks);
            break;
        case PttDelay: {
            const std::int64_t tickMs = Load(settings_.TickMs);
            // Waiting for the rig: the delay counts from its confirmation, tick by tick.
            if (tickMs <= 0 || !ports_.TxConfirmed()) return {};
            const std::int64_t delay = Load(settings_.PaddleDelay);
            first = TicksUntil(s.StateTicks, delay <= 0 ? 0 : (delay + tickMs - 1) / tickMs);
            break;
        }
        default:
            return {};
    }
    // Outside Idle the count never stops: no sleep may carry it past its limit.
    if (s.KeyerState != Idle && first + after > kStateTicksLimit - s.StateTicks) {
        after = 0;
        if (first > kStateTicksLimit - s.StateTicks) {
            first = kStateTicksLimit - s.StateTicks;
            folds = false;
        }
    }
    return {std::clamp<std::int64_t>(first - 1, 0, kQuietForever), folds, after, edgeAfter};
}

Keyer::Quiet Keyer::PlanSleep() noexcept {
    // Only Idle looks at the slot: a code handed over after the look wakes the keyer, one
    // handed over while a character is keyed need not.
    mailbox_.Watch(state_.KeyerState == Idle);
    plan_ = QuietWithin();
    if (plan_.folds) return {plan_.Span(), plan_.edgeAfter};
    return {plan_.ticks, plan_.ticks == 0 && EdgeDueNextTick()};
}

Keyer::Quiet Keyer::Replan() noexcept {
    lastDot_ = ports_.ReadDotPaddle();
    lastDash_ = ports_.ReadDashPaddle();
    return PlanSleep();
}

std::int64_t Keyer::QuietTicks() const noexcept {
    return QuietWithin().Span();
}

void Keyer::SkipTicks(std::int64_t n) noexcept {
    if (n <= 0) return;
    // The plan, not the inputs now: an input that changed while asleep is the next tick's.
    if (plan_.folds && n > plan_.ticks) {
        // The tick that ends the element or gap runs as it would have: it writes nothing.
        const std::int64_t before = plan_.ticks;
        CountTicks(before);
        if (!plan_.edgeAfter) {
            // The last element's gap becomes the letter gap. Applied as planned, not run: the
            // span goes on past it, so an input that woke the keyer since came after it.
            CountTicks(1);
            state_.ElementMask = 0;
            state_.KeyerState = TextLetterGap;
            settled_ = false;
            plan_ = {};
        } else {
            KeyerTick();  // and plans nothing more
        }
        n -= before + 1;
    } else {
        plan_.ticks -= n;
    }
    CountTicks(n);
}

void Keyer::CountTicks(std::int64_t n) noexcept {
    if (n <= 0) return;
    tickCount_.store(tickCount_.load(std::memory_order_relaxed) + static_cast<std::uint64_t>(n),
                     std::memory_order_release);
    leadTicks_ =
        static_cast<std::int32_t>(std::min<std::int64_t>(leadTicks_ + n, kStateTicksLimit));
    KeyerState& s = state_;
    if (s.KeyerState != Idle) {
        s.StateTicks = static_cast<std::int32_t>(s.StateTicks + n);
    } else if (s.StateTicks < kStateTicksLimit) {
        s.StateTicks =
            static_cast<std::int32_t>(std::min<std::int64_t>(s.StateTicks + n, kStateTicksLimit));
    }
}

}  // namespace telkey
