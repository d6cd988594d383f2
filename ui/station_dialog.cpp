#include "ui/station_dialog.h"

#include <linux/input.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>

#include "ui/profile_devices.h"
#include "ui/settings_values.h"
#include "ui/station_dialog_items.h"
#include "ui/station_rig_group.h"
#include "widgets/message_box.h"

namespace telkey {

StationDialog::StationDialog(const StationLinks& links, QWidget* parent)
    : QDialog(parent), links_(links) {
    setObjectName(QStringLiteral("StationDialog"));
    setWindowTitle(QStringLiteral("Station"));
    original_.settings = ReadStationSettings(*links_.settings);
    if (links_.devices != nullptr) original_.devices = links_.devices->Devices();
    chosen_ = original_;
    Build();
    FillDeviceLists();
    // With devices, what the settings name but no device carries out (a game-port paddle
    // without an input device, a key port without a device) shows as none: nobody chose it.
    // Without devices the ports themselves are what the settings mean.
    StationChoice shown = ChoiceFromState(original_);
    if (HaveDevices() && shown.keyDevice.empty()) shown.keyPort = 0;
    if (HaveDevices() && shown.paddleDevice.empty() &&
        (shown.paddle == PaddleChoice::Input || shown.paddle == PaddleChoice::Serial)) {
        shown.paddle = PaddleChoice::None;
    }
    ShowChoice(shown);
    chosen_ = ApplyChoice(ChoiceFromControls(), original_);
    shownDevices_ = chosen_.devices;
    if (RigGroup != nullptr) shownRig_ = RigGroup->Choice();
    CheckChoice();

    keyTestTimer.setObjectName(QStringLiteral("KeyTestTimer"));
    keyTestTimer.setSingleShot(true);
    keyTestTimer.setInterval(kTestMs);
    connect(&keyTestTimer, &QTimer::timeout, this, &StationDialog::EndKeyTest);
    pttTestTimer.setObjectName(QStringLiteral("PttTestTimer"));
    pttTestTimer.setSingleShot(true);
    pttTestTimer.setInterval(kTestMs);
    connect(&pttTestTimer, &QTimer::timeout, this, &StationDialog::EndPttTest);
    toneTestTimer.setSingleShot(true);
    toneTestTimer.setInterval(kTestMs);
    connect(&toneTestTimer, &QTimer::timeout, this, &StationDialog::EndToneTest);
    indicatorTimer.setInterval(kIndicatorMs);
    connect(&indicatorTimer, &QTimer::timeout, this, &StationDialog::UpdateIndicators);
    indicatorTimer.start();
    UpdateIndicators();
}

StationDialog::~StationDialog() {
    Finish(QDialog::Rejected);
}

bool StationDialog::HaveDevices() const {
    return links_.devices != nullptr && links_.devices->Layer() != nullptr;
}

StationChoice StationDialog::ChoiceFromControls() const {
    StationChoice c;
    c.keyDevice = ChosenPath(KeyDevice);
    if (!HaveDevices()) {
        c.keyDevice.clear();
        c.keyPort = KeyPort->currentData().toInt();
        c.keyKind = KindOfKeyPort(c.keyPort);
    }
    const int keyIndex = KeyDevice->findText(KeyDevice->currentText());
    if (HaveDevices()) {
        c.keyKind = keyIndex > 0
                        ? static_cast<DeviceKind>(KeyDevice->itemData(keyIndex, kKindRole).toInt())
                        : KindOfKeyDevice(c.keyDevice);
    }
    c.keyShared = KeyShared->isChecked();
    c.keyLine = KeyLine->currentData().isValid() ? KeyLine->currentData().toInt() : kNoLine;
    c.pttLine = PttLine->currentData().isValid() ? PttLine->currentData().toInt() : kNoLine;
    c.paddle = static_cast<PaddleChoice>(PaddleKind->currentData().toInt());
    if (c.paddle == PaddleChoice::Serial || c.paddle == PaddleChoice::Input) {
        c.paddleDevice = ChosenPath(PaddleDevice);
    }
    c.paddleShared = PaddleShared->isChecked();
    if (c.paddle == PaddleChoice::Input && (dotCode_ >= 0 || dashCode_ >= 0)) {
        const int dot = dotCode_ >= 0 ? dotCode_ : KEY_LEFTCTRL;
        const int dash = dashCode_ >= 0 ? dashCode_ : KEY_RIGHTCTRL;
        c.paddleKeys = PaddleKeyName(dot) + "," + PaddleKeyName(dash);
    }
    c.sidetone = static_cast<SidetoneChoice>(SidetoneOutput->currentData().toInt());
    c.tone = SidetoneTone->value();
    c.volume = SidetoneVolume->value();
    return c;
}

void StationDialog::ApplyControls() {
    if (filling_ || finished_) return;
    // Shown first: the lines offered follow the kind of key port.
    ShowChoice(ChoiceFromControls());
    Apply(ApplyChoice(ChoiceFromControls(), original_));
}

void StationDialog::Apply(const StationState& state) {
    chosen_ = state;
    WriteStationSettings(*links_.settings, state.settings);
    if (HaveDevices()) {
        std::vector<std::string> ignored;  // the checks below say it in the operator's words
        links_.devices->SetDevices(state.devices, ignored);
    }
    CheckChoice();
}

void StationDialog::Refresh() {
    const StationChoice choice = ChoiceFromState(chosen_);
    FillDeviceLists();
    ShowChoice(choice);
    CheckChoice();
}

void StationDialog::Finish(int result) {
    if (finished_) return;
    finished_ = true;
    indicatorTimer.stop();
    StopKeyCapture();
    StopTests();
    if (RigGroup != nullptr) RigGroup->StopTests();
    if (result == QDialog::Accepted) {
        WriteStationSettings(*links_.settings, chosen_.settings);
        if (links_.setPaddleDelay) links_.setPaddleDelay(PttLead->value());
        KeepInFile();
        if (RigGroup != nullptr) links_.applyRig(RigGroup->Choice());
        return;
    }
    WriteStationSettings(*links_.settings, original_.settings);
    if (HaveDevices()) {
        std::vector<std::string> ignored;
        links_.devices->SetDevices(original_.devices, ignored);
    }
}

void StationDialog::KeepInFile() {
    // The settings words the dialog shows, each written by itself: the rest of the file stays.
    static constexpr std::string_view kKeys[] = {
        "DotPort",       "DotXorMask", "DotAndMask", "DashPort",   "DashXorMask", "DashAndMask",
        "KeyPortNumber", "KeyMask",    "TxMask",     "UseSpeaker", "SpeakerTone", "PaddleDelay"};
    const StationSettings& s = chosen_.settings;
    SettingsValues values;
    values.DotPort = s.DotPort;
    values.DotXorMask = s.DotXorMask;
    values.DotAndMask = s.DotAndMask;
    values.DashPort = s.DashPort;
    values.DashXorMask = s.DashXorMask;
    values.DashAndMask = s.DashAndMask;
    values.KeyPortNumber = s.KeyPortNumber;
    values.KeyMask = s.KeyMask;
    values.TxMask = s.TxMask;
    values.UseSpeaker = s.UseSpeaker;
    values.SpeakerTone = s.SpeakerTone;
    values.PaddleDelay = PttLead->value();
    ProfileFile file(links_.settingsFile);
    try {
        WriteSettingsKeys(file, values, kKeys);
        // Only what the operator changed: a device or rig that an option set for this run
        // stays out of the file, and what the file held stays.
        if (HaveDevices()) {
            WriteChangedKeys(file, DeviceChoiceKeys(shownDevices_),
                             DeviceChoiceKeys(links_.devices->Devices()));
        }
        if (RigGroup != nullptr) {
            WriteChangedKeys(file, RigChoiceKeys(shownRig_), RigChoiceKeys(RigGroup->Choice()));
        }
        WriteChangedKeys(file, WinkeyerChoiceKeys(links_.winkeyer),
                         WinkeyerChoiceKeys(WinkeyerChoice()));
    } catch (const ProfileWriteError& error) {
        if (links_.boxes != nullptr) {
            links_.boxes->ShowError(
                QString::fromLatin1(kApplicationTitle),
                QString::fromStdString(WriteFailureText(error.what(), links_.settingsFile)));
        }
    }
}

std::string StationDialog::WinkeyerChoice() const {
    if (!WinkeyerOn->isChecked()) return {};
    const std::string path = WinkeyerPath->text().trimmed().toStdString();
    return path.empty() ? std::string(kWinkeyerDefaultChoice) : path;
}

void StationDialog::done(int result) {
    Finish(result);
    QDialog::done(result);
}

void StationDialog::closeEvent(QCloseEvent* event) {
    Finish(QDialog::Rejected);
    QDialog::closeEvent(event);
}

}  // namespace telkey
