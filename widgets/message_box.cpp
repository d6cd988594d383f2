#include "widgets/message_box.h"

#include <QMessageBox>

namespace telkey {

void ModalMessageBoxes::ShowError(const QString& title, const QString& text) {
    QMessageBox::critical(parent_, title, text);
}

}  // namespace telkey
