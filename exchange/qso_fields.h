#pragma once
// The QSO fields (call, report, name, other) and the exchange file they share with a logging
// program: leaving the call, report or name field writes it there and announces it with
// Telkey_Message; a field announcement from another program reads call and name back.
#include <QString>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

class QLineEdit;
class QPushButton;

namespace telkey {

struct ExchangeSettings;
struct RegisteredMessages;
class MessageBoxes;
class MessageServices;

// Exchange-file keys of the fields.
inline constexpr std::string_view kCallKey = "Call";
inline constexpr std::string_view kReportKey = "RprtSent";
inline constexpr std::string_view kNameKey = "Name";
// What an import gives for a key the exchange file does not hold.
inline constexpr std::string_view kMissingFieldText = " ";
// Field announcements are numbered 0 to 127 in bits 8 to 14 of wParam.
inline constexpr int kExportSeqModulo = 128;
inline constexpr int kExportSeqShift = 8;

struct QsoFieldControls {
    QPushButton* ClearEditButton = nullptr;
    QLineEdit* CallEdit = nullptr;
    QLineEdit* RSTEdit = nullptr;
    QLineEdit* NameEdit = nullptr;
    QLineEdit* OtherEdit = nullptr;
};

class QsoFields {
  public:
    QsoFields(const ExchangeSettings& exchange, MessageServices& messages,
              const RegisteredMessages& registered, MessageBoxes& boxes);
    ~QsoFields();
    QsoFields(const QsoFields&) = delete;
    QsoFields& operator=(const QsoFields&) = delete;

    // Connects the Clear button and the exits of CallEdit, RSTEdit and NameEdit. Every control
    // must be there.
    void Bind(const QsoFieldControls& controls);

    // The four fields get their OnClear texts; the focus goes to CallEdit.
    void ClearEditButtonClick();

    // The focus has left a field for another control of the main window.
    void CallEditExit();
    void RSTEditExit();
    void NameEditExit();

    // Writes `text`, quoted, under `key` in the exchange file and announces the field. A file
    // that cannot be written shows "Unable to write to <file>" and announces nothing; false then.
    bool ExportField(std::string_view key, const QString& text, std::int32_t fieldBit);

    // A field announcement (Telkey_Message 131): reads Call and Name for the bits set in the low
    // byte of lParam.
    void ImportFields(std::int32_t lParam);

    // Start-up: exits that happen while held are carried out by ReleaseExits, in order.
    void HoldExits();
    void ReleaseExits();

    int ExportSeq() const noexcept { return exportSeq_; }

  private:
    class ExitWatcher;
    enum class Field { kCall, kReport, kName };
    void Exit(Field field);
    void RunExit(Field field);

    const ExchangeSettings& exchange_;
    MessageServices& messages_;
    const RegisteredMessages& registered_;
    MessageBoxes& boxes_;
    QsoFieldControls controls_;
    int exportSeq_ = 0;
    bool holdExits_ = false;
    std::vector<Field> heldExits_;
    std::unique_ptr<ExitWatcher> exitWatcher_;
};

}  // namespace telkey
