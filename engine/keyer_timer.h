#pragma once
// The periodic timer that drives KeyerTick, and its start, stop and re-creation.
// A TickDriver provides the ticks: a real-time thread in the program, a manual driver in tests.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/keyer.h"
#include "engine/keyer_settings.h"

namespace telkey {

class TickDriver {
  public:
    virtual ~TickDriver() = default;
    // Capability query: the smallest supported period in ms, or -1 when the query fails.
    virtual int SmallestPeriodMs() = 0;
    // Asks for (and releases) a 1 ms timer resolution; false when refused.
    virtual bool BeginResolution() = 0;
    virtual void EndResolution() = 0;
    // Starts calling keyer.KeyerTick() every periodMs ms; returns a timer id, 0 when none.
    virtual std::uint32_t Start(int periodMs, Keyer& keyer) = 0;
    // Kills a timer; once it returns no tick of that timer runs.
    virtual void Kill(std::uint32_t timerId) = 0;
};

class KeyerTimer {
  public:
    KeyerTimer(TickDriver& driver, Keyer& keyer, KeyerSettings& settings) noexcept;
    ~KeyerTimer();
    KeyerTimer(const KeyerTimer&) = delete;
    KeyerTimer& operator=(const KeyerTimer&) = delete;

    // Capability check, 1 ms resolution, a 2 ms periodic timer, TickMs = 2. Returns the messages
    // to show, in order ("Timer resolution is too bad (%d ms)", "Error set timer resolution",
    // "Timer not installed"); every message means the application must end. Empty: all well.
    std::vector<std::string> StartKeyerTimer();
    // Kills the timer if one runs, then releases the 1 ms resolution.
    void StopKeyerTimer();
    // Kills the running timer and starts one with another period, storing TimerId and TickMs;
    // the keyer's state carries over. False when no new timer could be created.
    bool RecreateKeyerTimer(int periodMs);

    std::uint32_t TimerId() const noexcept { return timerId_; }

  private:
    TickDriver& driver_;
    Keyer& keyer_;
    KeyerSettings& settings_;
    std::uint32_t timerId_ = 0;
    bool resolutionHeld_ = false;
};

}  // namespace telkey
