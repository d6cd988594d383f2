#pragma once
// A TickDriver whose ticks are run by hand, for deterministic tests: Tick(n) runs n ticks of the
// running timer on the calling thread. Knobs make the timer services fail as a system might.
#include <cstdint>

#include "engine/keyer_timer.h"

namespace telkey {

class ManualTickDriver : public TickDriver {
  public:
    int SmallestPeriodMs() override { return smallestPeriodMs_; }
    bool BeginResolution() override;
    void EndResolution() override;
    std::uint32_t Start(int periodMs, Keyer& keyer) override;
    void Kill(std::uint32_t timerId) override;

    // Runs n ticks of the running timer; none when no timer runs.
    void Tick(int n = 1);
    // Sleeping as the real timer thread does: ticks the keyer calls quiet, with no wake since,
    // are accounted for together (SkipTicks) rather than run.
    void SetSleeping(bool sleeping) noexcept {
        Settle();
        sleeping_ = sleeping;
        quiet_ = 0;
    }
    // Accounts now for the ticks slept through so far (the keyer's state lags until then).
    void Settle();
    // Ticks run (not slept through) since the start.
    std::uint64_t TicksRun() const noexcept { return ticksRun_; }
    // Wakes the sleeping keyer has taken: each made it look at its inputs again.
    std::uint64_t Wakes() const noexcept { return wakes_; }

    bool Running() const noexcept { return keyer_ != nullptr; }
    // Period of the running timer in ms, 0 when none runs.
    int PeriodMs() const noexcept { return Running() ? periodMs_ : 0; }
    std::uint32_t TimerId() const noexcept { return Running() ? timerId_ : 0; }
    bool ResolutionHeld() const noexcept { return resolutionHeld_; }
    int StartCount() const noexcept { return startCount_; }
    int KillCount() const noexcept { return killCount_; }

    // Capability query result: a period in ms, or -1 for a failing query.
    void SetSmallestPeriodMs(int ms) noexcept { smallestPeriodMs_ = ms; }
    void SetRefuseResolution(bool refuse) noexcept { refuseResolution_ = refuse; }
    void SetRefuseStart(bool refuse) noexcept { refuseStart_ = refuse; }

  private:
    int smallestPeriodMs_ = 1;
    bool refuseResolution_ = false;
    bool refuseStart_ = false;
    bool resolutionHeld_ = false;
    bool sleeping_ = false;
    std::int64_t quiet_ = 0;
    std::int64_t slept_ = 0;  // not yet accounted for
    std::uint32_t seen_ = 0;
    std::uint64_t ticksRun_ = 0;
    std::uint64_t wakes_ = 0;
    Keyer* keyer_ = nullptr;
    int periodMs_ = 0;
    std::uint32_t timerId_ = 0;
    std::uint32_t nextId_ = 1;
    int startCount_ = 0;
    int killCount_ = 0;
};

}  // namespace telkey
