// The station dialog's trials: the one-second key and PTT tests, the paddle indicators and
// choosing a paddle key by pressing it.
#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>

#include <QLabel>
#include <QPushButton>
#include <array>

#include "ui/station_dialog.h"
#include "ui/station_dialog_items.h"

namespace telkey {

namespace {

constexpr std::size_t kKeyBytes = KEY_MAX / 8 + 1;

bool KeyPressed(const unsigned char* keys, int code) {
    return (keys[static_cast<std::size_t>(code) / 8] >> (code % 8)) & 1;
}

}  // namespace

void StationDialog::SetIndicator(QLabel* indicator, bool closed) {
    indicator->setProperty("closed", closed);
    QPalette palette = indicator->palette();
    palette.setColor(QPalette::Window,
                     closed ? QColor(0x20, 0xc0, 0x20) : QColor(0xd0, 0xd0, 0xd0));
    indicator->setPalette(palette);
}

void StationDialog::UpdateIndicators() {
    const PortSettings& s = *links_.settings;
    const auto closed = [this](std::uint16_t port, std::uint8_t xorMask, std::uint8_t andMask) {
        return port != 0 && ((links_.bus->in(port) ^ xorMask) & andMask) != 0;
    };
    SetIndicator(DotIndicator, closed(s.DotPort.load(), s.DotXorMask.load(), s.DotAndMask.load()));
    SetIndicator(DashIndicator,
                 closed(s.DashPort.load(), s.DashXorMask.load(), s.DashAndMask.load()));

    if (captureFd_ < 0) return;
    std::array<unsigned char, kKeyBytes> keys{};
    if (links_.devices->Layer()->Ioctl(captureFd_, EVIOCGKEY(kKeyBytes), keys.data()) < 0) {
        StopKeyCapture();
        return;
    }
    for (int code = 1; code < KEY_MAX; ++code) {
        if (!KeyPressed(keys.data(), code) || KeyPressed(captureHeld_.data(), code)) continue;
        (captureDot_ ? dotCode_ : dashCode_) = code;
        StopKeyCapture();
        const StationChoice choice = ChoiceFromControls();
        ShowChoice(choice);
        Apply(ApplyChoice(choice, original_));
        return;
    }
}

void StationDialog::StartKeyCapture(bool dot) {
    StopKeyCapture();
    const std::string path = ChosenPath(PaddleDevice);
    if (!HaveDevices() || path.empty()) return;
    captureFd_ = links_.devices->Layer()->Open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (captureFd_ < 0) {
        PaddleProblem->setText(Problem(DeviceKind::Input, path, false));
        return;
    }
    captureDot_ = dot;
    captureHeld_.assign(kKeyBytes, 0);
    links_.devices->Layer()->Ioctl(captureFd_, EVIOCGKEY(kKeyBytes), captureHeld_.data());
    (dot ? DotKey : DashKey)
        ->setText(dot ? QStringLiteral("Press the dot paddle...")
                      : QStringLiteral("Press the dash paddle..."));
}

void StationDialog::StopKeyCapture() {
    if (captureFd_ < 0) return;
    links_.devices->Layer()->Close(captureFd_);
    captureFd_ = -1;
}

bool StationDialog::KeyDeviceReady(const QString& test) {
    const StationChoice c = ChoiceFromState(chosen_);
    if (!HaveDevices() || c.keyDevice.empty() || links_.devices->DeviceOpen(c.keyDevice)) {
        return true;
    }
    QString why = Problem(c.keyKind, c.keyDevice, c.keyShared);
    if (why.isEmpty()) why = Text(c.keyDevice + " is not open.");
    KeyProblem->setText(QStringLiteral("%1: nothing was switched. %2").arg(test, why));
    return false;
}

// The key or PTT test's button, timer and state.
StationDialog::LineTrial StationDialog::Trial(TestLine line) {
    if (line == TestLine::Key) {
        return {KeyTest, keyTestTimer, keyTesting_, QStringLiteral("Test key")};
    }
    return {PttTest, pttTestTimer, pttTesting_, QStringLiteral("Test PTT")};
}

// A test button stays down while its test runs; the line is keyed like a key-down.
void StationDialog::StartLineTest(TestLine line) {
    const LineTrial trial = Trial(line);
    trial.button->setChecked(false);
    if (!KeyDeviceReady(trial.name)) return;
    const StationSettings& s = chosen_.settings;
    if ((line == TestLine::Key ? s.KeyMask : s.TxMask) == 0) {
        KeyProblem->setText(QStringLiteral("%1: nothing was switched. Choose the line it is "
                                           "wired to in \"%2\".")
                                .arg(trial.name, line == TestLine::Key ? QStringLiteral("Key on")
                                                                       : QStringLiteral("PTT on")));
        return;
    }
    trial.running = true;
    if (links_.ports != nullptr) links_.ports->StartTest(line);
    trial.button->setChecked(true);
    Apply(chosen_);
    trial.timer.start();
}

void StationDialog::EndLineTest(TestLine line) {
    const LineTrial trial = Trial(line);
    trial.timer.stop();
    trial.button->setChecked(false);
    if (!trial.running) return;
    trial.running = false;
    if (links_.ports != nullptr) links_.ports->EndTest(line);
    if (!finished_) Apply(chosen_);
}

void StationDialog::StartKeyTest() {
    StartLineTest(TestLine::Key);
}

void StationDialog::StartPttTest() {
    StartLineTest(TestLine::Tx);
}

void StationDialog::StartToneTest() {
    const PortSettings& s = *links_.settings;
    ToneTest->setChecked(s.UseSpeaker.load() != 0);
    if (s.UseSpeaker.load() == 0) return;
    toneTesting_ = true;
    SoundSpeaker(*links_.bus, s.ToneDivisor.load(), true);
    toneTestTimer.start();
}

void StationDialog::EndKeyTest() {
    EndLineTest(TestLine::Key);
}

void StationDialog::EndPttTest() {
    EndLineTest(TestLine::Tx);
}

void StationDialog::EndToneTest() {
    toneTestTimer.stop();
    ToneTest->setChecked(false);
    if (!toneTesting_) return;
    toneTesting_ = false;
    SoundSpeaker(*links_.bus, 0, false);
}

void StationDialog::StopTests() {
    keyTestTimer.stop();
    pttTestTimer.stop();
    keyTesting_ = false;
    pttTesting_ = false;
    if (links_.ports != nullptr) links_.ports->EndTests();
    EndToneTest();
}

}  // namespace telkey
