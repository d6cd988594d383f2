#pragma once
// A pair of small arrows that step a position between a minimum and a maximum, without wrapping.
// Each click moves the position by the increment (clamped) and then reports which arrow it was.
#include <QWidget>

class QToolButton;

namespace telkey {

class UpDown : public QWidget {
    Q_OBJECT

  public:
    enum class Button { Up, Down };

    explicit UpDown(QWidget* parent = nullptr);

    int Position() const noexcept { return position_; }
    // Clamped to Min..Max.
    void SetPosition(int position);
    int Min() const noexcept { return min_; }
    int Max() const noexcept { return max_; }
    int Increment() const noexcept { return increment_; }
    void SetRange(int min, int max);
    void SetIncrement(int increment);

    // What a click on the arrow does: step, then emit Click.
    void Step(Button button);

    // Up and Down pressed in `edit` step as the arrows do (the edit's neighbour).
    void StepWithArrowKeys(QWidget* edit);
    // Screen readers call the arrows by these names.
    void SetArrowNames(const QString& up, const QString& down);

    QToolButton* UpButton() const noexcept { return up_; }
    QToolButton* DownButton() const noexcept { return down_; }

  Q_SIGNALS:
    void Click(telkey::UpDown::Button button);

  protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QToolButton* up_;
    QToolButton* down_;
    QWidget* edit_ = nullptr;
    int min_ = 0;
    int max_ = 100;
    int increment_ = 1;
    int position_ = 0;
};

}  // namespace telkey
