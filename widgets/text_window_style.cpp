#include "widgets/text_window_style.h"

#include <QPalette>
#include <QPlainTextEdit>

namespace telkey {

QColor TextColor(const QPlainTextEdit& window) {
    return window.palette().color(QPalette::Text);
}

void SetTextColor(QPlainTextEdit& window, const QColor& color) {
    QPalette palette = window.palette();
    palette.setColor(QPalette::Text, color);
    window.setPalette(palette);
}

QColor BackgroundColor(const QPlainTextEdit& window) {
    return window.palette().color(QPalette::Base);
}

void SetBackgroundColor(QPlainTextEdit& window, const QColor& color) {
    QPalette palette = window.palette();
    palette.setColor(QPalette::Base, color);
    window.setPalette(palette);
}

}  // namespace telkey
