#include "ui/outer_geometry.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <utility>

namespace telkey {
namespace {

// Without a screen, the largest window Qt makes.
const QRect kNoScreen(0, 0, QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);

int ClampSize(std::int64_t size, int desktopExtent) {
    return static_cast<int>(std::clamp<std::int64_t>(size, 0, desktopExtent));
}

// A place may lie off the desktop, but not further than one desktop: far enough to park a window
// out of sight, near enough that frame and size added to it stay well inside int and inside the
// 16-bit coordinates of X11.
int ClampPlace(std::int64_t place, int desktopStart, int desktopExtent) {
    const std::int64_t lowest = std::int64_t{desktopStart} - desktopExtent;
    const std::int64_t highest = std::int64_t{desktopStart} + 2 * std::int64_t{desktopExtent} - 1;
    return static_cast<int>(std::clamp(place, lowest, highest));
}

}  // namespace

OuterGeometry& OuterGeometry::Of(QWidget& window) {
    if (auto* keeper = window.findChild<OuterGeometry*>(QString(), Qt::FindDirectChildrenOnly)) {
        return *keeper;
    }
    return *new OuterGeometry(window);
}

OuterGeometry::OuterGeometry(QWidget& window)
    : QObject(&window),
      window_(window),
      placesReported_(!QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
    setObjectName(QStringLiteral("OuterGeometry"));
    window_.installEventFilter(this);
    LearnFrame();
}

QRect OuterGeometry::Outer() const {
    const QMargins frame = LikelyFrame();
    const int width = width_.value_or(window_.width() + frame.left() + frame.right());
    const int height = height_.value_or(window_.height() + frame.top() + frame.bottom());
    // A top-level window's pos() is its frame's place.
    return {Place(), QSize(width, height)};
}

void OuterGeometry::SetLeft(std::int64_t left) {
    const QRect desktop = Desktop();
    MoveTo({ClampPlace(left, desktop.left(), desktop.width()), Place().y()});
}

void OuterGeometry::SetTop(std::int64_t top) {
    const QRect desktop = Desktop();
    MoveTo({Place().x(), ClampPlace(top, desktop.top(), desktop.height())});
}

QPoint OuterGeometry::Place() const {
    return placesReported_ || !asked_ ? window_.pos() : *asked_;
}

void OuterGeometry::MoveTo(QPoint place) {
    if (asked_) asked_ = place;
    window_.move(place);
}

void OuterGeometry::SetWidth(std::int64_t width) {
    width_ = ClampSize(width, Desktop().width());
    ResizeClient(width_, height_);
    if (frame_) width_.reset();
}

void OuterGeometry::SetHeight(std::int64_t height) {
    height_ = ClampSize(height, Desktop().height());
    ResizeClient(width_, height_);
    if (frame_) height_.reset();
}

bool OuterGeometry::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &window_) {
        switch (event->type()) {
            case QEvent::Show:
                // Until shown, the window's place is the one asked for.
                if (!asked_) asked_ = window_.pos();
                LearnFrame();
                break;
            case QEvent::Move:
            case QEvent::Resize:
                LearnFrame();
                break;
            default:
                break;
        }
    }
    return QObject::eventFilter(watched, event);
}

QMargins OuterGeometry::LikelyFrame() const {
    if (frame_) return *frame_;
    // The desktop frames our top-level windows alike.
    for (const QWidget* other : QApplication::topLevelWidgets()) {
        if (other == &window_) continue;
        const auto* keeper =
            other->findChild<OuterGeometry*>(QString(), Qt::FindDirectChildrenOnly);
        if (keeper != nullptr && keeper->frame_) return *keeper->frame_;
    }
    return {};
}

QRect OuterGeometry::Desktop() const {
    const QScreen* screen = window_.screen();
    const QRect desktop = screen != nullptr ? screen->virtualGeometry() : QRect();
    return desktop.isEmpty() ? kNoScreen : desktop;
}

void OuterGeometry::ResizeClient(std::optional<int> outerWidth, std::optional<int> outerHeight) {
    const QMargins frame = LikelyFrame();
    const int width =
        outerWidth ? std::max(0, *outerWidth - frame.left() - frame.right()) : window_.width();
    const int height =
        outerHeight ? std::max(0, *outerHeight - frame.top() - frame.bottom()) : window_.height();
    window_.resize(width, height);
}

// The desktop's frame is known once the window is shown framed; an outer size set before then
// gets its client size now. A desktop that frames nothing leaves the sizes as they are.
void OuterGeometry::LearnFrame() {
    if (!window_.isVisible() || window_.windowHandle() == nullptr) return;
    const QMargins margins = window_.windowHandle()->frameMargins();
    if (margins.isNull()) return;
    frame_ = margins;
    if (!width_ && !height_) return;
    ResizeClient(std::exchange(width_, std::nullopt), std::exchange(height_, std::nullopt));
}

}  // namespace telkey
