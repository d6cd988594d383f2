#include "widgets/widget_events.h"

#include <QEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QObject>
#include <QWidget>
#include <utility>

namespace telkey {

namespace {

class ExitFilter : public QObject {
  public:
    ExitFilter(QWidget* widget, std::function<void()> handler)
        : QObject(widget), handler_(std::move(handler)) {}

    bool eventFilter(QObject* /*watched*/, QEvent* event) override {
        if (event->type() == QEvent::FocusOut) {
            const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
            if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
                handler_();
            }
        }
        return false;
    }

  private:
    std::function<void()> handler_;
};

class KeyPressFilter : public QObject {
  public:
    KeyPressFilter(QWidget* widget, std::function<void(QChar)> handler)
        : QObject(widget), handler_(std::move(handler)) {}

    bool eventFilter(QObject* /*watched*/, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            const QString text = static_cast<QKeyEvent*>(event)->text();
            for (QChar c : text) handler_(c);
        }
        return false;
    }

  private:
    std::function<void(QChar)> handler_;
};

}  // namespace

void OnExit(QWidget* widget, std::function<void()> handler) {
    widget->installEventFilter(new ExitFilter(widget, std::move(handler)));
}

void OnKeyPress(QWidget* widget, std::function<void(QChar)> handler) {
    widget->installEventFilter(new KeyPressFilter(widget, std::move(handler)));
}

}  // namespace telkey
