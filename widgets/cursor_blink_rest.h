#pragma once
// The text cursor stops blinking after a while without a key or a click, as on GNOME, and blinks
// again at the next one: a window left open wakes nobody twice a second.
#include <QObject>
#include <QTimer>
#include <chrono>

namespace telkey {

class CursorBlinkRest : public QObject {
  public:
    static constexpr std::chrono::milliseconds kDefaultRest{10'000};

    // Watches every event of the application; the blink time is the platform's.
    explicit CursorBlinkRest(std::chrono::milliseconds rest = kDefaultRest,
                             QObject* parent = nullptr);
    ~CursorBlinkRest() override;
    CursorBlinkRest(const CursorBlinkRest&) = delete;
    CursorBlinkRest& operator=(const CursorBlinkRest&) = delete;

    bool Resting() const noexcept { return resting_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void Rest();
    void Wake();

    QTimer rest_;
    int flashMs_ = 0;
    bool resting_ = false;
};

}  // namespace telkey
