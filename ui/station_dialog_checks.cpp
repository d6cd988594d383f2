// The station dialog's checks of the chosen devices, told in the operator's words.
#include <QLabel>

#include "ui/station_dialog.h"
#include "ui/station_dialog_items.h"

namespace telkey {

QString StationDialog::Problem(DeviceKind kind, const std::string& path, bool shared) const {
    if (!HaveDevices() || path.empty()) return {};
    if (links_.devices->DeviceOpen(path)) {
        if (kind != DeviceKind::Serial || shared) return {};
        const std::vector<std::string> holders = ProgramsHolding(path, links_.roots);
        if (holders.empty()) return {};
        std::string names;
        for (const std::string& h : holders) names += (names.empty() ? "" : ", ") + h;
        return Text(path + " is also open in " + names +
                    ". Tick \"Shared\" so that both can use it, or close that program.");
    }
    return Text(CheckDevice(*links_.devices->Layer(), kind, path, shared, links_.roots).message);
}

void StationDialog::CheckChoice() {
    const StationChoice c = ChoiceFromState(chosen_);
    KeyProblem->setText(Problem(c.keyKind, c.keyDevice, c.keyShared));
    QString paddle;
    if (c.paddle == PaddleChoice::Input) {
        paddle = Problem(DeviceKind::Input, c.paddleDevice, false);
    } else if (c.paddle == PaddleChoice::Serial && c.paddleDevice != c.keyDevice) {
        paddle = Problem(DeviceKind::Serial, c.paddleDevice, c.paddleShared);
    } else if (c.paddle == PaddleChoice::Serial) {
        paddle = KeyProblem->text();
    }
    // Without devices there is no paddle device to choose: no word about it.
    if (HaveDevices() && (c.paddle == PaddleChoice::Serial || c.paddle == PaddleChoice::Input) &&
        c.paddleDevice.empty()) {
        paddle = QStringLiteral("Choose the device the paddle is wired to.");
    }
    PaddleProblem->setText(paddle);
    SidetoneNote->setText(c.sidetone == SidetoneChoice::PcSpeaker
                              ? QStringLiteral("The PC speaker needs the pcspkr driver "
                                               "(sudo modprobe pcspkr) and access to it.")
                              : QString());
}

}  // namespace telkey
