#include "widgets/message_box.h"

#include <QMessageBox>
#include <QPushButton>

namespace telkey {

void ModalMessageBoxes::ShowError(const QString& title, const QString& text) {
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok, parent_);
    PrepareForScreenReader(box);
    box.exec();
}

void PrepareForScreenReader(QMessageBox& box) {
    box.setAccessibleName(box.windowTitle());
    box.setAccessibleDescription(box.text());
    QAbstractButton* answer = box.defaultButton();
    if (answer == nullptr && !box.buttons().isEmpty()) answer = box.buttons().constFirst();
    if (answer != nullptr) {
        answer->setAccessibleDescription(box.text());
        answer->setFocus(Qt::OtherFocusReason);
    }
}

void ShowNotice(QMessageBox& box) {
    if (const QWidget* owner = box.parentWidget()) {
        const bool onTop = owner->window()->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
        if (box.windowFlags().testFlag(Qt::WindowStaysOnTopHint) != onTop) {
            box.setWindowFlag(Qt::WindowStaysOnTopHint, onTop);
        }
    }
    PrepareForScreenReader(box);
    box.show();
    box.raise();
    box.activateWindow();
}

}  // namespace telkey
