#pragma once
// "Station...": choosing, testing and keeping the devices of the station (the key and PTT
// port and lines, the paddle, the sidetone, the PTT lead). What the operator chooses takes
// effect at once, so the test buttons and the paddle indicators work on it; OK keeps it and
// writes it into the settings file (of the devices and the rig, what the operator changed: a
// value a command-line option set for this run stays out), any other way out puts back what was
// there before. The dialog reaches the keyer only through the settings words, the port
// bus and the ports' test lines. Started without devices (--ports=sim or none), the key port itself
// is chosen.
#include <QDialog>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "backends/devices_discovery.h"
#include "backends/port_bus_devices.h"
#include "engine/port_bus.h"
#include "engine/ports.h"
#include "rig/rig_choice.h"
#include "ui/station_choice.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QSpinBox;

namespace telkey {

class MessageBoxes;
class StationRigGroup;
namespace rig {
class RigLink;
}

struct StationLinks {
    PortSettings* settings = nullptr;
    PortBus* bus = nullptr;
    Ports* ports = nullptr;  // keys the test lines
    // Null (or without a device layer): this start has no devices to choose (--ports=sim).
    DeviceSupervision* devices = nullptr;
    DeviceRoots roots;
    std::string settingsFile;  // where OK writes the station
    MessageBoxes* boxes = nullptr;
    // The wait between TX on and the first element, and how the window takes a new one.
    std::int32_t paddleDelay = 0;
    std::function<void(std::int32_t)> setPaddleDelay;
    // The rig as it is used now, the link in use for a target (null: none), and how OK applies
    // a new choice; without applyRig the dialog has no rig part.
    rig::RigChoice rig;
    std::function<rig::RigLink*(const rig::RigTarget&)> rigLinkFor;
    std::function<void(const rig::RigChoice&)> applyRig;
    // [Devices] WinKeyer as the file holds it: the emulated WinKeyer's link, "on" for the
    // default one, empty for none. It takes effect at the next start.
    std::string winkeyer;
};

class StationDialog : public QDialog {
    Q_OBJECT

  public:
    static constexpr int kTestMs = 1000;
    static constexpr int kIndicatorMs = 20;
    static constexpr int kLongestLeadMs = 5000;

    StationDialog(const StationLinks& links, QWidget* parent = nullptr);
    ~StationDialog() override;

    // Ends the dialog's work once: tests released; OK (Accepted) keeps the choice and writes
    // the devices, anything else puts back the state the dialog found.
    void Finish(int result);
    void done(int result) override;

    // Re-reads the device lists and checks the chosen devices again.
    void Refresh();
    // The paddle indicators from the contacts now; when a key is being chosen, the key
    // pressed since.
    void UpdateIndicators();
    // The end of a one-second test (the test timers call these).
    void EndKeyTest();
    void EndPttTest();
    void EndToneTest();

    // The state the dialog's controls stand for now.
    const StationState& Chosen() const { return chosen_; }

    // Key and PTT.
    QComboBox* KeyPort;  // without devices: none, COM1..COM4, LPT1..LPT3
    QComboBox* KeyDevice;
    QCheckBox* KeyShared;
    QComboBox* KeyLine;
    QComboBox* PttLine;
    QPushButton* KeyTest;
    QPushButton* PttTest;
    QSpinBox* PttLead;
    QLabel* KeyProblem;
    // Paddle.
    QComboBox* PaddleKind;
    QComboBox* PaddleDevice;
    QCheckBox* PaddleShared;
    QPushButton* DotKey;
    QPushButton* DashKey;
    QLabel* DotIndicator;
    QLabel* DashIndicator;
    QLabel* PaddleProblem;
    // Sidetone.
    QComboBox* SidetoneOutput;
    QSpinBox* SidetoneTone;
    QSlider* SidetoneVolume;
    QPushButton* ToneTest;
    QLabel* SidetoneNote;
    // The rig, when the window has one to offer.
    StationRigGroup* RigGroup = nullptr;
    // Loggers: the emulated WinKeyer, from the next start.
    QCheckBox* WinkeyerOn;
    QLineEdit* WinkeyerPath;
    // Buttons.
    QPushButton* RefreshButton;
    QPushButton* OkButton;
    QPushButton* CancelButton;
    QLabel* DevicesNote;

    QTimer keyTestTimer;
    QTimer pttTestTimer;
    QTimer toneTestTimer;
    QTimer indicatorTimer;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void Build();
    // Names for screen readers, where the caption or the value would say too little.
    void NameForScreenReader();
    // [Devices] WinKeyer as the controls have it.
    std::string WinkeyerChoice() const;
    void FillDeviceLists();
    void ShowChoice(const StationChoice& choice);
    void FillLines(DeviceKind kind);
    StationChoice ChoiceFromControls() const;
    // Applies the controls' choice at once (settings words and devices) and checks it.
    void ApplyControls();
    void Apply(const StationState& state);
    void CheckChoice();
    QString Problem(DeviceKind kind, const std::string& path, bool shared) const;
    void StartKeyTest();
    void StartPttTest();
    void StartToneTest();
    // Starts nothing and says why when the key device is not open.
    bool KeyDeviceReady(const QString& test);
    // Writes the station's keys; false when the file could not be written (shown).
    void KeepInFile();
    void StopTests();
    struct LineTrial {
        QPushButton* button;
        QTimer& timer;
        bool& running;
        QString name;
    };
    LineTrial Trial(TestLine line);
    void StartLineTest(TestLine line);
    void EndLineTest(TestLine line);
    void StartKeyCapture(bool dot);
    void StopKeyCapture();
    void SetIndicator(QLabel* indicator, bool closed);
    bool HaveDevices() const;

    StationLinks links_;
    StationState original_;
    StationState chosen_;
    // The devices and the rig as the dialog first showed them: OK writes what differs.
    DevicesConfig shownDevices_;
    rig::RigChoice shownRig_;
    bool finished_ = false;
    bool filling_ = false;  // controls being set from a choice: no re-apply
    bool keyTesting_ = false;
    bool pttTesting_ = false;
    bool toneTesting_ = false;
    // Choosing a paddle key by pressing it: the device read directly, the keys held before.
    int captureFd_ = -1;
    bool captureDot_ = true;
    std::vector<unsigned char> captureHeld_;
    int dotCode_ = -1;
    int dashCode_ = -1;
};

}  // namespace telkey
