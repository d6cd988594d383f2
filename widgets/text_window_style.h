#pragma once
// Text and background colour of the two text windows (Sent and Input), kept in their palettes.
#include <QColor>

class QPlainTextEdit;

namespace telkey {

QColor TextColor(const QPlainTextEdit& window);
void SetTextColor(QPlainTextEdit& window, const QColor& color);
QColor BackgroundColor(const QPlainTextEdit& window);
void SetBackgroundColor(QPlainTextEdit& window, const QColor& color);

}  // namespace telkey
