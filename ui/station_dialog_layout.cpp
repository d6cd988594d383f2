// The station dialog's widgets: building them, filling the lists and showing a choice.
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
#include <algorithm>
#include <array>
#include <utility>

#include "backends/devices_input.h"
#include "ui/station_dialog.h"

#include "exchange/pty_link.h"
#include "ui/profile_devices.h"
#include "ui/station_dialog_items.h"
#include "ui/station_rig_group.h"

namespace telkey {

namespace {

constexpr int kLowestTone = 19;
constexpr int kHighestTone = 20000;
constexpr int kProblemWidth = 400;
// Room kept for a message, so that the dialog does not jump when one appears.
constexpr int kProblemLines = 3;
constexpr int kNoteLines = 2;
constexpr int kLongestLeadMs = StationDialog::kLongestLeadMs;
constexpr std::array<const char*, kLastKeyPort + 1> kKeyPortNames{"none", "COM1", "COM2", "COM3",
                                                                  "COM4", "LPT1", "LPT2", "LPT3"};

QLabel* ProblemLabel(const char* name, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setWordWrap(true);
    label->setMinimumWidth(kProblemWidth);
    label->setStyleSheet(QStringLiteral("color: #b00000;"));
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setMinimumHeight(label->fontMetrics().lineSpacing() * kProblemLines);
    return label;
}

// The group's fields sit on a plain widget inside it: screen readers would otherwise read each
// field by the group's title.
QWidget* GroupBody(QGroupBox* group) {
    auto* body = new QWidget(group);
    auto* layout = new QVBoxLayout(group);
    layout->addWidget(body);
    return body;
}

// A label whose access letter leads to `buddy`.
QLabel* Caption(const QString& text, QWidget* buddy, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setBuddy(buddy);
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

}  // namespace

void StationDialog::Build() {
    // Two columns, so that the dialog fits a laptop's screen; it can be resized.
    auto* outer = new QVBoxLayout(this);
    auto* columns = new QHBoxLayout;
    auto* column = new QVBoxLayout;
    auto* second = new QVBoxLayout;
    columns->addLayout(column);
    columns->addLayout(second);
    outer->addLayout(columns);

    auto* keyGroup = Named(new QGroupBox(QStringLiteral("Key and PTT"), this), "KeyGroup");
    QWidget* keyBody = GroupBody(keyGroup);
    auto* keyGrid = new QGridLayout(keyBody);
    keyGrid->setContentsMargins(0, 0, 0, 0);
    KeyPort = Named(new QComboBox(keyBody), "KeyPort");
    for (std::int32_t port = 0; port <= kLastKeyPort; ++port) {
        KeyPort->addItem(QLatin1String(kKeyPortNames[static_cast<std::size_t>(port)]), port);
    }
    KeyDevice = Named(new QComboBox(keyBody), "KeyDevice");
    KeyDevice->setEditable(true);
    KeyDevice->setInsertPolicy(QComboBox::NoInsert);
    KeyDevice->setMinimumContentsLength(40);
    KeyShared =
        Named(new QCheckBox(QStringLiteral("&Shared with rig control"), keyBody), "KeyShared");
    KeyShared->setToolTip(
        QStringLiteral("Another program (rigctld, a logger) uses this port too: no exclusive "
                       "lock, its settings left alone"));
    KeyLine = Named(new QComboBox(keyBody), "KeyLine");
    PttLine = Named(new QComboBox(keyBody), "PttLine");
    // The tests have no access letter: a stray Alt key must not key the transmitter.
    KeyTest = Named(new QPushButton(QStringLiteral("Test key"), keyBody), "KeyTest");
    PttTest = Named(new QPushButton(QStringLiteral("Test PTT"), keyBody), "PttTest");
    KeyTest->setToolTip(QStringLiteral("Keys the transmitter for one second"));
    PttTest->setToolTip(QStringLiteral("Switches PTT on for one second"));
    for (QPushButton* test : {KeyTest, PttTest}) test->setCheckable(true);
    PttLead = Named(new QSpinBox(keyBody), "PttLead");
    PttLead->setRange(0, kLongestLeadMs);
    PttLead->setValue(links_.paddleDelay);
    PttLead->setToolTip(
        QStringLiteral("The wait between PTT on and the first element, for the transmitter's "
                       "relays to settle"));
    KeyProblem = ProblemLabel("KeyProblem", keyBody);
    QWidget* keyPlace = HaveDevices() ? static_cast<QWidget*>(KeyDevice) : KeyPort;
    keyGrid->addWidget(
        Caption(HaveDevices() ? QStringLiteral("&Device:") : QStringLiteral("&Port:"), keyPlace,
                keyBody),
        0, 0);
    keyGrid->addWidget(HaveDevices() ? static_cast<QWidget*>(KeyDevice) : KeyPort, 0, 1, 1, 3);
    (HaveDevices() ? static_cast<QWidget*>(KeyPort) : KeyDevice)->hide();
    keyGrid->addWidget(KeyShared, 1, 1, 1, 3);
    keyGrid->addWidget(Caption(QStringLiteral("&Key on:"), KeyLine, keyBody), 2, 0);
    keyGrid->addWidget(KeyLine, 2, 1);
    keyGrid->addWidget(KeyTest, 2, 2);
    keyGrid->addWidget(Caption(QStringLiteral("PTT o&n:"), PttLine, keyBody), 3, 0);
    keyGrid->addWidget(PttLine, 3, 1);
    keyGrid->addWidget(PttTest, 3, 2);
    keyGrid->addWidget(Caption(QStringLiteral("PTT &lead (ms)"), PttLead, keyBody), 4, 0);
    keyGrid->addWidget(PttLead, 4, 1);
    keyGrid->addWidget(KeyProblem, 5, 0, 1, 4);
    column->addWidget(keyGroup);

    auto* paddleGroup = Named(new QGroupBox(QStringLiteral("Paddle"), this), "PaddleGroup");
    QWidget* paddleBody = GroupBody(paddleGroup);
    auto* paddleGrid = new QGridLayout(paddleBody);
    paddleGrid->setContentsMargins(0, 0, 0, 0);
    PaddleKind = Named(new QComboBox(paddleBody), "PaddleKind");
    PaddleKind->addItem(kNoneItem, static_cast<int>(PaddleChoice::None));
    PaddleKind->addItem(QStringLiteral("serial port: dot on CTS, dash on DSR"),
                        static_cast<int>(PaddleChoice::Serial));
    PaddleKind->addItem(QStringLiteral("input device: joystick or paddle adapter"),
                        static_cast<int>(PaddleChoice::Input));
    PaddleDevice = Named(new QComboBox(paddleBody), "PaddleDevice");
    PaddleDevice->setEditable(true);
    PaddleDevice->setInsertPolicy(QComboBox::NoInsert);
    PaddleDevice->setMinimumContentsLength(40);
    PaddleShared = Named(new QCheckBox(QStringLiteral("S&hared with rig control"), paddleBody),
                         "PaddleShared");
    DotKey = Named(new QPushButton(paddleBody), "DotKey");
    DashKey = Named(new QPushButton(paddleBody), "DashKey");
    DotKey->setToolTip(QStringLiteral("Click, then press the dot paddle"));
    DashKey->setToolTip(QStringLiteral("Click, then press the dash paddle"));
    DotIndicator = Named(new QLabel(QStringLiteral("Dot"), paddleBody), "DotIndicator");
    DashIndicator = Named(new QLabel(QStringLiteral("Dash"), paddleBody), "DashIndicator");
    for (QLabel* indicator : {DotIndicator, DashIndicator}) {
        indicator->setAlignment(Qt::AlignCenter);
        indicator->setMinimumWidth(60);
        indicator->setFrameShape(QFrame::Panel);
        indicator->setFrameShadow(QFrame::Sunken);
        indicator->setAutoFillBackground(true);
    }
    PaddleProblem = ProblemLabel("PaddleProblem", paddleBody);
    paddleGrid->addWidget(Caption(QStringLiteral("P&addle:"), PaddleKind, paddleBody), 0, 0);
    paddleGrid->addWidget(PaddleKind, 0, 1, 1, 3);
    paddleGrid->addWidget(Caption(QStringLiteral("De&vice:"), PaddleDevice, paddleBody), 1, 0);
    paddleGrid->addWidget(PaddleDevice, 1, 1, 1, 3);
    paddleGrid->addWidget(PaddleShared, 2, 1, 1, 3);
    paddleGrid->addWidget(DotKey, 3, 1);
    paddleGrid->addWidget(DashKey, 3, 2);
    paddleGrid->addWidget(new QLabel(QStringLiteral("Contacts:"), paddleBody), 4, 0);
    paddleGrid->addWidget(DotIndicator, 4, 1);
    paddleGrid->addWidget(DashIndicator, 4, 2);
    paddleGrid->addWidget(PaddleProblem, 5, 0, 1, 4);
    column->addWidget(paddleGroup);
    column->addStretch();

    auto* toneGroup = Named(new QGroupBox(QStringLiteral("Sidetone"), this), "SidetoneGroup");
    QWidget* toneBody = GroupBody(toneGroup);
    auto* toneGrid = new QGridLayout(toneBody);
    toneGrid->setContentsMargins(0, 0, 0, 0);
    SidetoneOutput = Named(new QComboBox(toneBody), "SidetoneOutput");
    SidetoneOutput->addItem(QStringLiteral("sound card"),
                            static_cast<int>(SidetoneChoice::SoundCard));
    SidetoneOutput->addItem(QStringLiteral("PC speaker"),
                            static_cast<int>(SidetoneChoice::PcSpeaker));
    SidetoneOutput->addItem(kNoneItem, static_cast<int>(SidetoneChoice::None));
    SidetoneTone = Named(new QSpinBox(toneBody), "SidetoneTone");
    SidetoneTone->setRange(kLowestTone, kHighestTone);
    SidetoneTone->setSuffix(QStringLiteral(" Hz"));
    SidetoneVolume = Named(new QSlider(Qt::Horizontal, toneBody), "SidetoneVolume");
    SidetoneVolume->setRange(0, kFullVolume);
    ToneTest = Named(new QPushButton(QStringLiteral("Test tone"), toneBody), "ToneTest");
    ToneTest->setCheckable(true);
    ToneTest->setToolTip(QStringLiteral("Sounds the sidetone for one second"));
    SidetoneNote = Named(new QLabel(toneBody), "SidetoneNote");
    SidetoneNote->setWordWrap(true);
    SidetoneNote->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    SidetoneNote->setMinimumHeight(SidetoneNote->fontMetrics().lineSpacing() * kNoteLines);
    toneGrid->addWidget(Caption(QStringLiteral("&Output:"), SidetoneOutput, toneBody), 0, 0);
    toneGrid->addWidget(SidetoneOutput, 0, 1);
    toneGrid->addWidget(Caption(QStringLiteral("Ton&e:"), SidetoneTone, toneBody), 0, 2);
    toneGrid->addWidget(SidetoneTone, 0, 3);
    toneGrid->addWidget(ToneTest, 0, 4);
    toneGrid->addWidget(Caption(QStringLiteral("Vol&ume:"), SidetoneVolume, toneBody), 1, 0);
    toneGrid->addWidget(SidetoneVolume, 1, 1, 1, 4);
    toneGrid->addWidget(SidetoneNote, 2, 0, 1, 5);
    second->addWidget(toneGroup);

    if (links_.applyRig) {
        RigGroup = new StationRigGroup(links_.rig, links_.rigLinkFor, this);
        second->addWidget(RigGroup);
    }

    auto* loggerGroup = Named(new QGroupBox(QStringLiteral("Loggers"), this), "LoggerGroup");
    QWidget* loggerBody = GroupBody(loggerGroup);
    auto* loggerRow = new QHBoxLayout(loggerBody);
    WinkeyerOn = Named(new QCheckBox(QStringLiteral("WinKeyer at:"), loggerBody), "WinkeyerOn");
    WinkeyerPath = Named(new QLineEdit(loggerBody), "WinkeyerPath");
    WinkeyerPath->setPlaceholderText(QString::fromStdString(DefaultWinkeyerLink()));
    WinkeyerOn->setToolTip(
        QStringLiteral("An emulated WinKeyer for loggers (QLog, CQRLOG, fldigi, N1MM+ under "
                       "Wine): set the logger's WinKeyer port to this path. From the next start"));
    const bool winkeyer = !links_.winkeyer.empty();
    WinkeyerOn->setChecked(winkeyer);
    if (winkeyer && links_.winkeyer != kWinkeyerDefaultChoice) {
        WinkeyerPath->setText(QString::fromStdString(links_.winkeyer));
    }
    loggerRow->addWidget(WinkeyerOn);
    loggerRow->addWidget(WinkeyerPath, 1);
    second->addWidget(loggerGroup);

    DevicesNote = Named(new QLabel(this), "DevicesNote");
    DevicesNote->setWordWrap(true);
    DevicesNote->setText(
        HaveDevices()
            ? QStringLiteral("OK keeps all of this in Telkey.ini.")
            : QStringLiteral("Telkey was started with --ports=none, sim or raw: the devices "
                             "cannot be chosen here, only the key port and its lines. OK "
                             "keeps them in Telkey.ini."));
    second->addWidget(DevicesNote);
    second->addStretch();

    auto* buttons = new QHBoxLayout;
    RefreshButton = Named(new QPushButton(QStringLiteral("&Refresh"), this), "RefreshButton");
    OkButton = Named(new QPushButton(QStringLiteral("OK"), this), "OkButton");
    CancelButton = Named(new QPushButton(QStringLiteral("Cancel"), this), "CancelButton");
    OkButton->setDefault(true);
    buttons->addWidget(RefreshButton);
    buttons->addStretch();
    buttons->addWidget(OkButton);
    buttons->addWidget(CancelButton);
    outer->addLayout(buttons);

    NameForScreenReader();

    for (QComboBox* box : {KeyDevice, PaddleDevice}) box->setEnabled(HaveDevices());
    KeyShared->setEnabled(HaveDevices());
    PaddleShared->setEnabled(HaveDevices());
    // What shows and hides with a choice keeps its place.
    for (QWidget* w :
         std::initializer_list<QWidget*>{KeyShared, PaddleDevice, PaddleShared, DotKey, DashKey}) {
        QSizePolicy policy = w->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        w->setSizePolicy(policy);
    }

    const auto apply = [this] { ApplyControls(); };
    connect(KeyPort, &QComboBox::currentIndexChanged, this, apply);
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
    connect(ToneTest, &QPushButton::clicked, this, &StationDialog::StartToneTest);
    connect(DotKey, &QPushButton::clicked, this, [this] { StartKeyCapture(true); });
    connect(DashKey, &QPushButton::clicked, this, [this] { StartKeyCapture(false); });
    connect(RefreshButton, &QPushButton::clicked, this, &StationDialog::Refresh);
    connect(OkButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

void StationDialog::NameForScreenReader() {
    // Named by what they set, not by the value they show or the group they sit in.
    const std::initializer_list<std::pair<QWidget*, const char*>> names{
        {KeyPort, "Key port"},
        {KeyDevice, "Key and PTT device"},
        {KeyDevice->lineEdit(), "Key and PTT device path"},
        {KeyShared, "Key port shared with rig control"},
        {KeyLine, "Key line"},
        {PttLine, "PTT line"},
        {KeyTest, "Test key"},
        {PttTest, "Test PTT"},
        {PttLead, "PTT lead, milliseconds"},
        {PaddleKind, "Paddle"},
        {PaddleDevice, "Paddle device"},
        {PaddleDevice->lineEdit(), "Paddle device path"},
        {PaddleShared, "Paddle port shared with rig control"},
        {SidetoneOutput, "Sidetone output"},
        {SidetoneTone, "Sidetone tone, Hz"},
        {SidetoneVolume, "Sidetone volume"},
        {ToneTest, "Test tone"},
        {WinkeyerOn, "WinKeyer link for loggers"},
        {WinkeyerPath, "WinKeyer link path"},
    };
    for (const auto& [widget, name] : names) widget->setAccessibleName(QLatin1String(name));
    // A screen reader reads a field by its label, and a combo box's own name is its value.
    for (QLabel* label : findChildren<QLabel*>()) {
        if (label->buddy() != nullptr && !label->buddy()->accessibleName().isEmpty()) {
            label->setAccessibleName(label->buddy()->accessibleName());
        }
    }
}

void StationDialog::FillDeviceLists() {
    filling_ = true;
    KeyDevice->clear();
    KeyDevice->addItem(kNoneItem);
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
        box->addItem(kNoneItem, kNoLine);
    }
}

void StationDialog::ShowChoice(const StationChoice& c) {
    filling_ = true;
    if (c.keyDevice.empty()) {
        KeyDevice->setCurrentIndex(0);
    } else {
        SelectPath(KeyDevice, c.keyDevice, c.keyKind);
    }
    KeyPort->setCurrentIndex(std::max(0, KeyPort->findData(c.keyPort)));
    FillLines(c.keyKind);
    SelectData(KeyLine, c.keyLine);
    SelectData(PttLine, c.pttLine);
    KeyShared->setChecked(c.keyShared);
    const bool key = HaveDevices() ? !c.keyDevice.empty() : c.keyPort != 0;
    for (QWidget* w : {static_cast<QWidget*>(KeyLine), static_cast<QWidget*>(PttLine),
                       static_cast<QWidget*>(KeyTest), static_cast<QWidget*>(PttTest)}) {
        w->setEnabled(key);
    }
    KeyShared->setVisible(HaveDevices() && c.keyKind == DeviceKind::Serial);

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
    } else if (c.paddle == PaddleChoice::Serial && c.keyDevice.empty()) {
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
    ToneTest->setEnabled(c.sidetone != SidetoneChoice::None);
    filling_ = false;
}

}  // namespace telkey
