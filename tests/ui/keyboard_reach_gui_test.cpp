// Every control and every menu item of the windows reached from the keyboard alone, and what a
// screen reader is told as transmit, pause and speed change.
#include <gtest/gtest.h>

#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QAccessible>
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSet>
#include <QToolButton>
#include <iostream>

#include "support/key_press.h"
#include "support/window_fixture.h"
#include "ui/about_box.h"
#include "ui/macro_editor.h"
#include "ui/station_dialog.h"
#include "widgets/announcer.h"
#include "widgets/message_box.h"
#include "widgets/status_panels.h"
#include "widgets/up_down.h"

namespace telkey {
namespace {

QString FocusName() {
    QWidget* focus = QApplication::focusWidget();
    return focus != nullptr ? focus->objectName() : QStringLiteral("(none)");
}

// Presses Tab (or Shift+Tab) until the focus comes back; the names in the order reached.
QStringList TabRound(QWidget& start, Qt::KeyboardModifiers mods, int bound) {
    start.setFocus(Qt::TabFocusReason);
    QStringList reached{FocusName()};
    for (int i = 0; i < bound; ++i) {
        test::PressKey(Qt::Key_Tab, mods);
        test::WindowFixture::ProcessEvents();
        if (QApplication::focusWidget() == &start) break;
        reached << FocusName();
    }
    return reached;
}

// The controls a mouse user can work in `window` (the text field inside a combo or spin box is
// part of it).
QList<QWidget*> Controls(QWidget& window) {
    QList<QWidget*> controls;
    for (QWidget* child : window.findChildren<QWidget*>()) {
        const bool inner = qobject_cast<QComboBox*>(child->parentWidget()) != nullptr ||
                           qobject_cast<QAbstractSpinBox*>(child->parentWidget()) != nullptr;
        const bool control = qobject_cast<QAbstractButton*>(child) != nullptr ||
                             qobject_cast<QLineEdit*>(child) != nullptr ||
                             qobject_cast<QPlainTextEdit*>(child) != nullptr ||
                             qobject_cast<QComboBox*>(child) != nullptr ||
                             qobject_cast<QAbstractSpinBox*>(child) != nullptr ||
                             qobject_cast<QAbstractSlider*>(child) != nullptr;
        // A scroll bar belongs to its text window.
        const bool scrollBar = qobject_cast<QScrollBar*>(child) != nullptr;
        if (control && !inner && !scrollBar && child->isVisibleTo(&window)) controls << child;
    }
    return controls;
}

// The same, each by its object name.
QSet<QString> InteractiveControls(QWidget& window) {
    QSet<QString> names;
    for (QWidget* control : Controls(window)) names << control->objectName();
    return names;
}

// Keys go to the open menu, else to the focus.
void MenuKey(int key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    if (QWidget* popup = QApplication::activePopupWidget()) {
        QKeyEvent press(QEvent::KeyPress, key, mods, test::KeyText(key, mods));
        QApplication::sendEvent(popup, &press);
    } else {
        test::PressKey(key, mods);
    }
    test::WindowFixture::ProcessEvents();
}

// Alt pressed and released alone, as a keyboard sends it.
void AltAlone() {
    QWidget* target = QApplication::focusWidget();
    ASSERT_NE(target, nullptr);
    if (!qt_sendShortcutOverrideEvent(target, 0, Qt::Key_Alt, Qt::AltModifier)) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Alt, Qt::AltModifier);
        QApplication::sendEvent(target, &press);
    }
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_Alt, Qt::NoModifier);
    QApplication::sendEvent(target, &release);
    test::WindowFixture::ProcessEvents();
}

QAction* ActiveItem() {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    return menu != nullptr ? menu->activeAction() : nullptr;
}

// Walks the open menu with the arrow keys, into every submenu and out again; collects the
// items that became active.
void WalkOpenMenu(QSet<QAction*>& reached, int depth = 0) {
    ASSERT_LT(depth, 4);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    QAction* first = menu->activeAction();
    ASSERT_NE(first, nullptr) << menu->objectName().toStdString();
    const int bound = static_cast<int>(menu->actions().size()) + 1;
    for (int i = 0; i < bound; ++i) {
        QAction* item = menu->activeAction();
        reached.insert(item);
        if (item->menu() != nullptr) {
            MenuKey(Qt::Key_Right);
            EXPECT_EQ(QApplication::activePopupWidget(), item->menu());
            WalkOpenMenu(reached, depth + 1);
            MenuKey(Qt::Key_Left);
            ASSERT_EQ(QApplication::activePopupWidget(), menu);
        }
        MenuKey(Qt::Key_Down);
        if (menu->activeAction() == first) break;
    }
}

void AllItems(const QList<QAction*>& actions, QSet<QAction*>& items) {
    for (QAction* action : actions) {
        if (action->isSeparator()) continue;
        items.insert(action);
        if (action->menu() != nullptr) AllItems(action->menu()->actions(), items);
    }
}

class KeyboardReachTest : public ::testing::Test {
  protected:
    void SetUp() override {
        w.form.activateWindow();
        w.form.Input->setFocus();
        test::WindowFixture::ProcessEvents();
    }
    void TearDown() override {
        while (QWidget* popup = QApplication::activePopupWidget()) popup->close();
    }

    test::WindowFixture w;
};

TEST_F(KeyboardReachTest, TabVisitsEveryControlRowByRowAndShiftTabGoesBack) {
    const QStringList expected{"SpeedEdit",  "DashDotEdit", "OnTopButton",   "YambButton",
                               "TxButton",   "PauseButton", "SpeakerButton", "ButMacro1",
                               "ButMacro2",  "ButMacro3",   "ButMacro4",     "ButMacro5",
                               "ButMacro6",  "ButMacro7",   "ButMacro8",     "ButMacro9",
                               "ButMacro10", "ButMacro11",  "ButMacro12",    "ClearEditButton",
                               "CallEdit",   "RSTEdit",     "NameEdit",      "OtherEdit",
                               "Sent",       "Input"};
    EXPECT_EQ(TabRound(*w.form.SpeedEdit, Qt::NoModifier, 60), expected);

    QStringList backwards = TabRound(*w.form.SpeedEdit, Qt::ShiftModifier, 60);
    std::reverse(backwards.begin() + 1, backwards.end());
    EXPECT_EQ(backwards, expected);

    // Only the four small arrows stay out of the round: Up and Down in their edits work them.
    QSet<QString> missed = InteractiveControls(w.form);
    for (const QString& name : expected) missed.remove(name);
    EXPECT_EQ(missed, (QSet<QString>{"UpButton", "DownButton"}));
    std::cout << "main window: " << expected.size() << " controls reached by Tab, 4 arrows by Up "
              << "and Down, of " << Controls(w.form).size() << " controls\n";
}

TEST_F(KeyboardReachTest, TabInInputMovesOnAndTypesNothing) {
    test::TypeText(QStringLiteral("AB"));
    test::PressKey(Qt::Key_Tab);
    EXPECT_EQ(FocusName(), "SpeedEdit");
    EXPECT_FALSE(w.form.Input->toPlainText().contains(QLatin1Char('\t')));
}

TEST_F(KeyboardReachTest, UpAndDownInTheEditsStepAsTheArrowsDo) {
    struct Case {
        QLineEdit* edit;
        UpDown* arrows;
    };
    for (const Case& c : {Case{w.form.SpeedEdit, w.form.SpeedUpDown},
                          Case{w.form.DashDotEdit, w.form.DashDotUpDown}}) {
        SCOPED_TRACE(c.edit->objectName().toStdString());
        c.edit->setFocus();
        const QString before = c.edit->text();
        c.arrows->UpButton()->click();
        const QString byArrow = c.edit->text();
        ASSERT_NE(byArrow, before);
        c.arrows->DownButton()->click();
        ASSERT_EQ(c.edit->text(), before);

        test::PressKey(Qt::Key_Up);
        EXPECT_EQ(c.edit->text(), byArrow);
        test::PressKey(Qt::Key_Down);
        EXPECT_EQ(c.edit->text(), before);
    }
}

TEST_F(KeyboardReachTest, SentCanBeReadWithTheArrows) {
    w.form.Sent->setPlainText(QStringLiteral("CQ DE TEST"));
    w.form.Sent->setFocus(Qt::TabFocusReason);
    w.form.Sent->moveCursor(QTextCursor::Start);
    test::PressKey(Qt::Key_Right);
    test::PressKey(Qt::Key_Right);
    EXPECT_EQ(w.form.Sent->textCursor().position(), 2);
    EXPECT_TRUE(w.form.Sent->isReadOnly());
}

TEST_F(KeyboardReachTest, AltAloneOpensTheMenuBarAndTheArrowsReachEveryItem) {
    AltAlone();
    QMenuBar* bar = w.form.menuBar();
    ASSERT_EQ(bar->activeAction(), w.form.File1->menuAction());

    QSet<QAction*> reached;
    const QList<QAction*> menus = bar->actions();
    for (int i = 0; i < menus.size(); ++i) {
        ASSERT_EQ(bar->activeAction(), menus[i]);
        reached.insert(menus[i]);
        MenuKey(Qt::Key_Down);
        ASSERT_EQ(QApplication::activePopupWidget(), menus[i]->menu());
        WalkOpenMenu(reached);
        MenuKey(Qt::Key_Escape);
        MenuKey(Qt::Key_Right);
    }
    QSet<QAction*> all;
    AllItems(menus, all);
    EXPECT_EQ(reached, all);
    std::cout << "main window menus: " << reached.size() << " of " << all.size()
              << " items reached with Alt and the arrows\n";
}

TEST_F(KeyboardReachTest, AccessLettersOpenTheMenusAndRunTheirItems) {
    struct Case {
        int key;
        QMenu* menu;
    };
    for (const Case& c : {Case{Qt::Key_F, w.form.File1}, Case{Qt::Key_S, w.form.Setup1},
                          Case{Qt::Key_H, w.form.Help1}}) {
        SCOPED_TRACE(c.menu->objectName().toStdString());
        w.form.Input->setFocus();
        test::PressKey(c.key, Qt::AltModifier);
        test::WindowFixture::ProcessEvents();
        EXPECT_EQ(QApplication::activePopupWidget(), c.menu);
        EXPECT_TRUE(w.form.Input->toPlainText().isEmpty());
        MenuKey(Qt::Key_Escape);
        MenuKey(Qt::Key_Escape);
    }
    // Every item of a menu has its own letter.
    QSet<QAction*> all;
    AllItems(w.form.menuBar()->actions(), all);
    for (QAction* item : all) {
        if (item->actionGroup() != nullptr) continue;  // the values: reached with the arrows
        QMenu* holder = nullptr;
        for (QObject* object : item->associatedObjects()) {
            if (auto* menu = qobject_cast<QMenu*>(object)) holder = menu;
        }
        const QKeySequence letter = QKeySequence::mnemonic(item->text());
        EXPECT_FALSE(letter.isEmpty()) << item->text().toStdString();
        if (holder == nullptr) continue;
        for (QAction* other : holder->actions()) {
            if (other != item && !other->isSeparator()) {
                EXPECT_NE(QKeySequence::mnemonic(other->text()), letter)
                    << item->text().toStdString() << " / " << other->text().toStdString();
            }
        }
    }

    // Alt+S, then E: the macro editor opens.
    w.form.Input->setFocus();
    test::PressKey(Qt::Key_S, Qt::AltModifier);
    test::WindowFixture::ProcessEvents();
    MenuKey(Qt::Key_E);
    EXPECT_TRUE(w.form.Form2->isVisible());
    w.form.Form2->hide();
}

TEST(KeyboardReachWindows, TabVisitsEveryControlOfTheMacroEditorAndTheAboutBox) {
    test::WindowFixture w;
    w.form.EditMacros1Click();
    test::WindowFixture::ProcessEvents();
    QStringList editor = TabRound(*w.form.Form2->MacroEdit[0], Qt::NoModifier, 40);
    EXPECT_EQ(QSet<QString>(editor.begin(), editor.end()), InteractiveControls(*w.form.Form2));
    std::cout << "macro editor: " << editor.size() << " of "
              << InteractiveControls(*w.form.Form2).size() << " controls reached by Tab\n";
    w.form.Form2->hide();

    TAbout about;
    QList<QUrl> opened;
    about.openUrl = [&opened](const QUrl& url) { opened << url; };
    about.show();
    about.activateWindow();
    test::WindowFixture::ProcessEvents();
    const QStringList aboutRound = TabRound(*about.Button1, Qt::NoModifier, 10);
    EXPECT_EQ(aboutRound, (QStringList{"Button1", "Label4"}));
    about.Label4->setFocus();
    test::PressKey(Qt::Key_Return);
    EXPECT_EQ(opened, QList<QUrl>{TAbout::WebLink()});
    about.hide();
}

TEST(KeyboardReachWindows, TabVisitsEveryControlOfTheStationDialogAndEachLetterIsItsOwn) {
    test::WindowFixture w;
    int opened = 0;
    w.AnswerDialogs([&](QDialog& dialog) {
        ++opened;
        dialog.show();
        dialog.activateWindow();
        test::WindowFixture::ProcessEvents();
        QSet<QString> enabled;
        for (QWidget* control : Controls(dialog)) {
            if (control->isEnabled()) enabled << control->objectName();
        }
        auto* first = dialog.findChild<QWidget*>(QStringLiteral("KeyPort"));
        EXPECT_NE(first, nullptr);
        if (first == nullptr) return int{QDialog::Rejected};
        const QStringList round = TabRound(*first, Qt::NoModifier, 80);
        EXPECT_EQ(QSet<QString>(round.begin(), round.end()), enabled);
        QStringList back = TabRound(*first, Qt::ShiftModifier, 80);
        std::reverse(back.begin() + 1, back.end());
        EXPECT_EQ(back, round);
        std::cout << "station dialog: " << round.size() << " of " << enabled.size()
                  << " enabled controls reached by Tab (" << Controls(dialog).size()
                  << " controls)\n";

        // The access letters of the captions and the labels: no letter twice.
        QMap<QString, QString> letters;
        for (QWidget* child : dialog.findChildren<QWidget*>()) {
            QString caption;
            if (auto* label = qobject_cast<QLabel*>(child)) caption = label->text();
            if (auto* button = qobject_cast<QAbstractButton*>(child)) caption = button->text();
            const QString letter = QKeySequence::mnemonic(caption).toString();
            if (letter.isEmpty() || !child->isVisibleTo(&dialog)) continue;
            EXPECT_FALSE(letters.contains(letter))
                << caption.toStdString() << " / " << letters.value(letter).toStdString();
            letters.insert(letter, caption);
        }
        EXPECT_GE(letters.size(), 10);
        return int{QDialog::Rejected};
    });
    w.form.Station1Click();
    EXPECT_EQ(opened, 1);
}

TEST(KeyboardReachWindows, ANoticeTakesTheFocusOnItsAnswerAndCarriesItsText) {
    QWidget owner;
    owner.show();
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Telkey"), QStringLiteral("Rig lost"),
                    QMessageBox::Ok, &owner);
    box.setWindowModality(Qt::NonModal);
    ShowNotice(box);
    test::WindowFixture::ProcessEvents();
    EXPECT_EQ(QApplication::focusWidget(), box.button(QMessageBox::Ok));
    EXPECT_EQ(box.accessibleName(), "Telkey");
    EXPECT_EQ(box.accessibleDescription(), "Rig lost");
}

// ---- What the screen reader is told.

// Each time the announcer shows anew, what it says then; screen readers hear a notification
// appear (the accessibility layer turns the show into its event).
class Announcements : public ::testing::Test, public QObject {
  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show) {
            heard << static_cast<Announcer*>(watched)->LastAnnouncement();
        }
        return false;
    }

    QStringList heard;
};

TEST_F(Announcements, TransmitPauseAndSpeedAreToldWhereverTheFocusIs) {
    test::WindowFixture w;
    w.form.Input->setFocus();
    w.form.announcer->installEventFilter(this);
    QAccessibleInterface* notice = QAccessible::queryAccessibleInterface(w.form.announcer);
    ASSERT_NE(notice, nullptr);
    EXPECT_EQ(notice->role(), QAccessible::Notification);
    QAccessibleInterface* statusBar = QAccessible::queryAccessibleInterface(w.form.StatusBar);
    ASSERT_NE(statusBar, nullptr);
    EXPECT_EQ(statusBar->role(), QAccessible::StatusBar);

    test::PressKey(Qt::Key_ScrollLock);
    test::PressKey(Qt::Key_ScrollLock);
    test::PressKey(Qt::Key_Pause);
    test::PressKey(Qt::Key_Pause);
    w.form.SpeedUpDown->UpButton()->click();
    const QString speed = w.form.SpeedEdit->text();

    ASSERT_EQ(heard.size(), 5) << heard.join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(heard.mid(0, 4),
              (QStringList{"Transmit on", "Transmit off", "Pause on", "Pause off"}));
    EXPECT_TRUE(heard[4].startsWith(QStringLiteral("Speed ") + speed + QStringLiteral(" LPM")))
        << heard[4].toStdString();
    EXPECT_EQ(notice->text(QAccessible::Name), heard.back());
    // The notice is never in the way: the focus stays where the operator types.
    EXPECT_EQ(FocusName(), "Input");
}

}  // namespace
}  // namespace telkey
