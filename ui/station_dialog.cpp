#include "ui/station_dialog.h"

#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QVBoxLayout>
#include <array>

#include "backends/devices_input.h"
#include "ui/profile_devices.h"
#include "widgets/message_box.h"

namespace telkey {

namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kKindRole = Qt::UserRole + 1;
constexpr int kLowestTone = 19;
constexpr int kHighestTone = 20000;
constexpr int kProblemWidth = 460;
constexpr std::size_t kKeyBytes = KEY_MAX / 8 + 1;

const QString kNone = QStringLiteral("none");

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

QLabel* ProblemLabel(const char* name, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setWordWrap(true);
    label->setMinimumWidth(kProblemWidth);
    label->setStyleSheet(QStringLiteral("color: #b00000;"));
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

template <class T>
T* Named(T* widget, const char* name) {
    widget->setObjectName(QLatin1String(name));
    return widget;
}

void AddDevices(QComboBox* box, const std::vector<FoundDevice>& devices, DeviceKind kind) {
    for (const FoundDevice& device : devices) {
        box->addItem(Text(device.label));
        box->setItemData(box->count() - 1, Text(device.path), kPathRole);
        box->setItemData(box->count() - 1, static_cast<int>(kind), kKindRole);
    }
}

// The device an editable list stands for: a listed one, or the name typed in.
std::string ChosenPath(const QComboBox* box) {
    const int index = box->findText(box->currentText());
    if (index >= 0) return box->itemData(index, kPathRole).toString().toStdString();
    const QString typed = box->currentText().trimmed();
    return typed == kNone ? std::string() : typed.toStdString();
}

// Selects the item of `path`, adding it when it is not in the list (typed, or unplugged).
void SelectPath(QComboBox* box, const std::string& path, DeviceKind kind) {
    for (int i = 0; i < box->count(); ++i) {
        if (box->itemData(i, kPathRole).toString().toStdString() == path) {
            box->setCurrentIndex(i);
            return;
        }
    }
    box->addItem(Text(path));
    box->setItemData(box->count() - 1, Text(path), kPathRole);
    box->setItemData(box->count() - 1, static_cast<int>(kind), kKindRole);
    box->setCurrentIndex(box->count() - 1);
}

void SelectData(QComboBox* box, int value) {
    const int index = box->findData(value);
    box->setCurrentIndex(index >= 0 ? index : box->count() - 1);
}

bool KeyPressed(const unsigned char* keys, int code) {
    return (keys[static_cast<std::size_t>(code) / 8] >> (code % 8)) & 1;
}

}  // namespace

StationDialog::StationDialog(const StationLinks& links, QWidget* parent)
    : QDialog(parent), links_(links) {
    setObjectName(QStringLiteral("StationDialog"));
    setWindowTitle(QStringLiteral("Station"));
    original_.settings = ReadStationSettings(*links_.settings);
    if (links_.devices != nullptr) original_.devices = links_.devices->Devices();
    chosen_ = original_;
    Build();
    FillDeviceLists();
    ShowChoice(ChoiceFromState(original_));
    CheckChoice();

    keyTestTimer.setObjectName(QStringLiteral("KeyTestTimer"));
    keyTestTimer.setSingleShot(true);
    keyTestTimer.setInterval(kTestMs);
    connect(&keyTestTimer, &QTimer::timeout, this, &StationDialog::EndKeyTest);
    pttTestTimer.setObjectName(QStringLiteral("PttTestTimer"));
    pttTestTimer.setSingleShot(true);
    pttTestTimer.setInterval(kTestMs);
    connect(&pttTestTimer, &QTimer::timeout, this, &StationDialog::EndPttTest);
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

void StationDialog::Build() {
    auto* column = new QVBoxLayout(this);
    // The dialog grows and shrinks with the problems it has to tell.
    column->setSizeConstraint(QLayout::SetFixedSize);

    auto* keyGroup = Named(new QGroupBox(QStringLiteral("Key and PTT"), this), "KeyGroup");
    auto* keyGrid = new QGridLayout(keyGroup);
    KeyDevice = Named(new QComboBox(keyGroup), "KeyDevice");
    KeyDevice->setEditable(true);
    KeyDevice->setInsertPolicy(QComboBox::NoInsert);
    KeyDevice->setMinimumContentsLength(40);
    KeyShared =
        Named(new QCheckBox(QStringLiteral("Shared with rig control"), keyGroup), "KeyShared");
    KeyShared->setToolTip(
        QStringLiteral("Another program (rigctld, a logger) uses this port too: no exclusive "
                       "lock, its settings left alone"));
    KeyLine = Named(new QComboBox(keyGroup), "KeyLine");
    PttLine = Named(new QComboBox(keyGroup), "PttLine");
    KeyTest = Named(new QPushButton(QStringLiteral("Test key"), keyGroup), "KeyTest");
    PttTest = Named(new QPushButton(QStringLiteral("Test PTT"), keyGroup), "PttTest");
    KeyTest->setToolTip(QStringLiteral("Keys the transmitter for one second"));
    PttTest->setToolTip(QStringLiteral("Switches PTT on for one second"));
    KeyProblem = ProblemLabel("KeyProblem", keyGroup);
    keyGrid->addWidget(new QLabel(QStringLiteral("Device:"), keyGroup), 0, 0);
    keyGrid->addWidget(KeyDevice, 0, 1, 1, 3);
    keyGrid->addWidget(KeyShared, 1, 1, 1, 3);
    keyGrid->addWidget(new QLabel(QStringLiteral("Key on:"), keyGroup), 2, 0);
    keyGrid->addWidget(KeyLine, 2, 1);
    keyGrid->addWidget(KeyTest, 2, 2);
    keyGrid->addWidget(new QLabel(QStringLiteral("PTT on:"), keyGroup), 3, 0);
    keyGrid->addWidget(PttLine, 3, 1);
    keyGrid->addWidget(PttTest, 3, 2);
    keyGrid->addWidget(KeyProblem, 4, 0, 1, 4);
    column->addWidget(keyGroup);

    auto* paddleGroup = Named(new QGroupBox(QStringLiteral("Paddle"), this), "PaddleGroup");
    auto* paddleGrid = new QGridLayout(paddleGroup);
    PaddleKind = Named(new QComboBox(paddleGroup), "PaddleKind");
    PaddleKind->addItem(kNone, static_cast<int>(PaddleChoice::None));
    PaddleKind->addItem(QStringLiteral("serial port: dot on CTS, dash on DSR"),
                        static_cast<int>(PaddleChoice::Serial));
    PaddleKind->addItem(QStringLiteral("input device: joystick or paddle adapter"),
                        static_cast<int>(PaddleChoice::Input));
    PaddleDevice = Named(new QComboBox(paddleGroup), "PaddleDevice");
    PaddleDevice->setEditable(true);
    PaddleDevice->setInsertPolicy(QComboBox::NoInsert);
    PaddleDevice->setMinimumContentsLength(40);
    PaddleShared = Named(new QCheckBox(QStringLiteral("Shared with rig control"), paddleGroup),
                         "PaddleShared");
    DotKey = Named(new QPushButton(paddleGroup), "DotKey");
    DashKey = Named(new QPushButton(paddleGroup), "DashKey");
    DotKey->setToolTip(QStringLiteral("Click, then press the dot paddle"));
    DashKey->setToolTip(QStringLiteral("Click, then press the dash paddle"));
    DotIndicator = Named(new QLabel(QStringLiteral("Dot"), paddleGroup), "DotIndicator");
    DashIndicator = Named(new QLabel(QStringLiteral("Dash"), paddleGroup), "DashIndicator");
    for (QLabel* indicator : {DotIndicator, DashIndicator}) {
        indicator->setAlignment(Qt::AlignCenter);
        indicator->setMinimumWidth(60);
        indicator->setFrameShape(QFrame::Panel);
        indicator->setFrameShadow(QFrame::Sunken);
        indicator->setAutoFillBackground(true);
    }
    PaddleProblem = ProblemLabel("PaddleProblem", paddleGroup);
    paddleGrid->addWidget(new QLabel(QStringLiteral("Paddle:"), paddleGroup), 0, 0);
    paddleGrid->addWidget(PaddleKind, 0, 1, 1, 3);
    paddleGrid->addWidget(new QLabel(QStringLiteral("Device:"), paddleGroup), 1, 0);
    paddleGrid->addWidget(PaddleDevice, 1, 1, 1, 3);
    paddleGrid->addWidget(PaddleShared, 2, 1, 1, 3);
    paddleGrid->addWidget(DotKey, 3, 1);
    paddleGrid->addWidget(DashKey, 3, 2);
    paddleGrid->addWidget(new QLabel(QStringLiteral("Contacts:"), paddleGroup), 4, 0);
    paddleGrid->addWidget(DotIndicator, 4, 1);
    paddleGrid->addWidget(DashIndicator, 4, 2);
    paddleGrid->addWidget(PaddleProblem, 5, 0, 1, 4);
    column->addWidget(paddleGroup);

    auto* toneGroup = Named(new QGroupBox(QStringLiteral("Sidetone"), this), "SidetoneGroup");
    auto* toneGrid = new QGridLayout(toneGroup);
    SidetoneOutput = Named(new QComboBox(toneGroup), "SidetoneOutput");
    SidetoneOutput->addItem(QStringLiteral("sound card"),
                            static_cast<int>(SidetoneChoice::SoundCard));
    SidetoneOutput->addItem(QStringLiteral("PC speaker"),
                            static_cast<int>(SidetoneChoice::PcSpeaker));
    SidetoneOutput->addItem(kNone, static_cast<int>(SidetoneChoice::None));
    SidetoneTone = Named(new QSpinBox(toneGroup), "SidetoneTone");
    SidetoneTone->setRange(kLowestTone, kHighestTone);
    SidetoneTone->setSuffix(QStringLiteral(" Hz"));
    SidetoneVolume = Named(new QSlider(Qt::Horizontal, toneGroup), "SidetoneVolume");
    SidetoneVolume->setRange(0, kFullVolume);
    SidetoneNote = Named(new QLabel(toneGroup), "SidetoneNote");
    SidetoneNote->setWordWrap(true);
    toneGrid->addWidget(new QLabel(QStringLiteral("Output:"), toneGroup), 0, 0);
    toneGrid->addWidget(SidetoneOutput, 0, 1);
    toneGrid->addWidget(new QLabel(QStringLiteral("Tone:"), toneGroup), 0, 2);
    toneGrid->addWidget(SidetoneTone, 0, 3);
    toneGrid->addWidget(new QLabel(QStringLiteral("Volume:"), toneGroup), 1, 0);
    toneGrid->addWidget(SidetoneVolume, 1, 1, 1, 3);
    toneGrid->addWidget(SidetoneNote, 2, 0, 1, 4);
    column->addWidget(toneGroup);

    DevicesNote = Named(new QLabel(this), "DevicesNote");
    DevicesNote->setWordWrap(true);
    DevicesNote->setText(
        HaveDevices()
            ? QStringLiteral("OK keeps the devices in Telkey.ini; \"Save setup\" keeps the "
                             "lines, the paddle and the sidetone as well.")
            : QStringLiteral("Telkey was started with --ports=none, sim or raw: the devices "
                             "cannot be chosen here, only the lines."));
    column->addWidget(DevicesNote);

    auto* buttons = new QHBoxLayout;
    RefreshButton = Named(new QPushButton(QStringLiteral("Refresh"), this), "RefreshButton");
    OkButton = Named(new QPushButton(QStringLiteral("OK"), this), "OkButton");
    CancelButton = Named(new QPushButton(QStringLiteral("Cancel"), this), "CancelButton");
    OkButton->setDefault(true);
    buttons->addWidget(RefreshButton);
    buttons->addStretch();
    buttons->addWidget(OkButton);
    buttons->addWidget(CancelButton);
    column->addLayout(buttons);

    for (QComboBox* box : {KeyDevice, PaddleDevice}) box->setEnabled(HaveDevices());
    KeyShared->setEnabled(HaveDevices());
    PaddleShared->setEnabled(HaveDevices());

    const auto apply = [this] { ApplyControls(); };
    connect(KeyDevice, &QComboBox::currentIndexChanged, this, apply);
    connect(KeyDevice->lineEdit(), &QLineEdit::editingFinished, this, apply);
    connect(KeyShared, &QCheckBox::toggled, this, apply);
    connect(KeyLine, &QComboBox::currentIndexChanged, this, apply);
    connect(PttLine, &QComboBox::currentIndexChanged, this, apply);
    connect(PaddleKind, &QComboBox::currentIndexChanged, this, [this] {
        if (filling_) return;
        // Another kind of paddle starts from that kind's first device and its own keys.
        StationChoice choice = ChoiceFromControls();
        choice.paddleDevice.clear();
        choice.paddleKeys.clear();
        ShowChoice(choice);
        ApplyControls();
    });
    connect(PaddleDevice, &QComboBox::currentIndexChanged, this, apply);
    connect(PaddleDevice->lineEdit(), &QLineEdit::editingFinished, this, apply);
    connect(PaddleShared, &QCheckBox::toggled, this, apply);
    connect(SidetoneOutput, &QComboBox::currentIndexChanged, this, apply);
    connect(SidetoneTone, &QSpinBox::valueChanged, this, apply);
    connect(SidetoneVolume, &QSlider::valueChanged, this, apply);
    connect(KeyTest, &QPushButton::clicked, this, &StationDialog::StartKeyTest);
    connect(PttTest, &QPushButton::clicked, this, &StationDialog::StartPttTest);
    connect(DotKey, &QPushButton::clicked, this, [this] { StartKeyCapture(true); });
    connect(DashKey, &QPushButton::clicked, this, [this] { StartKeyCapture(false); });
    connect(RefreshButton, &QPushButton::clicked, this, &StationDialog::Refresh);
    connect(OkButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

void StationDialog::FillDeviceLists() {
    filling_ = true;
    KeyDevice->clear();
    KeyDevice->addItem(kNone);
    KeyDevice->setItemData(0, QString(), kPathRole);
    if (HaveDevices()) {
        AddDevices(KeyDevice, FindSerialDevices(links_.roots), DeviceKind::Serial);
        AddDevices(KeyDevice, FindParallelDevices(links_.roots), DeviceKind::Parallel);
    }
    filling_ = false;
}

void StationDialog::FillLines(DeviceKind kind) {
    for (QComboBox* box : {KeyLine, PttLine}) {
        box->clear();
        if (kind == DeviceKind::Serial) {
            box->addItem(QStringLiteral("DTR"), kLineDtr);
            box->addItem(QStringLiteral("RTS"), kLineRts);
        } else {
            for (int line = 0; line < kDataLines; ++line) {
                box->addItem(QStringLiteral("D%1 (pin %2)").arg(line).arg(line + 2), line);
            }
        }
        box->addItem(kNone, kNoLine);
    }
}

void StationDialog::ShowChoice(const StationChoice& c) {
    filling_ = true;
    if (c.keyDevice.empty()) {
        KeyDevice->setCurrentIndex(0);
    } else {
        SelectPath(KeyDevice, c.keyDevice, c.keyKind);
    }
    FillLines(c.keyKind);
    SelectData(KeyLine, c.keyLine);
    SelectData(PttLine, c.pttLine);
    KeyShared->setChecked(c.keyShared);
    const bool key = !c.keyDevice.empty();
    for (QWidget* w : {static_cast<QWidget*>(KeyLine), static_cast<QWidget*>(PttLine),
                       static_cast<QWidget*>(KeyTest), static_cast<QWidget*>(PttTest)}) {
        w->setEnabled(key);
    }
    KeyShared->setVisible(c.keyKind == DeviceKind::Serial);

    if (c.paddle == PaddleChoice::Other && PaddleKind->findData(static_cast<int>(c.paddle)) < 0) {
        PaddleKind->addItem(QStringLiteral("as set in Telkey.ini"),
                            static_cast<int>(PaddleChoice::Other));
    }
    PaddleKind->setCurrentIndex(PaddleKind->findData(static_cast<int>(c.paddle)));
    PaddleDevice->clear();
    if (HaveDevices() && c.paddle == PaddleChoice::Serial) {
        AddDevices(PaddleDevice, FindSerialDevices(links_.roots), DeviceKind::Serial);
    } else if (HaveDevices() && c.paddle == PaddleChoice::Input) {
        AddDevices(PaddleDevice, FindInputDevices(links_.roots), DeviceKind::Input);
    }
    const DeviceKind paddleKind =
        c.paddle == PaddleChoice::Input ? DeviceKind::Input : DeviceKind::Serial;
    if (!c.paddleDevice.empty()) {
        SelectPath(PaddleDevice, c.paddleDevice, paddleKind);
    } else if (c.paddle == PaddleChoice::Serial && !key) {
        PaddleDevice->setCurrentIndex(PaddleDevice->count() > 0 ? 0 : -1);
    } else if (c.paddle == PaddleChoice::Serial && c.keyKind == DeviceKind::Serial) {
        SelectPath(PaddleDevice, c.keyDevice, DeviceKind::Serial);  // most wire both to one
    } else {
        PaddleDevice->setCurrentIndex(PaddleDevice->count() > 0 ? 0 : -1);
    }
    const bool device = c.paddle == PaddleChoice::Serial || c.paddle == PaddleChoice::Input;
    PaddleDevice->setVisible(device);
    PaddleShared->setVisible(c.paddle == PaddleChoice::Serial);
    PaddleShared->setChecked(c.paddleShared);
    DotKey->setVisible(c.paddle == PaddleChoice::Input);
    DashKey->setVisible(c.paddle == PaddleChoice::Input);
    dotCode_ = -1;
    dashCode_ = -1;
    PaddleKeyCodes codes{};
    std::string ignored;
    if (!c.paddleKeys.empty() && ParsePaddleKeys(c.paddleKeys, codes, ignored)) {
        dotCode_ = codes[0];
        dashCode_ = codes[1];
    }
    DotKey->setText(dotCode_ < 0
                        ? QStringLiteral("Dot key: its own")
                        : QStringLiteral("Dot key: %1").arg(Text(PaddleKeyName(dotCode_))));
    DashKey->setText(dashCode_ < 0
                         ? QStringLiteral("Dash key: its own")
                         : QStringLiteral("Dash key: %1").arg(Text(PaddleKeyName(dashCode_))));

    SidetoneOutput->setCurrentIndex(SidetoneOutput->findData(static_cast<int>(c.sidetone)));
    SidetoneTone->setValue(c.tone);
    SidetoneVolume->setValue(c.volume);
    SidetoneVolume->setEnabled(c.sidetone == SidetoneChoice::SoundCard);
    SidetoneTone->setEnabled(c.sidetone != SidetoneChoice::None);
    filling_ = false;
}

StationChoice StationDialog::ChoiceFromControls() const {
    StationChoice c;
    c.keyDevice = ChosenPath(KeyDevice);
    const int keyIndex = KeyDevice->findText(KeyDevice->currentText());
    c.keyKind = keyIndex > 0
                    ? static_cast<DeviceKind>(KeyDevice->itemData(keyIndex, kKindRole).toInt())
                    : KindOfKeyDevice(c.keyDevice);
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
    if ((c.paddle == PaddleChoice::Serial || c.paddle == PaddleChoice::Input) &&
        c.paddleDevice.empty()) {
        paddle = QStringLiteral("Choose the device the paddle is wired to.");
    }
    PaddleProblem->setText(paddle);
    SidetoneNote->setText(c.sidetone == SidetoneChoice::PcSpeaker
                              ? QStringLiteral("The PC speaker needs the pcspkr driver "
                                               "(sudo modprobe pcspkr) and access to it.")
                              : QString());
}

void StationDialog::Refresh() {
    const StationChoice choice = ChoiceFromState(chosen_);
    FillDeviceLists();
    ShowChoice(choice);
    CheckChoice();
}

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

void StationDialog::StartKeyTest() {
    keyTesting_ = true;
    if (links_.ports != nullptr) links_.ports->StartTest(TestLine::Key);
    Apply(chosen_);
    keyTestTimer.start();
}

void StationDialog::StartPttTest() {
    pttTesting_ = true;
    if (links_.ports != nullptr) links_.ports->StartTest(TestLine::Tx);
    Apply(chosen_);
    pttTestTimer.start();
}

void StationDialog::EndKeyTest() {
    keyTestTimer.stop();
    if (!keyTesting_) return;
    keyTesting_ = false;
    if (links_.ports != nullptr) links_.ports->EndTest(TestLine::Key);
    if (!finished_) Apply(chosen_);
}

void StationDialog::EndPttTest() {
    pttTestTimer.stop();
    if (!pttTesting_) return;
    pttTesting_ = false;
    if (links_.ports != nullptr) links_.ports->EndTest(TestLine::Tx);
    if (!finished_) Apply(chosen_);
}

void StationDialog::StopTests() {
    keyTestTimer.stop();
    pttTestTimer.stop();
    keyTesting_ = false;
    pttTesting_ = false;
    if (links_.ports != nullptr) links_.ports->EndTests();
}

void StationDialog::Finish(int result) {
    if (finished_) return;
    finished_ = true;
    indicatorTimer.stop();
    StopKeyCapture();
    StopTests();
    if (result == QDialog::Accepted) {
        WriteStationSettings(*links_.settings, chosen_.settings);
        if (!HaveDevices()) return;
        ProfileFile file(links_.settingsFile);
        try {
            WriteDeviceChoices(file, links_.devices->Devices());
        } catch (const ProfileWriteError& error) {
            if (links_.boxes != nullptr) {
                links_.boxes->ShowError(QString::fromLatin1(kApplicationTitle),
                                        QString::fromUtf8(error.what()));
            }
        }
        return;
    }
    WriteStationSettings(*links_.settings, original_.settings);
    if (HaveDevices()) {
        std::vector<std::string> ignored;
        links_.devices->SetDevices(original_.devices, ignored);
    }
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
