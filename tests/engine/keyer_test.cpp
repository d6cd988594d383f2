// The keyer state machine, tick by tick, at 60 letters per minute (dot 25 ticks, dash 75).
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/morse_tables.h"
#include "keyer_fixture.h"

namespace telkey::test {
namespace {

using N = Notification;
using ::testing::ElementsAre;

class KeyerTest : public KeyerFixture {
  protected:
    // Keys text as the window thread would: the mailbox is refilled as soon as it is empty.
    std::string KeyText(const std::vector<std::uint8_t>& codes, int ticks) {
        std::size_t next = 0;
        std::string line;
        for (int i = 0; i < ticks; ++i) {
            if (next < codes.size() && engine.mailbox.Fill(codes[next])) ++next;
            Tick();
            line += KeyDown() ? '#' : '.';
        }
        return line;
    }

    // Ticks with the paddle as set until the key has gone down `count` times.
    void TickUntilKeyDowns(int count) {
        bool was = KeyDown();
        for (int guard = 0; count > 0 && guard < 100000; ++guard) {
            Tick();
            if (KeyDown() && !was) --count;
            was = KeyDown();
        }
        ASSERT_EQ(count, 0);
    }
};

TEST_F(KeyerTest, TextCharacterKeysElementsWithWorkedLengths) {
    engine.mailbox.Fill(CharToCode('a'));
    const std::string line = KeyLine(200);
    const auto runs = Runs(line);
    // The idle tick that takes the code, dot 25, gap 25, dash 75, then the letter gap.
    ASSERT_GE(runs.size(), 5u);
    EXPECT_EQ(runs[0], std::make_pair(false, 1));
    EXPECT_EQ(runs[1], std::make_pair(true, 25));
    EXPECT_EQ(runs[2], std::make_pair(false, 25));
    EXPECT_EQ(runs[3], std::make_pair(true, 75));
    EXPECT_EQ(runs.size(), 5u);
    EXPECT_EQ(engine.ring.RingCount(), 0u) << "echoed only after the letter gap";

    Tick();  // 75 ticks after key-up
    EXPECT_THAT(TakeRing(), ElementsAre(0x05));
    EXPECT_EQ(State().KeyerState, Idle);
    // The word space follows at 125 ticks of silence, counted from key-up.
    EXPECT_EQ(TicksUntilPush(), 50);
    EXPECT_THAT(TakeRing(), ElementsAre(CodeWordSpace));
    EXPECT_THAT(TakeNotifications(),
                ElementsAre(N::WM_KEYER_NEED_CODE, N::WM_KEYER_CHAR, N::WM_KEYER_CHAR));
}

TEST_F(KeyerTest, WeightingLengthensKeyDownAndShortensGaps) {
    for (int weight : {5, -5}) {
        SCOPED_TRACE(weight);
        engine.keyer.StateForTest() = KeyerState{};
        SetSpeed(25, 75, weight, 4);
        const auto runs = Runs(KeyText({CharToCode('a')}, 150));
        ASSERT_GE(runs.size(), 4u);
        EXPECT_EQ(runs[1], std::make_pair(true, 25 + weight));
        EXPECT_EQ(runs[2], std::make_pair(false, 25 - weight));
        EXPECT_EQ(runs[3], std::make_pair(true, 75 + weight));
        Tick(200);
    }
}

TEST_F(KeyerTest, CharactersBackToBackAndTextSpaceGaps) {
    const std::uint8_t e = CharToCode('e');
    const auto runs = Runs(KeyText({e, e, CodeWordSpace, e}, 400));
    ASSERT_GE(runs.size(), 6u);
    EXPECT_EQ(runs[1], std::make_pair(true, 25));
    EXPECT_EQ(runs[2], std::make_pair(false, 76)) << "letter gap is DashTicks + 1";
    EXPECT_EQ(runs[3], std::make_pair(true, 25));
    EXPECT_EQ(runs[4], std::make_pair(false, 76 + 101)) << "a space adds 4 dots + 1";
    EXPECT_EQ(runs[5], std::make_pair(true, 25));
    EXPECT_THAT(TakeRing(), ElementsAre(e, e, CodeWordSpace));
}

// The timer thread wakes early only for ticks announced as edges: an edge not announced would
// be keyed as late as any other tick.
TEST_F(KeyerTest, EveryKeyLineChangeIsAnnouncedOneTickAhead) {
    const std::vector<std::uint8_t> text{CharToCode('p'), CharToCode('a'), CodeWordSpace,
                                         CharToCode('7'), CharToCode('3')};
    // Text, then the paddle: a dot held, both (iambic), a dash held, released.
    const std::vector<std::pair<int, std::pair<bool, bool>>> paddle{
        {1500, {true, false}}, {1700, {true, true}}, {2000, {false, true}}, {2200, {false, false}}};
    for (const int weight : {0, 5, -5}) {
        SCOPED_TRACE(weight);
        engine.keyer.StateForTest() = KeyerState{};
        SetSpeed(25, 75, weight, 4);
        std::size_t next = 0;
        int changes = 0;
        for (int i = 0; i < 2500; ++i) {
            if (next < text.size() && engine.mailbox.Fill(text[next])) ++next;
            for (const auto& [at, contacts] : paddle) {
                if (i == at) Paddle(contacts.first, contacts.second);
            }
            const bool announced = engine.keyer.EdgeDueNextTick();
            const bool before = KeyDown();
            Tick();
            EXPECT_EQ(announced, KeyDown() != before) << "tick " << i;
            if (KeyDown() != before) ++changes;
        }
        EXPECT_GT(changes, 40);
    }
}

TEST_F(KeyerTest, TextSpaceLastsFourDots) {
    engine.mailbox.Fill(CodeWordSpace);
    Tick();
    EXPECT_EQ(State().KeyerState, TextWordSpace);
    EXPECT_EQ(TicksUntilPush(), 100);
    EXPECT_THAT(TakeRing(), ElementsAre(CodeWordSpace));
    EXPECT_EQ(State().KeyerState, Idle);

    // Code 1 is a word space too, echoed as code 0.
    engine.mailbox.Fill(0x01);
    Tick();
    EXPECT_EQ(TicksUntilPush(), 100);
    EXPECT_THAT(TakeRing(), ElementsAre(CodeWordSpace));
}

TEST_F(KeyerTest, PaddleCutsTextSpaceShort) {
    engine.mailbox.Fill(CodeWordSpace);
    Tick(31);  // 30 ticks of space
    Paddle(true, false);
    Tick();
    EXPECT_EQ(State().KeyerState, Idle);
    EXPECT_EQ(engine.ring.RingCount(), 0u) << "less than two dots: no word space";
    Tick();
    EXPECT_EQ(State().KeyerState, PaddleDot);

    // After two dots of space the cut space is still echoed.
    Paddle(false, false);
    Tick(200);
    TakeRing();
    engine.mailbox.Fill(CodeWordSpace);
    Tick(50);
    Paddle(false, true);
    Tick();
    EXPECT_THAT(TakeRing(), ElementsAre(CodeWordSpace));
}

TEST_F(KeyerTest, StartupSilenceGivesOneWordSpace) {
    EXPECT_EQ(TicksUntilPush(), 125);
    EXPECT_THAT(TakeRing(), ElementsAre(CodeWordSpace));
    Tick(5000);
    EXPECT_EQ(engine.ring.RingCount(), 0u);

    engine.keyer.StateForTest().StateTicks = kStateTicksLimit - 1;
    Tick(3);
    EXPECT_EQ(State().StateTicks, kStateTicksLimit) << "the silence count stops";
}

TEST_F(KeyerTest, IdleTickRewritesKeyRegisterFollowingTransmitting) {
    Tick();
    EXPECT_EQ(bus.LastValue(kLpt1), 0x00);
    engine.flags.Transmitting = 1;
    Tick();
    EXPECT_EQ(bus.LastValue(kLpt1), 0x02);
    EXPECT_EQ(bus.ValuesWrittenTo(kLpt1).size(), 2u) << "one write per idle tick";
}

TEST_F(KeyerTest, SwitchingTransmitDuringAnElementKeepsItWhole) {
    // A logger sending "transmitter on" every few ticks while a dash is keyed.
    engine.mailbox.Fill(CharToCode('t'));
    std::string line;
    for (int i = 0; i < 120; ++i) {
        if (i % 7 == 3) {
            engine.flags.Transmitting = 1;
            engine.ports.SetTx(1);
        }
        if (i == 60) {
            engine.flags.Transmitting = 0;
            engine.ports.SetTx(0);
        }
        Tick();
        line += KeyDown() ? '#' : '.';
    }
    EXPECT_EQ(DownLengths(line), std::vector<int>{75});
    // Switched between ticks: the register holds the key and the new TX state.
    EXPECT_EQ(bus.LastValue(kLpt1), 0x02);
}

TEST_F(KeyerTest, PaddleDotDecodedAtSixtyTicksOfSilence) {
    Paddle(true, false);
    Tick();
    EXPECT_EQ(State().KeyerState, PaddleDot);
    std::string line = KeyLine(1);
    Paddle(false, false);  // released once the dot has started: it is keyed whole
    line += KeyLine(24 + 30);
    EXPECT_THAT(DownLengths(line), ElementsAre(25));
    // 30 ticks of silence: still in the gap; one more passes 1.2 dots.
    EXPECT_EQ(State().KeyerState, PaddleDotGap);
    Tick();
    EXPECT_EQ(State().KeyerState, PaddleLetterEnd);
    EXPECT_EQ(State().StateTicks, 31) << "the letter end keeps counting the silence";
    EXPECT_EQ(TicksUntilPush(), 29);  // silence of 60 ticks
    EXPECT_THAT(TakeRing(), ElementsAre(CharToCode('e')));
    EXPECT_EQ(State().KeyerState, Idle);
    EXPECT_EQ(TicksUntilPush(), 65);  // word space at 125 ticks of silence
    EXPECT_THAT(TakeRing(), ElementsAre(CodeWordSpace));
}

TEST_F(KeyerTest, PaddleInLetterEndStartsNewCharacterOnlyAfterIt) {
    Paddle(true, false);
    Tick(2);
    Paddle(false, false);
    Tick(55);
    ASSERT_EQ(State().KeyerState, PaddleLetterEnd);
    Paddle(true, false);
    Tick(29);
    EXPECT_EQ(State().KeyerState, Idle);
    EXPECT_THAT(TakeRing(), ElementsAre(CharToCode('e'))) << "not continued into 'i'";
    Tick();
    EXPECT_EQ(State().KeyerState, PaddleDot);
    EXPECT_EQ(State().DecodedCode, 1);

    // Released before the letter end is over: nothing starts.
    Paddle(false, false);
    Tick(100);
    TakeRing();
    Paddle(true, false);
    Tick(2);
    Paddle(false, false);
    Tick(60);
    Paddle(true, false);
    Tick(5);
    Paddle(false, false);
    Tick(30);
    EXPECT_EQ(State().KeyerState, Idle);
    Tick(10);
    EXPECT_EQ(State().KeyerState, Idle);
    EXPECT_THAT(TakeRing(), ElementsAre(CharToCode('e')));
}

TEST_F(KeyerTest, BothPaddlesInIdleStartADash) {
    Paddle(true, true);
    Tick();
    EXPECT_EQ(State().KeyerState, PaddleDash);
}

TEST_F(KeyerTest, IambicSqueezeAlternatesDotAndDash) {
    Paddle(true, false);
    Tick();
    Paddle(true, true);
    const auto downs = DownLengths(KeyLine(600));
    ASSERT_GE(downs.size(), 6u);
    EXPECT_THAT(std::vector<int>(downs.begin(), downs.begin() + 6),
                ElementsAre(25, 75, 25, 75, 25, 75));
}

TEST_F(KeyerTest, PlainSqueezeRepeatsDashes) {
    engine.keyerSettings.IsYamb = 0;
    Paddle(true, false);
    Tick();
    Paddle(true, true);
    const auto downs = DownLengths(KeyLine(600));
    ASSERT_GE(downs.size(), 5u);
    EXPECT_THAT(std::vector<int>(downs.begin(), downs.begin() + 5),
                ElementsAre(25, 75, 75, 75, 75));
}

TEST_F(KeyerTest, DotTappedDuringDashFollowsOnlyInIambicMode) {
    for (int yamb : {1, 0}) {
        SCOPED_TRACE(yamb);
        engine.keyer.StateForTest() = KeyerState{};
        engine.keyerSettings.IsYamb = yamb;
        Paddle(false, true);
        Tick(3);
        Paddle(false, false);
        Tick(15);
        Paddle(true, false);  // tapped in the middle of the dash
        Tick(5);
        Paddle(false, false);
        const auto downs = DownLengths(KeyLine(300));
        const auto ring = TakeRing();
        ASSERT_FALSE(ring.empty());
        if (yamb) {
            EXPECT_THAT(downs, ElementsAre(53, 25));  // the rest of the dash, then the dot
            EXPECT_EQ(ring[0], CharToCode('n'));
        } else {
            EXPECT_THAT(downs, ElementsAre(53));
            EXPECT_EQ(ring[0], CharToCode('t'));
        }
        Tick(200);
        TakeRing();
    }
}

TEST_F(KeyerTest, OverlongPaddleCharacters) {
    // Eight dots: seven dots and more show as "#".
    Paddle(true, false);
    TickUntilKeyDowns(8);
    Paddle(false, false);
    ASSERT_GT(TicksUntilPush(), 0);
    EXPECT_THAT(TakeRing(), ElementsAre(CodeSevenDots));
    EXPECT_STREQ(CodeText(CodeSevenDots), "#");
    Tick(200);
    TakeRing();

    // A dash and seven dots: an overflow mark, shown as "%".
    Paddle(false, true);
    Tick(3);
    Paddle(true, false);  // remembered during the dash, then held
    TickUntilKeyDowns(7);
    Paddle(false, false);
    ASSERT_GT(TicksUntilPush(), 0);
    EXPECT_THAT(TakeRing(), ElementsAre(CodeOverflow));
    EXPECT_STREQ(CodeText(CodeOverflow), "%");
}

TEST_F(KeyerTest, PaddleTakesPriorityOverMailboxAfterCurrentCharacter) {
    engine.keyerSettings.PauseAtPaddle = 1;
    engine.mailbox.Fill(CharToCode('a'));
    Tick();
    ASSERT_TRUE(engine.mailbox.Fill(CharToCode('b')));
    Tick(4);
    Paddle(true, false);  // touched while 'a' is keyed, and held
    const std::string line = KeyLine(196);
    EXPECT_THAT(DownLengths(line), ElementsAre(21, 75)) << "'a' is finished";
    EXPECT_THAT(TakeRing(), ElementsAre(CharToCode('a')));
    EXPECT_EQ(engine.flags.Paused.load(), 0);

    Tick();
    EXPECT_EQ(engine.flags.Paused.load(), 1);
    EXPECT_EQ(State().KeyerState, PaddleDot);
    EXPECT_FALSE(engine.mailbox.NextCodeEmpty()) << "'b' still waits";
    EXPECT_THAT(TakeNotifications(),
                ElementsAre(N::WM_KEYER_NEED_CODE, N::WM_KEYER_CHAR, N::WM_KEYER_PAUSE));
}

TEST_F(KeyerTest, PaddleSwitchesTxOnAndWaitsPaddleDelay) {
    engine.keyerSettings.MoxOn = 1;
    engine.keyerSettings.TxAtPaddle = 1;
    engine.keyerSettings.PaddleDelay = 10;
    Paddle(true, false);
    Tick();
    EXPECT_EQ(State().KeyerState, PttDelay);
    EXPECT_EQ(engine.flags.Transmitting.load(), 1);
    EXPECT_EQ(bus.LastValue(kLpt1), 0x02) << "TX line on, key up";
    EXPECT_THAT(TakeNotifications(), ElementsAre(N::WM_KEYER_TX_ON));

    Tick(2);
    EXPECT_EQ(State().KeyerState, PttDelay);
    Tick();  // 3 ticks of 4 ms reach 10 ms
    EXPECT_EQ(State().KeyerState, Idle);
    EXPECT_FALSE(KeyDown());
    Tick();
    EXPECT_EQ(State().KeyerState, PaddleDot);
    Tick();
    EXPECT_EQ(bus.LastValue(kLpt1), 0x03);
}

TEST_F(KeyerTest, PttDelayIsTicksTimesTickMsReachingPaddleDelay) {
    engine.keyerSettings.MoxOn = 1;
    const std::pair<int, int> delays[] = {{0, 1}, {4, 1}, {5, 2}, {12, 3}, {13, 4}};
    for (const auto& [delayMs, ticks] : delays) {
        SCOPED_TRACE(delayMs);
        engine.keyer.StateForTest() = KeyerState{};
        engine.flags.Transmitting = 0;
        engine.keyerSettings.PaddleDelay = delayMs;
        Paddle(false, true);
        Tick();
        ASSERT_EQ(State().KeyerState, PttDelay);
        Paddle(false, false);
        int waited = 0;
        while (State().KeyerState == PttDelay && waited < 100) {
            Tick();
            ++waited;
        }
        EXPECT_EQ(waited, ticks);
    }
}

// A stop at each point of "0" (five dashes, "5" waiting in the mailbox), with transmit off at
// the same moment: the element on the air ends whole, nothing follows, the part keyed is echoed
// and the TX line goes off with the last key-up.
TEST_F(KeyerTest, StopEndsTheCharacterWithTheElementOnTheAir) {
    // Where, ticks after the hand-over, dashes keyed, the echo.
    const std::tuple<const char*, int, int, std::uint8_t> rows[] = {
        {"as the first element starts", 1, 1, 0x03},
        {"in the first element", 40, 1, 0x03},
        {"in a gap after two elements", 190, 2, 0x07},
        {"in the last element", 450, 5, CharToCode('0')},
        {"in the letter gap", 520, 5, CharToCode('0')}};
    engine.keyerSettings.PaddleDelay = 0;  // keyed as soon as handed over
    for (const auto& [where, stopAfter, dashes, echo] : rows) {
        SCOPED_TRACE(where);
        engine.flags.Transmitting = 1;
        engine.ports.SetTx(1);
        engine.HandOver(CharToCode('0'));
        std::string key;
        std::string tx;
        for (int i = 1; i <= 1000; ++i) {
            Tick();
            if (i == 1) engine.HandOver(CharToCode('5'));
            if (i == stopAfter) {
                EXPECT_TRUE(engine.StopSending()) << "5 taken back";
                engine.flags.Transmitting = 0;
                engine.ports.SetTx(0);
            }
            key += KeyDown() ? '#' : '.';
            tx += engine.ports.TxLineOn() ? 'T' : '.';
        }
        EXPECT_EQ(DownLengths(key), std::vector<int>(dashes, 75));
        // Off with the last key-up; a stop after it lets go at once or on the next tick.
        const std::size_t lastUp = key.rfind('#') + 1;
        EXPECT_GE(tx.find('.'), lastUp);
        EXPECT_LE(tx.find('.'), std::max<std::size_t>(lastUp, stopAfter));
        EXPECT_THAT(TakeRing(), ElementsAre(echo, CodeWordSpace));
        // The stop is spent: the next character is keyed whole.
        engine.flags.Transmitting = 1;
        engine.HandOver(CharToCode('5'));
        EXPECT_EQ(DownLengths(KeyLine(500)), std::vector<int>(5, 25));
        Tick(500);
        TakeRing();
    }
}

TEST_F(KeyerTest, RxAtSilenceAfterSilenceLenDots) {
    engine.keyerSettings.MoxOn = 1;
    engine.flags.Transmitting = 1;
    engine.ports.SetTx(1);
    Tick(199);
    EXPECT_EQ(engine.flags.Transmitting.load(), 1);
    Tick();  // 200 ticks = 800 ms
    EXPECT_EQ(engine.flags.Transmitting.load(), 0);
    EXPECT_EQ(State().StateTicks, 0);
    EXPECT_EQ(bus.LastValue(kLpt1), 0x00);
    EXPECT_THAT(TakeNotifications(), ElementsAre(N::WM_KEYER_CHAR, N::WM_KEYER_TX_OFF));
}

TEST_F(KeyerTest, RxAtSilenceLeavesATransmitHeldOnAlone) {
    engine.keyerSettings.MoxOn = 1;
    engine.flags.Transmitting = 1;
    engine.flags.TxHeld = 1;
    Tick(1000);
    EXPECT_EQ(engine.flags.Transmitting.load(), 1);
    engine.flags.TxHeld = 0;
    Tick();
    EXPECT_EQ(engine.flags.Transmitting.load(), 0);
}

TEST_F(KeyerTest, TextKeyedUpFromTheLastKeyUpOfACharacterUntilTheNextTake) {
    engine.mailbox.Fill(CharToCode('n'));  // -.
    std::string line;
    std::string up;
    for (int i = 0; i < 300; ++i) {
        Tick();
        line += KeyDown() ? '#' : '.';
        up += engine.keyer.TextKeyedUp() ? 'u' : '-';
    }
    // Up from the tick the key goes up after the dot, through the letter gap and beyond.
    EXPECT_EQ(up.find('u'), line.find('.', 1 + 75 + 25 + 1));
    EXPECT_EQ(up.find('-', up.find('u')), std::string::npos);
    engine.mailbox.Fill(CharToCode('e'));
    Tick();
    EXPECT_FALSE(engine.keyer.TextKeyedUp());
}

TEST_F(KeyerTest, WithdrawnCodeIsNotKeyedAndTheWindowIsAskedForTheNext) {
    engine.mailbox.Fill(CharToCode('e'));
    ASSERT_TRUE(engine.mailbox.Withdraw());
    TakeNotifications();
    EXPECT_EQ(KeyLine(200).find('#'), std::string::npos);
    EXPECT_THAT(TakeNotifications(), ElementsAre(N::WM_KEYER_NEED_CODE, N::WM_KEYER_CHAR));
    EXPECT_TRUE(engine.mailbox.Fill(CharToCode('e')));
}

TEST_F(KeyerTest, RxAtSilenceHeldOffByItsConditions) {
    engine.flags.Transmitting = 1;
    engine.keyerSettings.MoxOn = 0;
    Tick(1000);
    EXPECT_EQ(engine.flags.Transmitting.load(), 1) << "MoxOn 0";

    engine.keyerSettings.MoxOn = 1;
    engine.keyerSettings.RxAtSilence = 0;
    Tick(1000);
    EXPECT_EQ(engine.flags.Transmitting.load(), 1) << "RxAtSilence 0";

    // A paddle held keeps the keyer out of Idle's silence count.
    engine.keyerSettings.RxAtSilence = 1;
    engine.keyer.StateForTest() = KeyerState{};
    Paddle(false, true);
    Tick(1000);
    EXPECT_EQ(engine.flags.Transmitting.load(), 1) << "paddle closed";
    Paddle(false, false);
    TakeNotifications();

    // Counted from the last key-up.
    Tick(100);
    EXPECT_EQ(engine.flags.Transmitting.load(), 1);
    Tick(200);
    EXPECT_EQ(engine.flags.Transmitting.load(), 0);
}

TEST_F(KeyerTest, CodeRxSwitchesTxOffWithoutKeyingOrEcho) {
    engine.keyerSettings.MoxOn = 1;
    engine.flags.Transmitting = 1;
    engine.mailbox.Fill(CodeRx);
    Tick();
    EXPECT_EQ(engine.flags.Transmitting.load(), 0);
    EXPECT_EQ(State().KeyerState, Idle);
    EXPECT_THAT(TakeNotifications(), ElementsAre(N::WM_KEYER_NEED_CODE, N::WM_KEYER_TX_OFF));
    EXPECT_THAT(bus.ValuesWrittenTo(kLpt1), ElementsAre(0x02))
        << "no SetTx here: only the idle key-up write, made before the code was taken";
    Tick();
    EXPECT_EQ(bus.LastValue(kLpt1), 0x00) << "the next idle tick drops the TX bits";
    Tick(100);
    EXPECT_EQ(engine.ring.RingCount(), 0u);
    EXPECT_THAT(TakeNotifications(), ElementsAre());
}

TEST_F(KeyerTest, CodePauseSetsPausedWithoutKeyingOrEcho) {
    engine.mailbox.Fill(CodePause);
    Tick();
    EXPECT_EQ(engine.flags.Paused.load(), 1);
    EXPECT_EQ(State().KeyerState, Idle);
    EXPECT_THAT(TakeNotifications(), ElementsAre(N::WM_KEYER_NEED_CODE, N::WM_KEYER_PAUSE));
    Tick(100);
    EXPECT_FALSE(KeyDown());
    EXPECT_EQ(engine.ring.RingCount(), 0u);
}

TEST_F(KeyerTest, FullRingDropsCodesSilentlyAndDrainsInOrder) {
    for (int i = 0; i < 1030; ++i) engine.keyer.PushRing(static_cast<std::uint8_t>(i));
    EXPECT_EQ(engine.ring.RingCount(), 1023u);
    const auto notes = TakeNotifications();
    EXPECT_EQ(notes.size(), 1023u) << "no notification for a dropped code";

    std::uint8_t code = 0;
    ASSERT_TRUE(engine.ring.Pop(code));
    EXPECT_EQ(code, 0);
    engine.keyer.PushRing(0xAB);
    EXPECT_THAT(TakeNotifications(), ElementsAre(N::WM_KEYER_CHAR));
    const auto rest = TakeRing();
    ASSERT_EQ(rest.size(), 1023u);
    for (int i = 1; i < 1023; ++i) ASSERT_EQ(rest[i - 1], static_cast<std::uint8_t>(i));
    EXPECT_EQ(rest.back(), 0xAB);
}

TEST_F(KeyerTest, KeyerKeepsKeyingWhileTheRingIsFull) {
    SetSpeed(1, 3, 0, 1);
    const std::uint8_t e = CharToCode('e');
    for (int i = 0; i < 1100 * 6; ++i) {
        engine.mailbox.Fill(e);
        Tick();
    }
    EXPECT_EQ(engine.ring.RingCount(), 1023u);
    Tick(10);
    EXPECT_EQ(DownLengths(KeyText({e, e}, 20)).size(), 2u);
}

TEST_F(KeyerTest, StateOutOfRangeReturnsToIdle) {
    for (std::int32_t bad : {12, 100, -1}) {
        engine.keyer.StateForTest().KeyerState = bad;
        engine.keyer.StateForTest().StateTicks = 7;
        const auto writes = bus.WriteCount();
        Tick();
        EXPECT_EQ(State().KeyerState, Idle);
        EXPECT_EQ(State().StateTicks, 7) << "the tick ends there";
        EXPECT_EQ(bus.WriteCount(), writes);
        Tick();
        EXPECT_EQ(State().StateTicks, 8);
    }
}

TEST_F(KeyerTest, TickCounterCountsEveryTick) {
    EXPECT_EQ(engine.keyer.TickCount(), 0u);
    Tick(37);
    EXPECT_EQ(engine.keyer.TickCount(), 37u);
}

}  // namespace
}  // namespace telkey::test

namespace telkey::test {
namespace {

// With the rig's PTT the first element waits for the rig's confirmation of this rise of the TX
// line, then for PaddleDelay (10 ms, 3 ticks) counted from it; text and paddle alike.
TEST_F(KeyerTest, RigPttKeysOnlyAfterTheRigConfirmedAndTheLeadPassed) {
    enum class Confirm { Now, Stale, Never, TxOffFirst };
    struct Case {
        const char* name;
        bool paddle;
        std::int32_t pttRig;
        int confirmAfter;  // ticks
        Confirm how;
        int firstKeyDown;  // tick, -1: none in 200
    };
    const Case cases[] = {
        {"text, line", false, 0, 0, Confirm::Never, 5},
        {"text, rig at once", false, 1, 0, Confirm::Now, 5},
        {"text, rig after 40", false, 1, 40, Confirm::Now, 45},
        {"text, an older rise confirmed", false, 1, 40, Confirm::Stale, -1},
        {"text, rig never", false, 1, 0, Confirm::Never, -1},
        {"text, TX off before", false, 1, 40, Confirm::TxOffFirst, -1},
        {"paddle, line", true, 0, 0, Confirm::Never, 6},
        {"paddle, rig after 40", true, 1, 40, Confirm::Now, 45},
        {"paddle, rig never", true, 1, 0, Confirm::Never, -1},
        {"paddle, TX off before", true, 1, 40, Confirm::TxOffFirst, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        engine.keyer.StateForTest() = KeyerState{};
        engine.ResetHandover();
        engine.ports.SetTx(0);
        engine.keyerSettings.MoxOn = 1;
        engine.keyerSettings.PaddleDelay = 10;
        engine.portSettings.PttRig = c.pttRig;
        const std::uint32_t stale = engine.ports.TxRises();
        if (c.paddle) {
            Paddle(true, false);
        } else {
            engine.flags.Transmitting = 1;
            engine.ports.SetTx(1);
            ASSERT_TRUE(engine.mailbox.Fill(CharToCode('E')));
        }
        int first = -1;
        for (int tick = 0; tick <= 200 && first < 0; ++tick) {
            if (tick == c.confirmAfter && c.how == Confirm::Now) {
                engine.ports.ConfirmTx(engine.ports.TxRises());
            } else if (tick == c.confirmAfter && c.how == Confirm::Stale) {
                engine.ports.ConfirmTx(stale);
            } else if (tick == c.confirmAfter && c.how == Confirm::TxOffFirst) {
                // The window gave up on the rig: transmit off, the paddle let go.
                Paddle(false, false);
                engine.flags.Transmitting = 0;
                engine.SwitchTxOff();
            }
            if (tick == c.confirmAfter + 1 && c.how == Confirm::TxOffFirst) {
                engine.ports.ConfirmTx(engine.ports.TxRises());
            }
            if (tick > 0 && KeyDown()) first = tick;
            if (first < 0 && tick < 200) Tick();
        }
        EXPECT_EQ(first, c.firstKeyDown);
        Paddle(false, false);
        engine.portSettings.PttRig = 0;
    }
}

// With the rig's keyer the keyer still paces the text, but the key line stays up, the paddle
// is not read, and every character taken goes to the rig in order, word spaces included.
TEST_F(KeyerTest, RigKeyerGetsEveryCharacterTakenAndTheKeyLineStaysUp) {
    engine.portSettings.KeyRig = 1;
    engine.ports.Feed().Listen(true);
    const std::vector<std::uint8_t> codes = {CharToCode('C'), CodeWordSpace, CharToCode('Q'),
                                             CodeRx};
    Paddle(true, true);
    EXPECT_EQ(KeyText(codes, 2000).find('#'), std::string::npos);
    EXPECT_EQ(State().KeyerState, Idle) << "the paddle is off";
    std::vector<std::uint8_t> started;
    for (std::uint8_t code = 0; engine.ports.Feed().TakeStarted(code);) started.push_back(code);
    EXPECT_EQ(started, codes);
}

}  // namespace
}  // namespace telkey::test

namespace telkey::test {
namespace {

// A keyer that sleeps between events: waiting for the rig it may sleep in Idle (the
// confirmation wakes it) but counts the paddle's delay tick by tick, and a confirmation not yet
// seen is an event.
TEST_F(KeyerTest, WaitingForTheRigSleepsUntilItsConfirmation) {
    engine.keyerSettings.MoxOn = 1;
    engine.portSettings.PttRig = 1;
    for (const bool paddle : {false, true}) {
        SCOPED_TRACE(paddle ? "paddle" : "text");
        engine.keyer.StateForTest() = KeyerState{};
        engine.ResetHandover();
        engine.ports.SetTx(0);
        if (paddle) {
            Paddle(true, false);
        } else {
            engine.flags.Transmitting = 1;
            engine.ports.SetTx(1);
            ASSERT_TRUE(engine.mailbox.Fill(CharToCode('E')));
        }
        Tick(5);
        EXPECT_EQ(engine.keyer.QuietTicks() > 0, !paddle);
        engine.ports.ConfirmTx(engine.ports.TxRises());
        EXPECT_EQ(engine.keyer.QuietTicks(), 0);
        Paddle(false, false);
    }
}

}  // namespace
}  // namespace telkey::test
