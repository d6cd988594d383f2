// The transmit queue, transmit and pause in the main window, with the keyer on simulated ports
// run tick by tick: what is typed leaves Input, is keyed on the key line and shows in Sent.
#include <gtest/gtest.h>

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <tuple>

#include "engine/morse_tables.h"
#include "support/key_press.h"
#include "support/window_fixture.h"
#include "transmit/transmit_queue.h"
#include "transmit/tx_control.h"
#include "widgets/status_panels.h"

namespace telkey {
namespace {

using test::WindowFixture;

// COM1's modem control register; bit 0 keys, bit 1 is the TX (PTT) line.
constexpr std::uint16_t kKeyRegister = 0x3FC;
constexpr std::uint8_t kKeyBit = 0x01;
constexpr std::uint8_t kTxBit = 0x02;
// At the default speed a dot is 25 ticks; ticks enough for a few characters.
constexpr int kDotTicks = 25;
constexpr int kCharacterTicks = 20 * kDotTicks;

class TransmitWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        fx = std::make_unique<WindowFixture>();
        fx->StartTimer();
        fx->form.speed.ApplySpeed(true);
        ASSERT_EQ(fx->engine.keyerSettings.DotTicks.load(), kDotTicks);
        fx->form.registered.Telkey_Message = fx->messages.RegisterMessage("Telkey_Message");
        fx->engine.portSettings.KeyPortNumber.store(1);
        fx->form.Input->setFocus();
        WindowFixture::ProcessEvents();
        announcedBefore = fx->messages.WParams(fx->form.registered.Telkey_Message).size();
    }

    TForm1& form() { return fx->form; }
    Engine& engine() { return fx->engine; }
    QString InputText() { return form().Input->toPlainText(); }
    QString SentText() { return form().Sent->toPlainText(); }
    // Announcements since the test began (start-up has made its own).
    std::vector<std::int32_t> Announced() {
        const auto all = fx->messages.WParams(form().registered.Telkey_Message);
        return {all.begin() + static_cast<std::ptrdiff_t>(announcedBefore), all.end()};
    }
    bool Transmitting() { return engine().flags.Transmitting.load() != 0; }
    bool KeyDown() { return (fx->bus.LastValue(kKeyRegister).value_or(0) & kKeyBit) != 0; }

    // Runs ticks until `done` holds (or `limit` ticks have run); returns the ticks run.
    template <typename Done>
    int TicksUntil(Done done, int limit = 50 * kCharacterTicks) {
        for (int n = 0; n < limit; ++n) {
            if (done()) return n;
            fx->KeyerTicks(1);
        }
        ADD_FAILURE() << "condition not reached in " << limit << " ticks";
        return limit;
    }

    // Switches transmit on as the TX button does.
    void TxByHand(bool on) {
        form().TxButton->setChecked(on);
        form().TxButtonClick();
    }

    void SetInput(const QString& text) { form().Input->setPlainText(text); }

    std::unique_ptr<WindowFixture> fx;
    std::size_t announcedBefore = 0;
};

TEST_F(TransmitWindow, TypingSwitchesTransmitOnAndEchoesEachLetterAfterItWasKeyed) {
    engine().keyerSettings.MoxOn.store(1);
    test::TypeText(QStringLiteral("c"));
    EXPECT_TRUE(Transmitting());
    EXPECT_TRUE(form().TxButton->isChecked());
    EXPECT_EQ(form().StatusBar->PanelText(kTxPanel), QStringLiteral("TX"));
    EXPECT_EQ(Announced(), (std::vector<std::int32_t>{kAnnounceTxOn}));
    // Nothing is taken in the pass that switches on; a word space waits in the mailbox.
    EXPECT_EQ(InputText(), QStringLiteral("c"));
    EXPECT_FALSE(engine().mailbox.NextCodeEmpty());
    test::TypeText(QStringLiteral("q"));
    EXPECT_EQ(InputText(), QStringLiteral("cq"));
    fx->KeyerTicks(1);
    EXPECT_NE(fx->bus.LastValue(kKeyRegister).value_or(0) & kTxBit, 0);

    // The word space is silence and shows as one blank.
    std::string keyLine;  // one character per tick: the key line up or down
    TicksUntil([&] { return SentText() == QStringLiteral(" "); });
    EXPECT_EQ(InputText(), QStringLiteral("q"));  // "c" went on when the space was taken
    // "c" is echoed only when it has been keyed: dash dot dash dot, then its letter gap.
    TicksUntil([&] {
        keyLine += KeyDown() ? '1' : '0';
        return SentText() == QStringLiteral(" c");
    });
    EXPECT_EQ(InputText(), QString());
    auto trimmed = keyLine.substr(keyLine.find('1'));
    EXPECT_EQ(trimmed, std::string(75, '1') + std::string(25, '0') + std::string(25, '1') +
                           std::string(25, '0') + std::string(75, '1') + std::string(25, '0') +
                           std::string(25, '1') + std::string(75, '0'));
    keyLine.clear();
    TicksUntil([&] {
        keyLine += KeyDown() ? '1' : '0';
        return SentText() == QStringLiteral(" cq");
    });
    EXPECT_EQ(std::count(keyLine.begin(), keyLine.end(), '1'), 3 * 75 + 25);

    // RX at silence: 8 dots after the last key-up the transmitter drops.
    TicksUntil([&] { return !Transmitting(); }, 20 * kDotTicks);
    WindowFixture::ProcessEvents();
    EXPECT_FALSE(form().TxButton->isChecked());
    EXPECT_EQ(form().StatusBar->PanelText(kTxPanel), QStringLiteral("RX"));
    EXPECT_EQ(Announced(), (std::vector<std::int32_t>{kAnnounceTxOn, kAnnounceTxOff}));
    EXPECT_EQ(fx->bus.LastValue(kKeyRegister).value_or(0) & kTxBit, 0);
}

// TX-bit changes from off to on in what was written to the key register.
int TxSwitchedOn(const std::vector<std::uint8_t>& values) {
    int count = 0;
    bool on = false;
    for (std::uint8_t value : values) {
        const bool now = (value & kTxBit) != 0;
        count += now && !on;
        on = now;
    }
    return count;
}

// Every broadcast waits for a participant that answers only after 16 dots, longer than the
// silence that ends transmission. The hand-over goes on while it waits: the text is keyed in
// full, with the transmitter switched on once and announced once.
TEST_F(TransmitWindow, SentBeingReadKeepsItsCaretWhileTheKeyedTextIsEchoed) {
    engine().keyerSettings.MoxOn.store(1);
    test::TypeText(QStringLiteral("e"));
    TicksUntil([&] { return SentText() == QStringLiteral(" e"); });
    // The operator goes back to read what was sent while "t" is keyed.
    test::TypeText(QStringLiteral("t"));
    form().Sent->setFocus(Qt::TabFocusReason);
    QTextCursor reading = form().Sent->textCursor();
    reading.setPosition(1);
    form().Sent->setTextCursor(reading);
    TicksUntil([&] { return SentText() == QStringLiteral(" et"); });
    EXPECT_EQ(form().Sent->textCursor().position(), 1);
    // Not being read, Sent follows the text again.
    form().Input->setFocus();
    test::TypeText(QStringLiteral("e"));
    TicksUntil([&] { return SentText() == QStringLiteral(" ete"); });
    EXPECT_EQ(form().Sent->textCursor().position(), 4);
}

TEST_F(TransmitWindow, SlowParticipantDoesNotHoldUpKeying) {
    engine().keyerSettings.MoxOn.store(1);
    fx->bus.Clear();
    constexpr int kAnswerTicks = 16 * kDotTicks;
    fx->messages.whileWaiting = [this] {
        // Broadcasts waiting inside each other do not end by themselves; keep the test finite.
        if (fx->messages.waitDepth > 3) return;
        for (int i = 0; i < kAnswerTicks; ++i) {
            fx->driver.Tick(1);
            fx->messages.RunWatches();
        }
    };
    SetInput(QStringLiteral("cq cq"));
    TicksUntil([&] { return SentText().startsWith(QStringLiteral(" cq cq")) && !Transmitting(); });
    WindowFixture::ProcessEvents();
    fx->messages.whileWaiting = nullptr;

    EXPECT_EQ(fx->messages.maxWaitDepth, 1);
    EXPECT_EQ(Announced(), (std::vector<std::int32_t>{kAnnounceTxOn, kAnnounceTxOff}));
    EXPECT_EQ(TxSwitchedOn(fx->bus.ValuesWrittenTo(kKeyRegister)), 1);
    EXPECT_EQ(InputText(), QString());
    EXPECT_FALSE(form().TxButton->isChecked());
}

// A transmit off that the keyer asks for while the transmit-on announcement still waits is
// carried out after it, in order, and not from inside it.
TEST_F(TransmitWindow, TransmitOffDuringTheOnAnnouncementFollowsIt) {
    bool once = false;
    fx->messages.whileWaiting = [this, &once] {
        if (once) return;
        once = true;
        // The keyer ends transmission (a "}" taken) while 111 is being announced.
        engine().flags.Transmitting.store(0);
        form().txControl->HandleNotification(Notification::WM_KEYER_TX_OFF);
        EXPECT_EQ(Announced(), (std::vector<std::int32_t>{kAnnounceTxOn}));
    };
    TxByHand(true);
    fx->messages.whileWaiting = nullptr;
    EXPECT_EQ(Announced(), (std::vector<std::int32_t>{kAnnounceTxOn, kAnnounceTxOff}));
    EXPECT_FALSE(Transmitting());
    EXPECT_EQ(fx->bus.LastValue(kKeyRegister).value_or(0) & kTxBit, 0);
    EXPECT_EQ(form().StatusBar->PanelText(kTxPanel), QStringLiteral("RX"));
}

// Transmit switched off at each point of a character, with MOX: the keyer finishes the
// character and the code in the mailbox, the TX line stays on under the key and goes off with
// the last key-up; Transmitting and the panel follow at once.
TEST_F(TransmitWindow, TransmitOffDropsTheTxLineAtTheLastKeyUp) {
    // Where, the text, ticks after its first key-down, pause, elements keyed in all.
    const std::tuple<const char*, const char*, int, bool, int> rows[] = {
        {"in an element", "0e", 10, false, 6},  {"in a gap", "0e", 85, false, 6},
        {"nothing waiting", "e", 10, false, 1}, {"in the letter gap", "ee", 35, false, 2},
        {"paused", "eee", 10, true, 2},         {"nothing on the air", "", 0, false, 0}};
    engine().keyerSettings.MoxOn.store(1);
    form().options.TxAtKeyboard = 0;
    for (const auto& [where, text, ticks, pause, elements] : rows) {
        SCOPED_TRACE(where);
        fx->bus.Clear();
        SetInput(QString::fromLatin1(text));
        TxByHand(true);
        if (elements > 0) TicksUntil([&] { return KeyDown(); });
        fx->KeyerTicks(ticks);
        form().SetPause(pause);
        const std::size_t atOff = fx->bus.ValuesWrittenTo(kKeyRegister).size();
        TxByHand(false);
        EXPECT_FALSE(Transmitting());
        EXPECT_EQ(form().StatusBar->PanelText(kTxPanel), QStringLiteral("RX"));
        fx->KeyerTicks(8 * kCharacterTicks);
        std::string line;  // one per write: 'K' key and TX, 'k' key alone, 'T' TX alone
        for (std::uint8_t v : fx->bus.ValuesWrittenTo(kKeyRegister)) line += ".kTK"[v & 3];
        EXPECT_EQ(line.find('k'), std::string::npos) << line;
        int keyed = 0;
        for (std::size_t i = 0; i < line.size(); ++i) keyed += line[i] == 'K' && line[i + 1] != 'K';
        EXPECT_EQ(keyed, elements);
        const std::size_t lastUp = std::max(line.rfind('K') + 1, atOff);
        EXPECT_EQ(line.find_first_of("TK", lastUp), std::string::npos) << line;
        SetInput(QString());
    }
}

// With MOX, the first element waits PaddleDelay from the TX line's rise, whatever switched
// transmit on.
TEST_F(TransmitWindow, FirstElementWaitsThePttLeadWhateverSwitchedTransmitOn) {
    constexpr int kLeadMs = 100;  // 25 ticks of 4 ms
    engine().keyerSettings.MoxOn.store(1);
    engine().keyerSettings.PaddleDelay.store(kLeadMs);
    form().options.TxAtKeyboard = 0;
    form().registered.BRX_CW = fx->messages.RegisterMessage("BRX_CW");
    form().macros.slots[3] = "~[tx]e";
    const std::function<void()> starts[] = {
        [&] { TxByHand(true); }, [&] { form().RunMacro(3); },
        [&] { fx->messages.Deliver(form().registered.BRX_CW, 111, 0); },
        [&] {  // text waiting when TX at keyboard press applies
            form().options.TxAtKeyboard = 1;
            form().transmitQueue->AppIdle();
        }};
    for (const auto& start : starts) {
        SetInput(QStringLiteral("e"));
        start();
        ASSERT_TRUE(Transmitting());
        // The line came on before the first of these ticks; the key goes down at the last.
        const int ticks = TicksUntil([&] { return KeyDown(); });
        EXPECT_GE((ticks - 1) * engine().keyerSettings.TickMs.load(), kLeadMs);
        TicksUntil([&] { return !Transmitting(); });
    }
}

TEST_F(TransmitWindow, CaretAndSelectionStayOnTheirCharactersWhileTheFrontIsCut) {
    SetInput(QStringLiteral("abcdef"));
    QTextCursor end = form().Input->textCursor();
    end.movePosition(QTextCursor::End);
    form().Input->setTextCursor(end);
    TxByHand(true);  // hands over "a"
    std::uint8_t code = 0;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(engine().mailbox.Take(code));  // as the keyer does
        form().FeedKeyer();
    }
    EXPECT_EQ(InputText(), QStringLiteral("def"));
    EXPECT_EQ(form().Input->textCursor().position(), 3);

    SetInput(QStringLiteral("abcdef"));
    QTextCursor front = form().Input->textCursor();
    front.setPosition(0);
    front.setPosition(3, QTextCursor::KeepAnchor);
    form().Input->setTextCursor(front);
    ASSERT_TRUE(engine().mailbox.Take(code));
    form().FeedKeyer();
    EXPECT_EQ(InputText(), QStringLiteral("bcdef"));
    EXPECT_EQ(form().Input->textCursor().selectionStart(), 0);
    EXPECT_EQ(form().Input->textCursor().selectionEnd(), 2);
    EXPECT_EQ(form().Input->textCursor().selectedText(), QStringLiteral("bc"));
}

TEST_F(TransmitWindow, TransmitOffWhileTextWaitsComesBackAtTheNextIdleMoment) {
    engine().keyerSettings.MoxOn.store(1);
    test::TypeText(QStringLiteral("abc"));
    ASSERT_TRUE(Transmitting());
    std::uint8_t code = 0;
    ASSERT_TRUE(engine().mailbox.Take(code));  // the keyer took the leading word space
    TxByHand(false);
    EXPECT_FALSE(Transmitting());
    form().transmitQueue->AppIdle();
    EXPECT_TRUE(Transmitting());
    EXPECT_TRUE(form().TxButton->isChecked());
    ASSERT_TRUE(engine().mailbox.Take(code));
    EXPECT_EQ(code, CodeWordSpace);
    EXPECT_EQ(InputText(), QStringLiteral("abc"));
    EXPECT_EQ(Announced(),
              (std::vector<std::int32_t>{kAnnounceTxOn, kAnnounceTxOff, kAnnounceTxOn}));

    // With pause on, transmit stays off.
    form().SetPause(true);
    TxByHand(false);
    form().transmitQueue->AppIdle();
    EXPECT_FALSE(Transmitting());
    EXPECT_FALSE(form().TxButton->isChecked());
}

TEST_F(TransmitWindow, FreeBufferEndsATransmissionSwitchedOnByHandWithNothingToSend) {
    engine().keyerSettings.MoxOn.store(1);
    form().options.RxAtFreeBuffer = 1;
    TxByHand(true);
    EXPECT_EQ(fx->bus.LastValue(kKeyRegister).value_or(0) & kTxBit, kTxBit);
    EXPECT_EQ(form().StatusBar->PanelText(kTxPanel), QStringLiteral("TX"));
    form().transmitQueue->AppIdle();  // CodeRx goes straight into the mailbox
    EXPECT_FALSE(engine().mailbox.NextCodeEmpty());
    fx->KeyerTicks(2);
    EXPECT_FALSE(Transmitting());
    EXPECT_FALSE(form().TxButton->isChecked());
    EXPECT_EQ(form().StatusBar->PanelText(kTxPanel), QStringLiteral("RX"));
    EXPECT_EQ(Announced(), (std::vector<std::int32_t>{kAnnounceTxOn, kAnnounceTxOff}));
    EXPECT_EQ(SentText(), QString());  // nothing was keyed
}

TEST_F(TransmitWindow, BraceEndsTransmissionAndTheRestWaits) {
    engine().keyerSettings.MoxOn.store(1);
    form().options.TxAtKeyboard = 0;
    SetInput(QStringLiteral("e}t"));
    TxByHand(true);
    TicksUntil([&] { return !Transmitting(); });
    fx->KeyerTicks(1);
    EXPECT_EQ(SentText(), QStringLiteral("e"));
    EXPECT_EQ(InputText(), QStringLiteral("t"));
    EXPECT_FALSE(form().TxButton->isChecked());
    EXPECT_EQ(Announced(), (std::vector<std::int32_t>{kAnnounceTxOn, kAnnounceTxOff}));
    fx->KeyerTicks(kCharacterTicks);
    EXPECT_EQ(InputText(), QStringLiteral("t"));  // not fed while receiving

    // With TX at keyboard press the rest goes out again at once, after a word space.
    form().options.TxAtKeyboard = 1;
    form().transmitQueue->AppIdle();
    EXPECT_TRUE(Transmitting());
    TicksUntil([&] { return SentText().endsWith(QStringLiteral("t")); });
    EXPECT_TRUE(SentText().startsWith(QStringLiteral("e ")));
}

TEST_F(TransmitWindow, PauseInTheMiddleOfAWordLetsAtMostTwoMoreCharactersGo) {
    form().options.TxAtKeyboard = 0;
    SetInput(QStringLiteral("paris"));
    TxByHand(true);
    TicksUntil([&] { return SentText() == QStringLiteral("p"); });
    // "a" is taken at the next tick and "r" handed over for it; pause while "a" is keyed.
    fx->KeyerTicks(10);
    ASSERT_EQ(InputText(), QStringLiteral("is"));
    form().SetPause(true);
    EXPECT_TRUE(form().PauseButton->isChecked());
    EXPECT_EQ(form().StatusBar->PanelText(kPausePanel), QStringLiteral("PAUSE"));
    fx->KeyerTicks(6 * kCharacterTicks);
    // "a" was on the air and "r" in the mailbox; nothing more is fed.
    EXPECT_EQ(SentText(), QStringLiteral("par "));
    EXPECT_EQ(InputText(), QStringLiteral("is"));
    form().SetPause(false);
    EXPECT_EQ(form().StatusBar->PanelText(kPausePanel), QStringLiteral(" "));
    EXPECT_EQ(InputText(), QStringLiteral("s"));  // resumes at once with the next character
    TicksUntil([&] { return SentText().endsWith(QStringLiteral("s")); });
    EXPECT_EQ(SentText(), QStringLiteral("par is"));
    EXPECT_EQ(Announced(),
              (std::vector<std::int32_t>{kAnnounceTxOn, kAnnouncePauseOn, kAnnouncePauseOff}));
}

TEST_F(TransmitWindow, ALineBreakIsKeyedAsTwoWordSpaces) {
    form().options.TxAtKeyboard = 0;
    form().Input->setFocus();
    test::TypeText(QStringLiteral("e\nt"));
    ASSERT_EQ(InputText(), QStringLiteral("e\nt"));
    TxByHand(true);
    TicksUntil([&] { return SentText().endsWith(QStringLiteral("t")); });
    EXPECT_EQ(SentText(), QStringLiteral("e  t"));
    EXPECT_EQ(InputText(), QString());
}

TEST_F(TransmitWindow, EveryLineBreakIsTwoWordSpacesWhateverIsEditedAroundIt) {
    form().options.TxAtKeyboard = 0;
    form().Input->setFocus();
    // The first word space of the break has gone when "e" was taken.
    auto halfSent = [&] {
        SetInput(QStringLiteral("e\nt"));
        TxByHand(true);
        TicksUntil([&] { return engine().keyer.State().KeyerState == TextDot; });
        ASSERT_EQ(InputText(), QStringLiteral("\nt"));
        ASSERT_FALSE(engine().mailbox.NextCodeEmpty());
    };

    // Emptied and typed again: the new break is a break of its own.
    halfSent();
    QTextCursor all = form().Input->textCursor();
    all.select(QTextCursor::Document);
    all.removeSelectedText();
    test::TypeText(QStringLiteral("\nt"));
    TicksUntil([&] { return SentText().endsWith(QStringLiteral("t")); });
    EXPECT_EQ(SentText(), QStringLiteral("e   t"));  // the old break's first half, then two

    // Text put in front of the half-sent break: its second word space follows that text.
    form().Sent->clear();
    halfSent();
    QTextCursor front = form().Input->textCursor();
    front.setPosition(0);
    front.insertText(QStringLiteral("a"));
    TicksUntil([&] { return SentText().endsWith(QStringLiteral("t")); });
    EXPECT_EQ(SentText(), QStringLiteral("e a t"));
}

TEST_F(TransmitWindow, PrivateUseCharactersAreKeyedAsCharactersOutsideTheCodePage) {
    form().options.TxAtKeyboard = 0;
    // Typed or pasted, they are no program's marks: no SK, no end of transmission, no silence.
    SetInput(QString::fromUtf16(u"e\uE045\uE0F0\uF8FFe"));
    TxByHand(true);
    TicksUntil([&] { return SentText().size() == 5; });
    EXPECT_EQ(SentText(), QStringLiteral("e   e"));
    EXPECT_TRUE(Transmitting());
}

TEST_F(TransmitWindow, DeferredFieldIsTakenWhenItReachesTheFront) {
    form().options.TxAtKeyboard = 0;
    form().CallEdit->setText(QStringLiteral("OK1AB"));
    SetInput(QStringLiteral("e`[ec] k"));
    QTextCursor caret = form().Input->textCursor();
    caret.setPosition(7);  // before "k"
    form().Input->setTextCursor(caret);
    TxByHand(true);  // "e" goes into the mailbox
    EXPECT_EQ(InputText(), QStringLiteral("`[ec] k"));
    // The call changes while the command waits: the new one is sent.
    form().CallEdit->setText(QStringLiteral("DL1ABC"));
    std::uint8_t code = 0;
    ASSERT_TRUE(engine().mailbox.Take(code));
    form().FeedKeyer();
    EXPECT_EQ(InputText(), QStringLiteral("L1ABC k"));
    // The caret stood before "k" and still does: moved by the change in length, then one back.
    EXPECT_EQ(form().Input->textCursor().position(), 6);
    ASSERT_TRUE(engine().mailbox.Take(code));
    EXPECT_EQ(code, CharToCode('D'));

    // Typed while pause is on, the command waits unexpanded until pause goes off.
    SetInput(QString());
    form().SetPause(true);
    ASSERT_TRUE(engine().mailbox.Take(code) || engine().mailbox.NextCodeEmpty());
    SetInput(QStringLiteral("`[ec]"));
    form().transmitQueue->AppIdle();
    EXPECT_EQ(InputText(), QStringLiteral("`[ec]"));
    form().SetPause(false);
    EXPECT_EQ(InputText(), QStringLiteral("L1ABC"));
}

TEST_F(TransmitWindow, PauseOffAtTxOffReleasesPauseAfterAnnouncingReceive) {
    form().options.PauseOffAtRx = 1;
    form().options.TxAtKeyboard = 0;
    TxByHand(true);
    form().SetPause(true);
    TxByHand(false);
    EXPECT_FALSE(form().PauseButton->isChecked());
    EXPECT_EQ(engine().flags.Paused.load(), 0);
    EXPECT_EQ(form().StatusBar->PanelText(kPausePanel), QStringLiteral(" "));
    EXPECT_EQ(Announced(), (std::vector<std::int32_t>{kAnnounceTxOn, kAnnouncePauseOn,
                                                      kAnnounceTxOff, kAnnouncePauseOff}));

    // Without the option, receive leaves pause on.
    form().options.PauseOffAtRx = 0;
    TxByHand(true);
    form().SetPause(true);
    TxByHand(false);
    EXPECT_TRUE(form().PauseButton->isChecked());
    EXPECT_EQ(form().StatusBar->PanelText(kPausePanel), QStringLiteral("PAUSE"));
}

TEST_F(TransmitWindow, NothingIsAnnouncedBeforeTheMessageIsRegistered) {
    form().registered.Telkey_Message = 0;
    const std::size_t sent = fx->messages.sent.size();
    TxByHand(true);
    form().SetPause(true);
    EXPECT_EQ(fx->messages.sent.size(), sent);
    EXPECT_EQ(form().StatusBar->PanelText(kTxPanel), QStringLiteral("TX"));
    EXPECT_EQ(form().StatusBar->PanelText(kPausePanel), QStringLiteral("PAUSE"));
}

TEST_F(TransmitWindow, KeyerNotificationsBringTheButtonsInLine) {
    // Pause asked for by the keyer (a middle dot taken from the mailbox).
    form().options.TxAtKeyboard = 0;
    SetInput(QString(QChar(0x00B7)) + QStringLiteral("e"));
    TxByHand(true);
    fx->KeyerTicks(2);
    EXPECT_TRUE(form().PauseButton->isChecked());
    EXPECT_EQ(InputText(), QStringLiteral("e"));
    EXPECT_EQ(Announced().back(), kAnnouncePauseOn);

    // Transmit switched on by the paddle.
    TxByHand(false);
    engine().keyerSettings.MoxOn.store(1);
    fx->bus.SetInput(0x201, 0xFF ^ 0x10);  // dot paddle closed
    fx->KeyerTicks(1);
    fx->bus.ClearInput(0x201);
    EXPECT_TRUE(form().TxButton->isChecked());
    EXPECT_EQ(form().StatusBar->PanelText(kTxPanel), QStringLiteral("TX"));
    EXPECT_EQ(Announced().back(), kAnnounceTxOn);
}

TEST_F(TransmitWindow, LostNotificationsAreMadeUpFromTheFlags) {
    // Fill the queue past its capacity without letting the window drain it.
    for (std::size_t i = 0; i <= NotificationQueue::kCapacity; ++i) {
        engine().notifications.Post(Notification::WM_KEYER_NEED_CODE);
    }
    engine().flags.Transmitting.store(1);  // the keyer's own change, its notification lost
    form().txControl->DrainNotifications();
    EXPECT_TRUE(form().TxButton->isChecked());
    EXPECT_EQ(form().StatusBar->PanelText(kTxPanel), QStringLiteral("TX"));
}

TEST_F(TransmitWindow, SentKeepsTenDisplayedLinesAndDropsTheOldest) {
    // "t" first, then "e" until the eleventh line has begun.
    engine().ring.Push(CharToCode('t'));
    form().EchoSent();
    while (TransmitQueue::DisplayedLines(form().Sent) < 11) {
        engine().ring.Push(CharToCode('e'));
        form().EchoSent();
    }
    const QString before = SentText();
    ASSERT_TRUE(before.startsWith(QStringLiteral("t")));
    engine().ring.Push(CharToCode('m'));
    form().EchoSent();
    // The eleventh line had just begun; the oldest went before "m" joined the newest.
    EXPECT_EQ(TransmitQueue::DisplayedLines(form().Sent), 10);
    EXPECT_FALSE(SentText().startsWith(QStringLiteral("t")));
    EXPECT_TRUE(SentText().endsWith(QStringLiteral("m")));
    EXPECT_LT(SentText().size(), before.size());
    // The caret stays at the end, so the newest line shows.
    EXPECT_EQ(form().Sent->textCursor().position(), SentText().size());
}

TEST_F(TransmitWindow, SentAtItsCharacterLimitGoesOnShowingTheNewest) {
    // Fewer than ten lines that hold the whole limit (here: one unwrapped line) must not stop
    // the echo: older lines make room.
    form().Sent->setLineWrapMode(QPlainTextEdit::NoWrap);
    form().Sent->setPlainText(QString(static_cast<int>(kSentMaxLength) - 2, QLatin1Char('e')));
    for (char c : std::string("abcd")) {
        engine().ring.Push(CharToCode(static_cast<std::uint8_t>(c)));
        form().EchoSent();
        EXPECT_LE(SentText().size(), static_cast<qsizetype>(kSentMaxLength));
        EXPECT_TRUE(SentText().endsWith(QChar(c)));
    }
    EXPECT_TRUE(SentText().endsWith(QStringLiteral("bcd")));
}

TEST_F(TransmitWindow, InputHoldsAtMostTenThousandCharacters) {
    SetInput(QString(9998, QLatin1Char('e')));
    QTextCursor end = form().Input->textCursor();
    end.movePosition(QTextCursor::End);
    form().Input->setTextCursor(end);
    test::TypeText(QStringLiteral("abc"));
    EXPECT_EQ(InputText().size(), 10000);
    EXPECT_TRUE(InputText().endsWith(QStringLiteral("eeab")));
    // A paste is cut to what fits.
    end.setPosition(5);
    form().Input->setTextCursor(end);
    form().Input->insertPlainText(QStringLiteral("xyz"));
    EXPECT_EQ(InputText().size(), 10000);
}

TEST_F(TransmitWindow, IdlePassRunsWhenTheEventLoopRunsEmptyAndThenLetsItSleep) {
    form().InstallAppIdle();  // start-up does it; a second call changes nothing
    int idlePasses = 0;
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                     &form(), [&] { ++idlePasses; });
    engine().ring.Push(CharToCode('k'));
    engine().ring.Push(CharToCode('n'));
    QEventLoop loop;
    QTimer::singleShot(50, &loop, &QEventLoop::quit);
    loop.exec();
    // Each idle pass moved one code; with nothing left to do the loop slept instead of spinning.
    EXPECT_EQ(SentText(), QStringLiteral("kn"));
    EXPECT_GE(idlePasses, 2);
    EXPECT_LT(idlePasses, 40);
}

TEST_F(TransmitWindow, ClickInSentGivesTheFocusBackToInput) {
    form().Sent->setFocus();
    WindowFixture::ProcessEvents();
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(form().Sent->viewport(), &press);
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(form().Sent->viewport(), &release);
    EXPECT_TRUE(form().Input->hasFocus());
}

}  // namespace
}  // namespace telkey
