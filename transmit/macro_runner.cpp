#include "transmit/macro_runner.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <algorithm>
#include <exception>

#include "profile/exchange_settings.h"
#include "profile/profile_file.h"
#include "transmit/macro_store.h"
#include "transmit/tx_control.h"

namespace telkey {
namespace {

// No INI value can hold a line break, so this default tells a missing key from any value.
constexpr std::string_view kMissingKey = "\n(missing)\n";

std::u32string FromQString(const QString& text) {
    return text.toStdU32String();
}

}  // namespace

QString ToInputText(std::u32string_view text) {
    std::u32string lines;
    lines.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == U'\r') {
            lines.push_back(U'\n');
            if (i + 1 < text.size() && text[i + 1] == U'\n') ++i;
        } else {
            lines.push_back(text[i]);
        }
    }
    return QString::fromStdU32String(lines);
}

MacroRunner::MacroRunner(QPlainTextEdit* input, QsoFieldEdits fields, const MacroStore& macros,
                         const ExchangeSettings& exchange, TxControl& tx)
    : input_(input), fields_(fields), macros_(macros), exchange_(exchange), tx_(tx) {}

void MacroRunner::RunMacro(int n) {
    if (n < 0 || n >= MacroStore::kSlots) return;
    std::u32string text = Utf8ToCodePoints(macros_.slots[static_cast<std::size_t>(n)]);
    deferred_ = false;
    ExpandMacro(text, *this);

    // Commands have acted (a clear may have emptied Input); the result replaces the selection.
    QString insertion = ToInputText(text);
    QTextCursor cursor = input_->textCursor();
    const int length = input_->document()->characterCount() - 1;
    const int selected = cursor.selectionEnd() - cursor.selectionStart();
    const int room = static_cast<int>(kInputMaxLength) - (length - selected);
    if (insertion.size() > room) insertion.truncate(std::max(0, room));
    cursor.insertText(insertion);
    input_->setTextCursor(cursor);
    input_->ensureCursorVisible();
    input_->setFocus(Qt::OtherFocusReason);
}

void MacroRunner::ExpandDeferred(std::u32string& command) {
    deferred_ = true;
    ExpandMacro(command, *this);
    deferred_ = false;
}

std::u32string MacroRunner::FieldText(QsoField field) {
    QLineEdit* edit = nullptr;
    switch (field) {
        case QsoField::Call:
            edit = fields_.CallEdit;
            break;
        case QsoField::Rst:
            edit = fields_.RSTEdit;
            break;
        case QsoField::Name:
            edit = fields_.NameEdit;
            break;
        case QsoField::Other:
            edit = fields_.OtherEdit;
            break;
    }
    return edit != nullptr ? FromQString(edit->text()) : std::u32string();
}

std::u32string MacroRunner::MacroText(int slot) {
    if (slot < 0 || slot >= MacroStore::kSlots) return {};
    return Utf8ToCodePoints(macros_.slots[static_cast<std::size_t>(slot)]);
}

std::optional<std::u32string> MacroRunner::IniValue(std::u32string_view key) {
    try {
        const ProfileFile file(exchange_.ExternIniFile);
        const std::string value =
            file.ReadString(exchange_.ExternIniSection, CodePointsToUtf8(key), kMissingKey);
        if (value == kMissingKey) return std::nullopt;
        return Utf8ToCodePoints(value);
    } catch (const std::exception&) {
        // A logger file that cannot be reached is a missing key, shown in-band.
        return std::nullopt;
    }
}

void MacroRunner::ClearInput() {
    if (!deferred_) input_->setPlainText(QString());
}

void MacroRunner::TransmitOn() {
    tx_.TransmitOnCommand();
}

}  // namespace telkey
