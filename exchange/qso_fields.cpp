#include "exchange/qso_fields.h"

#include <QEvent>
#include <QFocusEvent>
#include <QLineEdit>
#include <QPushButton>
#include <limits>
#include <string>

#include "bus/message_services.h"
#include "bus/registered_messages.h"
#include "profile/exchange_settings.h"
#include "profile/profile_file.h"
#include "widgets/message_box.h"

namespace telkey {
namespace {

constexpr std::int32_t kLowByte = 0xFF;

QString Text(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

}  // namespace

// Watches the three exported fields for the focus leaving them for another control of the
// window (not for another window or a menu). Owned by the QsoFields, so no exit reaches them
// once they are gone, even while the window tears its controls down.
class QsoFields::ExitWatcher : public QObject {
  public:
    explicit ExitWatcher(QsoFields& fields) : fields_(fields) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::FocusOut) return false;
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason) return false;
        const QsoFieldControls& c = fields_.controls_;
        if (watched == c.CallEdit) fields_.CallEditExit();
        if (watched == c.RSTEdit) fields_.RSTEditExit();
        if (watched == c.NameEdit) fields_.NameEditExit();
        return false;
    }

  private:
    QsoFields& fields_;
};

QsoFields::QsoFields(const ExchangeSettings& exchange, MessageServices& messages,
                     const RegisteredMessages& registered, MessageBoxes& boxes)
    : exchange_(exchange), messages_(messages), registered_(registered), boxes_(boxes) {}

QsoFields::~QsoFields() = default;

void QsoFields::Bind(const QsoFieldControls& controls) {
    controls_ = controls;
    // The edit boxes have no length limit of their own.
    for (QLineEdit* edit :
         {controls_.CallEdit, controls_.RSTEdit, controls_.NameEdit, controls_.OtherEdit}) {
        edit->setMaxLength(std::numeric_limits<int>::max());
    }

    QObject::connect(controls_.ClearEditButton, &QPushButton::clicked,
                     [this] { ClearEditButtonClick(); });
    exitWatcher_ = std::make_unique<ExitWatcher>(*this);
    for (QLineEdit* edit : {controls_.CallEdit, controls_.RSTEdit, controls_.NameEdit}) {
        edit->installEventFilter(exitWatcher_.get());
    }
}

void QsoFields::ClearEditButtonClick() {
    controls_.CallEdit->setText(Text(exchange_.CallOnClear));
    controls_.RSTEdit->setText(Text(exchange_.RSTOnClear));
    controls_.NameEdit->setText(Text(exchange_.NameOnClear));
    controls_.OtherEdit->setText(Text(exchange_.OtherOnClear));
    controls_.CallEdit->setFocus(Qt::OtherFocusReason);
}

void QsoFields::CallEditExit() {
    Exit(Field::kCall);
}
void QsoFields::RSTEditExit() {
    Exit(Field::kReport);
}
void QsoFields::NameEditExit() {
    Exit(Field::kName);
}

void QsoFields::Exit(Field field) {
    if (holdExits_) {
        heldExits_.push_back(field);
        return;
    }
    RunExit(field);
}

void QsoFields::RunExit(Field field) {
    switch (field) {
        case Field::kCall:
            ExportField(kCallKey, controls_.CallEdit->text(), kFieldCall);
            break;
        case Field::kReport:
            ExportField(kReportKey, controls_.RSTEdit->text(), kFieldReport);
            break;
        case Field::kName:
            ExportField(kNameKey, controls_.NameEdit->text(), kFieldName);
            break;
    }
}

bool QsoFields::ExportField(std::string_view key, const QString& text, std::int32_t fieldBit) {
    try {
        ProfileFile file(exchange_.ExportIniFile);
        file.WriteString(exchange_.ExportIniSection, key,
                         std::string("\"").append(text.toStdString()).append("\""));
    } catch (const ProfileWriteError& error) {
        boxes_.ShowError(QString::fromLatin1(kApplicationTitle), QString::fromUtf8(error.what()));
        return false;
    }
    // Before start-up has registered the message there is nobody to tell.
    if (registered_.Telkey_Message == 0) return true;
    const std::int32_t wParam = (exportSeq_ << kExportSeqShift) + kAnnounceField;
    messages_.Broadcast(registered_.Telkey_Message, wParam, fieldBit);
    exportSeq_ = (exportSeq_ + 1) % kExportSeqModulo;
    return true;
}

void QsoFields::ImportFields(std::int32_t lParam) {
    const std::int32_t bits = lParam & kLowByte;
    if ((bits & (kFieldCall | kFieldName)) == 0) return;
    const ProfileFile file(exchange_.ExportIniFile);
    if ((bits & kFieldCall) != 0) {
        controls_.CallEdit->setText(
            Text(file.ReadString(exchange_.ExportIniSection, kCallKey, kMissingFieldText)));
    }
    if ((bits & kFieldName) != 0) {
        controls_.NameEdit->setText(
            Text(file.ReadString(exchange_.ExportIniSection, kNameKey, kMissingFieldText)));
    }
}

void QsoFields::HoldExits() {
    holdExits_ = true;
}

void QsoFields::ReleaseExits() {
    holdExits_ = false;
    std::vector<Field> held;
    held.swap(heldExits_);
    for (Field field : held) RunExit(field);
}

}  // namespace telkey
