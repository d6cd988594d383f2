#include "transmit/keyboard_commands.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QWidget>

#include "transmit/macro_runner.h"
#include "transmit/tx_control.h"
#include "widgets/widget_events.h"

namespace telkey {
namespace {

constexpr Qt::KeyboardModifiers kCommandModifiers =
    Qt::ShiftModifier | Qt::AltModifier | Qt::ControlModifier;
constexpr QChar kEnter = u'\r';
// F10 would otherwise go on to the menu bar.
constexpr int kSwallowedKey = Qt::Key_F10;

}  // namespace

KeyCommand ClassifyKey(int key, Qt::KeyboardModifiers shift) {
    const Qt::KeyboardModifiers held = shift & kCommandModifiers;
    // 1. No modifier held.
    if (held == Qt::NoModifier) {
        if (key >= Qt::Key_F1 && key <= Qt::Key_F12) {
            return {KeyAction::RunMacro, key - Qt::Key_F1 + 1};
        }
        if (key == Qt::Key_Escape) return {KeyAction::StopSending};
        if (key == Qt::Key_Pause) return {KeyAction::TogglePause};
        if (key == Qt::Key_ScrollLock) return {KeyAction::ToggleTx};
        return {};
    }
    // 2. Alt or Ctrl held, Shift allowed.
    if (held & (Qt::AltModifier | Qt::ControlModifier)) {
        if (key == Qt::Key_P) return {KeyAction::TogglePause};
        if (key == Qt::Key_T) return {KeyAction::ToggleTx};
    }
    // 3. Alt held, Shift and Ctrl allowed.
    if (held & Qt::AltModifier) {
        switch (key) {
            case Qt::Key_A:
                return {KeyAction::ClearFields};
            case Qt::Key_C:
                return {KeyAction::FocusCall};
            case Qt::Key_R:
                return {KeyAction::FocusRst};
            case Qt::Key_N:
                return {KeyAction::FocusName};
            case Qt::Key_O:
                return {KeyAction::FocusOther};
            default:
                break;
        }
    }
    return {};
}

KeyboardCommands::KeyboardCommands(TxControl& tx, MacroRunner& macros, KeyboardTargets targets,
                                   std::function<void()> clearEditButtonClick, QObject* parent)
    : QObject(parent),
      tx_(tx),
      macros_(macros),
      targets_(targets),
      clearEditButtonClick_(std::move(clearEditButtonClick)) {}

KeyboardCommands::~KeyboardCommands() {
    if (installed_ && qApp != nullptr) qApp->removeEventFilter(this);
}

void KeyboardCommands::Install() {
    if (installed_) return;
    installed_ = true;
    qApp->installEventFilter(this);
    OnKeyPress(targets_.CallEdit, [this](QChar key) { CallEditKeyPress(key); });
    OnKeyPress(targets_.RSTEdit, [this](QChar key) { RSTEditKeyPress(key); });
    OnKeyPress(targets_.NameEdit, [this](QChar key) { NameEditKeyPress(key); });
    OnKeyPress(targets_.OtherEdit, [this](QChar key) { OtherEditKeyPress(key); });
}

bool KeyboardCommands::FormKeyDown(int& key, Qt::KeyboardModifiers shift) {
    const KeyCommand command = ClassifyKey(key, shift);
    switch (command.action) {
        case KeyAction::None:
            return false;
        case KeyAction::RunMacro:
            macros_.RunMacro(command.macro);
            if (key == kSwallowedKey) key = 0;
            break;
        case KeyAction::TogglePause:
            tx_.SetPause(!tx_.PauseButtonDown());
            break;
        case KeyAction::ToggleTx:
            tx_.SetTxButton(!tx_.TxButtonDown());
            tx_.ApplyTx();
            break;
        case KeyAction::StopSending:
            tx_.StopSending();
            break;
        case KeyAction::ClearFields:
            if (clearEditButtonClick_) clearEditButtonClick_();
            break;
        case KeyAction::FocusCall:
            targets_.CallEdit->setFocus(Qt::ShortcutFocusReason);
            break;
        case KeyAction::FocusRst:
            targets_.RSTEdit->setFocus(Qt::ShortcutFocusReason);
            break;
        case KeyAction::FocusName:
            targets_.NameEdit->setFocus(Qt::ShortcutFocusReason);
            break;
        case KeyAction::FocusOther:
            targets_.OtherEdit->setFocus(Qt::ShortcutFocusReason);
            break;
    }
    return true;
}

void KeyboardCommands::CallEditKeyPress(QChar key) {
    if (key == kEnter) targets_.RSTEdit->setFocus(Qt::OtherFocusReason);
}

void KeyboardCommands::RSTEditKeyPress(QChar key) {
    if (key == kEnter) targets_.NameEdit->setFocus(Qt::OtherFocusReason);
}

void KeyboardCommands::NameEditKeyPress(QChar key) {
    if (key == kEnter) targets_.OtherEdit->setFocus(Qt::OtherFocusReason);
}

void KeyboardCommands::OtherEditKeyPress(QChar key) {
    if (key == kEnter) targets_.Input->setFocus(Qt::OtherFocusReason);
}

bool KeyboardCommands::ForMainWindow(QObject* receiver) const {
    auto* widget = qobject_cast<QWidget*>(receiver);
    if (widget == nullptr || widget->window() != targets_.mainWindow) return false;
    // Keys that move through an open menu are the menu's.
    return qobject_cast<QMenuBar*>(widget) == nullptr;
}

// A key press that no control takes travels on to the parents; the command runs only at the
// first of those deliveries.
bool KeyboardCommands::FirstDelivery(QObject* receiver, QEvent* event) {
    auto* widget = static_cast<QWidget*>(receiver);
    const int key = static_cast<QKeyEvent*>(event)->key();
    const bool travelling = widget != QApplication::focusWidget() && event == lastEvent_ &&
                            key == lastKey_ && lastReceiver_ != nullptr &&
                            widget->isAncestorOf(lastReceiver_);
    lastEvent_ = event;
    lastReceiver_ = widget;
    lastKey_ = key;
    return !travelling;
}

bool KeyboardCommands::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type != QEvent::KeyPress && type != QEvent::ShortcutOverride) return false;
    if (!ForMainWindow(watched)) return false;
    auto* keyEvent = static_cast<QKeyEvent*>(event);

    if (type == QEvent::ShortcutOverride) {
        // A command key reaches FormKeyDown as a key press, never as a shortcut: the access
        // letters of "&TX", "&Pause" and "Cle&ar" would otherwise act a second time.
        if (ClassifyKey(keyEvent->key(), keyEvent->modifiers()).action == KeyAction::None) {
            return false;
        }
        keyEvent->accept();
        return true;
    }

    if (!FirstDelivery(watched, event)) return false;
    int key = keyEvent->key();
    const bool acted = FormKeyDown(key, keyEvent->modifiers());
    if (key == 0) return true;
    // Letters held with Alt or Ctrl type nothing; a command letter must not land in the text.
    return acted && (keyEvent->modifiers() & (Qt::AltModifier | Qt::ControlModifier));
}

}  // namespace telkey
