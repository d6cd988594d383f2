// The cwdaemon listener on the real main window: datagrams over the loopback interface, keying in
// hand-run ticks.
#include <QAbstractButton>
#include <QPlainTextEdit>

#include "exchange/cwdaemon_support.h"
#include "options/speed_table.h"

namespace telkey::test {
namespace {

using Cwdaemon = CwdaemonFixture;

TEST_F(Cwdaemon, TextIsKeyedEchoedAndSwitchesTransmitOn) {
    Send("cq\r\n");
    EXPECT_TRUE(Transmitting());
    EXPECT_TRUE(w.form.TxButton->isChecked());
    ASSERT_TRUE(TickUntil([&] { return SentText() == "cq" && AllKeyed(); }));
    // -.-. --.- at 25 ticks a dot.
    EXPECT_EQ(KeyDownRuns(), (std::vector<int>{75, 25, 75, 25, 75, 75, 25, 75}));
    EXPECT_TRUE(TxLineOn());
    EXPECT_TRUE(Replies().empty());
}

TEST_F(Cwdaemon, TextGoesBehindWhatIsAlreadyQueued) {
    w.form.Input->setPlainText("ab");
    Send("cd");
    ASSERT_TRUE(TickUntil([&] { return AllKeyed(); }));
    EXPECT_EQ(SentText(), "abcd");
}

TEST_F(Cwdaemon, SpeedSignsActWhereTheyStandInTheText) {
    // Nothing queued: the leading "+" acts at once; the "-" only once the first "e" is keyed.
    Send("+e-e");
    EXPECT_EQ(w.form.speed.Speed, 70);
    ASSERT_TRUE(TickUntil([&] { return SentText() == "ee" && AllKeyed(); }));
    // Row 19 (70 LPM) has 43-tick dots, row 17 (60 LPM) 25.
    EXPECT_EQ(KeyDownRuns(), (std::vector<int>{43, 25}));
    EXPECT_EQ(w.form.speed.Speed, 60);
    EXPECT_EQ(w.form.SpeedEdit->text(), "60");

    // "++" queued behind text: 20 LPM faster after it.
    Send("e++");
    EXPECT_EQ(w.form.speed.Speed, 60);
    ASSERT_TRUE(TickUntil([&] { return AllKeyed() && w.form.speed.Speed != 60; }));
    EXPECT_EQ(w.form.speed.Speed, 80);
}

TEST_F(Cwdaemon, SpeedSignsAloneKeyNothing) {
    Send("--");
    EXPECT_EQ(w.form.speed.Speed, 40);
    EXPECT_FALSE(Transmitting());
    EXPECT_TRUE(InputText().isEmpty());
}

TEST_F(Cwdaemon, ProsignCharactersAreKeyedAsTheirProsigns) {
    Send("*=<(!&>");
    ASSERT_TRUE(TickUntil([&] { return AllKeyed() && !SentText().isEmpty(); }, 40000));
    // SN has no text of its own in the Sent window.
    EXPECT_EQ(SentText(), "AR=SKKN%ASBK");
    EXPECT_EQ(KeyDownRuns().size(), 5u + 5u + 6u + 5u + 5u + 5u + 7u);
}

TEST_F(Cwdaemon, TildeAndGraveAccentAreDroppedSoNoMacroCommandRuns) {
    w.form.CallEdit->setText("DL1ABC");
    Send("`[ec]~[ec]");
    ASSERT_TRUE(TickUntil([&] { return AllKeyed() && !SentText().isEmpty(); }, 60000));
    EXPECT_EQ(SentText().toStdString(), ")ec))ec)");
}

TEST_F(Cwdaemon, SpeedRequest) {
    Send(Esc("225"));
    EXPECT_EQ(w.form.speed.Speed, 125);
    EXPECT_EQ(w.form.speed.SpeedIndex, 30);
    Send(Esc("261"));
    Send(Esc("2fast"));
    EXPECT_EQ(w.form.speed.Speed, 125);
    EXPECT_TRUE(Logged("outside 4..60"));
    EXPECT_TRUE(Logged("not a number"));
}

TEST_F(Cwdaemon, ToneRequestSetsTheSidetoneAndZeroSilencesIt) {
    w.form.SpeakerButton->setChecked(true);
    w.engine.portSettings.UseSpeaker.store(1);
    Send(Esc("3800"));
    EXPECT_EQ(w.engine.portSettings.SpeakerTone.load(), 800);
    EXPECT_EQ(w.engine.portSettings.ToneDivisor.load(), 1491);

    Send(Esc("30"));
    EXPECT_EQ(w.engine.portSettings.UseSpeaker.load(), 0);
    EXPECT_FALSE(w.form.SpeakerButton->isChecked());
    // Keying goes on without the sidetone.
    Send("e");
    ASSERT_TRUE(TickUntil([&] { return SentText() == "e" && AllKeyed(); }));
    EXPECT_EQ(KeyDownRuns(), std::vector<int>{25});

    Send(Esc("3600"));
    EXPECT_EQ(w.engine.portSettings.SpeakerTone.load(), 600);
    EXPECT_EQ(w.engine.portSettings.UseSpeaker.load(), 1);
    EXPECT_TRUE(w.form.SpeakerButton->isChecked());
}

TEST_F(Cwdaemon, ToneRequestDoesNotSwitchOnASpeakerTheOperatorLeftOff) {
    Send(Esc("30"));
    Send(Esc("3700"));
    EXPECT_EQ(w.engine.portSettings.UseSpeaker.load(), 0);
    EXPECT_EQ(w.engine.portSettings.SpeakerTone.load(), 700);
}

TEST_F(Cwdaemon, AbortClearsInputAndTransmitButTheHandedCharactersFinish) {
    Send("paris paris");
    Tick();  // "p" on the air, "a" in the mailbox
    Send(Esc("4"));
    EXPECT_TRUE(InputText().isEmpty());
    EXPECT_FALSE(Transmitting());
    EXPECT_FALSE(w.form.TxButton->isChecked());
    ASSERT_TRUE(TickUntil([&] { return AllKeyed() && SentText().size() == 2; }));
    EXPECT_EQ(SentText(), "pa");
}

TEST_F(Cwdaemon, WordModeIgnoresAbortUntilReset) {
    Send(Esc("6"));
    EXPECT_TRUE(listener->WordMode());
    Send("eeee");
    Send(Esc("4"));
    EXPECT_FALSE(InputText().isEmpty());
    EXPECT_TRUE(Transmitting());
    EXPECT_TRUE(Logged("word mode"));
    Send(Esc("0"));
    EXPECT_FALSE(listener->WordMode());
    EXPECT_TRUE(InputText().isEmpty());
    EXPECT_FALSE(Transmitting());
}

TEST_F(Cwdaemon, ExitIsRefusedAndTheListenerGoesOn) {
    Send(Esc("5"));
    EXPECT_TRUE(Logged("refused"));
    Send("e");
    ASSERT_TRUE(TickUntil([&] { return SentText() == "e"; }));
}

TEST_F(Cwdaemon, WeightingRequestIsPerCentOfADotAtTheCurrentSpeed) {
    Send(Esc("710"));
    EXPECT_EQ(w.form.speed.Weighting, 10);  // of a 100 ms dot
    EXPECT_EQ(w.engine.keyerSettings.WeightTicks.load(), 3);
    Send(Esc("7-50"));
    EXPECT_EQ(w.form.speed.Weighting, -50);
    EXPECT_EQ(w.engine.keyerSettings.WeightTicks.load(), -12);
    Send(Esc("760"));
    EXPECT_EQ(w.form.speed.Weighting, -50);
    Send(Esc("225"));  // 125 LPM: 48 ms dots
    Send(Esc("750"));
    EXPECT_EQ(w.form.speed.Weighting, 24);
}

TEST_F(Cwdaemon, DeviceAndSoundSystemRequestsOnlyLeaveALogLine) {
    Send(Esc("8ttyS0"));
    Send(Esc("fp"));
    EXPECT_TRUE(Logged("keying device \"ttyS0\""));
    EXPECT_TRUE(Logged("sound system \"p\""));
    for (const char* code : {"b1", "d20", "e1001", "g70", "96789"}) Send(Esc(code));
    EXPECT_EQ(log.size(), 2u);
    EXPECT_TRUE(InputText().isEmpty());
    EXPECT_FALSE(Transmitting());
}

TEST_F(Cwdaemon, TransmitOnAtOnceOffOnceTheQueueIsKeyed) {
    Send(Esc("a1"));
    EXPECT_TRUE(Transmitting());
    EXPECT_TRUE(w.form.TxButton->isChecked());
    Send("ee");
    Send(Esc("a0"));
    EXPECT_TRUE(Transmitting());
    ASSERT_TRUE(TickUntil([&] { return SentText() == "e"; }));
    EXPECT_TRUE(Transmitting());
    ASSERT_TRUE(TickUntil([&] { return !Transmitting(); }));
    EXPECT_EQ(SentText(), "ee");
    EXPECT_FALSE(w.form.TxButton->isChecked());
    Tick();
    EXPECT_FALSE(TxLineOn());

    // Off while receiving switches nothing on.
    Send(Esc("a0"));
    EXPECT_FALSE(Transmitting());
}

TEST_F(Cwdaemon, TuneKeepsTheKeyDownForItsTimeThroughTheKeyer) {
    Send(Esc("c1"));
    EXPECT_TRUE(Transmitting());
    ASSERT_TRUE(TickUntil([&] { return KeyDown(); }, 100));
    EXPECT_TRUE(listener->Tuning());
    EXPECT_TRUE(TxLineOn());
    ASSERT_TRUE(TickUntil([&] { return !listener->Tuning() && AllKeyed(); }, 2000));
    // One second of 4 ms ticks, less the one tick that keeps the key-down odd.
    EXPECT_EQ(KeyDownRuns(), std::vector<int>{249});
    EXPECT_EQ(SentText(), "e");
    EXPECT_EQ(w.engine.keyerSettings.DotTicks.load(), 25);
    EXPECT_EQ(w.engine.keyerSettings.WeightTicks.load(), 0);

    // Text after a tune is keyed at the normal speed.
    Send("e");
    ASSERT_TRUE(TickUntil([&] { return SentText() == "ee" && AllKeyed(); }));
    EXPECT_EQ(KeyDownRuns(), std::vector<int>{25});
}

TEST_F(Cwdaemon, TuneWaitsForQueuedTextAndAbortLiftsTheKey) {
    Send("e");
    Send(Esc("c10"));
    ASSERT_TRUE(TickUntil([&] { return listener->Tuning(); }, 1000));
    EXPECT_EQ(SentText(), "e");
    Ticks(100);
    EXPECT_TRUE(KeyDown());
    Send(Esc("4"));
    EXPECT_FALSE(listener->Tuning());
    EXPECT_FALSE(Transmitting());
    // Transmit off rewrote the port without the key; the keyer lets the key go as well.
    EXPECT_FALSE(KeyDown());
    Ticks(2);
    EXPECT_EQ(w.engine.keyer.State().KeyerState, TextElementGap);
    ASSERT_TRUE(TickUntil([&] { return AllKeyed(); }, 1000));
    EXPECT_FALSE(KeyDown());
    EXPECT_EQ(w.engine.keyerSettings.DotTicks.load(), 25);
    EXPECT_EQ(KeyDownRuns(), (std::vector<int>{25, 99}));
}

TEST_F(Cwdaemon, ArmedReplyAnswersOnceTheNextTextIsKeyed) {
    Send(Esc("hcat"));
    Send("ee");
    ASSERT_TRUE(TickUntil([&] { return SentText() == "e"; }));
    EXPECT_TRUE(Replies().empty());
    ASSERT_TRUE(TickUntil([&] { return SentText() == "ee"; }));
    Tick();
    EXPECT_EQ(Replies(), std::vector<std::string>{"hcat\r\n"});

    // One reply per arming.
    Send("e");
    ASSERT_TRUE(TickUntil([&] { return AllKeyed() && SentText() == "eee"; }));
    Tick();
    EXPECT_TRUE(Replies().empty());
}

TEST_F(Cwdaemon, BlankReplyText) {
    Send(Esc("h "));
    Send("e");
    ASSERT_TRUE(TickUntil([&] { return AllKeyed() && listener->PendingReplies() == 0; }));
    Tick();
    EXPECT_EQ(Replies(), std::vector<std::string>{"h \r\n"});
}

TEST_F(Cwdaemon, CaretReplyGoesToItsSenderAfterTheText) {
    QUdpSocket other;
    ASSERT_TRUE(other.bind(QHostAddress::LocalHost, 0));
    Send("tu^ and the rest", &other);
    EXPECT_EQ(InputText().size(), 2);  // "t" handed over, "u" and the mark wait
    ASSERT_TRUE(TickUntil([&] { return SentText() == "tu" && AllKeyed(); }));
    Tick();
    EXPECT_EQ(Replies(other), std::vector<std::string>{"tu\r\n"});
    EXPECT_TRUE(Replies().empty());

    // With nothing queued and nothing to key the answer comes at once.
    Send("^");
    EXPECT_EQ(Replies(), std::vector<std::string>{"\r\n"});
}

TEST_F(Cwdaemon, AbortAnswersPendingRepliesWithBreak) {
    Send(Esc("hone"));
    Send("eeee^");
    Tick();
    Send(Esc("4"));
    EXPECT_EQ(Replies(), (std::vector<std::string>{"break\r\n", "break\r\n"}));
    EXPECT_EQ(listener->PendingReplies(), 0);
    ASSERT_TRUE(TickUntil([&] { return AllKeyed(); }));
    EXPECT_TRUE(Replies().empty());
}

TEST_F(Cwdaemon, ReplyWhoseMarkTheOperatorDeletedIsAnsweredWithBreak) {
    Send("eeee^");
    w.form.Input->clear();
    EXPECT_TRUE(WaitUntil([&] { return listener->PendingReplies() == 0; }));
    EXPECT_EQ(Replies(), std::vector<std::string>{"break\r\n"});
}

TEST_F(Cwdaemon, ResetRestoresStartUpSpeedToneAndWeighting) {
    Send(Esc("230"));
    Send(Esc("3700"));
    Send(Esc("720"));
    Send("paris");
    Send(Esc("0"));
    EXPECT_EQ(w.form.speed.Speed, 60);
    EXPECT_EQ(w.form.speed.Weighting, 0);
    EXPECT_EQ(w.engine.keyerSettings.WeightTicks.load(), 0);
    EXPECT_EQ(w.engine.portSettings.SpeakerTone.load(), 1000);
    EXPECT_EQ(w.engine.portSettings.ToneDivisor.load(), 1193);
    EXPECT_TRUE(InputText().isEmpty());
    EXPECT_FALSE(Transmitting());
}

TEST_F(Cwdaemon, MalformedRequestsChangeNothing) {
    const std::vector<std::string> bad{
        std::string(),
        std::string("\0\0\0", 3),
        "\r\n",
        std::string("\x01\x02\x03\xFF\xFE", 5),
        "ab\x1b"
        "4",
        Esc(""),
        Esc("Z9"),
        Esc("2"),
        Esc("2-4"),
        Esc("3 12"),
        Esc("7abc"),
        Esc("a5"),
        Esc("c99"),
    };
    for (const std::string& datagram : bad) Send(datagram);
    EXPECT_TRUE(InputText().isEmpty());
    EXPECT_FALSE(Transmitting());
    EXPECT_EQ(w.form.speed.Speed, 60);
    EXPECT_EQ(log.size(), bad.size());
    Send("e");
    EXPECT_TRUE(Transmitting());
}

TEST_F(Cwdaemon, OverLongRequestIsCutAt256Bytes) {
    Send(std::string(300, 'e'));
    EXPECT_EQ(InputText().size(), 255);  // one character is in the mailbox
    EXPECT_TRUE(Logged("cut"));
}

TEST_F(Cwdaemon, LogLinesAreLimitedUnderAFloodOfBadRequests) {
    for (int i = 0; i < 60; ++i) Send(Esc("Z"));
    // Well within a second: the first lines are written, the rest counted.
    EXPECT_GE(log.size(), static_cast<std::size_t>(kCwdaemonLogLinesPerSecond));
    EXPECT_LT(log.size(), 60u);
}

TEST_F(Cwdaemon, WhatInputCannotHoldIsDroppedAndItsReplyBroken) {
    const std::string block(250, 'e');
    for (int i = 0; i < 40; ++i) Send(block);
    EXPECT_EQ(InputText().size(), 9999);  // 10000 received, one in the mailbox
    EXPECT_FALSE(Logged("Input is full"));
    Send("ee");
    Send("xyz^");
    EXPECT_EQ(InputText().size(), 10000);
    EXPECT_TRUE(Logged("Input is full: 1 of 2"));
    EXPECT_EQ(Replies(), std::vector<std::string>{"break\r\n"});
}

TEST_F(Cwdaemon, RequestsBeforeTheKeyerRunsAreIgnored) {
    w.engine.timer.StopKeyerTimer();
    Send("e");
    EXPECT_TRUE(InputText().isEmpty());
    EXPECT_TRUE(Logged("not started"));
}

}  // namespace
}  // namespace telkey::test
