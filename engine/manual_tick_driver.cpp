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
            if (keyer_->WakeSignal().Seen() != seen_) quiet_ = 0;
            if (quiet_ > 0) {
                keyer_->SkipTicks(1);
                --quiet_;
                continue;
            }
            seen_ = keyer_->WakeSignal().Seen();
        }
        keyer_->KeyerTick();
        ++ticksRun_;
        if (sleeping_) quiet_ = keyer_->QuietTicks();
    }
}

}  // namespace telkey
