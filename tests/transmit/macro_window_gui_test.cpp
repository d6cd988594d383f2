// Macros run in the main window: what RunMacro puts into Input, the commands that act at once,
// and the bounds that keep a runaway macro from holding the window.
#include <gtest/gtest.h>

#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextCursor>
#include <QToolButton>
#include <memory>
#include <string>

#include "support/window_fixture.h"
#include "transmit/macro_expansion.h"
#include "transmit/tx_control.h"
#include "ui/macro_editor.h"
#include "widgets/status_panels.h"

namespace telkey {
namespace {

using test::WindowFixture;

class MacroWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        fx = std::make_unique<WindowFixture>();
        fx->StartTimer();
        fx->form.speed.ApplySpeed(true);
        fx->form.registered.Telkey_Message = fx->messages.RegisterMessage("Telkey_Message");
        fx->form.options.TxAtKeyboard = 0;
        announcedBefore = fx->messages.WParams(fx->form.registered.Telkey_Message).size();
    }

    TForm1& form() { return fx->form; }
    QString InputText() { return form().Input->toPlainText(); }
    void SetMacro(int slot, const std::string& text) {
        form().macros.slots[static_cast<std::size_t>(slot)] = text;
    }
    // Announcements since the test began (start-up has made its own).
    std::vector<std::int32_t> Announced() {
        const auto all = fx->messages.WParams(form().registered.Telkey_Message);
        return {all.begin() + static_cast<std::ptrdiff_t>(announcedBefore), all.end()};
    }

    std::unique_ptr<WindowFixture> fx;
    std::size_t announcedBefore = 0;
};

TEST_F(MacroWindow, FieldsAreInsertedWithTheirNumbersCut) {
    form().RSTEdit->setText(QStringLiteral("599"));
    SetMacro(1, "~[esr] ~[esr]");
    form().CallEdit->setFocus();
    form().ButMacro[0]->click();
    EXPECT_EQ(InputText(), QStringLiteral("5nn 5nn"));
    EXPECT_TRUE(form().Input->hasFocus());
    // Running a macro never changes the store.
    EXPECT_EQ(form().macros.slots[1], "~[esr] ~[esr]");
}

TEST_F(MacroWindow, InsertsAtTheCaretReplacingTheSelection) {
    form().Input->setPlainText(QStringLiteral("de XX k"));
    QTextCursor selection = form().Input->textCursor();
    selection.setPosition(3);
    selection.setPosition(5, QTextCursor::KeepAnchor);
    form().Input->setTextCursor(selection);
    SetMacro(2, "ok1ab");
    form().RunMacro(2);
    EXPECT_EQ(InputText(), QStringLiteral("de ok1ab k"));
    EXPECT_EQ(form().Input->textCursor().position(), 8);
}

TEST_F(MacroWindow, ClearReplacesWhatWasWaiting) {
    form().Input->setPlainText(QStringLiteral("unsent text"));
    SetMacro(4, "~[cl]cq");
    form().RunMacro(4);
    EXPECT_EQ(InputText(), QStringLiteral("cq"));
}

TEST_F(MacroWindow, PauseCommandStopsFeedingWhereItStands) {
    SetMacro(5, "qrz~[pa]more");
    form().TxButton->setChecked(true);
    form().ApplyTx();
    form().RunMacro(5);
    fx->KeyerTicks(6000);
    EXPECT_TRUE(form().PauseButton->isChecked());
    EXPECT_EQ(form().StatusBar->PanelText(kPausePanel), QStringLiteral("PAUSE"));
    EXPECT_TRUE(form().Sent->toPlainText().startsWith(QStringLiteral("qrz")));
    EXPECT_EQ(InputText(), QStringLiteral("more"));
}

TEST_F(MacroWindow, MissingFileAndOtherMacros) {
    SetMacro(1, "[~[fno-such-file.txt]]");
    form().RunMacro(1);
    EXPECT_EQ(InputText(), QStringLiteral("[***]"));

    form().Input->clear();
    form().CallEdit->setText(QStringLiteral("OK1AB"));
    SetMacro(3, "de ~[ec]");
    SetMacro(1, "<~[m3]><~[m16]><~[EC]>");
    form().RunMacro(1);
    EXPECT_EQ(InputText(), QStringLiteral("<de OK1AB><><>"));

    form().Input->clear();
    SetMacro(1, "~[e" + std::string(97, 'x') + "rest] k");
    form().RunMacro(1);
    EXPECT_EQ(InputText(), QStringLiteral("rest] k"));
}

TEST_F(MacroWindow, FileAndIniCommandsReadFromDisk) {
    fx->scratch.WriteFile(QStringLiteral("cq.txt"), "cq cq\r\nde ok1ab\r\n");
    fx->scratch.WriteFile(QStringLiteral("logger.ini"), "[QSO]\nCall=DL1ABC\nEmpty=\n");
    form().exchange.ExternIniFile = "./logger.ini";
    SetMacro(1, "~[fcq.txt]~[iCall]|~[iEmpty]|~[iNone]");
    form().RunMacro(1);
    EXPECT_EQ(InputText(), QStringLiteral("cq cq\nde ok1ab\nDL1ABC||***"));

    form().Input->clear();
    form().exchange.ExternIniFile = "./nowhere.ini";
    SetMacro(1, "~[iCall]");
    form().RunMacro(1);
    EXPECT_EQ(InputText(), QStringLiteral("***"));
}

TEST_F(MacroWindow, TransmitCommandSwitchesOnAndReleasesPause) {
    form().SetPause(true);
    SetMacro(6, "~[tx]");
    form().RunMacro(6);
    EXPECT_TRUE(form().TxButton->isChecked());
    EXPECT_EQ(form().StatusBar->PanelText(kTxPanel), QStringLiteral("TX"));
    EXPECT_FALSE(form().PauseButton->isChecked());
    EXPECT_EQ(Announced(),
              (std::vector<std::int32_t>{kAnnouncePauseOn, kAnnounceTxOn, kAnnouncePauseOff}));
}

TEST_F(MacroWindow, SelfIncludingMacroFinishesAndLeavesNoCommand) {
    SetMacro(1, "cq ~[m2]");
    SetMacro(2, "~[m1]~[m1]");
    form().RunMacro(1);
    EXPECT_LE(InputText().size(), static_cast<qsizetype>(kInputMaxLength));
    EXPECT_TRUE(InputText().startsWith(QStringLiteral("cq cq ")));
    EXPECT_FALSE(InputText().contains(QStringLiteral("~[")));
    // The window goes on working.
    form().Input->clear();
    SetMacro(3, "ok");
    form().RunMacro(3);
    EXPECT_EQ(InputText(), QStringLiteral("ok"));
}

TEST_F(MacroWindow, EndlessAndNulFilesAreBoundedByTheInputLimit) {
    fx->scratch.WriteFile(QStringLiteral("nuls.bin"), std::string("c\0q\0", 4));
    SetMacro(1, "~[fnuls.bin]~[f/dev/zero]!");
    form().RunMacro(1);
    EXPECT_EQ(InputText(), QStringLiteral("cq!"));

    form().Input->setPlainText(QString(9990, QLatin1Char('e')));
    QTextCursor end = form().Input->textCursor();
    end.movePosition(QTextCursor::End);
    form().Input->setTextCursor(end);
    fx->scratch.WriteFile(QStringLiteral("big.txt"), std::string(50000, 'k'));
    SetMacro(1, "~[fbig.txt]");
    form().RunMacro(1);
    EXPECT_EQ(InputText().size(), static_cast<qsizetype>(kInputMaxLength));
    EXPECT_TRUE(InputText().endsWith(QString(10, QLatin1Char('k'))));
}

TEST_F(MacroWindow, DeferredCommandWithAClearHasNoLastingEffect) {
    form().TxButton->setChecked(true);
    form().ApplyTx();
    std::uint8_t code = 0;
    fx->engine.mailbox.Take(code);
    form().Input->setPlainText(QStringLiteral("`[cl]abc"));
    EXPECT_EQ(InputText(), QStringLiteral("bc"));  // "a" went into the mailbox
}

TEST_F(MacroWindow, EditorAppliesToTheButtonsAndSavesAllSixteenMacros) {
    form().EditMacros1->trigger();
    ASSERT_TRUE(form().Form2->isVisible());
    form().Form2->MacroEdit[2]->setText(QStringLiteral(" de ~[ec] "));
    form().Form2->MEditApply->click();
    EXPECT_EQ(form().ButMacro[2]->toolTip(), QStringLiteral(" de ~[ec] "));
    form().CallEdit->setText(QStringLiteral("OK1AB"));
    form().ButMacro[2]->click();
    EXPECT_EQ(InputText(), QStringLiteral(" de OK1AB "));

    form().macros.slots[14] = "slot fourteen";
    form().Form2->MEditSave->click();
    QFile file(fx->scratch.Path() + QStringLiteral("/Telkey.ini"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString saved = QString::fromUtf8(file.readAll());
    for (int n = 0; n < 16; ++n) {
        EXPECT_TRUE(saved.contains(QStringLiteral("Macro%1=").arg(n))) << n;
    }
    EXPECT_TRUE(saved.contains(QStringLiteral("Macro3=\" de ~[ec] \"")));
    EXPECT_TRUE(saved.contains(QStringLiteral("slot fourteen")));
}

}  // namespace
}  // namespace telkey
