// The cwdaemon listener on the real main window: datagrams over the loopback interface, keying in
// hand-run ticks.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QThread>

#include "exchange/cwdaemon_support.h"
#include "options/speed_table.h"
#include "support/scratch_dir.h"
#include "support/udp_socket_as.h"

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

// Inline steps stop at the speeds a logger may set, 4 and 60 WPM.
TEST_F(Cwdaemon, SpeedSignsStayWithinTheLoggersRange) {
    const struct {
        int from;
        const char* text;
        int to;
    } rows[] = {{30, "----", 20}, {290, "++++", 300}, {60, "+-", 60}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        w.form.speed.Speed = row.from;
        w.form.speed.ApplySpeed(true);
        Send(row.text);
        EXPECT_EQ(w.form.speed.Speed, row.to);
    }
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

TEST_F(Cwdaemon, PrivateUseCharactersTypedByTheOperatorAreNoMarks) {
    // The characters the listener uses for SK, for transmit off and for an event, typed or
    // pasted: each is a character outside the code page, keyed as a word space.
    Send(Esc("a1"));
    w.form.Input->setPlainText(QString::fromUtf16(u"e\uE045\uE0F0\uF8FFe"));
    ASSERT_TRUE(TickUntil([&] { return AllKeyed() && SentText().endsWith(u'e'); }, 40000));
    EXPECT_EQ(SentText(), QStringLiteral("e   e"));
    EXPECT_TRUE(Transmitting());

    // Typed right behind a mark of the listener's, where the caret takes on the mark's format.
    Send("e^");
    QTextCursor end(w.form.Input->document());
    end.movePosition(QTextCursor::End);
    end.insertText(QString::fromUtf16(u"\uE0F0e"));
    ASSERT_TRUE(TickUntil([&] { return AllKeyed() && SentText().size() == 8; }, 40000));
    EXPECT_EQ(SentText(), QStringLiteral("e   ee e"));
    EXPECT_TRUE(Transmitting());
    Tick();
    EXPECT_EQ(Replies(), std::vector<std::string>{"e\r\n"});
}

TEST_F(Cwdaemon, TildeAndGraveAccentAreDroppedSoNoMacroCommandRuns) {
    w.form.CallEdit->setText("DL1ABC");
    Send("`[ec]~[ec]");
    ASSERT_TRUE(TickUntil([&] { return AllKeyed() && !SentText().isEmpty(); }, 60000));
    // The brackets are no characters cwdaemon keys either.
    EXPECT_EQ(SentText().toStdString(), "ecec");
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

// "p" (.--.) at 25 ticks a dot: key-down from tick 0 to 24, 50 to 124, 150 to 224, 250 to 274;
// the letter gap ends at 349, with "a" waiting in the mailbox all along.
TEST_F(Cwdaemon, AbortEndsWithTheElementBeingKeyedAndNothingAfter) {
    struct Case {
        const char* point;
        int tick;  // after the first key-down
        std::vector<int> runs;
    };
    const Case cases[] = {
        {"in the first dot", 10, {25}},
        {"in the gap after it", 30, {25}},
        {"in the first dash", 80, {25, 75}},
        {"in the last gap", 230, {25, 75, 75}},
        {"in the last dot", 260, {25, 75, 75, 25}},
        {"in the letter gap", 300, {25, 75, 75, 25}},
    };
    for (const std::string& stop : {Esc("4"), Esc("0")}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(stop + " " + c.point);
            Send("paris");
            ASSERT_TRUE(TickUntil([&] { return KeyDown(); }));
            keyTrace.assign(1, true);
            Ticks(c.tick);
            Send(stop);
            EXPECT_TRUE(InputText().isEmpty());
            EXPECT_FALSE(Transmitting());
            // The TX line stays on while the key is down and drops with the last key-up.
            for (int i = 0; i < 600; ++i) {
                const bool wasDown = KeyDown();
                Tick();
                // On with the key, off from the last key-up on.
                if (KeyDown() || wasDown || i == 0) {
                    EXPECT_EQ(TxLineOn(), KeyDown()) << i;
                }
            }
            EXPECT_EQ(KeyDownRuns(), c.runs);
            ASSERT_TRUE(AllKeyed());
        }
    }
}

TEST_F(Cwdaemon, AbortWithNothingOnTheAirEndsTransmitAtOnce) {
    Send("paris");  // "p" waits in the mailbox; the keyer has not run
    Send(Esc("4"));
    EXPECT_FALSE(Transmitting());
    EXPECT_FALSE(TxLineOn());
    Ticks(300);
    EXPECT_TRUE(KeyDownRuns().empty());
    // The mailbox is usable again.
    Send("e");
    ASSERT_TRUE(TickUntil([&] { return SentText().endsWith(u'e'); }));
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
    ASSERT_TRUE(TickUntil([&] { return SentText().endsWith(u'e'); }));
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

TEST_F(Cwdaemon, TuneCutsInOnTextBeingKeyed) {
    Send("paris");
    ASSERT_TRUE(
        TickUntil([&] { return w.engine.keyer.State().KeyerState == TextDash && KeyDown(); }));
    keyTrace.assign(1, true);
    Send(Esc("c1"));
    bool lineHeld = true;
    ASSERT_TRUE(TickUntil([&] {
        lineHeld = lineHeld && TxLineOn();
        return listener->Tuning() && KeyDown();
    }));
    EXPECT_TRUE(lineHeld);
    ASSERT_TRUE(TickUntil([&] { return !listener->Tuning() && AllKeyed(); }));
    // The dash ends, the tune follows its letter gap.
    EXPECT_EQ(KeyDownRuns(), (std::vector<int>{75, 249}));
}

TEST_F(Cwdaemon, TuneWaitsForQueuedTextAndAbortLiftsTheKey) {
    Send("e");
    ASSERT_TRUE(TickUntil([&] { return KeyDown(); }));  // a tune cuts in after the element
    Send(Esc("c10"));
    ASSERT_TRUE(TickUntil([&] { return listener->Tuning(); }, 1000));
    EXPECT_EQ(SentText(), "e");
    Ticks(100);
    EXPECT_TRUE(KeyDown());
    Send(Esc("4"));
    EXPECT_FALSE(listener->Tuning());
    // The keyer ends the tune's dot within two ticks; the TX line goes off with it.
    EXPECT_FALSE(Transmitting());
    EXPECT_TRUE(TxLineOn());
    Ticks(2);
    EXPECT_FALSE(KeyDown());
    EXPECT_EQ(w.engine.keyer.State().KeyerState, TextElementGap);
    EXPECT_FALSE(TxLineOn());
    ASSERT_TRUE(TickUntil([&] { return AllKeyed() && !Transmitting(); }, 1000));
    EXPECT_FALSE(KeyDown());
    EXPECT_EQ(w.engine.keyerSettings.DotTicks.load(), 25);
    EXPECT_EQ(KeyDownRuns(), (std::vector<int>{25, 100}));
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
}

TEST_F(Cwdaemon, LoneCaretAndTab) {
    struct Case {
        const char* request;
        const char* sent;
        std::vector<std::string> replies;
    };
    const std::vector<Case> cases{
        {"^", "", {}},         {"^ee", "", {}},
        {"~^", "", {"~\r\n"}},  // nothing to key: answered at once
        {"e\te", "ee", {}},    {"e\t\te", "ee", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        w.form.Sent->clear();
        Send(c.request);
        ASSERT_TRUE(TickUntil([&] { return AllKeyed() && !Transmitting(); }));
        EXPECT_EQ(SentText().trimmed().toStdString(), c.sent);
        EXPECT_EQ(Replies(), c.replies);
    }
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
        std::string(), std::string("\0\0\0", 3),
        "\r\n",        std::string("\x01\x02\x03\xFF\xFE", 5),
        Esc(""),       Esc("Z9"),
        Esc("2"),      Esc("2-4"),
        Esc("3 12"),   Esc("7abc"),
        Esc("a5"),     Esc("c99"),
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

TEST_F(Cwdaemon, RequestsBeforeTheKeyerRunsAreAppliedInOrderOnceItRuns) {
    w.engine.timer.StopKeyerTimer();
    for (const std::string& request : {Esc("230"), std::string("e"), Esc("3700")}) {
        client.writeDatagram(request.data(), static_cast<qint64>(request.size()),
                             QHostAddress::LocalHost, listener->LocalPort());
    }
    (void)WaitUntil([] { return false; }, 200);
    EXPECT_EQ(listener->RequestsHandled(), 0u);
    EXPECT_EQ(w.form.speed.Speed, 60);
    w.StartTimer();
    ASSERT_TRUE(WaitUntil([&] { return listener->RequestsHandled() == 3; }, 3000));
    EXPECT_EQ(w.form.speed.Speed, 150);
    // The tone request came after the text: it waits for its place.
    EXPECT_EQ(w.engine.portSettings.SpeakerTone.load(), 1000);
    ASSERT_TRUE(TickUntil([&] { return SentText() == "e" && AllKeyed(); }));
    EXPECT_EQ(w.engine.portSettings.SpeakerTone.load(), 700);
}

TEST_F(Cwdaemon, SettingsActOnTheTextSentAfterThem) {
    // What QLog sends for "TU <+>5NN<-> 001".
    Send(Esc("229"));
    const int dot29 = w.engine.keyerSettings.DotTicks.load();
    Send(Esc("224"));
    const int dot24 = w.engine.keyerSettings.DotTicks.load();
    Send(Esc("212"));
    ASSERT_EQ(w.engine.keyerSettings.DotTicks.load(), 25);
    ASSERT_GT(dot24, dot29);

    Send("TU ");
    Send(Esc("229"));
    Send("5NN");
    Send(Esc("224"));
    Send(" 001");
    EXPECT_EQ(w.form.speed.Speed, 60);
    ASSERT_TRUE(TickUntil([&] { return SentText() == "tu 5nn 001" && AllKeyed(); }, 100000));
    std::vector<int> expected{75, 25, 25, 75};              // TU at 12 wpm
    for (int i = 0; i < 5; ++i) expected.push_back(dot29);  // 5
    for (int i = 0; i < 2; ++i) {                           // N N
        expected.push_back(3 * dot29);
        expected.push_back(dot29);
    }
    for (int i = 0; i < 10; ++i) expected.push_back(3 * dot24);         // 0 0
    for (const int e : {1, 3, 3, 3, 3}) expected.push_back(e * dot24);  // 1
    EXPECT_EQ(KeyDownRuns(), expected);
    EXPECT_EQ(w.form.speed.Speed, 120);

    // Tone and weighting likewise.
    Send("e");
    Send(Esc("3600"));
    Send(Esc("720"));
    EXPECT_EQ(w.engine.portSettings.SpeakerTone.load(), 1000);
    EXPECT_EQ(w.form.speed.Weighting, 0);
    ASSERT_TRUE(TickUntil([&] { return AllKeyed() && SentText().endsWith(u'e'); }));
    Tick();
    EXPECT_EQ(w.engine.portSettings.SpeakerTone.load(), 600);
    EXPECT_NE(w.form.speed.Weighting, 0);
}

TEST_F(Cwdaemon, AbortAppliesTheSettingsQueuedBehindTheText) {
    Send("paris");
    Send(Esc("230"));
    Send("+");
    Tick();
    Send(Esc("4"));
    const int afterAbort = w.form.speed.Speed;
    // The same requests with nothing queued.
    Send(Esc("212"));
    Send(Esc("230"));
    Send("+");
    EXPECT_EQ(afterAbort, w.form.speed.Speed);
    EXPECT_GT(afterAbort, 150);
}

TEST_F(Cwdaemon, TransmissionARequestStartedEndsWithItsText) {
    Send("e");
    ASSERT_TRUE(TickUntil([&] { return !Transmitting() && AllKeyed(); }));
    EXPECT_EQ(SentText(), "e");
    EXPECT_FALSE(w.form.TxButton->isChecked());
    Tick();
    EXPECT_FALSE(TxLineOn());

    // Text behind text: one transmission for both.
    Send("e");
    Send("e");
    ASSERT_TRUE(TickUntil([&] { return !Transmitting() && AllKeyed(); }));
    EXPECT_EQ(SentText(), "eee");

    // Transmit the operator switched on stays on.
    w.form.txControl->SetTxButton(true);
    w.form.txControl->ApplyTx();
    Send("e");
    ASSERT_TRUE(TickUntil([&] { return SentText() == "eeee" && AllKeyed(); }));
    Ticks(500);
    EXPECT_TRUE(Transmitting());
}

TEST_F(Cwdaemon, TransmitHeldByAClientOutlastsSilenceAndAnEmptyQueue) {
    w.engine.keyerSettings.MoxOn.store(1);
    w.engine.keyerSettings.RxAtSilence.store(1);
    w.engine.keyerSettings.SilenceLen.store(8);
    w.form.options.RxAtFreeBuffer = 1;
    Send(Esc("a1"));
    Ticks(1000);
    EXPECT_TRUE(Transmitting());
    w.form.Sent->clear();  // the word space of the silence
    Send("e");
    ASSERT_TRUE(TickUntil([&] { return SentText() == "e" && AllKeyed(); }));
    Ticks(1000);
    EXPECT_TRUE(Transmitting());
    EXPECT_TRUE(TxLineOn());
    Send(Esc("a0"));
    EXPECT_FALSE(Transmitting());

    // Without the hold the keying options end it.
    w.form.Sent->clear();
    Send("e");
    ASSERT_TRUE(TickUntil([&] { return !Transmitting(); }));
    EXPECT_EQ(SentText().trimmed(), "e");
}

TEST_F(Cwdaemon, PttDelayIsTheLeadTimeBeforeTheFirstElement) {
    auto leadTicks = [&] {
        EXPECT_TRUE(Transmitting());
        int ticks = 0;
        while (!KeyDown() && ticks < 1000) {
            // The hold is counted in ticks; the lead-in timer only wakes the window.
            QApplication::processEvents();
            Tick();
            ++ticks;
        }
        EXPECT_TRUE(TickUntil([&] { return !Transmitting() && AllKeyed(); }));
        return ticks;
    };
    Send("e");
    const int own = leadTicks();
    Send(Esc("d30"));
    Send("e");
    const int delayed = leadTicks();
    EXPECT_LE(own, 3 + 2);       // the PTT lead of 10 ms (three ticks) and the hand-over's two
    EXPECT_GE(delayed * 4, 30);  // 4 ms ticks
    EXPECT_LE(delayed, 8 + 3);
    Send(Esc("d51"));  // clipped to 50 ms
    Send("e");
    const int clipped = leadTicks();
    EXPECT_GE(clipped * 4, 50);
    EXPECT_LE(clipped, 13 + 3);
}

// PTT for a text: whether there is a line is the operator's (TX mask); the lead is ESC d's, else
// the PTT lead wherever the TX line comes on; the line drops at the last key-up, plus MOX's
// silence when set.
TEST_F(Cwdaemon, PttAsTheLoggerSetIt) {
    constexpr int kNone = -1;   // the TX line never comes on
    constexpr int kStays = -2;  // held on by ESC a1
    struct Case {
        std::uint8_t txMask;
        bool mox;
        bool rxAtSilence;
        int escD;
        bool escA1;
        int leadTicks;  // from the request to the first key-down, less the hand-over's two
        int tailTicks;  // from the last key-up to the line going off
    };
    const Case cases[] = {
        {kTxBit, false, true, 0, false, 25, 0},      {kTxBit, false, true, 40, false, 10, 0},
        {kTxBit, true, true, 0, false, 25, 200},     {kTxBit, true, true, 40, false, 10, 200},
        {kTxBit, true, false, 0, false, 25, 0},      {kTxBit, true, false, 40, false, 10, 0},
        {0, false, true, 40, false, 10, kNone},      {0, true, true, 0, false, 25, kNone},
        {kTxBit, false, true, 40, true, 10, kStays}, {kTxBit, true, true, 40, true, 10, kStays},
    };
    w.engine.keyerSettings.PaddleDelay.store(100);  // 25 ticks
    w.engine.keyerSettings.SilenceLen.store(8);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "mask " << int{c.txMask} << " mox " << c.mox << " silence " << c.rxAtSilence
                     << " d " << c.escD << " a1 " << c.escA1);
        w.engine.portSettings.TxMask.store(c.txMask);
        w.engine.keyerSettings.MoxOn.store(c.mox ? 1 : 0);
        w.engine.keyerSettings.RxAtSilence.store(c.rxAtSilence ? 1 : 0);
        Send(Esc("d" + std::to_string(c.escD)));
        if (c.escA1) Send(Esc("a1"));
        Send("e");
        int lead = 0;
        bool sawTx = TxLineOn();
        while (!KeyDown() && lead < 200) {
            Tick();
            sawTx = sawTx || TxLineOn();
            ++lead;
        }
        EXPECT_NEAR(lead - 2, c.leadTicks, 1);
        ASSERT_TRUE(TickUntil([&] {
            sawTx = sawTx || TxLineOn();
            return !KeyDown();
        }));
        int tail = 0;
        while (TxLineOn() && tail < 400) {
            Tick();
            ++tail;
        }
        EXPECT_EQ(sawTx, c.tailTicks != kNone);
        if (c.tailTicks == kStays) {
            EXPECT_TRUE(TxLineOn());
            Send(Esc("a0"));
        } else if (c.tailTicks != kNone) {
            EXPECT_NEAR(tail, c.tailTicks, 1);
        }
        ASSERT_TRUE(TickUntil([&] { return !Transmitting() && AllKeyed(); }));
        Tick();
        EXPECT_FALSE(TxLineOn());
    }
}

TEST_F(Cwdaemon, ReplyAtTheLastKeyUp) {
    Send("en^");
    bool replied = false;
    for (int i = 0; i < 1000 && !replied; ++i) {
        const bool wasDown = KeyDown();
        Tick();
        replied = !Replies().empty();
        // Not a tick before the key went up after the dot of "n", nor after.
        if (replied) {
            EXPECT_TRUE(wasDown);
            EXPECT_FALSE(KeyDown());
            EXPECT_EQ(SentText(), "e");
        }
    }
    EXPECT_TRUE(replied);
}

TEST_F(Cwdaemon, TwoClientsEachGetTheirOwnReply) {
    QUdpSocket other;
    ASSERT_TRUE(other.bind(QHostAddress::LocalHost, 0));
    Send("e^");
    Send("t^", &other);
    ASSERT_TRUE(TickUntil([&] { return AllKeyed() && SentText() == "et"; }));
    Tick();
    EXPECT_EQ(Replies(), std::vector<std::string>{"e\r\n"});
    EXPECT_EQ(Replies(other), std::vector<std::string>{"t\r\n"});

    // Two replies of one client due at the same key-up: cwdaemon keeps the newer one.
    Send(Esc("hfirst"));
    Send("e^");
    ASSERT_TRUE(TickUntil([&] { return AllKeyed() && SentText() == "ete"; }));
    Tick();
    EXPECT_EQ(Replies(), std::vector<std::string>{"e\r\n"});
}

TEST_F(Cwdaemon, CharactersAsCwdaemonKeysThem) {
    // Latin-1 A, O and U with diaeresis, at and dollar.
    Send("\xC4\xD6\xDC@$");
    ASSERT_TRUE(TickUntil([&] { return !Transmitting() && AllKeyed(); }, 40000));
    EXPECT_EQ(KeyDownRuns(), (std::vector<int>{25, 75, 25, 75,                 // .-.-
                                               75, 75, 75, 25,                 // ---.
                                               25, 25, 75, 75,                 // ..--
                                               25, 75, 75, 25, 75, 25,         // .--.-.
                                               25, 25, 25, 75, 25, 25, 75}));  // ...-..-

    // What cwdaemon cannot key is skipped; nothing acts as a command; a control byte is
    // skipped alone.
    w.form.Sent->clear();
    Send("#{[}\xB7`~x");
    Send(
        std::string("a\x01\x7F"
                    "b",
                    4));
    ASSERT_TRUE(TickUntil([&] { return !Transmitting() && AllKeyed(); }, 40000));
    EXPECT_EQ(SentText(), "xab");
    EXPECT_FALSE(w.form.PauseButton->isChecked());
}

TEST_F(Cwdaemon, DatagramsFromAnotherUserAreRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to send as another user";
    const std::uint16_t port = listener->LocalPort();
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(kNobodyUid) != 0 || ::setuid(kNobodyUid) != 0) ::_exit(3);
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const char request[] =
            "\x1b"
            "a1";
        ::sendto(fd, request, 3, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        // The socket stays open until the datagram has been read.
        ::sleep(2);
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    const bool read = WaitUntil([&] { return Logged("held by a socket of uid 65534"); });
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(read);
    EXPECT_FALSE(Transmitting());

    // Let in on request.
    listener->AllowAnyUser(true);
    Send(Esc("a1"));
    EXPECT_TRUE(Transmitting());
}

void SendFrom(int fd, std::uint16_t port, const std::string& bytes) {
    SendUdp(fd, port, bytes.data(), bytes.size());
}

// Another user binds the port of one of your sockets that lends it (SO_REUSEADDR), sends and
// closes at once: by the time the datagram is read only your socket holds the port.
TEST_F(Cwdaemon, AnotherUserOnABorrowedPortIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to send as another user";
    const int own = UdpSocketAs(::geteuid(), 0, true);
    const std::uint16_t port = UdpPortOf(own);

    const int borrowed = UdpSocketAs(kNobodyUid, port, true);
    SendFrom(borrowed, listener->LocalPort(), Esc("a1"));
    ::close(borrowed);
    EXPECT_TRUE(WaitUntil([&] { return Logged("refused"); }));
    EXPECT_FALSE(Transmitting());

    // While both hold the port, even your own datagram is refused, naming the other user.
    const int shared = UdpSocketAs(kNobodyUid, port, true);
    SendFrom(own, listener->LocalPort(), Esc("a1"));
    EXPECT_TRUE(WaitUntil([&] { return Logged("shared with a socket of uid 65534"); }));
    EXPECT_FALSE(Transmitting());
    ::close(shared);
    ::close(own);
}

// Your client sends and closes; another user binds its port at once and sends: every datagram is
// checked by itself, not with the verdict on the one before it.
TEST_F(Cwdaemon, AnotherUserTakingOverAPortBetweenTwoDatagramsIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to send as another user";
    const std::uint16_t port = client.localPort();
    int other = -1;
    listener->SetLogSink([&](const std::string& line) {
        log.push_back(line);
        if (other >= 0 || line.find("ignored") == std::string::npos) return;
        // While the first datagram is served, before the next is read.
        client.close();
        other = UdpSocketAs(kNobodyUid, port, false);
        SendFrom(other, listener->LocalPort(), Esc("a1"));
        QThread::msleep(20);
    });
    Send("\x1b");
    EXPECT_TRUE(WaitUntil([&] { return listener->RequestsHandled() >= 2 && Logged("refused"); }));
    EXPECT_FALSE(Transmitting());
    ::close(other);
}

// Another user's IPv6-only socket on the port of your IPv4 client cannot have sent its datagrams.
TEST_F(Cwdaemon, AnotherUsersIpv6OnlySocketOnYourPortDoesNotBlockYou) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to open a socket as another user";
    const int squat = UdpSocketAs(kNobodyUid, client.localPort(), false, true, true);
    Send(Esc("a1"));
    EXPECT_TRUE(Transmitting());
    EXPECT_FALSE(Logged("refused"));
    ::close(squat);
}

}  // namespace
}  // namespace telkey::test
