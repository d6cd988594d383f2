#pragma once
// Message boxes as the window side shows them: modal in the program, recorded in tests.
#include <QString>

class QMessageBox;
class QWidget;

namespace telkey {

// Title of the application's standard error display (a failed INI write and the like).
inline constexpr char kApplicationTitle[] = "Telkey";
// Title of the start-up failures.
inline constexpr char kErrorTitle[] = "Error";

class MessageBoxes {
  public:
    virtual ~MessageBoxes() = default;
    // Shows an error and returns when the operator has closed it.
    virtual void ShowError(const QString& title, const QString& text) = 0;
};

// The real thing: a modal QMessageBox over `parent`.
class ModalMessageBoxes : public MessageBoxes {
  public:
    explicit ModalMessageBoxes(QWidget* parent = nullptr) : parent_(parent) {}
    void SetParent(QWidget* parent) { parent_ = parent; }
    void ShowError(const QString& title, const QString& text) override;

  private:
    QWidget* parent_;
};

// Shows a box that does not block (a notice) in front of the window it belongs to: raised and
// activated, and kept on top while that window is, so no desktop puts it behind. Its answer
// button takes the focus, so a screen reader reads the notice out at once.
void ShowNotice(QMessageBox& box);

// A box as a screen reader should read it: named by its title, its text as the description,
// and the focus on the button that answers it once it shows.
void PrepareForScreenReader(QMessageBox& box);

}  // namespace telkey
