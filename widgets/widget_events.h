#pragma once
// Hooks for the events of a control that Qt signals do not express as the handlers want them:
// leaving the control (focus moving to another control of the window) and each character typed
// into it. Either hook lives as long as the control.
#include <QChar>
#include <functional>

class QWidget;

namespace telkey {

// Runs `handler` when the focus leaves `widget` for another control; switching to another
// window or opening a menu is not leaving it.
void OnExit(QWidget* widget, std::function<void()> handler);

// Runs `handler` for each character a key press types into `widget` ('\r' for Enter), before
// the widget sees the key; the key is not swallowed.
void OnKeyPress(QWidget* widget, std::function<void(QChar)> handler);

}  // namespace telkey
