#pragma once
// Keyboard commands of the main window: function keys fire macros; Escape stops sending; Pause,
// Scroll Lock and a few Alt and Ctrl letters switch pause and transmit or jump between the QSO
// fields. The window sees every key press before the focused control does (key preview), and
// Enter walks through the QSO fields.
#include <QChar>
#include <QObject>
#include <QPointer>
#include <functional>

class QLineEdit;
class QPlainTextEdit;
class QWidget;

namespace telkey {

class MacroRunner;
class TxControl;

enum class KeyAction {
    None,
    RunMacro,     // F1..F12, no modifier
    TogglePause,  // Pause; Alt-P, Ctrl-P
    ToggleTx,     // Scroll Lock; Alt-T, Ctrl-T
    ClearFields,  // Alt-A
    FocusCall,    // Alt-C
    FocusRst,     // Alt-R
    FocusName,    // Alt-N
    FocusOther,   // Alt-O
    StopSending,  // Escape
};

struct KeyCommand {
    KeyAction action = KeyAction::None;
    int macro = 0;  // 1..12 for RunMacro
};

// What FormKeyDown does with a key and the modifiers held (Shift, Alt, Ctrl; others ignored).
KeyCommand ClassifyKey(int key, Qt::KeyboardModifiers shift);

struct KeyboardTargets {
    QWidget* mainWindow = nullptr;
    QLineEdit* CallEdit = nullptr;
    QLineEdit* RSTEdit = nullptr;
    QLineEdit* NameEdit = nullptr;
    QLineEdit* OtherEdit = nullptr;
    QPlainTextEdit* Input = nullptr;
};

class KeyboardCommands : public QObject {
    Q_OBJECT

  public:
    KeyboardCommands(TxControl& tx, MacroRunner& macros, KeyboardTargets targets,
                     std::function<void()> clearEditButtonClick, QObject* parent = nullptr);
    ~KeyboardCommands() override;

    // Key preview for every control of the main window, and Enter in the QSO fields.
    void Install();

    // The main window's key-down handler. Clears `key` to swallow it (F10, so that it does not
    // reach the menu bar). Returns true when the key ran a command.
    bool FormKeyDown(int& key, Qt::KeyboardModifiers shift);

    // Enter in a QSO field moves on to the next one; the character itself is not swallowed.
    void CallEditKeyPress(QChar key);
    void RSTEditKeyPress(QChar key);
    void NameEditKeyPress(QChar key);
    void OtherEditKeyPress(QChar key);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    bool ForMainWindow(QObject* receiver) const;
    bool FirstDelivery(QObject* receiver, QEvent* event);

    TxControl& tx_;
    MacroRunner& macros_;
    KeyboardTargets targets_;
    std::function<void()> clearEditButtonClick_;
    bool installed_ = false;
    // The key press seen last and where, to recognise it when it travels on to the parents.
    const QEvent* lastEvent_ = nullptr;
    QPointer<QWidget> lastReceiver_;
    int lastKey_ = 0;
};

}  // namespace telkey
