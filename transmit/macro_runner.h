#pragma once
// RunMacro: expands a stored macro against the window's QSO fields, the logger's INI file and
// the other macros, and inserts the result into the Input window at its caret.
#include <QString>
#include <optional>
#include <string>
#include <string_view>

#include "transmit/macro_expansion.h"

class QLineEdit;
class QPlainTextEdit;

namespace telkey {

struct ExchangeSettings;
struct MacroStore;
class TxControl;

struct QsoFieldEdits {
    QLineEdit* CallEdit = nullptr;
    QLineEdit* RSTEdit = nullptr;
    QLineEdit* NameEdit = nullptr;
    QLineEdit* OtherEdit = nullptr;
};

// Expanded text as the Input window takes it: a line break, however the text wrote it
// (CR LF, CR or LF), is one line break.
QString ToInputText(std::u32string_view text);

class MacroRunner : public MacroContext {
  public:
    MacroRunner(QPlainTextEdit* input, QsoFieldEdits fields, const MacroStore& macros,
                const ExchangeSettings& exchange, TxControl& tx);

    // Runs macro slot n (0..15; anything else does nothing) into Input and focuses Input.
    void RunMacro(int n);
    // Expands a deferred command taken off the front of Input. Input is then rewritten from its
    // own copy, so a clear command inside has nothing to do.
    void ExpandDeferred(std::u32string& command);

    std::u32string FieldText(QsoField field) override;
    std::u32string MacroText(int slot) override;
    std::optional<std::u32string> IniValue(std::u32string_view key) override;
    void ClearInput() override;
    void TransmitOn() override;

  private:
    QPlainTextEdit* input_;
    QsoFieldEdits fields_;
    const MacroStore& macros_;
    const ExchangeSettings& exchange_;
    TxControl& tx_;
    bool deferred_ = false;
};

}  // namespace telkey
