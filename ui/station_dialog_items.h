#pragma once
// What the station dialog's parts share about its lists: each device item carries its path
// and its kind, "none" stands for no device.
#include <QComboBox>
#include <QString>
#include <string>

namespace telkey {

inline constexpr int kPathRole = Qt::UserRole;
inline constexpr int kKindRole = Qt::UserRole + 1;

inline const QString kNoneItem = QStringLiteral("none");

inline QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

// The device an editable list stands for: a listed one, or the name typed in.
inline std::string ChosenPath(const QComboBox* box) {
    const int index = box->findText(box->currentText());
    if (index >= 0) return box->itemData(index, kPathRole).toString().toStdString();
    const QString typed = box->currentText().trimmed();
    return typed == kNoneItem ? std::string() : typed.toStdString();
}

}  // namespace telkey
