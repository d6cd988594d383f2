#include "widgets/message_box.h"

#include <QMessageBox>

namespace telkey {

void ModalMessageBoxes::ShowError(const QString& title, const QString& text) {
    QMessageBox::critical(parent_, title, text);
}

void ShowNotice(QMessageBox& box) {
    if (const QWidget* owner = box.parentWidget()) {
        const bool onTop = owner->window()->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
        if (box.windowFlags().testFlag(Qt::WindowStaysOnTopHint) != onTop) {
            box.setWindowFlag(Qt::WindowStaysOnTopHint, onTop);
        }
    }
    box.show();
    box.raise();
    box.activateWindow();
}

}  // namespace telkey
