#include "engine/manual_tick_driver.h"

namespace telkey {

bool ManualTickDriver::BeginResolution() {
    if (refuseResolution_) return false;
    resolutionHeld_ = true;
    return true;
}

void ManualTickDriver::EndResolution() {
    resolutionHeld_ = false;
}

std::uint32_t ManualTickDriver::Start(int periodMs, Keyer& keyer) {
    if (refuseStart_ || periodMs < 1) return 0;
    // One timer at a time, as the keyer uses it; a second start replaces the first.
    keyer_ = &keyer;
    quiet_ = 0;
    periodMs_ = periodMs;
    timerId_ = nextId_++;
    ++startCount_;
    return timerId_;
}

void ManualTickDriver::Kill(std::uint32_t timerId) {
    if (keyer_ == nullptr || timerId != timerId_) return;
    keyer_ = nullptr;
    periodMs_ = 0;
    ++killCount_;
}

void ManualTickDriver::Tick(int n) {
    for (int i = 0; i < n && keyer_ != nullptr; ++i) {
        if (sleeping_) {
            if (keyer_->WakeSignal().Seen() != seen_) {
                // An input changed: the plan again from here.
                Settle();
                seen_ = keyer_->WakeSignal().Seen();
                quiet_ = keyer_->Replan().ticks;
                ++wakes_;
            }
            // As the timer thread does: the ticks slept through are accounted for at once, when
            // the span ends or an input wakes the keyer.
            if (quiet_ > 0) {
                ++slept_;
                if (--quiet_ == 0) Settle();
                continue;
            }
            Settle();
            seen_ = keyer_->WakeSignal().Seen();
        }
        keyer_->KeyerTick();
        ++ticksRun_;
        if (sleeping_) quiet_ = keyer_->PlanSleep().ticks;
    }
}

void ManualTickDriver::Settle() {
    if (keyer_ != nullptr && slept_ > 0) keyer_->SkipTicks(slept_);
    slept_ = 0;
}

}  // namespace telkey
