// The macro editor: the twelve F-key texts shown, applied, saved or thrown away, and the
// F-button hints that follow the store.
#include "ui/macro_editor.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <array>
#include <memory>
#include <string>

#include "transmit/macro_store.h"

namespace telkey {
namespace {

class MacroEditor : public ::testing::Test {
  protected:
    void SetUp() override {
        for (std::size_t i = 0; i < buttons.size(); ++i) {
            buttons[i] = new QPushButton(QStringLiteral("F%1").arg(i + 1), &panel);
        }
        UpdateMacroHints(macros, buttons);
        editor = std::make_unique<TForm2>(macros, buttons);
    }

    QWidget panel;
    std::array<QPushButton*, kMacroButtons> buttons{};
    MacroStore macros;
    std::unique_ptr<TForm2> editor;
};

TEST_F(MacroEditor, LayoutAsDesigned) {
    EXPECT_EQ(editor->objectName(), QStringLiteral("Form2"));
    EXPECT_EQ(editor->windowTitle(), QStringLiteral("Edit Macros"));
    EXPECT_EQ(editor->geometry(), QRect(192, 108, 547, 336));
    EXPECT_EQ(editor->MacroEdit[3]->geometry().topLeft(), QPoint(33, 80));
    EXPECT_EQ(editor->MacroEdit[11]->geometry().topLeft(), QPoint(32, 272));
    EXPECT_EQ(editor->Label[11]->text(), QStringLiteral("F12"));
    EXPECT_EQ(editor->MeditCancel->geometry(), QRect(272, 304, 75, 25));
    EXPECT_EQ(editor->MeditCancel->objectName(), QStringLiteral("MeditCancel"));
    EXPECT_FALSE(editor->isVisible());
}

TEST_F(MacroEditor, CancelKeepsTheSlotAndItsHint) {
    editor->EditMacros1Click();
    EXPECT_TRUE(editor->isVisible());
    EXPECT_EQ(editor->MacroEdit[2]->text(), QStringLiteral("Macro3"));
    editor->MacroEdit[2]->setText(QStringLiteral("changed"));
    editor->MeditCancel->click();
    EXPECT_FALSE(editor->isVisible());
    EXPECT_EQ(macros.slots[3], "Macro3");
    EXPECT_EQ(buttons[2]->toolTip(), QStringLiteral("Macro3"));
    editor->EditMacros1Click();
    EXPECT_EQ(editor->MacroEdit[2]->text(), QStringLiteral("Macro3"));

    // The close box is Cancel too; the window is only hidden.
    editor->MacroEdit[2]->setText(QStringLiteral("changed again"));
    editor->close();
    EXPECT_FALSE(editor->isVisible());
    EXPECT_EQ(macros.slots[3], "Macro3");
    editor->EditMacros1Click();
    EXPECT_TRUE(editor->isVisible());
}

TEST_F(MacroEditor, ApplyAndOkChangeSlotsAndHintsAtOnce) {
    editor->EditMacros1Click();
    editor->MacroEdit[2]->setText(QStringLiteral("  cq de ~[ec]  "));
    editor->MEditApply->click();
    EXPECT_TRUE(editor->isVisible());
    EXPECT_EQ(macros.slots[3], "  cq de ~[ec]  ");
    EXPECT_EQ(buttons[2]->toolTip(), QStringLiteral("  cq de ~[ec]  "));

    editor->MacroEdit[11]->setText(QString());
    editor->MEditOK->click();
    EXPECT_FALSE(editor->isVisible());
    EXPECT_EQ(macros.slots[12], "");
    // The slots without an edit box are left alone.
    EXPECT_EQ(macros.slots[0], "Macro0");
    EXPECT_EQ(macros.slots[13], "Macro13");
}

TEST_F(MacroEditor, SaveAppliesThenSavesTheWholeStore) {
    std::array<std::string, MacroStore::kSlots> saved{};
    int saves = 0;
    editor->SaveMacros = [&] {
        ++saves;
        saved = macros.slots;
    };
    macros.slots[15] = "slot 15";
    editor->EditMacros1Click();
    editor->MacroEdit[0]->setText(QStringLiteral("new F1"));
    editor->MEditSave->click();
    EXPECT_EQ(saves, 1);
    EXPECT_TRUE(editor->isVisible());
    EXPECT_EQ(saved[1], "new F1");
    EXPECT_EQ(saved[0], "Macro0");
    EXPECT_EQ(saved[15], "slot 15");
    EXPECT_EQ(buttons[0]->toolTip(), QStringLiteral("new F1"));
}

TEST_F(MacroEditor, EditBoxesFollowTheWindowsOuterWidth) {
    editor->show();
    QApplication::processEvents();
    const int frame = editor->frameGeometry().width() - editor->width();
    auto outerWidth = [&](int outer) {
        editor->resize(outer - frame, 200);
        QApplication::processEvents();
        ASSERT_EQ(editor->frameGeometry().width(), outer);
    };
    outerWidth(60);
    for (QLineEdit* edit : editor->MacroEdit) EXPECT_EQ(edit->width(), 10);
    outerWidth(61);
    EXPECT_EQ(editor->MacroEdit[0]->width(), 11);
    outerWidth(600);
    for (QLineEdit* edit : editor->MacroEdit) {
        EXPECT_EQ(edit->width(), 550);
        EXPECT_EQ(edit->height(), 21);
    }
    EXPECT_EQ(editor->MacroEdit[4]->x(), 33);
}

}  // namespace
}  // namespace telkey
