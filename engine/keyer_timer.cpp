#include "engine/keyer_timer.h"

#include <cstdio>

namespace telkey {
namespace {
constexpr int kStartPeriodMs = 2;
constexpr int kWantedResolutionMs = 1;
}  // namespace

KeyerTimer::KeyerTimer(TickDriver& driver, Keyer& keyer, KeyerSettings& settings) noexcept
    : driver_(driver), keyer_(keyer), settings_(settings) {}

KeyerTimer::~KeyerTimer() {
    StopKeyerTimer();
}

std::vector<std::string> KeyerTimer::StartKeyerTimer() {
    std::vector<std::string> messages;
    // A failed step does not stop the later ones; the caller ends the program after showing all.
    const int smallest = driver_.SmallestPeriodMs();
    if (smallest < 0 || smallest > kWantedResolutionMs) {
        char text[64];
        std::snprintf(text, sizeof text, "Timer resolution is too bad (%d ms)",
                      smallest < 0 ? 0 : smallest);
        messages.emplace_back(text);
    }
    if (!resolutionHeld_) {
        if (driver_.BeginResolution()) {
            resolutionHeld_ = true;
        } else {
            messages.emplace_back("Error set timer resolution");
        }
    }
    if (timerId_ != 0) driver_.Kill(timerId_);  // never two timers on one keyer
    timerId_ = driver_.Start(kStartPeriodMs, keyer_);
    if (timerId_ == 0) messages.emplace_back("Timer not installed");
    settings_.TickMs.store(kStartPeriodMs, std::memory_order_relaxed);
    return messages;
}

void KeyerTimer::StopKeyerTimer() {
    if (timerId_ != 0) {
        driver_.Kill(timerId_);
        timerId_ = 0;
    }
    if (resolutionHeld_) {
        driver_.EndResolution();
        resolutionHeld_ = false;
    }
}

bool KeyerTimer::RecreateKeyerTimer(int periodMs) {
    if (periodMs < 1) return false;
    if (timerId_ != 0) {
        driver_.Kill(timerId_);
        timerId_ = 0;
    }
    // The keyer object, and with it its state, stays; only the thread that ticks it changes.
    settings_.TickMs.store(periodMs, std::memory_order_relaxed);
    timerId_ = driver_.Start(periodMs, keyer_);
    return timerId_ != 0;
}

}  // namespace telkey
