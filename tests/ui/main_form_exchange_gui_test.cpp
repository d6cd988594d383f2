// The main window's engine start-up and shutdown, its control protocol with the real transmit
// side, and "Save setup" from the menu.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QToolButton>
#include <QWindow>
#include <chrono>
#include <string>
#include <vector>

#include "bus/registered_messages.h"
#include "support/key_press.h"
#include "support/scratch_dir.h"
#include "support/window_fixture.h"
#include "ui/engine_startup.h"
#include "ui/macro_editor.h"

// Exported by Qt's GUI library: a mouse event as the window system delivers it, so that a
// press gives the focus to the control under it before the click.
Q_GUI_EXPORT void qt_handleMouseEvent(QWindow* window, const QPointF& local, const QPointF& global,
                                      Qt::MouseButtons state, Qt::MouseButton button,
                                      QEvent::Type type, Qt::KeyboardModifiers mods, int timestamp);

namespace telkey {
namespace {

using Message = test::RecordingMessages::Message;

// A desktop that never activates the window (some Wayland compositors, a start minimised).
class NoActivation : public QObject {
  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        return event->type() == QEvent::ActivationChange || event->type() == QEvent::WindowActivate;
    }
};

// Shows the window and waits until its first activation (or, without one, the idle event loop)
// has started the engine.
bool Start(test::WindowFixture& f, bool activate = true) {
    f.form.show();
    if (activate) {
        f.form.activateWindow();
        QApplication::setActiveWindow(&f.form);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!f.form.engineStartup->EngineStarted()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        QApplication::processEvents();
    }
    test::WindowFixture::ProcessEvents();
    return true;
}

std::uint32_t TelkeyMessage(test::WindowFixture& f) {
    return f.messages.RegisterMessage("Telkey_Message");
}
std::uint32_t BrxCw(test::WindowFixture& f) {
    return f.messages.RegisterMessage("BRX_CW");
}

std::string CommonFile(const test::WindowFixture& f, const std::string& name) {
    return test::ReadBytes(f.scratch.Path().toStdString() + "/common/" + name);
}

TEST(EngineStartupTest, DefaultStartAnnouncesPauseOffTxOffThenTheClearedCall) {
    test::WindowFixture f({}, false);
    ASSERT_TRUE(Start(f));
    const std::uint32_t tm = TelkeyMessage(f);
    EXPECT_EQ(f.messages.sent, (std::vector<Message>{{tm, 100, 0}, {tm, 110, 0}, {tm, 131, 4}}));
    EXPECT_EQ(f.form.registered.Telkey_Message, tm);
    EXPECT_EQ(f.form.registered.BRX_CW, BrxCw(f));
    EXPECT_EQ(CommonFile(f, "loginput.ini"), "[QSO]\nCall=\"\"\n");
    EXPECT_EQ(QApplication::focusWidget(), f.form.Input);
    EXPECT_EQ(f.form.CallEdit->text(), "");
    EXPECT_EQ(f.form.RSTEdit->text(), "599");
    EXPECT_EQ(f.form.NameEdit->text(), "om");
    // The timer runs at the tick length of the default speed's row.
    EXPECT_TRUE(f.driver.Running());
    EXPECT_EQ(f.driver.PeriodMs(), 4);
    EXPECT_EQ(f.engine.keyerSettings.DotTicks, 25);
    EXPECT_EQ(f.form.SpeedEdit->text(), "60");
    EXPECT_TRUE(f.boxes.shown.empty());
    EXPECT_EQ(f.endRequests, 0);
}

TEST(EngineStartupTest, StartsInTheSameOrderWhenTheWindowIsNeverActivated) {
    test::WindowFixture f({}, false);
    NoActivation never;
    f.form.installEventFilter(&never);
    f.form.setAttribute(Qt::WA_ShowWithoutActivating);
    ASSERT_TRUE(Start(f, false));
    const std::uint32_t tm = TelkeyMessage(f);
    EXPECT_EQ(f.messages.sent, (std::vector<Message>{{tm, 100, 0}, {tm, 110, 0}, {tm, 131, 4}}));
    EXPECT_EQ(CommonFile(f, "loginput.ini"), "[QSO]\nCall=\"\"\n");
    EXPECT_EQ(f.form.focusWidget(), f.form.Input);
    EXPECT_EQ(f.driver.PeriodMs(), 4);
}

TEST(EngineStartupTest, SecondActivationDoesNothing) {
    test::WindowFixture f({}, false);
    ASSERT_TRUE(Start(f));
    const std::size_t broadcasts = f.messages.sent.size();
    const int timersStarted = f.driver.StartCount();
    f.scratch.WriteFile("Telkey.ini", "[Qor_Cw]\nSpeed=120\nRSTOnClear=\"559\"\n");

    QWidget other;
    other.show();
    other.activateWindow();
    QApplication::setActiveWindow(&other);
    test::WindowFixture::ProcessEvents();
    f.form.activateWindow();
    QApplication::setActiveWindow(&f.form);
    test::WindowFixture::ProcessEvents();
    f.form.FormActivate();

    EXPECT_EQ(f.messages.sent.size(), broadcasts);
    EXPECT_EQ(f.driver.StartCount(), timersStarted);
    EXPECT_EQ(f.form.speed.Speed, 60);
    EXPECT_EQ(f.form.exchange.RSTOnClear, "599");
}

TEST(EngineStartupTest, TimerFailureStillRunsTheLaterStepsThenEnds) {
    test::WindowFixture f({}, false);
    f.driver.SetSmallestPeriodMs(-1);
    f.driver.SetRefuseResolution(true);
    f.driver.SetRefuseStart(true);
    ASSERT_TRUE(Start(f));
    ASSERT_GE(f.boxes.shown.size(), 1u);
    for (const auto& box : f.boxes.shown) EXPECT_EQ(box.title, "Error");
    EXPECT_GE(f.endRequests, 1);
    // Steps 7 to 9 ran: the speed is applied and the state announced.
    EXPECT_EQ(f.engine.keyerSettings.DotTicks, 25);
    EXPECT_EQ(f.form.SpeedEdit->text(), "60");
    const std::uint32_t tm = TelkeyMessage(f);
    EXPECT_EQ(f.messages.sent, (std::vector<Message>{{tm, 100, 0}, {tm, 110, 0}, {tm, 131, 4}}));
}

TEST(EngineStartupTest, StartUsesTheStoredSettings) {
    test::WindowFixture f(
        "[Qor_Cw]\nSpeed=120\nCallOnClear=\"DL1ABC\"\nKeyPortNumber=5\nAllMask=10\n"
        "[MOX]\nMoxOn=1\n",
        false);
    ASSERT_TRUE(Start(f));
    EXPECT_EQ(f.form.SpeedEdit->text(), "120");
    EXPECT_EQ(f.driver.PeriodMs(), 2);
    EXPECT_TRUE(f.form.MOX1->isChecked());
    // The parallel key port is set up with the lines always held on.
    EXPECT_EQ(f.bus.LastValue(0x378), 0x10);
    EXPECT_EQ(CommonFile(f, "loginput.ini"), "[QSO]\nCall=\"DL1ABC\"\n");
}

TEST(EngineStartupTest, ShutdownStopsTheTimerAndReleasesTheOutputs) {
    test::WindowFixture f("[Qor_Cw]\nKeyPortNumber=5\nUseSpeaker=1\n", false);
    ASSERT_TRUE(Start(f));
    f.form.TxButton->click();  // transmit on by hand
    ASSERT_EQ(f.engine.flags.Transmitting, 1);
    f.engine.ports.SetKey(1);  // key down as a tick would leave it
    ASSERT_EQ(f.bus.LastValue(0x378), 0x03);
    f.form.FormDestroy();
    EXPECT_FALSE(f.driver.Running());
    EXPECT_FALSE(f.driver.ResolutionHeld());
    EXPECT_EQ(f.bus.LastValue(0x378), 0x00);
    EXPECT_FALSE(f.engine.ports.SpeakerSounding());
}

class WindowProtocolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(Start(f));
        f.messages.sent.clear();
    }
    std::int32_t Send(std::int32_t wParam) { return f.messages.Deliver(BrxCw(f), wParam, 0); }
    std::vector<std::int32_t> Announced() { return f.messages.WParams(TelkeyMessage(f)); }

    test::WindowFixture f{{}, false};
};

TEST_F(WindowProtocolTest, UnknownCommandsDoNothing) {
    const std::string input = f.form.Input->toPlainText().toStdString();
    for (std::int32_t code : {16, 99, 103, 109, 113, -1}) EXPECT_EQ(Send(code), 0);
    EXPECT_TRUE(f.messages.sent.empty());
    EXPECT_EQ(f.form.Input->toPlainText().toStdString(), input);
    EXPECT_EQ(f.engine.flags.Paused, 0);
    EXPECT_EQ(f.engine.flags.Transmitting, 0);
}

TEST_F(WindowProtocolTest, PauseToggleTwiceAnnouncesOnThenOff) {
    Send(102);
    EXPECT_TRUE(f.form.PauseButton->isChecked());
    Send(102);
    EXPECT_FALSE(f.form.PauseButton->isChecked());
    EXPECT_EQ(Announced(), (std::vector<std::int32_t>{101, 100}));
}

TEST_F(WindowProtocolTest, TxOffWhileReceivingIsStillAnnounced) {
    Send(110);
    EXPECT_EQ(Announced(), (std::vector<std::int32_t>{110}));
    Send(111);
    EXPECT_TRUE(f.form.TxButton->isChecked());
    EXPECT_EQ(f.engine.flags.Transmitting, 1);
    Send(112);
    EXPECT_FALSE(f.form.TxButton->isChecked());
    EXPECT_EQ(Announced(), (std::vector<std::int32_t>{110, 111, 110}));
}

TEST_F(WindowProtocolTest, MacroCommandRunsTheSlot) {
    f.form.macros.slots[14] = "test";
    Send(14);
    f.ProcessEvents();
    const std::string queued =
        f.form.Input->toPlainText().toStdString() + f.form.Sent->toPlainText().toStdString();
    EXPECT_NE(queued.find("test"), std::string::npos) << queued;
}

TEST_F(WindowProtocolTest, FieldAnnouncementFromALoggerFillsCallAndName) {
    f.scratch.WriteFile("common/loginput.ini", "[QSO]\nCall=\"OK1XYZ\"\nName=\"Jan\"\n");
    EXPECT_EQ(f.messages.Deliver(TelkeyMessage(f), 0x0583, 0x84), 0);
    EXPECT_EQ(f.form.CallEdit->text(), "OK1XYZ");
    EXPECT_EQ(f.form.NameEdit->text(), "Jan");
}

TEST_F(WindowProtocolTest, LeavingTheFieldsAnnouncesThemInSequence) {
    f.form.CallEdit->setFocus();
    f.form.RSTEdit->setFocus();
    f.form.NameEdit->setFocus();
    f.form.OtherEdit->setFocus();
    // The start-up call announcement was number 0.
    EXPECT_EQ(Announced(), (std::vector<std::int32_t>{387, 643, 899}));
}

TEST_F(WindowProtocolTest, EnterInTheCallMovesOnAndExportsTheCall) {
    f.form.CallEdit->setFocus();
    f.form.CallEdit->setText("DL1ABC");
    test::PressKey(Qt::Key_Return);
    EXPECT_EQ(QApplication::focusWidget(), f.form.RSTEdit);
    EXPECT_EQ(f.messages.sent, (std::vector<Message>{{TelkeyMessage(f), 387, 4}}));
    EXPECT_EQ(CommonFile(f, "loginput.ini"), "[QSO]\nCall=\"DL1ABC\"\n");
}

TEST_F(WindowProtocolTest, AltAInTheReportExportsTheClearedReport) {
    f.form.RSTEdit->setFocus();
    f.form.RSTEdit->setText("579");
    test::PressKey(Qt::Key_A, Qt::AltModifier);
    f.ProcessEvents();
    EXPECT_EQ(QApplication::focusWidget(), f.form.CallEdit);
    EXPECT_EQ(f.form.RSTEdit->text(), "599");
    EXPECT_NE(CommonFile(f, "loginput.ini").find("RprtSent=\"599\""), std::string::npos);
    ASSERT_FALSE(f.messages.sent.empty());
    EXPECT_EQ(f.messages.sent.front(), (Message{TelkeyMessage(f), 387, 32}));
}

TEST_F(WindowProtocolTest, MouseClickOnClearFromTheReportExportsTheOldReport) {
    f.form.RSTEdit->setFocus();
    f.form.RSTEdit->setText("579");
    QWindow* window = f.form.windowHandle();
    ASSERT_NE(window, nullptr);
    const QPointF local = QPointF(f.form.ClearEditButton->mapTo(&f.form, QPoint(5, 5)));
    qt_handleMouseEvent(window, local, window->mapToGlobal(local), Qt::LeftButton, Qt::LeftButton,
                        QEvent::MouseButtonPress, Qt::NoModifier, 1);
    qt_handleMouseEvent(window, local, window->mapToGlobal(local), Qt::NoButton, Qt::LeftButton,
                        QEvent::MouseButtonRelease, Qt::NoModifier, 2);
    f.ProcessEvents();
    EXPECT_EQ(f.form.RSTEdit->text(), "599");
    EXPECT_NE(CommonFile(f, "loginput.ini").find("RprtSent=\"579\""), std::string::npos);
    EXPECT_EQ(f.messages.sent, (std::vector<Message>{{TelkeyMessage(f), 387, 32}}));
}

TEST_F(WindowProtocolTest, SaveSetupFromTheMenuWritesTheFile) {
    f.form.macros.slots[2] = " de ";
    f.form.Savesetup1->trigger();
    const std::string text = test::ReadBytes(f.scratch.Path().toStdString() + "/Telkey.ini");
    EXPECT_NE(text.find("[Qor_Cw]\nDotPort=201\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Macro2=\" de \""), std::string::npos);
    EXPECT_NE(text.find("Left=" + std::to_string(f.form.frameGeometry().x()) + "\n"),
              std::string::npos);
    EXPECT_TRUE(f.boxes.shown.empty());
}

TEST_F(WindowProtocolTest, MacroEditorSaveWritesTheMacrosOnly) {
    f.form.EditMacros1Click();
    f.form.Form2->MacroEdit[2]->setText(" 73 ");
    f.form.Form2->MEditSaveClick();
    const std::string text = test::ReadBytes(f.scratch.Path().toStdString() + "/Telkey.ini");
    EXPECT_NE(text.find("[Cw_Macros]\nMacro0=\"Macro0\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Macro3=\" 73 \"\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("[Qor_Cw]"), std::string::npos);
}

}  // namespace
}  // namespace telkey
