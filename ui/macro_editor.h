#pragma once
// The macro editor window: the twelve texts of F1 to F12, applied to the macro store with OK,
// Apply or Save. Not modal; created hidden and only ever hidden and shown again.
#include <QWidget>
#include <array>
#include <functional>

class QCloseEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class QResizeEvent;

namespace telkey {

struct MacroStore;

inline constexpr int kMacroButtons = 12;

// The hint of ButMacro1..ButMacro12 becomes the text of slot 1..12.
void UpdateMacroHints(const MacroStore& macros,
                      const std::array<QPushButton*, kMacroButtons>& buttons);

class TForm2 : public QWidget {
    Q_OBJECT

  public:
    // Designed position and client area.
    static constexpr int kDesignedLeft = 192;
    static constexpr int kDesignedTop = 108;
    static constexpr int kClientWidth = 547;
    static constexpr int kClientHeight = 336;

    TForm2(MacroStore& macros, std::array<QPushButton*, kMacroButtons> butMacro,
           QWidget* parent = nullptr);

    // "Edit Macros": fresh texts from the store, then the window shown (or brought up).
    void EditMacros1Click();
    // Slots 1 to 12 from the edit boxes, then the hints.
    void ApplyMacroEdits();
    void MEditOKClick();
    void MEditApplyClick();
    void MEditSaveClick();
    void MeditCancelClick();
    // The edit boxes follow the window's outer width.
    void FormResize();

    std::array<QLabel*, kMacroButtons> Label{};         // Label1 .. Label12
    std::array<QLineEdit*, kMacroButtons> MacroEdit{};  // MacroEdit1 .. MacroEdit12
    QPushButton* MEditOK;
    QPushButton* MEditApply;
    QPushButton* MEditSave;
    QPushButton* MeditCancel;

    // Writes the sixteen slots to the settings file (SaveMacros); the settings side connects it.
    std::function<void()> SaveMacros;

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    MacroStore& macros_;
    std::array<QPushButton*, kMacroButtons> butMacro_;
};

}  // namespace telkey
