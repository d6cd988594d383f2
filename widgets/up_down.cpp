#include "widgets/up_down.h"

#include <QKeyEvent>
#include <QToolButton>
#include <algorithm>

namespace telkey {

namespace {

QToolButton* MakeArrow(QWidget* parent, Qt::ArrowType arrow, const char* name) {
    auto* button = new QToolButton(parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setArrowType(arrow);
    button->setAutoRepeat(true);  // holding an arrow keeps stepping, one click at a time
    button->setFocusPolicy(Qt::NoFocus);
    return button;
}

}  // namespace

UpDown::UpDown(QWidget* parent)
    : QWidget(parent),
      up_(MakeArrow(this, Qt::UpArrow, "UpButton")),
      down_(MakeArrow(this, Qt::DownArrow, "DownButton")) {
    setFocusPolicy(Qt::NoFocus);
    connect(up_, &QToolButton::clicked, this, [this] { Step(Button::Up); });
    connect(down_, &QToolButton::clicked, this, [this] { Step(Button::Down); });
}

void UpDown::SetPosition(int position) {
    position_ = std::clamp(position, min_, max_);
}

void UpDown::SetRange(int min, int max) {
    min_ = min;
    max_ = std::max(min, max);
    SetPosition(position_);
}

void UpDown::SetIncrement(int increment) {
    increment_ = std::max(1, increment);
}

void UpDown::Step(Button button) {
    const long long next =
        static_cast<long long>(position_) + (button == Button::Up ? increment_ : -increment_);
    position_ = static_cast<int>(std::clamp<long long>(next, min_, max_));
    Q_EMIT Click(button);
}

void UpDown::StepWithArrowKeys(QWidget* edit) {
    if (edit_ != nullptr) edit_->removeEventFilter(this);
    edit_ = edit;
    if (edit_ != nullptr) edit_->installEventFilter(this);
}

void UpDown::SetArrowNames(const QString& up, const QString& down) {
    up_->setAccessibleName(up);
    down_->setAccessibleName(down);
}

bool UpDown::eventFilter(QObject* watched, QEvent* event) {
    if (watched != edit_ || event->type() != QEvent::KeyPress) return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->modifiers() & (Qt::ShiftModifier | Qt::AltModifier | Qt::ControlModifier))
        return false;
    if (key->key() == Qt::Key_Up) {
        Step(Button::Up);
        return true;
    }
    if (key->key() == Qt::Key_Down) {
        Step(Button::Down);
        return true;
    }
    return false;
}

void UpDown::resizeEvent(QResizeEvent* /*event*/) {
    const int upHeight = height() / 2;
    up_->setGeometry(0, 0, width(), upHeight);
    down_->setGeometry(0, upHeight, width(), height() - upHeight);
}

}  // namespace telkey
