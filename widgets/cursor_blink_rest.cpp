#include "widgets/cursor_blink_rest.h"

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QStyleHints>

namespace telkey {

CursorBlinkRest::CursorBlinkRest(std::chrono::milliseconds rest, QObject* parent)
    : QObject(parent), flashMs_(QGuiApplication::styleHints()->cursorFlashTime()) {
    rest_.setSingleShot(true);
    rest_.setInterval(rest);
    connect(&rest_, &QTimer::timeout, this, [this] { Rest(); });
    QCoreApplication::instance()->installEventFilter(this);
    if (flashMs_ > 0) rest_.start();
}

CursorBlinkRest::~CursorBlinkRest() {
    if (resting_) QGuiApplication::styleHints()->setCursorFlashTime(flashMs_);
}

bool CursorBlinkRest::eventFilter(QObject* /*watched*/, QEvent* event) {
    switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::MouseButtonPress:
        case QEvent::FocusIn:
            Wake();
            break;
        default:
            break;
    }
    return false;
}

void CursorBlinkRest::Rest() {
    resting_ = true;
    QGuiApplication::styleHints()->setCursorFlashTime(0);
}

void CursorBlinkRest::Wake() {
    if (flashMs_ <= 0) return;
    if (resting_) {
        resting_ = false;
        QGuiApplication::styleHints()->setCursorFlashTime(flashMs_);
    }
    rest_.start();
}

}  // namespace telkey
