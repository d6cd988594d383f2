#pragma once
// The keying speed: always one row of the speed table. ApplySpeed turns the row, the dash/dot
// ratio and the weighting into the tick counts the keyer reads, re-creates the keyer timer when
// the tick length changes, and shows the result in the speed controls and the status bar.
// Window thread only.
#include <QString>
#include <cstdint>
#include <functional>

#include "options/speed_table.h"

class QLineEdit;

namespace telkey {

struct Engine;
class StatusPanels;
class UpDown;

inline constexpr std::int32_t kDefaultSpeed = 60;
inline constexpr std::int32_t kDefaultDashDotRatio = 300;
inline constexpr int kMinDashDotRatio = 300;
inline constexpr int kMaxDashDotRatio = 600;
inline constexpr int kDashDotRatioStep = 25;
// Status bar panels written here.
inline constexpr int kDotTicksPanel = 2;
inline constexpr int kSpeedPanel = 3;

// "0.00" with a '.' whatever the locale: 300 shows as 3.00.
QString DashDotText(std::int32_t dashDotRatio);
// "%5.1f LPM  %4.1f WPM" of the exact speed of a dot of dotTicks ticks of tickMs ms.
QString SpeedStatusText(std::int32_t dotTicks, std::int32_t tickMs);

// The tooltip of the dot-ticks panel: what its figure counts.
QString DotTicksTip(std::int32_t dotTicks, std::int32_t tickMs);

class SpeedControl {
  public:
    // The controls that show the speed; any may be null in tests of the arithmetic.
    struct Views {
        QLineEdit* SpeedEdit = nullptr;
        UpDown* SpeedUpDown = nullptr;
        QLineEdit* DashDotEdit = nullptr;
        StatusPanels* StatusBar = nullptr;
    };

    explicit SpeedControl(Engine& engine) noexcept : engine_(engine) {}

    void Bind(const Views& views) noexcept { views_ = views; }

    // Picks the row nearest to Speed first (rowMatching) or keeps SpeedIndex, then sets
    // DotTicks, DashTicks, WeightTicks and, when the timer runs, TickMs.
    void ApplySpeed(bool rowMatching);

    // SpeedEdit left, or Enter typed in it: Speed from the text, then the nearest row.
    void SpeedEditExit();
    // One click on SpeedUpDown: one row in the arrow's direction, never beyond the table.
    void SpeedUpDownChanging(bool up);
    // A click on DashDotUpDown: the ratio becomes the control's new position.
    void DashDotUpDownClick(int position);

    std::int32_t Speed = kDefaultSpeed;  // LPM; a table value after every ApplySpeed
    std::int32_t SpeedIndex = kDefaultSpeedRow;
    std::int32_t DashDotRatio = kDefaultDashDotRatio;  // dash length in 1/100 dots
    std::int32_t Weighting = 0;                        // ms added to marks, taken from gaps

    // The keyer timer could not be re-created: the application must end. Receives the
    // message to show ("Timer error!").
    std::function<void(const QString&)> timerFailed;
    // Told the speed (LPM) after every ApplySpeed: the rig's keyer follows it.
    std::function<void(std::int32_t lpm)> speedApplied;

  private:
    Engine& engine_;
    Views views_;
};

}  // namespace telkey
