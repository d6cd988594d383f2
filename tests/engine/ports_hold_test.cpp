// Holding the outputs while the program is stopped or ends on a signal: the lines are released
// at once, nothing keys them while held, and after a resume the TX line follows the transmit
// state at once while the key line waits for the next element. A station test of the key or TX
// line is keyed like a key-down and released like one.
#include "engine/morse_tables.h"
#include "engine/safe_outputs.h"
#include "tests/engine/keyer_fixture.h"

namespace telkey::test {
namespace {

class PortsHold : public KeyerFixture {
  protected:
    // The PTT lead is the lead test's; here the text keys as soon as it is handed over.
    PortsHold() { engine.keyerSettings.PaddleDelay = 0; }

    std::uint8_t Register() const { return bus.LastValue(kLpt1).value_or(0xEE); }
    static constexpr std::uint8_t kKeyAndTx = 0x03;
};

TEST_F(PortsHold, HoldDuringADashReleasesAndKeepsTheLinesReleasedUntilResumed) {
    engine.portSettings.AllMask = 0x80;
    engine.portSettings.UseSpeaker = 1;
    engine.flags.Transmitting = 1;
    engine.mailbox.Fill(CharToCode('T'));
    Tick(2);  // takes the code, then the dash begins
    ASSERT_EQ(Register(), 0x80 | kKeyAndTx);
    ASSERT_TRUE(engine.ports.SpeakerSounding());

    engine.ports.Hold();
    EXPECT_EQ(Register(), 0x80);
    EXPECT_TRUE(engine.ports.Held());
    // The keyer runs on: the rest of the dash, the gaps and a second letter key nothing.
    engine.mailbox.Fill(CharToCode('E'));
    bus.Clear();
    Tick(300);
    EXPECT_GT(bus.WriteCount(), 0u);
    for (const PortWrite& w : bus.WritesTo(kLpt1)) {
        if (w.value != 0x80) ADD_FAILURE() << "keyed while held: " << int{w.value};
    }
    EXPECT_FALSE(engine.ports.SpeakerSounding());    // the first key-up silenced it
    EXPECT_EQ(engine.flags.Transmitting.load(), 1);  // the transmit state is not changed
}

TEST_F(PortsHold, ResumeRestoresTxAtOnceAndEndsTheCutCharacter) {
    engine.flags.Transmitting = 1;
    engine.mailbox.Fill(CharToCode('M'));  // dash dash
    Tick(2);
    ASSERT_EQ(Register(), kKeyAndTx);
    engine.ports.Hold();
    Tick(10);
    engine.ports.Resume();
    EXPECT_FALSE(engine.ports.Held());
    EXPECT_EQ(Register(), 0x02);  // TX back, the cut dash stays up
    // The character ends with the cut dash, as a stop ends it: the second dash is not keyed,
    // and the echo is what went out.
    EXPECT_TRUE(DownLengths(KeyLine(200)).empty());
    EXPECT_THAT(TakeRing(), ::testing::ElementsAre(CharToCode('T'), CodeWordSpace));
    EXPECT_EQ(Register() & 0x02, 0x02);
}

TEST_F(PortsHold, ResumeWhileReceivingLeavesTxOff) {
    engine.ports.SetTx(1);
    engine.ports.Hold();
    EXPECT_EQ(Register(), 0x00);
    engine.ports.Resume();
    EXPECT_EQ(Register(), 0x00);  // Transmitting is 0: flag and line agree
}

TEST_F(PortsHold, SetTxWhileHeldWritesTheLineReleased) {
    engine.ports.Hold();
    engine.ports.SetTx(1);
    EXPECT_EQ(Register(), 0x00);
}

// A test line on, then one release (the orderly end, or a hold and a resume).
class PortsTestLine : public PortsHold,
                      public ::testing::WithParamInterface<std::tuple<TestLine, bool>> {};

TEST_P(PortsTestLine, IsKeyedByTheTicksAndEveryReleaseDropsItForGood) {
    const auto [line, orderlyEnd] = GetParam();
    engine.portSettings.AllMask = 0x80;
    engine.ports.StartTest(line);
    Tick();
    EXPECT_EQ(Register(), 0x80 | (line == TestLine::Key ? 0x01 : 0x02));
    if (orderlyEnd) ReleaseOutputs(engine);
    if (!orderlyEnd) engine.ports.Hold();
    engine.ports.StartTest(line);  // a click the window thread handled as the stop came
    EXPECT_EQ(Register(), 0x80);
    Tick(10);
    if (!orderlyEnd) engine.ports.Resume();
    Tick(10);
    EXPECT_EQ(Register(), 0x80);
    // What the guardian and every hold write, even where AllMask overlaps the key and TX bits.
    engine.portSettings.AllMask = 0x83;
    EXPECT_EQ(ReleasedValue(engine.portSettings), 0x80);
}

INSTANTIATE_TEST_SUITE_P(Lines, PortsTestLine,
                         ::testing::Combine(::testing::Values(TestLine::Key, TestLine::Tx),
                                            ::testing::Bool()));

}  // namespace
}  // namespace telkey::test
