// The TX line and the keyer: the PTT lead runs whenever the line comes on, a release (a stop,
// the guardian) makes its return a new rise, and the silence rule never drops a TX that just
// rose. At 60 letters per minute, 4 ms ticks.
#include <atomic>

#include "engine/morse_tables.h"
#include "keyer_fixture.h"

namespace telkey::test {
namespace {

constexpr int kLeadMs = 600;  // longer than a letter gap
constexpr int kLeadTicks = kLeadMs / 4;

class KeyerLeadTest : public KeyerFixture {
  protected:
    KeyerLeadTest() {
        engine.keyerSettings.PaddleDelay = kLeadMs;
        engine.ports.WatchReleases(&guardianReleases);
    }

    void TransmitOn() {
        engine.flags.Transmitting = 1;
        engine.ports.SetTx(1);
    }

    // Ticks until the key goes down (at most `limit`); -1 when it never does.
    int TicksUntilKeyDown(int limit = 2000) {
        for (int i = 1; i <= limit; ++i) {
            Tick();
            if (KeyDown()) return i;
        }
        return -1;
    }

    // Ticks until the character on the air has had its last key-up.
    void TickUntilKeyedUp() {
        for (int i = 0; i < 2000 && !engine.keyer.TextKeyedUp(); ++i) Tick();
        ASSERT_TRUE(engine.keyer.TextKeyedUp());
    }

    std::atomic<std::uint32_t> guardianReleases{0};
};

// Wherever the TX line comes on again, the next element waits the whole lead after it.
TEST_F(KeyerLeadTest, NoElementStartsSoonerThanTheLeadAfterTheTxLineCameOn) {
    enum class Rise { WindowSwitchesTx, StopAndContinue, GuardianRelease, Stall, PaddleAfterRise };
    struct Case {
        const char* name;
        int mox;
        Rise rise;
        std::uint8_t txMask;
        int leadTicks;  // at least this many ticks from the rise to the key-down
    };
    const Case cases[] = {
        {"MOX off, TX switched on by the window", 0, Rise::WindowSwitchesTx, 0x02, kLeadTicks},
        {"MOX on, TX switched on by the window", 1, Rise::WindowSwitchesTx, 0x02, kLeadTicks},
        {"MOX off, no TX line wired", 0, Rise::WindowSwitchesTx, 0x00, 1},
        {"stop and continue in a letter gap", 1, Rise::StopAndContinue, 0x02, kLeadTicks},
        {"stop and continue, MOX off", 0, Rise::StopAndContinue, 0x02, kLeadTicks},
        {"the guardian released mid-element", 1, Rise::GuardianRelease, 0x02, kLeadTicks},
        {"a stall past the catch-up bound mid-element", 0, Rise::Stall, 0x02, kLeadTicks},
        {"the paddle right after the window's TX on", 0, Rise::PaddleAfterRise, 0x02, kLeadTicks},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        engine.keyer.StateForTest() = KeyerState{};
        engine.ResetHandover();
        engine.ports.SetTx(0);
        engine.keyerSettings.MoxOn = c.mox;
        engine.portSettings.TxMask = c.txMask;
        Tick(10);
        int before = 0;  // ticks from the rise to the start of the count below
        switch (c.rise) {
            case Rise::WindowSwitchesTx:
                TransmitOn();
                ASSERT_TRUE(engine.HandOver(CharToCode('E')));
                break;
            case Rise::StopAndContinue:
                TransmitOn();
                ASSERT_TRUE(engine.HandOver(CharToCode('T')));
                ASSERT_GT(TicksUntilKeyDown(1000), 0);
                TickUntilKeyedUp();
                ASSERT_TRUE(engine.HandOver(CharToCode('E')));
                engine.ports.Hold();  // the stop handler, in the letter gap
                EXPECT_TRUE(engine.ports.LineOn()) << "the TX reasons count while held";
                engine.ports.Hold();  // SIGCONT: the window resumes
                engine.ports.Resume();
                break;
            case Rise::GuardianRelease:
            case Rise::Stall:
                TransmitOn();
                ASSERT_TRUE(engine.HandOver(CharToCode('T')));
                ASSERT_GT(TicksUntilKeyDown(1000), 0);
                Tick(10);
                if (c.rise == Rise::Stall) {
                    engine.keyer.NoteStall();  // the timer dropped ticks
                } else {
                    ++guardianReleases;  // the guardian released the stalled keyer's lines
                }
                Tick();
                EXPECT_FALSE(KeyDown()) << "the cut dash is not keyed on";
                ASSERT_TRUE(engine.HandOver(CharToCode('E')));
                before = 1;
                break;
            case Rise::PaddleAfterRise:
                TransmitOn();
                Paddle(true, false);
                break;
        }
        const int ticks = TicksUntilKeyDown() + before;
        Paddle(false, false);
        ASSERT_GT(ticks, before);
        EXPECT_GE(ticks, c.leadTicks);
        EXPECT_LE(ticks, c.leadTicks + 2) << "and no later than needed";
        TickUntilKeyedUp();
    }
}

// After a long idle with MOX and RxAtSilence on, a TX that rises with the mailbox still empty
// stays on until its text comes: one rise, no drop.
TEST_F(KeyerLeadTest, TheSilenceRuleCountsFromTheTxRise) {
    engine.keyerSettings.MoxOn = 1;
    engine.keyerSettings.PaddleDelay = 10;
    Tick(5000);
    const std::uint32_t rises = engine.ports.TxRises();
    TransmitOn();
    Tick(8 * 25 - 10);  // within SilenceLen dots of the rise
    ASSERT_TRUE(engine.HandOver(CharToCode('E')));
    ASSERT_GT(TicksUntilKeyDown(), 0);
    EXPECT_EQ(engine.flags.Transmitting.load(), 1);
    EXPECT_EQ(engine.ports.TxRises(), rises + 1);
    for (Notification n : TakeNotifications()) EXPECT_NE(n, Notification::WM_KEYER_TX_OFF);
}

// The keyer's TX off after silence clears Transmitting and then lets the switch go; a TX on
// from the window in between is never undone.
TEST_F(KeyerLeadTest, TheKeyersTxOffNeverUndoesALaterTxOn) {
    TransmitOn();
    engine.flags.Transmitting = 0;  // the keyer cleared it at the end of the silence
    TransmitOn();                   // the window switches transmit on again meanwhile
    EXPECT_FALSE(engine.ports.EndTx());
    EXPECT_TRUE(engine.ports.TxLineOn());
    engine.flags.Transmitting = 0;
    EXPECT_TRUE(engine.ports.EndTx());
    EXPECT_FALSE(engine.ports.TxLineOn());
}

// A settings change shows on the lines at once, though the keyer sleeps: a key port left is
// released, the new one carries the TX line.
TEST_F(KeyerLeadTest, ASettingsChangeRewritesTheOutputs) {
    constexpr std::uint16_t kLpt2 = 0x278;
    engine.WakeKeyerOnChange();
    TransmitOn();
    ASSERT_EQ(bus.LastValue(kLpt1), 0x02);
    engine.portSettings.KeyPortNumber = kLpt1Number + 1;
    engine.WakeKeyerOnChange();
    EXPECT_EQ(bus.LastValue(kLpt1), 0x00);
    EXPECT_EQ(bus.LastValue(kLpt2), 0x02);
    engine.portSettings.TxMask = 0x04;
    engine.WakeKeyerOnChange();
    EXPECT_EQ(bus.LastValue(kLpt2), 0x04);
}

}  // namespace
}  // namespace telkey::test
