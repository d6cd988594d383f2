#include "ui/macro_editor.h"

#include <QCloseEvent>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <limits>
#include <vector>

#include "transmit/macro_store.h"
#include "ui/outer_geometry.h"

namespace telkey {
namespace {

constexpr char kFontFamily[] = "MS Sans Serif";
constexpr int kFontPoints = 8;

// Rows of the F-key texts.
constexpr int kRowTop = 8;
constexpr int kRowPitch = 24;
constexpr int kLabelHeight = 16;
constexpr int kEditLeft = 32;
constexpr int kEditLeftMiddle = 33;  // MacroEdit4 to MacroEdit11 as designed
constexpr int kEditWidth = 505;
constexpr int kEditHeight = 21;

// The edit boxes are this much narrower than the window, down to a smallest width.
constexpr int kEditWidthAllowance = 50;
constexpr int kNarrowWindow = 60;
constexpr int kNarrowEditWidth = 10;

struct ButtonDesign {
    const char* name;
    const char* caption;
    int left;
};
constexpr int kButtonTop = 304;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;

QPushButton* MakeButton(QWidget* parent, const ButtonDesign& design) {
    auto* button = new QPushButton(QString::fromLatin1(design.caption), parent);
    button->setObjectName(QString::fromLatin1(design.name));
    button->setGeometry(design.left, kButtonTop, kButtonWidth, kButtonHeight);
    return button;
}

}  // namespace

void UpdateMacroHints(const MacroStore& macros,
                      const std::array<QPushButton*, kMacroButtons>& buttons) {
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        if (buttons[i] != nullptr) {
            buttons[i]->setToolTip(QString::fromStdString(macros.slots[i + 1]));
        }
    }
}

TForm2::TForm2(MacroStore& macros, std::array<QPushButton*, kMacroButtons> butMacro,
               QWidget* parent)
    : QWidget(parent, Qt::Window), macros_(macros), butMacro_(butMacro) {
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("Edit Macros"));
    setFont(QFont(QString::fromLatin1(kFontFamily), kFontPoints));

    QFont bold(QString::fromLatin1(kFontFamily), kFontPoints);
    bold.setBold(true);
    for (int n = 1; n <= kMacroButtons; ++n) {
        const auto i = static_cast<std::size_t>(n - 1);
        const int top = kRowTop + kRowPitch * (n - 1);

        auto* label = new QLabel(QStringLiteral("F%1").arg(n), this);
        label->setObjectName(QStringLiteral("Label%1").arg(n));
        label->setFont(bold);
        label->adjustSize();
        label->setGeometry(0, top, label->width(), kLabelHeight);
        Label[i] = label;

        auto* edit = new QLineEdit(this);
        edit->setObjectName(QStringLiteral("MacroEdit%1").arg(n));
        const int left = (n >= 4 && n <= 11) ? kEditLeftMiddle : kEditLeft;
        edit->setGeometry(left, top, kEditWidth, kEditHeight);
        // Any text is a macro; the store keeps texts of any length.
        edit->setMaxLength(std::numeric_limits<int>::max());
        // A screen reader reads the text box by its label.
        label->setBuddy(edit);
        label->setAccessibleName(QStringLiteral("Macro F%1").arg(n));
        edit->setAccessibleName(label->accessibleName());
        MacroEdit[i] = edit;
    }
    MEditOK = MakeButton(this, {"MEditOK", "OK", 8});
    MEditApply = MakeButton(this, {"MEditApply", "Apply", 96});
    MEditSave = MakeButton(this, {"MEditSave", "Save", 184});
    MeditCancel = MakeButton(this, {"MeditCancel", "Cancel", 272});

    // Tab order: the twelve texts, then OK, Apply, Save, Cancel.
    std::vector<QWidget*> order(MacroEdit.begin(), MacroEdit.end());
    order.insert(order.end(), {MEditOK, MEditApply, MEditSave, MeditCancel});
    for (std::size_t i = 1; i < order.size(); ++i) setTabOrder(order[i - 1], order[i]);

    connect(MEditOK, &QPushButton::clicked, this, &TForm2::MEditOKClick);
    connect(MEditApply, &QPushButton::clicked, this, &TForm2::MEditApplyClick);
    connect(MEditSave, &QPushButton::clicked, this, &TForm2::MEditSaveClick);
    connect(MeditCancel, &QPushButton::clicked, this, &TForm2::MeditCancelClick);

    // The designed place is the frame's, the designed size the client area's.
    OuterGeometry::Of(*this);
    move(kDesignedLeft, kDesignedTop);
    resize(kClientWidth, kClientHeight);
}

void TForm2::EditMacros1Click() {
    for (std::size_t i = 0; i < MacroEdit.size(); ++i) {
        MacroEdit[i]->setText(QString::fromStdString(macros_.slots[i + 1]));
    }
    show();
    raise();
    activateWindow();
}

void TForm2::ApplyMacroEdits() {
    for (std::size_t i = 0; i < MacroEdit.size(); ++i) {
        macros_.slots[i + 1] = MacroEdit[i]->text().toStdString();
    }
    UpdateMacroHints(macros_, butMacro_);
}

void TForm2::MEditOKClick() {
    ApplyMacroEdits();
    hide();
}

void TForm2::MEditApplyClick() {
    ApplyMacroEdits();
}

void TForm2::MEditSaveClick() {
    ApplyMacroEdits();
    if (SaveMacros) SaveMacros();
}

void TForm2::MeditCancelClick() {
    hide();
}

void TForm2::FormResize() {
    const int width = OuterGeometry::Of(*this).Outer().width();
    const int editWidth = width > kNarrowWindow ? width - kEditWidthAllowance : kNarrowEditWidth;
    for (QLineEdit* edit : MacroEdit) edit->resize(editWidth, edit->height());
}

void TForm2::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    FormResize();
}

void TForm2::closeEvent(QCloseEvent* event) {
    // The close box is Cancel: the window is hidden, never destroyed.
    event->ignore();
    MeditCancelClick();
}

}  // namespace telkey
