#pragma once
// "Station...": choosing, testing and keeping the devices of the station (the key and PTT
// port and lines, the paddle, the sidetone). What the operator chooses takes effect at once, so
// the test buttons and the paddle indicators work on it; OK keeps it and writes the devices
// into the settings file, any other way out puts back what was there before. The dialog
// reaches the keyer only through the settings words, the port bus and the ports' test lines.
#include <QDialog>
#include <QTimer>
#include <string>
#include <vector>

#include "backends/devices_discovery.h"
#include "backends/port_bus_devices.h"
#include "engine/port_bus.h"
#include "engine/ports.h"
#include "ui/station_choice.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QSlider;
class QSpinBox;

namespace telkey {

class MessageBoxes;

struct StationLinks {
    PortSettings* settings = nullptr;
    PortBus* bus = nullptr;
    Ports* ports = nullptr;  // keys the test lines
    // Null (or without a device layer): this start has no devices to choose (--ports=sim).
    DeviceSupervision* devices = nullptr;
    DeviceRoots roots;
    std::string settingsFile;  // where OK writes the devices
    MessageBoxes* boxes = nullptr;
};

class StationDialog : public QDialog {
    Q_OBJECT

  public:
    static constexpr int kTestMs = 1000;
    static constexpr int kIndicatorMs = 20;

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

    // The state the dialog's controls stand for now.
    const StationState& Chosen() const { return chosen_; }

    // Key and PTT.
    QComboBox* KeyDevice;
    QCheckBox* KeyShared;
    QComboBox* KeyLine;
    QComboBox* PttLine;
    QPushButton* KeyTest;
    QPushButton* PttTest;
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
    QLabel* SidetoneNote;
    // Buttons.
    QPushButton* RefreshButton;
    QPushButton* OkButton;
    QPushButton* CancelButton;
    QLabel* DevicesNote;

    QTimer keyTestTimer;
    QTimer pttTestTimer;
    QTimer indicatorTimer;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void Build();
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
    void StopTests();
    void StartKeyCapture(bool dot);
    void StopKeyCapture();
    void SetIndicator(QLabel* indicator, bool closed);
    bool HaveDevices() const;

    StationLinks links_;
    StationState original_;
    StationState chosen_;
    bool finished_ = false;
    bool filling_ = false;  // controls being set from a choice: no re-apply
    bool keyTesting_ = false;
    bool pttTesting_ = false;
    // Choosing a paddle key by pressing it: the device read directly, the keys held before.
    int captureFd_ = -1;
    bool captureDot_ = true;
    std::vector<unsigned char> captureHeld_;
    int dotCode_ = -1;
    int dashCode_ = -1;
};

}  // namespace telkey
