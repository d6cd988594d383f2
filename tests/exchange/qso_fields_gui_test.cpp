// The QSO fields with real line edits in an active window: clearing, the exports on leaving a
// field with their announcements, and the import on a field announcement.
#include "exchange/qso_fields.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <chrono>
#include <memory>
#include <string>

#include "bus/registered_messages.h"
#include "engine/handover.h"
#include "exchange/control_protocol.h"
#include "profile/exchange_settings.h"
#include "support/recording_messages.h"
#include "support/scratch_dir.h"
#include "support/window_fixture.h"

namespace telkey {
namespace {

using Message = test::RecordingMessages::Message;

// Waits until the window is the active one, so that focus changes send their events.
bool Activate(QWidget& window) {
    window.show();
    window.activateWindow();
    QApplication::setActiveWindow(&window);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (QApplication::activeWindow() != &window) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        QApplication::processEvents();
    }
    return true;
}

class QsoFieldsTest : public ::testing::Test {
  protected:
    QsoFieldsTest() {
        auto* layout = new QVBoxLayout(&window);
        clear = new QPushButton(&window);
        call = new QLineEdit(&window);
        rst = new QLineEdit(&window);
        name = new QLineEdit(&window);
        other = new QLineEdit(&window);
        input = new QPlainTextEdit(&window);
        for (QWidget* w : std::initializer_list<QWidget*>{clear, call, rst, name, other, input}) {
            layout->addWidget(w);
        }
        fields.Bind({clear, call, rst, name, other});
        protocol.InstallHook();
        protocol.AnnounceStartup();
        messages.sent.clear();
        EXPECT_TRUE(Activate(window));
        input->setFocus();
    }

    std::string ExchangeFile() const {
        return test::ReadBytes(scratch.Path().toStdString() + "/common/loginput.ini");
    }
    void WriteExchangeFile(const std::string& text) const {
        QDir().mkpath(scratch.Path() + "/common");
        test::WriteBytes(scratch.Path().toStdString() + "/common/loginput.ini", text);
    }
    Message Field(std::int32_t wParam, std::int32_t lParam) const {
        return {registered.Telkey_Message, wParam, lParam};
    }

    test::ScratchDirectory scratch;
    test::RecordingMessages messages;
    test::RecordingBoxes boxes;
    ExchangeSettings exchange;
    RegisteredMessages registered;
    SharedFlags flags;
    QsoFields fields{exchange, messages, registered, boxes};
    ControlProtocol protocol{messages, registered, flags, fields};
    QWidget window;
    QPushButton* clear;
    QLineEdit *call, *rst, *name, *other;
    QPlainTextEdit* input;
};

TEST_F(QsoFieldsTest, ClearPutsTheDefaultsAndFocusesTheCallWithoutExporting) {
    call->setText("DL1ABC");
    other->setText("x");
    fields.ClearEditButtonClick();
    EXPECT_EQ(call->text(), "");
    EXPECT_EQ(rst->text(), "599");
    EXPECT_EQ(name->text(), "om");
    EXPECT_EQ(other->text(), "");
    EXPECT_EQ(QApplication::focusWidget(), call);
    EXPECT_TRUE(messages.sent.empty());

    exchange.RSTOnClear = "";
    exchange.OtherOnClear = " 5NN ";
    fields.ClearEditButtonClick();
    EXPECT_EQ(rst->text(), "");
    EXPECT_EQ(other->text(), " 5NN ");
}

TEST_F(QsoFieldsTest, LeavingAnEmptyCallWritesTwoQuotesAndAnnouncesIt) {
    call->setFocus();
    input->setFocus();
    EXPECT_EQ(ExchangeFile(), "[QSO]\nCall=\"\"\n");
    ASSERT_EQ(messages.sent.size(), 1u);
    EXPECT_EQ(messages.sent[0], Field(131, 4));
    EXPECT_EQ(call->text(), "");  // read back from the file by the keyer's own import
}

TEST_F(QsoFieldsTest, ThreeExitsInARowCountTheSequence) {
    call->setText("DL1ABC");
    rst->setText("579");
    name->setText("Hans");
    call->setFocus();
    rst->setFocus();
    name->setFocus();
    other->setFocus();
    EXPECT_EQ(messages.sent,
              (std::vector<Message>{Field(131, 4), Field(387, 32), Field(643, 128)}));
    EXPECT_EQ(ExchangeFile(), "[QSO]\nCall=\"DL1ABC\"\nRprtSent=\"579\"\nName=\"Hans\"\n");
    EXPECT_EQ(fields.ExportSeq(), 3);
}

TEST_F(QsoFieldsTest, OtherFieldIsNeverExported) {
    other->setFocus();
    input->setFocus();
    EXPECT_TRUE(messages.sent.empty());
}

TEST_F(QsoFieldsTest, SequenceWrapsAfter128Announcements) {
    for (int i = 0; i < 128; ++i) ASSERT_TRUE(fields.ExportField(kReportKey, "599", kFieldReport));
    EXPECT_EQ(messages.sent.back().wParam, 127 * 256 + 131);
    call->setFocus();
    input->setFocus();
    EXPECT_EQ(messages.sent.back(), Field(131, 4));
}

TEST_F(QsoFieldsTest, TrailingBlankSurvivesExportAndImport) {
    call->setText("DL1ABC ");
    call->setFocus();
    input->setFocus();
    EXPECT_EQ(ExchangeFile(), "[QSO]\nCall=\"DL1ABC \"\n");
    EXPECT_EQ(call->text(), "DL1ABC ");
    // Another program announcing the call reads it back the same.
    call->setText("");
    protocol.MainWindowHook(registered.Telkey_Message, 131, kFieldCall);
    EXPECT_EQ(call->text(), "DL1ABC ");
}

TEST_F(QsoFieldsTest, AnnouncementReadsTheFieldsOfItsBits) {
    WriteExchangeFile("[qso]\ncall=\"OK1XYZ\"\nname=\"Jan\"\nRprtSent=\"559\"\n");
    rst->setText("599");
    EXPECT_EQ(protocol.MainWindowHook(registered.Telkey_Message, 0x0583, 0x84), 0);
    EXPECT_EQ(call->text(), "OK1XYZ");
    EXPECT_EQ(name->text(), "Jan");
    EXPECT_EQ(rst->text(), "599");

    call->setText("a");
    name->setText("b");
    protocol.MainWindowHook(registered.Telkey_Message, 131, kFieldName);
    EXPECT_EQ(call->text(), "a");
    EXPECT_EQ(name->text(), "Jan");
    for (std::int32_t bits : {0x20, 0x100, 0x200}) {
        name->setText("b");
        protocol.MainWindowHook(registered.Telkey_Message, 131, bits);
        EXPECT_EQ(call->text(), "a");
        EXPECT_EQ(name->text(), "b");
    }
    // Only code 131 in the low byte is a field announcement.
    protocol.MainWindowHook(registered.Telkey_Message, 130, 0x84);
    protocol.MainWindowHook(registered.Telkey_Message, kAnnounceTxOff, 0x84);
    EXPECT_EQ(call->text(), "a");
    EXPECT_TRUE(messages.sent.empty());  // an import announces nothing
}

TEST_F(QsoFieldsTest, MissingKeyImportsASingleBlank) {
    protocol.MainWindowHook(registered.Telkey_Message, 131, 0x84);
    EXPECT_EQ(call->text(), " ");
    EXPECT_EQ(name->text(), " ");
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(QsoFieldsTest, AltAInTheReportExportsTheClearedReport) {
    rst->setText("579");
    rst->setFocus();
    fields.ClearEditButtonClick();  // what Alt-A does, the focus still in RSTEdit
    EXPECT_EQ(messages.sent, (std::vector<Message>{Field(131, 32)}));
    EXPECT_NE(ExchangeFile().find("RprtSent=\"599\""), std::string::npos);
    EXPECT_EQ(QApplication::focusWidget(), call);
}

TEST_F(QsoFieldsTest, ClickOnClearFromTheReportExportsTheOldReport) {
    rst->setText("579");
    rst->setFocus();
    // A mouse click: the button takes the focus on the press, the click runs on the release.
    clear->setFocus(Qt::MouseFocusReason);
    clear->click();
    EXPECT_EQ(messages.sent, (std::vector<Message>{Field(131, 32)}));
    EXPECT_NE(ExchangeFile().find("RprtSent=\"579\""), std::string::npos);
    EXPECT_EQ(rst->text(), "599");
}

TEST_F(QsoFieldsTest, SwitchingToAnotherWindowIsNotLeavingTheField) {
    call->setFocus();
    QWidget other;
    ASSERT_TRUE(Activate(other));
    EXPECT_TRUE(messages.sent.empty());
    ASSERT_TRUE(Activate(window));
    EXPECT_EQ(QApplication::focusWidget(), call);
    EXPECT_TRUE(messages.sent.empty());
}

TEST_F(QsoFieldsTest, FailedWriteShowsTheErrorKeepsTheFieldAndAnnouncesNothing) {
    test::WriteBytes(scratch.Path().toStdString() + "/plainfile", "");
    exchange.ExportIniFile = scratch.Path().toStdString() + "/plainfile/loginput.ini";
    call->setText("DL1ABC");
    call->setFocus();
    input->setFocus();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, "Telkey");
    EXPECT_EQ(boxes.shown[0].text,
              QString::fromStdString("Unable to write to " + exchange.ExportIniFile));
    EXPECT_EQ(call->text(), "DL1ABC");
    EXPECT_TRUE(messages.sent.empty());
    EXPECT_EQ(fields.ExportSeq(), 0);
}

TEST_F(QsoFieldsTest, HeldExitsWaitForTheRelease) {
    fields.HoldExits();
    call->setFocus();
    input->setFocus();
    EXPECT_TRUE(messages.sent.empty());
    fields.ReleaseExits();
    EXPECT_EQ(messages.sent, (std::vector<Message>{Field(131, 4)}));
    rst->setFocus();
    input->setFocus();
    EXPECT_EQ(messages.sent.size(), 2u);
}

TEST_F(QsoFieldsTest, FieldsThatAreGoneNoLongerWatchTheEdits) {
    auto second = std::make_unique<QsoFields>(exchange, messages, registered, boxes);
    second->Bind({clear, call, rst, name, other});
    second.reset();
    call->setFocus();
    input->setFocus();
    EXPECT_EQ(messages.sent, (std::vector<Message>{Field(131, 4)}));  // the first fields only
}

}  // namespace
}  // namespace telkey
