#include "options/speed_control.h"

#include <QLabel>
#include <QLineEdit>
#include <algorithm>
#include <cstdlib>
#include <limits>

#include "engine/engine.h"
#include "widgets/status_panels.h"
#include "widgets/up_down.h"

namespace telkey {

namespace {

std::int32_t Saturated(std::int64_t value) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

QString DotTicksTip(std::int32_t dotTicks, std::int32_t tickMs) {
    return QStringLiteral("Dot length: %1 keyer ticks of %2 ms (%3 ms)")
        .arg(dotTicks)
        .arg(tickMs)
        .arg(std::int64_t{dotTicks} * tickMs);
}

QString DashDotText(std::int32_t dashDotRatio) {
    const std::int64_t ratio = dashDotRatio;
    const std::int64_t magnitude = ratio < 0 ? -ratio : ratio;
    return QStringLiteral("%1%2.%3")
        .arg(ratio < 0 ? QStringLiteral("-") : QString())
        .arg(magnitude / 100)
        .arg(magnitude % 100, 2, 10, QLatin1Char('0'));
}

QString SpeedStatusText(std::int32_t dotTicks, std::int32_t tickMs) {
    const double lpm = 6000.0 / (static_cast<double>(dotTicks) * tickMs);
    const double wpm = lpm * 0.2;
    // QString::asprintf always writes '.', whatever the locale.
    return QString::asprintf("%5.1f LPM  %4.1f WPM", lpm, wpm);
}

void SpeedControl::ApplySpeed(bool rowMatching) {
    KeyerSettings& keyer = engine_.keyerSettings;

    // 1. The row nearest to the requested speed.
    if (rowMatching) {
        Speed = std::clamp(Speed, kMinSpeed, kMaxSpeed);
        SpeedIndex = NearestSpeedRow(Speed);
        if (views_.SpeedUpDown != nullptr) views_.SpeedUpDown->SetPosition(SpeedIndex);
    }
    SpeedIndex = std::clamp(SpeedIndex, kSlowestRow, kFastestRow);
    const SpeedRow& row = kSpeedTable[static_cast<std::size_t>(SpeedIndex)];

    // 2. The speed is the row's.
    Speed = row.lpm;
    if (views_.SpeedEdit != nullptr) views_.SpeedEdit->setText(QString::number(Speed));

    // 3.
    const std::int32_t dotTicks = row.dotMs / row.tickMs;
    keyer.DotTicks.store(dotTicks);

    // 4. A new tick length needs a new timer; the keyer's state carries over.
    if (row.tickMs != keyer.TickMs.load() && engine_.timer.TimerId() != 0) {
        keyer.TickMs.store(row.tickMs);
        if (!engine_.timer.RecreateKeyerTimer(row.tickMs) && timerFailed) {
            timerFailed(QStringLiteral("Timer error!"));
        }
    }
    // Before the timer has ever run TickMs may still be 0: count with the row's tick then.
    const std::int32_t tickMs = keyer.TickMs.load() > 0 ? keyer.TickMs.load() : row.tickMs;

    // 5.
    keyer.DashTicks.store(Saturated(std::int64_t{dotTicks} * DashDotRatio / 100));

    // 6. Half a tick added, so a positive weighting rounds to the nearest tick.
    const std::int64_t weightTicks = (std::int64_t{tickMs} / 2 + Weighting) / tickMs;
    keyer.WeightTicks.store(std::llabs(weightTicks) < dotTicks ? Saturated(weightTicks) : 0);

    // 7. - 9.
    if (views_.DashDotEdit != nullptr) views_.DashDotEdit->setText(DashDotText(DashDotRatio));
    if (views_.StatusBar != nullptr) {
        views_.StatusBar->SetPanelText(kSpeedPanel, SpeedStatusText(dotTicks, tickMs));
        views_.StatusBar->SetPanelText(kDotTicksPanel, QString::number(dotTicks));
        views_.StatusBar->Panel(kDotTicksPanel)->setToolTip(DotTicksTip(dotTicks, tickMs));
    }
    if (speedApplied) speedApplied(Speed);
}

void SpeedControl::SpeedEditExit() {
    if (views_.SpeedEdit != nullptr) {
        Speed = ParseSpeedText(views_.SpeedEdit->text().toStdString().c_str());
    }
    ApplySpeed(true);
}

void SpeedControl::SpeedUpDownChanging(bool up) {
    SpeedIndex = std::clamp(SpeedIndex + (up ? 1 : -1), kSlowestRow, kFastestRow);
    if (views_.SpeedUpDown != nullptr) views_.SpeedUpDown->SetPosition(SpeedIndex);
    ApplySpeed(false);
}

void SpeedControl::DashDotUpDownClick(int position) {
    DashDotRatio = position;
    ApplySpeed(false);
}

}  // namespace telkey
