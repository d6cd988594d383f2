// The speed controls of the main window: typed speeds snapped to the table, the two arrows, the
// dash/dot ratio, the weighting, the status texts and the re-created keyer timer.
#include "options/speed_control.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

#include "engine/engine.h"
#include "support/window_fixture.h"
#include "widgets/status_panels.h"
#include "widgets/up_down.h"

namespace telkey {
namespace {

class SpeedControlTest : public ::testing::Test {
  protected:
    SpeedControlTest() {
        w.StartTimer();
        w.form.speed.ApplySpeed(true);
    }

    // Types a speed and presses Enter, as the operator does.
    void TypeSpeed(const QString& text) {
        w.form.SpeedEdit->setText(text);
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
        QApplication::sendEvent(w.form.SpeedEdit, &enter);
    }

    QString SpeedText() const { return w.form.SpeedEdit->text(); }
    QString Panel(int i) const { return w.form.StatusBar->PanelText(i); }
    int DotTicks() const { return w.engine.keyerSettings.DotTicks.load(); }
    int DashTicks() const { return w.engine.keyerSettings.DashTicks.load(); }
    int WeightTicks() const { return w.engine.keyerSettings.WeightTicks.load(); }
    int TickMs() const { return w.engine.keyerSettings.TickMs.load(); }

    void ClickSpeed(bool up) {
        (up ? w.form.SpeedUpDown->UpButton() : w.form.SpeedUpDown->DownButton())->click();
    }
    void ClickRatio(bool up) {
        (up ? w.form.DashDotUpDown->UpButton() : w.form.DashDotUpDown->DownButton())->click();
    }

    test::WindowFixture w;
};

TEST_F(SpeedControlTest, DefaultSpeedIsRowSeventeen) {
    EXPECT_EQ(w.form.speed.SpeedIndex, 17);
    EXPECT_EQ(w.form.SpeedUpDown->Position(), 17);
    EXPECT_EQ(SpeedText(), "60");
    EXPECT_EQ(DotTicks(), 25);
    EXPECT_EQ(DashTicks(), 75);
    EXPECT_EQ(WeightTicks(), 0);
    EXPECT_EQ(TickMs(), 4);
    EXPECT_EQ(Panel(kSpeedPanel), " 60.0 LPM  12.0 WPM");
    EXPECT_EQ(Panel(kDotTicksPanel), "25");
    EXPECT_EQ(w.form.DashDotEdit->text(), "3.00");
}

TEST_F(SpeedControlTest, NothingUsableReadsAsTheSlowestRow) {
    for (const char* text : {"fast", "", "0"}) {
        SCOPED_TRACE(text);
        TypeSpeed(QString::fromLatin1(text));
        EXPECT_EQ(w.form.speed.Speed, 1);
        EXPECT_EQ(w.form.speed.SpeedIndex, 0);
        EXPECT_EQ(SpeedText(), "1");
        EXPECT_EQ(Panel(kSpeedPanel), "  1.0 LPM   0.2 WPM");
        EXPECT_EQ(TickMs(), 100);
        EXPECT_EQ(DotTicks(), 60);
        TypeSpeed(QStringLiteral("60"));
    }
}

TEST_F(SpeedControlTest, SpeedsAboveTheTableGiveTheFastestRow) {
    for (const char* text : {"7000", "9999"}) {
        SCOPED_TRACE(text);
        TypeSpeed(QString::fromLatin1(text));
        EXPECT_EQ(w.form.speed.SpeedIndex, 68);
        EXPECT_EQ(SpeedText(), "6000");
        EXPECT_EQ(DotTicks(), 1);
        EXPECT_EQ(TickMs(), 1);
        EXPECT_EQ(w.form.SpeedUpDown->Position(), 68);
        TypeSpeed(QStringLiteral("60"));
    }
}

TEST_F(SpeedControlTest, LeadingNumberOfTheTextCounts) {
    TypeSpeed(QStringLiteral(" +62abc"));
    EXPECT_EQ(w.form.speed.SpeedIndex, 17);
    EXPECT_EQ(SpeedText(), "60");
}

TEST_F(SpeedControlTest, TiesGoToTheSlowerRow) {
    TypeSpeed(QStringLiteral("7"));
    EXPECT_EQ(SpeedText(), "6");
    EXPECT_EQ(w.form.speed.SpeedIndex, 5);
    TypeSpeed(QStringLiteral("83"));
    EXPECT_EQ(SpeedText(), "80");
    EXPECT_EQ(w.form.speed.SpeedIndex, 21);
    TypeSpeed(QStringLiteral("4500"));
    EXPECT_EQ(SpeedText(), "3000");
    EXPECT_EQ(w.form.speed.SpeedIndex, 67);
}

TEST_F(SpeedControlTest, LeavingTheBoxAppliesTheTypedSpeed) {
    w.form.SpeedEdit->setText(QStringLiteral("150"));
    QFocusEvent leave(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(w.form.SpeedEdit, &leave);
    EXPECT_EQ(w.form.speed.SpeedIndex, 34);
    EXPECT_EQ(TickMs(), 2);

    // Switching to another window is not leaving the box.
    w.form.SpeedEdit->setText(QStringLiteral("300"));
    QFocusEvent away(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
    QApplication::sendEvent(w.form.SpeedEdit, &away);
    EXPECT_EQ(w.form.speed.SpeedIndex, 34);
}

TEST_F(SpeedControlTest, OtherCharactersThanEnterLeaveTheSpeedAlone) {
    w.form.SpeedEdit->setText(QStringLiteral("300"));
    QKeyEvent digit(QEvent::KeyPress, Qt::Key_5, Qt::NoModifier, QStringLiteral("5"));
    QApplication::sendEvent(w.form.SpeedEdit, &digit);
    EXPECT_EQ(w.form.speed.SpeedIndex, 17);
}

TEST_F(SpeedControlTest, ExactSpeedShowsInTheStatusBar) {
    TypeSpeed(QStringLiteral("86"));
    EXPECT_EQ(w.form.speed.SpeedIndex, 22);
    EXPECT_EQ(SpeedText(), "86");
    EXPECT_EQ(Panel(kSpeedPanel), " 85.7 LPM  17.1 WPM");
    EXPECT_EQ(Panel(kDotTicksPanel), "35");
}

// The bare figure in the status bar says in its tooltip what it counts.
TEST_F(SpeedControlTest, DotTicksPanelTellsWhatItCounts) {
    const struct {
        const char* typed;
        const char* tip;
    } cases[] = {
        {"60", "Dot length: 25 keyer ticks of 4 ms (100 ms)"},
        {"86", "Dot length: 35 keyer ticks of 2 ms (70 ms)"},
    };
    for (const auto& c : cases) {
        TypeSpeed(QString::fromLatin1(c.typed));
        EXPECT_EQ(w.form.StatusBar->Panel(kDotTicksPanel)->toolTip(), QString::fromLatin1(c.tip))
            << c.typed;
    }
}

TEST_F(SpeedControlTest, EachArrowClickMovesExactlyOneRow) {
    TypeSpeed(QStringLiteral("1"));
    for (int row = 1; row < kSpeedRows; ++row) {
        ClickSpeed(true);
        ASSERT_EQ(w.form.speed.SpeedIndex, row);
        ASSERT_EQ(w.form.SpeedUpDown->Position(), row);
        ASSERT_EQ(SpeedText(), QString::number(kSpeedTable[row].lpm));
        ASSERT_EQ(DotTicks(), kSpeedTable[row].dotMs / kSpeedTable[row].tickMs);
        ASSERT_EQ(TickMs(), kSpeedTable[row].tickMs);
    }
    for (int row = kSpeedRows - 2; row >= 0; --row) {
        ClickSpeed(false);
        ASSERT_EQ(w.form.speed.SpeedIndex, row);
        ASSERT_EQ(SpeedText(), QString::number(kSpeedTable[row].lpm));
    }
}

TEST_F(SpeedControlTest, ArrowsStopAtTheEndsOfTheTable) {
    TypeSpeed(QStringLiteral("6000"));
    const int starts = w.driver.StartCount();
    ClickSpeed(true);
    EXPECT_EQ(w.form.speed.SpeedIndex, 68);
    EXPECT_EQ(w.form.SpeedUpDown->Position(), 68);
    EXPECT_EQ(SpeedText(), "6000");
    EXPECT_EQ(w.driver.StartCount(), starts);

    TypeSpeed(QStringLiteral("1"));
    ClickSpeed(false);
    EXPECT_EQ(w.form.speed.SpeedIndex, 0);
    EXPECT_EQ(w.form.SpeedUpDown->Position(), 0);
    EXPECT_EQ(SpeedText(), "1");
}

TEST_F(SpeedControlTest, RatioStepsByQuarterDotsBetweenThreeAndSix) {
    ClickRatio(false);
    EXPECT_EQ(w.form.speed.DashDotRatio, 300);
    ClickRatio(true);
    EXPECT_EQ(w.form.speed.DashDotRatio, 325);
    EXPECT_EQ(w.form.DashDotEdit->text(), "3.25");
    EXPECT_EQ(DashTicks(), 81);  // 25 x 3.25, truncated
    for (int i = 0; i < 20; ++i) ClickRatio(true);
    EXPECT_EQ(w.form.speed.DashDotRatio, 600);
    EXPECT_EQ(w.form.DashDotEdit->text(), "6.00");
    TypeSpeed(QStringLiteral("171"));  // 35 ms dots of 5 ms ticks
    EXPECT_EQ(DotTicks(), 7);
    EXPECT_EQ(DashTicks(), 42);
}

TEST_F(SpeedControlTest, LoadedRatioOutsideTheRangeIsUsedUntilTheArrowIsClicked) {
    w.form.speed.DashDotRatio = 250;
    w.form.DashDotUpDown->SetPosition(250);
    w.form.speed.ApplySpeed(false);
    EXPECT_EQ(DashTicks(), 62);
    EXPECT_EQ(w.form.DashDotEdit->text(), "2.50");
    ClickRatio(true);
    EXPECT_EQ(w.form.speed.DashDotRatio, 325);
}

TEST_F(SpeedControlTest, WeightingRoundsToTicksAndNeverReachesADot) {
    auto weightAt = [this](int weighting) {
        w.form.speed.Weighting = weighting;
        w.form.speed.ApplySpeed(false);
        return WeightTicks();
    };
    EXPECT_EQ(weightAt(10), 3);
    EXPECT_EQ(weightAt(-3), 0);
    EXPECT_EQ(weightAt(-10), -2);
    EXPECT_EQ(weightAt(96), 24);
    EXPECT_EQ(weightAt(100), 0);     // 25 ticks, not shorter than the dot
    EXPECT_EQ(weightAt(-100), -24);  // truncated toward zero
    EXPECT_EQ(weightAt(-102), 0);
    EXPECT_EQ(weightAt(INT32_MAX), 0);
}

TEST_F(SpeedControlTest, ANewTickLengthRecreatesTheTimerAndKeepsTheKeyerState) {
    ASSERT_EQ(w.driver.PeriodMs(), 4);
    // A dash in progress.
    ASSERT_TRUE(w.engine.mailbox.Fill(0x03));
    w.Ticks(30);
    const KeyerState before = w.engine.keyer.State();
    ASSERT_NE(before.KeyerState, Idle);
    const int starts = w.driver.StartCount();

    ClickSpeed(false);  // 55 LPM: 5 ms ticks
    EXPECT_EQ(w.driver.StartCount(), starts + 1);
    EXPECT_EQ(w.driver.PeriodMs(), 5);
    EXPECT_EQ(TickMs(), 5);
    const KeyerState after = w.engine.keyer.State();
    EXPECT_EQ(after.KeyerState, before.KeyerState);
    EXPECT_EQ(after.StateTicks, before.StateTicks);
    EXPECT_EQ(after.SendCode, before.SendCode);
    EXPECT_EQ(after.ElementMask, before.ElementMask);

    // The element goes on counting at the new tick length.
    w.driver.Tick(1);
    EXPECT_EQ(w.engine.keyer.State().StateTicks, before.StateTicks + 1);
}

TEST_F(SpeedControlTest, TheSameTickLengthKeepsTheTimer) {
    const int starts = w.driver.StartCount();
    ClickSpeed(true);  // 65 LPM: 4 ms ticks like 60
    EXPECT_EQ(w.form.speed.SpeedIndex, 18);
    EXPECT_EQ(w.driver.StartCount(), starts);
    EXPECT_EQ(DotTicks(), 23);
}

TEST_F(SpeedControlTest, WithoutARunningTimerTheTickLengthStays) {
    w.engine.timer.StopKeyerTimer();
    TypeSpeed(QStringLiteral("1"));
    EXPECT_EQ(TickMs(), 4);
    EXPECT_EQ(DotTicks(), 60);
    EXPECT_EQ(w.driver.Running(), false);
    EXPECT_TRUE(w.boxes.shown.empty());
}

TEST_F(SpeedControlTest, ATimerThatCannotBeRecreatedEndsTheProgram) {
    w.driver.SetRefuseStart(true);
    TypeSpeed(QStringLiteral("1"));
    ASSERT_EQ(w.boxes.shown.size(), 1u);
    EXPECT_EQ(w.boxes.shown[0].title, "Error");
    EXPECT_EQ(w.boxes.shown[0].text, "Timer error!");
    EXPECT_EQ(w.endRequests, 1);
    // The rest of the speed is still applied.
    EXPECT_EQ(SpeedText(), "1");
    EXPECT_EQ(DotTicks(), 60);
}

TEST(SpeedControlArithmetic, BeforeTheTimerEverRanTheRowsTickIsUsed) {
    SimPortBus bus;
    ManualTickDriver driver;
    Engine engine(bus, driver);
    SpeedControl speed(engine);
    speed.Weighting = 10;
    speed.ApplySpeed(true);  // no views, TickMs still 0
    EXPECT_EQ(engine.keyerSettings.TickMs.load(), 0);
    EXPECT_EQ(engine.keyerSettings.DotTicks.load(), 25);
    EXPECT_EQ(engine.keyerSettings.WeightTicks.load(), 3);
}

TEST(SpeedControlTexts, RatioAndSpeedUseAPointWhateverTheLocale) {
    EXPECT_EQ(DashDotText(300), "3.00");
    EXPECT_EQ(DashDotText(325), "3.25");
    EXPECT_EQ(DashDotText(5), "0.05");
    EXPECT_EQ(DashDotText(-250), "-2.50");
    EXPECT_EQ(SpeedStatusText(1, 1), "6000.0 LPM  1200.0 WPM");
    EXPECT_EQ(SpeedStatusText(35, 2), " 85.7 LPM  17.1 WPM");
}

}  // namespace
}  // namespace telkey
