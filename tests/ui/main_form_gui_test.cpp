// The main window as designed: menu, captions, hints, geometry, resizing, stay-on-top, the font
// and colour dialogs, the About box and Exit.
#include "ui/main_form.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QColorDialog>
#include <QFontDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QToolButton>

#include "support/window_fixture.h"
#include "ui/about_box.h"
#include "widgets/status_panels.h"
#include "widgets/text_window_style.h"
#include "widgets/up_down.h"

namespace telkey {
namespace {

// The menu as an outline: one line per item, indented by depth; "-" for separators.
void Outline(const QList<QAction*>& actions, int depth, QStringList& lines) {
    for (QAction* action : actions) {
        const QString indent(depth * 2, QLatin1Char(' '));
        if (action->isSeparator()) {
            lines << indent + QStringLiteral("-");
            continue;
        }
        lines << indent + action->text() + QStringLiteral(" [") +
                     (action->menu() ? action->menu()->objectName() : action->objectName()) +
                     QStringLiteral("]");
        if (action->menu()) Outline(action->menu()->actions(), depth + 1, lines);
    }
}

class MainFormTest : public ::testing::Test {
  protected:
    template <typename T>
    T* Find(const char* name) const {
        auto* widget = w.form.findChild<T*>(QLatin1String(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    test::WindowFixture w;
};

TEST_F(MainFormTest, MenuHasEveryItemInOrder) {
    QStringList lines;
    Outline(w.form.menuBar()->actions(), 0, lines);
    const QString blanks(45, QLatin1Char(' '));
    const QStringList expected{
        "&File [File1]",
        "  E&xit [Exit2]",
        "&Setup [Setup1]",
        "  &MOX On [MOX1]",
        "  MO&X Setup [MOXSetup1]",
        "    TX On at &keyboard press [TXOnKeyboard1]",
        "    TX On at &paddle press with 10 ms keying delay [TxAtPaddle1]",
        "    " + blanks + "&Delay [Delayms1]",
        "      2 [N21]",
        "      5 [N52]",
        "      10 [N102]",
        "      15 [N152]",
        "      20 [N202]",
        "      30 [N301]",
        "      50 [N501]",
        "      100 [N1001]",
        "      150 [N1501]",
        "      200 [N2001]",
        "      300 [N3001]",
        "    TX Off at &free buffer [RxAtFreeBuffer1]",
        "    TX Off at 8 dots &silence [RxAtSilence1]",
        "    " + blanks + "Silence &len [RXOn8DotsSilence1]",
        "      1 [SL1]",
        "      2 [SL2]",
        "      3 [SL3]",
        "      4 [SL4]",
        "      5 [SL5]",
        "      6 [SL6]",
        "      7 [SL7]",
        "      8 [SL8]",
        "      9 [SL9]",
        "      10 [SL10]",
        "      15 [SL15]",
        "      20 [SL20]",
        "      30 [SL30]",
        "      50 [SL50]",
        "  Pause On at &paddle press [PauseAtPaddle1]",
        "  Pause O&ff at TX off [PauseOffAtRx1]",
        "  -",
        "  &Edit Macros [EditMacros1]",
        "  -",
        "  &Tx Window Font Setup [TxWindowFontSetup1]",
        "  Tx Window &Background Setup [TxWindowBackgroundSetup1]",
        "  Se&nt Window Font Setup [SentWindowFontSetup1]",
        "  Sent Window Bac&kground Setup [SentWindowBackgroundSetup1]",
        "  &Station... [Station1]",
        "  -",
        "  Sa&ve setup [Savesetup1]",
        "&Help [Help1]",
        "  &About [About1]",
    };
    EXPECT_EQ(lines, expected);
}

TEST_F(MainFormTest, CheckItemsAndRadioItemsAreCheckable) {
    for (const char* name : {"MOX1", "TXOnKeyboard1", "TxAtPaddle1", "RxAtFreeBuffer1",
                             "RxAtSilence1", "PauseAtPaddle1", "PauseOffAtRx1", "N21", "SL50"}) {
        EXPECT_TRUE(Find<QAction>(name)->isCheckable()) << name;
    }
    for (const char* name : {"Exit2", "EditMacros1", "Savesetup1", "About1"}) {
        EXPECT_FALSE(Find<QAction>(name)->isCheckable()) << name;
    }
}

TEST_F(MainFormTest, ControlsCarryTheirCaptionsAndHints) {
    struct Control {
        const char* name;
        const char* caption;
        const char* hint;
    };
    const Control controls[] = {
        {"SpeedEdit", nullptr, "CW Speed (Letters per minute)"},
        {"SpeedUpDown", nullptr, "Speed Up/Down"},
        {"DashDotEdit", nullptr, "Dash/Dot Ratio"},
        {"DashDotUpDown", nullptr, "Dash/Dot Ratio Up/Down"},
        {"OnTopButton", "OnTop", "Always On Top On/Off"},
        {"YambButton", " Iamb", "Yamb On/Off"},
        {"TxButton", "&TX", "TX/RX (Alt-T, Ctrl-T, Scroll Lock)"},
        {"PauseButton", "&Pause", "Pause On/Off  (Alt-P, Ctrl-P, Pause)"},
        {"SpeakerButton", "", "Speaker On/Off"},
        {"ClearEditButton", "Cle&ar", "Clear Fields (Alt-A)"},
        {"CallEdit", nullptr, "Call (Alt-C)"},
        {"RSTEdit", nullptr, "RST (Alt-R)"},
        {"NameEdit", nullptr, "Name (Alt-N)"},
        {"OtherEdit", nullptr, "Other (Alt-O)"},
    };
    for (const Control& c : controls) {
        SCOPED_TRACE(c.name);
        QWidget* widget = Find<QWidget>(c.name);
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(widget->toolTip(), QString::fromLatin1(c.hint));
        if (c.caption != nullptr) {
            EXPECT_EQ(qobject_cast<QAbstractButton*>(widget)->text(),
                      QString::fromLatin1(c.caption));
        }
    }
    EXPECT_EQ(Find<QLabel>("SpedLabel")->text(), "Speed:");
    EXPECT_EQ(Find<QLabel>("DashDotLabel")->text(), "D/D:");
    EXPECT_EQ(Find<QLabel>("CallLabel")->text(), "&C:");
    EXPECT_EQ(Find<QLabel>("RSTLabel")->text(), "&R:");
    EXPECT_EQ(Find<QLabel>("NameLabel")->text(), "&N:");
    EXPECT_EQ(Find<QLabel>("OtherLabel")->text(), "&O:");
    for (int n = 1; n <= 12; ++n) {
        const QString name = QStringLiteral("ButMacro%1").arg(n);
        auto* button = w.form.findChild<QPushButton*>(name);
        ASSERT_NE(button, nullptr) << name.toStdString();
        EXPECT_EQ(button->text(), QStringLiteral("F%1").arg(n));
        EXPECT_EQ(button->toolTip(), QStringLiteral("Macro%1").arg(n));
    }
    EXPECT_TRUE(w.form.DashDotEdit->isReadOnly());
    for (QToolButton* toggle : {w.form.OnTopButton, w.form.YambButton, w.form.TxButton,
                                w.form.PauseButton, w.form.SpeakerButton}) {
        EXPECT_TRUE(toggle->isCheckable()) << toggle->objectName().toStdString();
    }
}

TEST_F(MainFormTest, ControlsSitWhereTheyWereDesigned) {
    struct Placed {
        const char* name;
        QRect rect;
    };
    const Placed placed[] = {
        {"SpeedEdit", {45, 2, 35, 21}},      {"SpeedUpDown", {80, 2, 16, 21}},
        {"DashDotEdit", {127, 2, 35, 21}},   {"DashDotUpDown", {163, 2, 16, 21}},
        {"OnTopButton", {184, 0, 55, 25}},   {"YambButton", {241, 0, 55, 25}},
        {"TxButton", {300, 0, 35, 25}},      {"PauseButton", {337, 0, 55, 25}},
        {"SpeakerButton", {396, 0, 25, 25}}, {"ButMacro1", {5, 8, 33, 25}},
        {"ButMacro7", {215, 8, 33, 25}},     {"ButMacro12", {390, 8, 33, 25}},
        {"ClearEditButton", {3, 2, 32, 22}}, {"CallEdit", {52, 1, 111, 24}},
        {"RSTEdit", {182, 1, 76, 24}},       {"NameEdit", {278, 1, 100, 24}},
        {"OtherEdit", {399, 1, 25, 24}},
    };
    for (const Placed& p : placed) {
        EXPECT_EQ(Find<QWidget>(p.name)->geometry(), p.rect) << p.name;
    }
    EXPECT_EQ(Find<QLabel>("SpedLabel")->pos(), QPoint(3, 6));
    EXPECT_EQ(Find<QLabel>("DashDotLabel")->pos(), QPoint(98, 6));
    EXPECT_EQ(Find<QLabel>("CallLabel")->pos(), QPoint(36, 5));
    EXPECT_EQ(Find<QLabel>("OtherLabel")->pos(), QPoint(382, 4));

    EXPECT_EQ(w.form.Panel1->height(), 25);
    EXPECT_EQ(w.form.Panel2->height(), 40);
    EXPECT_EQ(w.form.Panel3->height(), 25);
    EXPECT_EQ(w.form.Sent->height(), 41);
    EXPECT_EQ(w.form.Splitter1->width(), 3);
    EXPECT_EQ(w.form.StatusBar->height(), 23);
    // Panels, Sent and the status bar span the window; Input fills the rest beside Splitter1.
    const int clientWidth = w.form.centralWidget()->width();
    for (QWidget* full : std::initializer_list<QWidget*>{
             w.form.Panel1, w.form.Panel2, w.form.Panel3, w.form.Sent, w.form.StatusBar}) {
        EXPECT_EQ(full->width(), clientWidth) << full->objectName().toStdString();
    }
    EXPECT_EQ(w.form.Input->x(), 3);
    EXPECT_EQ(w.form.Input->width(), clientWidth - 3);
    EXPECT_EQ(w.form.Input->geometry().bottom() + 1, w.form.StatusBar->y());
}

TEST_F(MainFormTest, WindowHasItsDesignedFrame) {
    EXPECT_EQ(w.form.windowTitle(), "Telkey");
    EXPECT_EQ(w.form.font().family(), "MS Sans Serif");
    EXPECT_EQ(w.form.font().pointSize(), 8);
    EXPECT_EQ(w.form.OuterWidth(), 435);
    EXPECT_EQ(w.form.OuterHeight(), 303);
    EXPECT_EQ(w.form.frameGeometry().topLeft(), QPoint(238, 127));
    EXPECT_EQ(w.form.Input->font().family(), "MS Sans Serif");
    EXPECT_TRUE(w.form.Input->font().bold());
    EXPECT_EQ(w.form.Input->font().pointSize(), 10);
    EXPECT_EQ(w.form.Sent->font().family(), "Courier New");
    EXPECT_EQ(w.form.Sent->font().pointSize(), 9);
    EXPECT_TRUE(w.form.Sent->isReadOnly());
    // Tab reaches it too, so that what was sent can be read again from the keyboard.
    EXPECT_EQ(w.form.Sent->focusPolicy(), Qt::StrongFocus);
    EXPECT_EQ(w.form.Input->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_TRUE(w.form.CallEdit->font().bold());
    EXPECT_EQ(w.form.CallEdit->font().pointSize(), 10);
    EXPECT_EQ(w.form.ClearEditButton->font().pointSize(), 8);
}

TEST_F(MainFormTest, StatusBarHasSixPanels) {
    const int widths[] = {25, 25, 25, 150, 50, 50};
    for (int i = 0; i < StatusPanels::kPanels; ++i) {
        EXPECT_EQ(w.form.StatusBar->Panel(i)->width(), widths[i]) << i;
    }
    EXPECT_EQ(w.form.StatusBar->Panel(0)->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignRight);
    EXPECT_EQ(w.form.StatusBar->Panel(3)->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
    EXPECT_EQ(w.form.StatusBar->PanelText(5), "RX");
    EXPECT_TRUE(w.form.StatusBar->PanelText(0).isEmpty());
    w.form.StatusBar->SetPanelText(4, QStringLiteral("PAUSE"));
    EXPECT_EQ(w.form.StatusBar->PanelText(4), "PAUSE");
}

TEST_F(MainFormTest, OtherEditFollowsTheWindowWidth) {
    const struct {
        int outer;
        int other;
    } cases[] = {{435, 25}, {436, 26}, {600, 190}, {300, 25}, {435, 25}};
    for (const auto& c : cases) {
        w.form.SetOuterSize(c.outer, 303);
        test::WindowFixture::ProcessEvents();
        EXPECT_EQ(w.form.OuterWidth(), c.outer);
        EXPECT_EQ(w.form.OtherEdit->width(), c.other) << c.outer;
        EXPECT_EQ(w.form.OtherEdit->x(), 399);
        EXPECT_EQ(w.form.NameEdit->width(), 100);
    }
}

TEST_F(MainFormTest, StayOnTopComesAndGoes) {
    EXPECT_FALSE(w.form.StaysOnTop());
    w.form.SetStayOnTop(true);
    EXPECT_TRUE(w.form.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(w.form.isVisible());
    w.form.SetStayOnTop(false);
    EXPECT_FALSE(w.form.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(w.form.isVisible());
}

TEST(MainFormCreate, OnTopFromTheSettingsFileAppliesAtCreation) {
    test::WindowFixture w("[Qor_Cw]\r\nOnTop=1\r\n", false);
    EXPECT_EQ(w.form.options.OnTop, 1);
    EXPECT_TRUE(w.form.StaysOnTop());
    // The button follows only when the settings are loaded.
    EXPECT_FALSE(w.form.OnTopButton->isChecked());
}

TEST(MainFormCreate, WithoutSettingsFileTheWindowIsOrdinary) {
    test::WindowFixture w({}, false);
    EXPECT_EQ(w.form.options.OnTop, 0);
    EXPECT_FALSE(w.form.StaysOnTop());
}

TEST_F(MainFormTest, FontDialogStartsWithTheWindowFontAndCancelChangesNothing) {
    QFont big(QStringLiteral("Courier New"), 20);
    w.form.Input->setFont(big);
    int offeredSize = 0;
    w.AnswerDialogs([&](QDialog& dialog) {
        auto& fonts = dynamic_cast<QFontDialog&>(dialog);
        offeredSize = fonts.currentFont().pointSize();
        fonts.setCurrentFont(QFont(QStringLiteral("Times New Roman"), 12));
        return int{QDialog::Rejected};
    });
    w.form.TxWindowFontSetup1->trigger();
    EXPECT_EQ(offeredSize, 20);
    EXPECT_EQ(w.form.Input->font(), big);
}

TEST_F(MainFormTest, FontDialogOkSetsTheFont) {
    QFont chosen;
    w.AnswerDialogs([&](QDialog& dialog) {
        auto& fonts = dynamic_cast<QFontDialog&>(dialog);
        fonts.setCurrentFont(QFont(QStringLiteral("Times New Roman"), 14));
        chosen = fonts.currentFont();
        return int{QDialog::Accepted};
    });
    const QFont inputBefore = w.form.Input->font();
    w.form.SentWindowFontSetup1->trigger();
    EXPECT_EQ(w.form.Sent->font(), chosen);
    EXPECT_EQ(w.form.Sent->font().pointSize(), 14);
    EXPECT_EQ(w.form.Input->font(), inputBefore);
}

TEST_F(MainFormTest, ColourDialogOffersTheColourItReturnedLast) {
    std::vector<QColor> offered;
    QColor answer;
    int result = QDialog::Accepted;
    w.AnswerDialogs([&](QDialog& dialog) {
        auto& colours = dynamic_cast<QColorDialog&>(dialog);
        offered.push_back(colours.currentColor());
        colours.setCurrentColor(answer);
        return result;
    });
    const QColor sentBefore = BackgroundColor(*w.form.Sent);

    answer = QColor(0xFF, 0xFF, 0xC0);
    w.form.TxWindowBackgroundSetup1->trigger();
    EXPECT_EQ(BackgroundColor(*w.form.Input), answer);

    // Cancel: nothing changes, and the dialog keeps what it returned last.
    answer = QColor(0x00, 0x80, 0x00);
    result = QDialog::Rejected;
    w.form.SentWindowBackgroundSetup1->trigger();
    EXPECT_EQ(BackgroundColor(*w.form.Sent), sentBefore);

    result = QDialog::Accepted;
    w.form.SentWindowBackgroundSetup1->trigger();
    EXPECT_EQ(BackgroundColor(*w.form.Sent), answer);

    ASSERT_EQ(offered.size(), 3u);
    EXPECT_EQ(offered[0], QColor(Qt::black));
    EXPECT_EQ(offered[1], QColor(0xFF, 0xFF, 0xC0));
    EXPECT_EQ(offered[2], QColor(0xFF, 0xFF, 0xC0));
}

TEST_F(MainFormTest, AboutShowsTheAboutBoxModally) {
    QDialog* shown = nullptr;
    w.AnswerDialogs([&](QDialog& dialog) {
        shown = &dialog;
        return int{QDialog::Accepted};
    });
    w.form.About1->trigger();
    ASSERT_NE(shown, nullptr);
    EXPECT_NE(dynamic_cast<TAbout*>(shown), nullptr);
    EXPECT_EQ(shown, w.form.About);
}

TEST_F(MainFormTest, ExitClosesTheWindow) {
    ASSERT_TRUE(w.form.isVisible());
    w.form.Exit2->trigger();
    EXPECT_FALSE(w.form.isVisible());
}

TEST_F(MainFormTest, StartFailuresShowErrorAndEndTheProgram) {
    w.form.ShowErrorAndEnd(QStringLiteral("Timer not installed"));
    ASSERT_EQ(w.boxes.shown.size(), 1u);
    EXPECT_EQ(w.boxes.shown[0].title, "Error");
    EXPECT_EQ(w.boxes.shown[0].text, "Timer not installed");
    EXPECT_EQ(w.endRequests, 1);
}

TEST_F(MainFormTest, ControlMessagesReachTheWindowHook) {
    // The hook is installed at creation; what it does not take is passed on with result 0.
    EXPECT_EQ(w.messages.Deliver(0xC100, 1, 2), 0);
}

}  // namespace
}  // namespace telkey
