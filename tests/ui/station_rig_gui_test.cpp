// The rig in the main window and its Station dialog, offscreen, against Hamlib's rigctld and its
// dummy rig: the dialog's tests and what OK keeps, transmit switching the rig's PTT, and a
// rigctld killed during a transmission.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QThread>
#include <QToolButton>
#include <fstream>
#include <functional>
#include <sstream>

#include "support/rigctld_process.h"
#include "support/scratch_dir.h"
#include "support/window_fixture.h"
#include "transmit/rig_tx.h"
#include "ui/station_dialog.h"
#include "ui/station_rig_group.h"

namespace telkey::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class StationRigTest : public ::testing::Test {
  protected:
    StationRigTest() { window_.StartTimer(); }

    // Lets the window run until `done`, timing the longest pass of its event loop.
    bool Pump(const std::function<bool()>& done, int limitMs = 5000) {
        QElapsedTimer total;
        total.start();
        while (!done() && total.elapsed() < limitMs) {
            QElapsedTimer pass;
            pass.start();
            QApplication::processEvents(QEventLoop::AllEvents, 5);
            longestPassMs_ = std::max(longestPassMs_, pass.elapsed());
            window_.driver.Tick(1);
            QThread::msleep(2);
        }
        return done();
    }
    std::string Ini() const {
        std::ifstream in(window_.scratch.Path().toStdString() + "/Telkey.ini");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(rigctld_.Port()); }

    test::ScratchDir scratchDir_;
    Rigctld rigctld_{scratchDir_.Path() + "/rigctld.log"};
    WindowFixture window_;
    qint64 longestPassMs_ = 0;
};

TEST_F(StationRigTest, DialogTestsThroughTheRigAndKeepsTheChoice) {
    const struct {
        const char* button;
        bool reachable;
        const char* answer;
        const char* readBack;  // rigctl command, "" for the daemon's log
        const char* expected;
    } cases[] = {
        {"RigPttTest", true, "PTT on for one second", "t", "1"},
        {"RigCwTest", true, "TEST sent", "", "TEST"},
        {"RigPttTest", false, "connection refused", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.button + std::string(c.reachable ? "" : ", no daemon"));
        window_.AnswerDialogs([&](QDialog& dialog) {
            auto* address = dialog.findChild<QLineEdit*>(QStringLiteral("RigAddress"));
            auto* answer = dialog.findChild<QLabel*>(QStringLiteral("RigAnswer"));
            auto* ptt = dialog.findChild<QComboBox*>(QStringLiteral("RigPtt"));
            auto* key = dialog.findChild<QComboBox*>(QStringLiteral("RigKey"));
            EXPECT_TRUE(address && answer && ptt && key);
            address->setText(QString::fromStdString(
                c.reachable ? Address() : "127.0.0.1:" + std::to_string(FreePort())));
            ptt->setCurrentIndex(1);
            key->setCurrentIndex(1);
            EXPECT_THAT(dialog.findChild<QLabel*>(QStringLiteral("RigNote"))->text().toStdString(),
                        HasSubstr("key jack"));
            dialog.findChild<QPushButton*>(QLatin1String(c.button))->click();
            EXPECT_TRUE(Pump([&] { return answer->text().contains(QLatin1String(c.answer)); }))
                << answer->text().toStdString();
            // The rig's model name comes without the line break that would wrap the bracket.
            EXPECT_FALSE(answer->text().contains(QLatin1Char('\n')))
                << answer->text().toStdString();
            if (c.readBack != nullptr) {
                const std::string got =
                    *c.readBack != '\0' ? rigctld_.Rigctl(c.readBack) : rigctld_.Log();
                EXPECT_THAT(got, HasSubstr(c.expected));
            }
            return int{c.reachable ? QDialog::Accepted : QDialog::Rejected};
        });
        window_.form.Station1->trigger();
        if (c.reachable) {
            EXPECT_THAT(Ini(), HasSubstr("RigPtt=rig"));
            EXPECT_THAT(Ini(), HasSubstr("Rigctld=" + Address()));
            EXPECT_EQ(window_.form.rigTx->Choice().key, rig::KeyVia::Rig);
        }
    }
    // The one-second test is over: the rig's PTT is off again.
    EXPECT_TRUE(Pump([&] { return rigctld_.Rigctl("t") == "0"; }));
    EXPECT_LT(longestPassMs_, 100);
}

TEST_F(StationRigTest, TransmitSwitchesTheRigAndARigctldKilledPutsItOffWithTheReason) {
    rig::RigChoice choice;
    choice.ptt = rig::PttVia::Rig;
    std::string ignored;
    ASSERT_TRUE(rig::ParseRigctldAddress(Address(), choice.target, ignored));
    window_.form.rigTx->Configure(choice);
    QToolButton* tx = window_.form.TxButton;

    tx->click();
    EXPECT_TRUE(Pump([&] { return rigctld_.Rigctl("t") == "1"; }));
    rigctld_.Kill();
    tx->click();
    ASSERT_TRUE(Pump([&] { return !window_.engine.ports.TxLineOn(); }));

    // Text typed now waits for a rig that is gone: nothing keyed, TX back up, the reason shown.
    window_.form.Input->setPlainText(QStringLiteral("test"));
    tx->click();
    auto notice = [&] { return window_.form.findChild<QMessageBox*>(QStringLiteral("RigNotice")); };
    ASSERT_TRUE(Pump([&] { return notice() != nullptr && notice()->isVisible(); })) << "no notice";
    EXPECT_FALSE(tx->isChecked());
    EXPECT_THAT(notice()->text().toStdString(), HasSubstr("nothing was sent"));
    EXPECT_THAT(window_.form.Sent->toPlainText().toStdString(), Not(HasSubstr("t")));
    EXPECT_EQ(window_.form.Input->toPlainText(), QStringLiteral("test")) << "nothing lost";
    EXPECT_TRUE(window_.form.PauseButton->isChecked()) << "no retry until Pause is off";
    EXPECT_LT(longestPassMs_, 100);
}

}  // namespace
}  // namespace telkey::test
