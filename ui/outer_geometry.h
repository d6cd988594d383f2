#pragma once
// A top-level window's place and size as the desktop shows them: the outer rectangle, frame and
// title bar included. Qt sizes a window by its client area and learns the frame only once the
// desktop has framed the window; an outer size set before that waits for the frame and is put
// right as soon as the frame is known, and meanwhile the window reports the outer rectangle it is
// to have.
#include <QMargins>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <cstdint>
#include <optional>

class QWidget;

namespace telkey {

class OuterGeometry : public QObject {
    Q_OBJECT

  public:
    // The keeper of `window`, made on first use; it lives as the window's child.
    static OuterGeometry& Of(QWidget& window);

    // The outer rectangle in screen coordinates.
    QRect Outer() const;

    // Each value is kept within what the desktop and Qt can take: a size up to the desktop's,
    // a place at most one desktop beyond the desktop's edges.
    void SetLeft(std::int64_t left);
    void SetTop(std::int64_t top);
    void SetWidth(std::int64_t width);
    void SetHeight(std::int64_t height);

    // Whether the desktop says where the window is. A Wayland compositor places windows itself
    // and tells no client where: the place last asked for then stands for it, so that a save
    // keeps it for desktops that do place windows.
    bool PlacesReported() const { return placesReported_; }
    void SetPlacesReported(bool reported) { placesReported_ = reported; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    explicit OuterGeometry(QWidget& window);

    // The window's own frame, else that of another framed top-level window, else none.
    QMargins LikelyFrame() const;
    QRect Desktop() const;
    // The client size for these outer sizes; a missing one keeps its client size.
    void ResizeClient(std::optional<int> outerWidth, std::optional<int> outerHeight);
    void LearnFrame();
    QPoint Place() const;
    void MoveTo(QPoint place);

    QWidget& window_;
    std::optional<QMargins> frame_;
    // Outer sizes set while the frame was not known yet.
    std::optional<int> width_;
    std::optional<int> height_;
    bool placesReported_;
    // Once shown, the place last asked for (where the desktop does not report places).
    std::optional<QPoint> asked_;
};

}  // namespace telkey
