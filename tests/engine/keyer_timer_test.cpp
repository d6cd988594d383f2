// Starting, stopping and re-creating the keyer timer on a manual tick driver.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/morse_tables.h"
#include "keyer_fixture.h"

namespace telkey::test {
namespace {

using ::testing::ElementsAre;

class KeyerTimerTest : public KeyerFixture {
  protected:
    KeyerTimerTest() { engine.keyerSettings.TickMs = 0; }
};

TEST_F(KeyerTimerTest, StartsTwoMillisecondTimer) {
    EXPECT_THAT(engine.timer.StartKeyerTimer(), ElementsAre());
    EXPECT_TRUE(driver.Running());
    EXPECT_EQ(driver.PeriodMs(), 2);
    EXPECT_TRUE(driver.ResolutionHeld());
    EXPECT_NE(engine.timer.TimerId(), 0u);
    EXPECT_EQ(engine.keyerSettings.TickMs.load(), 2);
    driver.Tick(5);
    EXPECT_EQ(engine.keyer.TickCount(), 5u);
}

TEST_F(KeyerTimerTest, CoarseTimerIsReportedWithItsPeriod) {
    driver.SetSmallestPeriodMs(2);
    EXPECT_THAT(engine.timer.StartKeyerTimer(), ElementsAre("Timer resolution is too bad (2 ms)"));
    EXPECT_TRUE(driver.Running()) << "the later steps still run";
    EXPECT_EQ(engine.keyerSettings.TickMs.load(), 2);
}

TEST_F(KeyerTimerTest, FailedQueryIsReportedAsTooBad) {
    driver.SetSmallestPeriodMs(-1);
    const auto messages = engine.timer.StartKeyerTimer();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind("Timer resolution is too bad (", 0), 0u);
}

TEST_F(KeyerTimerTest, EveryFailureIsReportedInOrder) {
    driver.SetSmallestPeriodMs(10);
    driver.SetRefuseResolution(true);
    driver.SetRefuseStart(true);
    EXPECT_THAT(engine.timer.StartKeyerTimer(),
                ElementsAre("Timer resolution is too bad (10 ms)", "Error set timer resolution",
                            "Timer not installed"));
    EXPECT_EQ(engine.timer.TimerId(), 0u);
    EXPECT_EQ(engine.keyerSettings.TickMs.load(), 2);

    driver.Tick(3);
    EXPECT_EQ(engine.keyer.TickCount(), 0u) << "no timer, no ticks";
    engine.timer.StopKeyerTimer();  // nothing to kill or release
    EXPECT_EQ(driver.KillCount(), 0);
}

TEST_F(KeyerTimerTest, ResolutionRefusedAlone) {
    driver.SetRefuseResolution(true);
    EXPECT_THAT(engine.timer.StartKeyerTimer(), ElementsAre("Error set timer resolution"));
    EXPECT_TRUE(driver.Running());
}

TEST_F(KeyerTimerTest, StopKillsTimerAndReleasesResolution) {
    engine.timer.StartKeyerTimer();
    engine.timer.StopKeyerTimer();
    EXPECT_FALSE(driver.Running());
    EXPECT_FALSE(driver.ResolutionHeld());
    EXPECT_EQ(engine.timer.TimerId(), 0u);
    driver.Tick(10);
    EXPECT_EQ(engine.keyer.TickCount(), 0u);
    engine.timer.StopKeyerTimer();  // twice is harmless
    EXPECT_EQ(driver.KillCount(), 1);
}

TEST_F(KeyerTimerTest, RecreatedTimerKeepsKeyerState) {
    engine.timer.StartKeyerTimer();
    SetSpeed(25, 75, 0, 2);
    engine.mailbox.Fill(CharToCode('a'));
    driver.Tick(40);  // in the gap after the dot
    ASSERT_EQ(State().KeyerState, TextElementGap);
    const KeyerState before = State();

    ASSERT_TRUE(engine.timer.RecreateKeyerTimer(4));
    EXPECT_EQ(driver.PeriodMs(), 4);
    EXPECT_EQ(engine.keyerSettings.TickMs.load(), 4);
    EXPECT_EQ(engine.timer.TimerId(), driver.TimerId());
    EXPECT_EQ(State().KeyerState, before.KeyerState);
    EXPECT_EQ(State().StateTicks, before.StateTicks);

    // The character goes on where it was: the rest of the gap, then the dash.
    std::string line;
    for (int i = 0; i < 100; ++i) {
        driver.Tick();
        line += KeyDown() ? '#' : '.';
    }
    EXPECT_EQ(Runs(line)[0], std::make_pair(false, 11));
    EXPECT_EQ(Runs(line)[1], std::make_pair(true, 75));
    driver.Tick(100);
    EXPECT_THAT(TakeRing(), ElementsAre(CharToCode('a')));
}

TEST_F(KeyerTimerTest, RecreateFailureLeavesNoTimer) {
    engine.timer.StartKeyerTimer();
    driver.SetRefuseStart(true);
    EXPECT_FALSE(engine.timer.RecreateKeyerTimer(5));
    EXPECT_EQ(engine.timer.TimerId(), 0u);
    EXPECT_FALSE(driver.Running());

    driver.SetRefuseStart(false);
    EXPECT_FALSE(engine.timer.RecreateKeyerTimer(0)) << "no timer of 0 ms";
    EXPECT_TRUE(engine.timer.RecreateKeyerTimer(1));
    EXPECT_EQ(driver.PeriodMs(), 1);
}

TEST_F(KeyerTimerTest, EngineResetEmptiesHandover) {
    engine.flags.Transmitting = 1;
    engine.flags.Paused = 1;
    engine.mailbox.Fill(0x05);
    engine.keyer.PushRing(0x05);
    engine.ResetHandover();
    EXPECT_EQ(engine.flags.Transmitting.load(), 0);
    EXPECT_EQ(engine.flags.Paused.load(), 0);
    EXPECT_TRUE(engine.mailbox.NextCodeEmpty());
    EXPECT_EQ(engine.ring.RingCount(), 0u);
    std::uint8_t code = 0xAA;
    EXPECT_TRUE(engine.mailbox.Fill(0x07));
    EXPECT_TRUE(engine.mailbox.Take(code));
    EXPECT_EQ(code, 0x07);
}

}  // namespace
}  // namespace telkey::test
