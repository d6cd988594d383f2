#pragma once
// Key presses as a keyboard delivers them: the shortcut map is tried first (access letters of
// captions and labels, menu shortcuts), and only a key no shortcut takes reaches the widget as
// a key press. This is the path of real keys, without linking the Qt test library.
#include <QApplication>
#include <QKeyEvent>
#include <QString>
#include <QWidget>

// Exported by Qt's GUI library: offers the key to the shortcut map, after a ShortcutOverride
// to the focus object; true when a shortcut took it.
Q_GUI_EXPORT bool qt_sendShortcutOverrideEvent(QObject* o, ulong timestamp, int k,
                                               Qt::KeyboardModifiers mods,
                                               const QString& text = QString(),
                                               bool autorep = false, ushort count = 1);

namespace telkey::test {

// The text a key types, as a keyboard reports it (letters lower case unless Shift is held).
inline QString KeyText(int key, Qt::KeyboardModifiers mods) {
    if (key >= Qt::Key_A && key <= Qt::Key_Z) {
        const QChar c(static_cast<char16_t>(key));
        return (mods & Qt::ShiftModifier) ? QString(c) : QString(c.toLower());
    }
    if (key == Qt::Key_Return || key == Qt::Key_Enter) return QStringLiteral("\r");
    if (key == Qt::Key_Space) return QStringLiteral(" ");
    if (key >= Qt::Key_0 && key <= Qt::Key_9) return QString(QChar(static_cast<char16_t>(key)));
    return {};
}

// Presses (and, unless `release` is false, releases) a key in the widget that has the focus.
inline void PressKey(int key, Qt::KeyboardModifiers mods = Qt::NoModifier, bool autoRepeat = false,
                     bool release = true) {
    QWidget* target = QApplication::focusWidget();
    if (target == nullptr) target = QApplication::activeWindow();
    if (target == nullptr) return;
    const QString text = KeyText(key, mods);
    if (!qt_sendShortcutOverrideEvent(target, 0, key, mods, text, autoRepeat)) {
        QKeyEvent press(QEvent::KeyPress, key, mods, text, autoRepeat);
        QApplication::sendEvent(target, &press);
    }
    if (release) {
        QKeyEvent up(QEvent::KeyRelease, key, mods, text, autoRepeat);
        QApplication::sendEvent(target, &up);
    }
}

// Types text into the focused widget, one key per character.
inline void TypeText(const QString& text) {
    for (const QChar c : text) {
        QWidget* target = QApplication::focusWidget();
        if (target == nullptr) return;
        const bool lineBreak = c == u'\n';
        const int key = lineBreak ? int{Qt::Key_Return} : int{c.toUpper().unicode()};
        const QString typed = lineBreak ? QStringLiteral("\r") : QString(c);
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, typed);
        QApplication::sendEvent(target, &press);
        QKeyEvent up(QEvent::KeyRelease, key, Qt::NoModifier, typed);
        QApplication::sendEvent(target, &up);
    }
}

}  // namespace telkey::test
