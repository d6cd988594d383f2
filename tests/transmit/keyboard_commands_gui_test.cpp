// Keyboard commands, sent as real key presses to whatever control has the focus: the shortcut
// map is tried first, as for keys from a keyboard.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QToolButton>
#include <initializer_list>
#include <memory>

#include "support/key_press.h"
#include "support/window_fixture.h"
#include "transmit/keyboard_commands.h"
#include "transmit/tx_control.h"
#include "widgets/status_panels.h"

namespace telkey {
namespace {

using test::PressKey;
using test::WindowFixture;

constexpr auto kNone = Qt::NoModifier;
constexpr auto kShift = Qt::ShiftModifier;
constexpr auto kCtrl = Qt::ControlModifier;
constexpr auto kAlt = Qt::AltModifier;

class KeyboardWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        fx = std::make_unique<WindowFixture>();
        form().registered.Telkey_Message = fx->messages.RegisterMessage("Telkey_Message");
        form().options.TxAtKeyboard = 0;
        form().activateWindow();
        form().Input->setFocus();
        WindowFixture::ProcessEvents();
        ASSERT_EQ(QApplication::focusWidget(), form().Input);
        announcedBefore = fx->messages.WParams(form().registered.Telkey_Message).size();
        fieldsBefore = FieldTexts();
    }

    TForm1& form() { return fx->form; }
    QString InputText() { return form().Input->toPlainText(); }
    // Announcements since the test began (start-up has made its own).
    std::vector<std::int32_t> Announced() {
        const auto all = fx->messages.WParams(form().registered.Telkey_Message);
        return {all.begin() + static_cast<std::ptrdiff_t>(announcedBefore), all.end()};
    }
    QString FieldTexts() {
        return form().CallEdit->text() + u'|' + form().RSTEdit->text() + u'|' +
               form().NameEdit->text() + u'|' + form().OtherEdit->text();
    }
    void Focus(QWidget* widget) {
        widget->setFocus();
        WindowFixture::ProcessEvents();
        ASSERT_EQ(QApplication::focusWidget(), widget);
    }

    std::unique_ptr<WindowFixture> fx;
    std::size_t announcedBefore = 0;
    QString fieldsBefore;
};

TEST_F(KeyboardWindow, FunctionKeysRunTheirMacroOnlyWithoutModifiers) {
    for (auto mods : {kShift, kCtrl, kAlt}) PressKey(Qt::Key_F1, mods);
    EXPECT_EQ(InputText(), QString());
    Focus(form().CallEdit);
    PressKey(Qt::Key_F1);
    EXPECT_EQ(InputText(), QStringLiteral("Macro1"));
    EXPECT_EQ(QApplication::focusWidget(), form().Input);
    EXPECT_EQ(FieldTexts(), fieldsBefore);
}

TEST_F(KeyboardWindow, F10RunsItsMacroAndTheMenuBarStaysInactive) {
    PressKey(Qt::Key_F10);
    EXPECT_EQ(InputText(), QStringLiteral("Macro10"));
    EXPECT_EQ(form().menuBar()->activeAction(), nullptr);
    EXPECT_EQ(QApplication::focusWidget(), form().Input);
}

TEST_F(KeyboardWindow, AltLettersMoveToTheFieldsCtrlAloneDoesNot) {
    PressKey(Qt::Key_C, kCtrl);
    EXPECT_EQ(QApplication::focusWidget(), form().Input);
    PressKey(Qt::Key_C, kCtrl | kAlt);
    EXPECT_EQ(QApplication::focusWidget(), form().CallEdit);
    PressKey(Qt::Key_R, kAlt);
    EXPECT_EQ(QApplication::focusWidget(), form().RSTEdit);
    PressKey(Qt::Key_N, kAlt | kShift);
    EXPECT_EQ(QApplication::focusWidget(), form().NameEdit);
    PressKey(Qt::Key_O, kAlt);
    EXPECT_EQ(QApplication::focusWidget(), form().OtherEdit);
    // None of the command letters was typed into a field.
    EXPECT_EQ(FieldTexts(), fieldsBefore);
}

TEST_F(KeyboardWindow, AltTTogglesTransmitExactlyOnce) {
    PressKey(Qt::Key_T, kAlt);
    WindowFixture::ProcessEvents();
    EXPECT_TRUE(form().TxButton->isChecked());
    EXPECT_FALSE(form().TxButton->isDown());  // no delayed click of the "&TX" access letter
    EXPECT_EQ(form().StatusBar->PanelText(kTxPanel), QStringLiteral("TX"));
    EXPECT_EQ(Announced(), (std::vector<std::int32_t>{kAnnounceTxOn}));
    EXPECT_EQ(InputText(), QString());  // the letter is not typed

    PressKey(Qt::Key_T, kAlt);
    WindowFixture::ProcessEvents();
    EXPECT_FALSE(form().TxButton->isChecked());
    EXPECT_EQ(Announced(), (std::vector<std::int32_t>{kAnnounceTxOn, kAnnounceTxOff}));
}

TEST_F(KeyboardWindow, AltWithTheWholeKeySequenceLeavesTheMenuBarAlone) {
    // Alt down, T down and up, Alt up, as a keyboard sends them.
    PressKey(Qt::Key_Alt, kAlt, false, false);
    PressKey(Qt::Key_T, kAlt);
    QKeyEvent altUp(QEvent::KeyRelease, Qt::Key_Alt, kNone);
    QApplication::sendEvent(QApplication::focusWidget(), &altUp);
    WindowFixture::ProcessEvents();
    EXPECT_TRUE(form().TxButton->isChecked());
    EXPECT_EQ(form().menuBar()->activeAction(), nullptr);
    EXPECT_EQ(QApplication::focusWidget(), form().Input);
    // Alt alone, by contrast, does reach the menu bar: the sequence above was a real test.
    PressKey(Qt::Key_Alt, kAlt, false, false);
    QApplication::sendEvent(QApplication::focusWidget(), &altUp);
    EXPECT_NE(form().menuBar()->activeAction(), nullptr);
}

TEST_F(KeyboardWindow, CtrlAndShiftVariantsAndThePauseKey) {
    PressKey(Qt::Key_T, kShift | kCtrl);
    EXPECT_TRUE(form().TxButton->isChecked());
    PressKey(Qt::Key_T, kCtrl);
    EXPECT_FALSE(form().TxButton->isChecked());

    PressKey(Qt::Key_Pause, kShift);
    EXPECT_FALSE(form().PauseButton->isChecked());
    PressKey(Qt::Key_Pause);
    EXPECT_TRUE(form().PauseButton->isChecked());
    EXPECT_EQ(form().StatusBar->PanelText(kPausePanel), QStringLiteral("PAUSE"));
    PressKey(Qt::Key_P, kAlt);
    EXPECT_FALSE(form().PauseButton->isChecked());
    PressKey(Qt::Key_P, kCtrl);
    EXPECT_TRUE(form().PauseButton->isChecked());
    EXPECT_EQ(Announced(),
              (std::vector<std::int32_t>{kAnnounceTxOn, kAnnounceTxOff, kAnnouncePauseOn,
                                         kAnnouncePauseOff, kAnnouncePauseOn}));
}

TEST_F(KeyboardWindow, ScrollLockTogglesOnEveryRepeat) {
    PressKey(Qt::Key_ScrollLock, kNone, false, false);
    PressKey(Qt::Key_ScrollLock, kNone, true, false);
    PressKey(Qt::Key_ScrollLock, kNone, true, true);
    EXPECT_TRUE(form().TxButton->isChecked());
    EXPECT_EQ(Announced(),
              (std::vector<std::int32_t>{kAnnounceTxOn, kAnnounceTxOff, kAnnounceTxOn}));
}

TEST_F(KeyboardWindow, AltAClearsOnce) {
    int clicks = 0;
    QObject::connect(form().ClearEditButton, &QPushButton::clicked, [&] { ++clicks; });
    PressKey(Qt::Key_A, kAlt);
    WindowFixture::ProcessEvents();
    EXPECT_EQ(clicks, 1);
    EXPECT_FALSE(form().ClearEditButton->isDown());
    EXPECT_EQ(InputText(), QString());
}

TEST_F(KeyboardWindow, EnterWalksThroughTheFieldsBackToInput) {
    Focus(form().CallEdit);
    PressKey(Qt::Key_Return);
    EXPECT_EQ(QApplication::focusWidget(), form().RSTEdit);
    PressKey(Qt::Key_Return);
    EXPECT_EQ(QApplication::focusWidget(), form().NameEdit);
    PressKey(Qt::Key_Enter);
    EXPECT_EQ(QApplication::focusWidget(), form().OtherEdit);
    PressKey(Qt::Key_Return);
    EXPECT_EQ(QApplication::focusWidget(), form().Input);
    // Enter in Input is just a line break.
    PressKey(Qt::Key_Return);
    EXPECT_EQ(QApplication::focusWidget(), form().Input);
    EXPECT_EQ(InputText(), QStringLiteral("\n"));
}

// Escape stops sending wherever the focus is: the text waiting and the code in the mailbox go,
// and the dash on the air ends whole and is all that is echoed.
TEST_F(KeyboardWindow, EscapeStopsSendingFromInputAndTheQsoFields) {
    fx->StartTimer();
    form().speed.ApplySpeed(true);
    for (QWidget* focus : std::initializer_list<QWidget*>{form().Input, form().CallEdit}) {
        SCOPED_TRACE(focus->objectName().toStdString());
        form().Sent->clear();
        form().Input->setPlainText(QStringLiteral("0000"));
        form().TxButton->setChecked(true);
        form().TxButtonClick();
        fx->KeyerTicks(10);  // the first dash of "0" on the air, the next "0" in the mailbox
        ASSERT_FALSE(fx->engine.mailbox.NextCodeEmpty());
        Focus(focus);
        PressKey(Qt::Key_Escape);
        EXPECT_EQ(InputText(), QString());
        fx->KeyerTicks(1000);
        EXPECT_EQ(form().Sent->toPlainText(), QStringLiteral("t "));
    }
}

TEST(KeyClassification, ChecksAndTheirModifiers) {
    EXPECT_EQ(ClassifyKey(Qt::Key_F12, Qt::NoModifier).macro, 12);
    EXPECT_EQ(ClassifyKey(Qt::Key_F5, Qt::KeypadModifier).action, KeyAction::RunMacro);
    EXPECT_EQ(ClassifyKey(Qt::Key_F5, Qt::MetaModifier).action, KeyAction::RunMacro);
    EXPECT_EQ(ClassifyKey(Qt::Key_ScrollLock, Qt::ShiftModifier).action, KeyAction::None);
    EXPECT_EQ(ClassifyKey(Qt::Key_A, Qt::ControlModifier).action, KeyAction::None);
    EXPECT_EQ(ClassifyKey(Qt::Key_A, Qt::AltModifier | Qt::ShiftModifier).action,
              KeyAction::ClearFields);
    EXPECT_EQ(ClassifyKey(Qt::Key_P, Qt::ShiftModifier).action, KeyAction::None);
    EXPECT_EQ(ClassifyKey(Qt::Key_X, Qt::AltModifier).action, KeyAction::None);
    EXPECT_EQ(ClassifyKey(Qt::Key_Escape, Qt::NoModifier).action, KeyAction::StopSending);
    EXPECT_EQ(ClassifyKey(Qt::Key_Escape, Qt::ShiftModifier).action, KeyAction::None);
}

}  // namespace
}  // namespace telkey
