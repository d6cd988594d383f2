// The "Station..." dialog on emulated devices: the lists, choosing, OK and Cancel, the tests of
// the key and PTT lines, the paddle indicators, the problems in words, and a restart that keys
// on the devices chosen without any command-line option.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QSpinBox>
#include <QToolButton>
#include <QWindow>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "backends/port_bus_devices.h"
#include "engine/engine.h"
#include "engine/manual_tick_driver.h"
#include "rig/rig_choice.h"
#include "support/fake_device_layer.h"
#include "support/recording_messages.h"
#include "support/station_tree.h"
#include "support/window_fixture.h"
#include "transmit/rig_tx.h"
#include "ui/main_form.h"
#include "ui/profile_devices.h"
#include "ui/settings_values.h"
#include "ui/station_dialog.h"
#include "ui/station_rig_group.h"

namespace telkey::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr int kDtr = TIOCM_DTR;
constexpr int kRts = TIOCM_RTS;

// The program as main() puts it together, on the fake devices: the devices from the settings
// file's section and the command line, the window with the station dialog wired to them.
class Station {
  public:
    Station(FakeDeviceLayer& layer, const StationTree& tree, const PortBusOptions& line = {},
            const rig::RigOptions& rigLine = {}) {
        const ProfileFile file(kSettingsFileName);
        DevicesConfig config = DevicesConfigFrom(MergeDeviceChoices(line, ReadDeviceChoices(file)));
        config.threads = false;
        bus = std::make_unique<DevicesPortBus>(layer, config, warnings);
        engine = std::make_unique<Engine>(*bus, driver);
        form = std::make_unique<TForm1>(*engine, messages);
        form->boxes = &boxes;
        form->requestEnd = [] {};
        form->stationDevices = bus.get();
        form->stationRoots = tree.roots;
        form->rigTx->Configure(rig::MergeRigChoice(rigLine, ReadRigChoice(file)));
        form->show();
        for (int i = 0; i < 3; ++i) QApplication::processEvents();
    }
    ~Station() {
        form->hide();
        form.reset();
        engine->timer.StopKeyerTimer();
    }

    // Opens the dialog from the menu; `act` works it and says how it ends.
    void Open(std::function<int(StationDialog&)> act) {
        form->runDialog = [act](QDialog& dialog) {
            return act(dynamic_cast<StationDialog&>(dialog));
        };
        form->Station1->trigger();
    }
    void Tick(int n = 1) { driver.Tick(n); }
    PortSettings& settings() { return engine->portSettings; }

    std::vector<std::string> warnings;
    std::unique_ptr<DevicesPortBus> bus;
    ManualTickDriver driver;
    std::unique_ptr<Engine> engine;
    RecordingMessages messages;
    RecordingBoxes boxes;
    std::unique_ptr<TForm1> form;
};

std::vector<std::string> Items(const QComboBox* box) {
    std::vector<std::string> items;
    for (int i = 0; i < box->count(); ++i) items.push_back(box->itemText(i).toStdString());
    return items;
}

void Choose(QComboBox* box, const std::string& textPart) {
    for (int i = 0; i < box->count(); ++i) {
        if (box->itemText(i).toStdString().find(textPart) != std::string::npos) {
            box->setCurrentIndex(i);
            return;
        }
    }
    ADD_FAILURE() << "no item with " << textPart;
}

void ChooseData(QComboBox* box, int value) {
    const int index = box->findData(value);
    ASSERT_GE(index, 0);
    box->setCurrentIndex(index);
}

void Type(QComboBox* box, const std::string& text) {
    box->setEditText(QString::fromStdString(text));
    Q_EMIT box->lineEdit()->editingFinished();
}

std::string FileText() {
    std::ifstream in("Telkey.ini");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Closed(const QLabel* indicator) {
    return indicator->property("closed").toBool();
}

class StationDialogTest : public ::testing::Test {
  protected:
    int Lines(int device) const { return layer.Tiocm(device) & (kDtr | kRts); }

    ScratchDirectory scratch;
    FakeDeviceLayer layer;
    StationTree tree{scratch.Path().toStdString(), layer};
};

TEST_F(StationDialogTest, ListsTheDevicesThatArePresent) {
    Station station(layer, tree);
    station.Open([&](StationDialog& d) -> int {
        const auto keys = Items(d.KeyDevice);
        EXPECT_EQ(keys.size(), 5u);  // none, two stable names, the plain ACM port, parport0
        EXPECT_EQ(keys[0], "none");
        EXPECT_THAT(keys[1], HasSubstr("usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0"));
        EXPECT_THAT(keys[3], HasSubstr("ttyACM0"));
        EXPECT_THAT(keys[4], HasSubstr("parport0"));
        // An input-device paddle is offered the input devices.
        ChooseData(d.PaddleKind, static_cast<int>(PaddleChoice::Input));
        EXPECT_EQ(d.PaddleDevice->count(), 1);
        EXPECT_THAT(d.PaddleDevice->itemText(0).toStdString(), HasSubstr("K1EL_Paddle"));
        ChooseData(d.PaddleKind, static_cast<int>(PaddleChoice::Serial));
        EXPECT_EQ(d.PaddleDevice->count(), 3);
        // A serial key port offers DTR and RTS, a parallel one the data lines.
        Choose(d.KeyDevice, "FTDI");
        EXPECT_EQ(Items(d.KeyLine), (std::vector<std::string>{"DTR", "RTS", "none"}));
        Choose(d.KeyDevice, "parport0");
        EXPECT_EQ(d.KeyLine->count(), 9);
        return int{QDialog::Rejected};
    });
}

TEST_F(StationDialogTest, OkWritesTheSettingsWordsAndKeepsTheDevicesInTheirOwnSection) {
    Station station(layer, tree);
    station.Open([&](StationDialog& d) -> int {
        Choose(d.KeyDevice, "FTDI");
        ChooseData(d.KeyLine, kLineDtr);
        ChooseData(d.PttLine, kLineRts);
        ChooseData(d.PaddleKind, static_cast<int>(PaddleChoice::Serial));
        Choose(d.PaddleDevice, "FTDI");
        ChooseData(d.SidetoneOutput, static_cast<int>(SidetoneChoice::SoundCard));
        d.SidetoneTone->setValue(700);
        d.OkButton->click();
        return d.result();
    });
    PortSettings& s = station.settings();
    EXPECT_EQ(s.KeyPortNumber.load(), 1);
    EXPECT_EQ(s.KeyMask.load(), 0x01);
    EXPECT_EQ(s.TxMask.load(), 0x02);
    EXPECT_EQ(s.DotPort.load(), 0x3FE);
    EXPECT_EQ(s.DashPort.load(), 0x3FE);
    EXPECT_EQ(s.UseSpeaker.load(), 1);
    EXPECT_EQ(s.SpeakerTone.load(), 700);
    EXPECT_TRUE(station.form->SpeakerButton->isChecked());
    EXPECT_EQ(station.bus->Devices().com[0], tree.ftdi);
    EXPECT_TRUE(station.bus->DeviceOpen(tree.ftdi));
    const std::string file = FileText();
    EXPECT_THAT(file, HasSubstr("[Devices]"));
    EXPECT_THAT(file, HasSubstr("COM1=" + tree.ftdi));
    EXPECT_THAT(file, HasSubstr("KeyPortNumber=1"));
    EXPECT_THAT(file, Not(HasSubstr("Speed=")));  // the rest waits for "Save setup"
}

// The WinKeyer for loggers is kept in [Devices] for the next start: the default path as "on",
// another as itself, none as an empty value; as found, nothing is written.
TEST_F(StationDialogTest, OkKeepsTheWinkeyerForTheNextStart) {
    struct Case {
        const char* file;
        bool on;
        const char* path;
        const char* kept;  // null: WinKeyer is not written
    };
    const Case cases[] = {
        {"", true, "", "WinKeyer=on"},
        {"", true, "/tmp/wk", "WinKeyer=/tmp/wk"},
        {"[Devices]\r\nWinKeyer=on\r\n", false, "", "WinKeyer=\r\n"},
        {"[Devices]\r\nWinKeyer=/tmp/wk\r\n", true, "/tmp/wk", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        scratch.WriteFile("Telkey.ini", c.file);
        Station station(layer, tree);
        station.Open([&](StationDialog& d) -> int {
            EXPECT_EQ(d.WinkeyerOn->isChecked(),
                      std::string(c.file).find("WinKeyer") != std::string::npos);
            d.WinkeyerOn->setChecked(c.on);
            d.WinkeyerPath->setText(QString::fromLatin1(c.path));
            d.OkButton->click();
            return d.result();
        });
        if (c.kept != nullptr) {
            EXPECT_THAT(FileText(), HasSubstr(c.kept));
        } else {
            EXPECT_THAT(FileText(), HasSubstr(c.file));
        }
    }
}

TEST_F(StationDialogTest, CancelPutsEverythingBackAndWritesNothing) {
    scratch.WriteFile("Telkey.ini", "[Qor_Cw]\r\nSpeed=80\r\n");
    Station station(layer, tree);
    const StationSettings before = ReadStationSettings(station.settings());
    station.Open([&](StationDialog& d) -> int {
        Choose(d.KeyDevice, "FTDI");
        ChooseData(d.PaddleKind, static_cast<int>(PaddleChoice::None));
        // The choice works at once, so that it can be tried.
        EXPECT_EQ(station.settings().KeyPortNumber.load(), 1);
        EXPECT_TRUE(station.bus->DeviceOpen(tree.ftdi));
        d.CancelButton->click();
        return d.result();
    });
    EXPECT_EQ(ReadStationSettings(station.settings()), before);
    EXPECT_TRUE(station.bus->Devices().com[0].empty());
    EXPECT_FALSE(station.bus->DeviceOpen(tree.ftdi));
    EXPECT_EQ(FileText(), "[Qor_Cw]\r\nSpeed=80\r\n");
}

// How a dialog with a test running can end.
enum class Ending { TestTimeUp, Ok, Cancel, Closed, Escape };

class StationTestButtons : public StationDialogTest,
                           public ::testing::WithParamInterface<Ending> {};

TEST_P(StationTestButtons, KeyAndPttTestsAreReleasedHoweverTheyEnd) {
    Station station(layer, tree);
    station.Open([&](StationDialog& d) -> int {
        Choose(d.KeyDevice, "FTDI");
        ChooseData(d.KeyLine, kLineDtr);
        ChooseData(d.PttLine, kLineRts);
        station.Tick();
        EXPECT_EQ(Lines(tree.ftdiDev), 0);
        d.KeyTest->click();
        EXPECT_TRUE(d.keyTestTimer.isActive());
        EXPECT_EQ(d.keyTestTimer.interval(), StationDialog::kTestMs);
        station.Tick();
        EXPECT_EQ(Lines(tree.ftdiDev), kDtr);
        d.PttTest->click();
        station.Tick();
        EXPECT_EQ(Lines(tree.ftdiDev), kDtr | kRts);
        switch (GetParam()) {
            case Ending::TestTimeUp:
                d.EndKeyTest();
                station.Tick();
                EXPECT_EQ(Lines(tree.ftdiDev), kRts);
                d.EndPttTest();
                d.OkButton->click();
                break;
            case Ending::Ok:
                d.OkButton->click();
                break;
            case Ending::Cancel:
                d.CancelButton->click();
                break;
            case Ending::Closed:
                d.close();
                break;
            case Ending::Escape:
                d.reject();
                break;
        }
        EXPECT_FALSE(d.keyTestTimer.isActive());
        EXPECT_FALSE(d.pttTestTimer.isActive());
        return d.result();
    });
    station.Tick();
    const bool kept = GetParam() == Ending::Ok || GetParam() == Ending::TestTimeUp;
    EXPECT_EQ(Lines(tree.ftdiDev), 0);
    EXPECT_EQ(station.settings().AllMask.load(), 0x00);
    EXPECT_EQ(station.settings().KeyPortNumber.load(), kept ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Endings, StationTestButtons,
                         ::testing::Values(Ending::TestTimeUp, Ending::Ok, Ending::Cancel,
                                           Ending::Closed, Ending::Escape));

TEST_F(StationDialogTest, ATestRunningWhenTheWindowGoesIsReleasedToo) {
    auto station = std::make_unique<Station>(layer, tree);
    station->Open([&](StationDialog& d) -> int {
        Choose(d.KeyDevice, "FTDI");
        d.PttTest->click();
        station->Tick();
        EXPECT_EQ(Lines(tree.ftdiDev), kRts);
        return int{QDialog::Rejected};  // as if the dialog were torn down without a button
    });
    station->Tick();
    EXPECT_EQ(Lines(tree.ftdiDev), 0);
    station.reset();
    EXPECT_EQ(Lines(tree.ftdiDev), 0);
}

TEST_F(StationDialogTest, PaddleIndicatorsFollowTheContacts) {
    Station station(layer, tree);
    station.Open([&](StationDialog& d) -> int {
        ChooseData(d.PaddleKind, static_cast<int>(PaddleChoice::Serial));
        Choose(d.PaddleDevice, "CP2102");
        d.UpdateIndicators();
        EXPECT_FALSE(Closed(d.DotIndicator));
        EXPECT_FALSE(Closed(d.DashIndicator));
        layer.SetModemInputs(tree.secondDev, TIOCM_CTS);
        d.UpdateIndicators();
        EXPECT_TRUE(Closed(d.DotIndicator));
        EXPECT_FALSE(Closed(d.DashIndicator));
        layer.SetModemInputs(tree.secondDev, TIOCM_DSR);
        d.UpdateIndicators();
        EXPECT_FALSE(Closed(d.DotIndicator));
        EXPECT_TRUE(Closed(d.DashIndicator));

        // An input device: its two keys, as the game port's buttons.
        ChooseData(d.PaddleKind, static_cast<int>(PaddleChoice::Input));
        layer.PressKey(tree.paddleDev, KEY_RIGHTCTRL, true);
        station.bus->GamePort()->Service(0, 0);
        d.UpdateIndicators();
        EXPECT_FALSE(Closed(d.DotIndicator));
        EXPECT_TRUE(Closed(d.DashIndicator));
        EXPECT_TRUE(d.indicatorTimer.isActive());
        return int{QDialog::Rejected};
    });
}

TEST_F(StationDialogTest, PaddleKeysAreChosenByPressingThem) {
    Station station(layer, tree);
    station.Open([&](StationDialog& d) -> int {
        ChooseData(d.PaddleKind, static_cast<int>(PaddleChoice::Input));
        d.DotKey->click();
        EXPECT_THAT(d.DotKey->text().toStdString(), HasSubstr("Press the dot paddle"));
        layer.PressKey(tree.paddleDev, KEY_Z, true);
        d.UpdateIndicators();
        EXPECT_EQ(d.DotKey->text().toStdString(), "Dot key: Z");
        layer.PressKey(tree.paddleDev, KEY_Z, false);
        d.DashKey->click();
        layer.PressKey(tree.paddleDev, KEY_X, true);
        d.UpdateIndicators();
        EXPECT_EQ(d.DashKey->text().toStdString(), "Dash key: X");
        d.OkButton->click();
        return d.result();
    });
    EXPECT_EQ(station.bus->Devices().gameport, tree.paddle);
    EXPECT_EQ(station.bus->Devices().paddleKeys, "Z,X");
    EXPECT_THAT(FileText(), HasSubstr("PaddleKeys=Z,X"));
}

TEST_F(StationDialogTest, EachProblemIsToldWithItsFix) {
    tree.Holds("ttyUSB1", 4321, "rigctld");
    layer.SetOpenError(tree.ftdiDev, -EACCES);
    layer.Unplug(tree.acmDev);
    layer.SetOpenError(tree.paddleDev, -EACCES);
    const std::string text = scratch.Path().toStdString() + "/dev/ttyS0";
    layer.AddText(text, "");
    Station station(layer, tree);
    station.Open([&](StationDialog& d) -> int {
        const auto problem = [&] { return d.KeyProblem->text().toStdString(); };
        Choose(d.KeyDevice, "FTDI");
        EXPECT_THAT(problem(), HasSubstr("sudo usermod -aG dialout $USER"));
        Choose(d.KeyDevice, "CP2102");
        EXPECT_THAT(problem(), HasSubstr("rigctld (pid 4321)"));
        EXPECT_THAT(problem(), HasSubstr("Shared"));
        d.KeyShared->setChecked(true);
        EXPECT_EQ(problem(), "");
        Choose(d.KeyDevice, "ttyACM0");
        EXPECT_THAT(problem(), HasSubstr("unplugged"));
        d.KeyTest->click();  // a test on it switches nothing and says so
        EXPECT_FALSE(d.KeyTest->isChecked());
        EXPECT_THAT(problem(), HasSubstr("Test key: nothing was switched"));
        Type(d.KeyDevice, text);
        EXPECT_THAT(problem(), HasSubstr("not a serial port with modem lines"));
        EXPECT_EQ(station.settings().KeyPortNumber.load(), 1);
        // A problem fixed and Refresh pressed: the words go.
        layer.Plug(tree.acmDev);
        Choose(d.KeyDevice, "ttyACM0");
        d.RefreshButton->click();
        EXPECT_EQ(problem(), "");
        ChooseData(d.PaddleKind, static_cast<int>(PaddleChoice::Input));
        EXPECT_THAT(d.PaddleProblem->text().toStdString(), HasSubstr("-aG input"));
        return int{QDialog::Rejected};
    });
}

TEST_F(StationDialogTest, ChosenDevicesKeyAfterSaveAndRestartWithoutAnyOption) {
    {
        Station first(layer, tree);
        first.Open([&](StationDialog& d) -> int {
            Choose(d.KeyDevice, "FTDI");
            ChooseData(d.KeyLine, kLineDtr);
            ChooseData(d.PttLine, kLineRts);
            ChooseData(d.PaddleKind, static_cast<int>(PaddleChoice::Serial));
            Choose(d.PaddleDevice, "CP2102");
            d.PaddleShared->setChecked(true);
            d.OkButton->click();
            return d.result();
        });
        first.form->Savesetup1->trigger();
    }
    const std::string file = FileText();
    EXPECT_THAT(file, HasSubstr("KeyPortNumber=1"));
    EXPECT_THAT(file, HasSubstr("DotPort=2FE"));
    EXPECT_THAT(file, HasSubstr("COM2Shared=1"));
    EXPECT_EQ(Lines(tree.ftdiDev), 0);

    Station second(layer, tree);  // a new start, no command-line option
    EXPECT_TRUE(second.warnings.empty());
    EXPECT_EQ(second.bus->Devices().com[0], tree.ftdi);
    EXPECT_EQ(second.bus->Devices().com[1], tree.second);
    EXPECT_TRUE(second.bus->Devices().comShared[1]);
    // The dot paddle on the second adapter keys DTR on the first.
    layer.SetModemInputs(tree.secondDev, TIOCM_CTS);
    second.Tick(3);
    EXPECT_EQ(Lines(tree.ftdiDev) & kDtr, kDtr);
    layer.SetModemInputs(tree.secondDev, 0);
    second.Tick(200);
    EXPECT_EQ(Lines(tree.ftdiDev) & kDtr, 0);
    // The TX button switches RTS there.
    second.form->TxButton->click();
    EXPECT_EQ(Lines(tree.ftdiDev) & kRts, kRts);
    second.form->TxButton->click();
    EXPECT_EQ(Lines(tree.ftdiDev) & kRts, 0);
}

TEST_F(StationDialogTest, WithoutTheDevicesBackendOnlyTheLinesAreSet) {
    WindowFixture window;
    window.AnswerDialogs([&](QDialog& dialog) {
        auto& d = dynamic_cast<StationDialog&>(dialog);
        EXPECT_FALSE(d.KeyDevice->isEnabled());
        EXPECT_TRUE(d.KeyPort->isEnabled());
        EXPECT_THAT(d.DevicesNote->text().toStdString(), HasSubstr("--ports="));
        return int{QDialog::Accepted};
    });
    window.form.Station1->trigger();
    EXPECT_EQ(window.engine.portSettings.KeyPortNumber.load(), 0);
}

// What one station set-up chooses in the dialog.
struct StationSetup {
    const char* keyDevice;
    int keyLine;
    int pttLine;
    PaddleChoice paddle;
    const char* paddleDevice;
    SidetoneChoice sidetone;
    int tone;
    int volume;
    int lead;
};

class StationKept : public StationDialogTest, public ::testing::WithParamInterface<StationSetup> {};

TEST_P(StationKept, OkAloneKeepsTheStationForTheNextStart) {
    const StationSetup& setup = GetParam();
    scratch.WriteFile("Telkey.ini", "[Qor_Cw]\r\nSpeed=80\r\n");
    StationChoice kept;
    {
        Station first(layer, tree);
        first.Open([&](StationDialog& d) -> int {
            Choose(d.KeyDevice, setup.keyDevice);
            ChooseData(d.KeyLine, setup.keyLine);
            ChooseData(d.PttLine, setup.pttLine);
            ChooseData(d.PaddleKind, static_cast<int>(setup.paddle));
            if (setup.paddleDevice[0] != '\0') Choose(d.PaddleDevice, setup.paddleDevice);
            ChooseData(d.SidetoneOutput, static_cast<int>(setup.sidetone));
            d.SidetoneTone->setValue(setup.tone);
            d.SidetoneVolume->setValue(setup.volume);
            d.PttLead->setValue(setup.lead);
            kept = ChoiceFromState(d.Chosen());
            d.OkButton->click();
            return d.result();
        });
        EXPECT_EQ(first.engine->keyerSettings.PaddleDelay.load(), setup.lead);
    }
    EXPECT_THAT(FileText(), HasSubstr("Speed=80"));
    EXPECT_THAT(FileText(), Not(HasSubstr("IsYamb=")));  // only the dialog's own keys

    Station second(layer, tree);  // a new start: the settings file only
    EXPECT_EQ(second.engine->keyerSettings.PaddleDelay.load(), setup.lead);
    second.Open([&](StationDialog& d) -> int {
        EXPECT_EQ(ChoiceFromState(d.Chosen()), kept);
        EXPECT_EQ(d.PttLead->value(), setup.lead);
        EXPECT_EQ(d.PaddleProblem->text().toStdString(), "");
        return int{QDialog::Rejected};
    });
    // The keyer keys the port chosen.
    const int device = kept.keyKind == DeviceKind::Serial ? tree.acmDev : tree.parportDev;
    second.form->TxButton->click();
    second.Tick();
    if (kept.keyKind == DeviceKind::Serial) {
        EXPECT_EQ(Lines(device), setup.pttLine == kLineRts ? kRts : kDtr);
    } else {
        EXPECT_EQ(layer.Lines(device).data.load(), 1 << setup.pttLine);
    }
    second.form->TxButton->click();
}

INSTANTIATE_TEST_SUITE_P(
    Setups, StationKept,
    ::testing::Values(StationSetup{"ttyACM0", kLineDtr, kLineRts, PaddleChoice::None, "",
                                   SidetoneChoice::SoundCard, 700, 40, 50},
                      StationSetup{"ttyACM0", kLineRts, kLineDtr, PaddleChoice::Serial, "CP2102",
                                   SidetoneChoice::PcSpeaker, 550, 100, 0},
                      StationSetup{"parport0", 2, 5, PaddleChoice::Input, "K1EL",
                                   SidetoneChoice::None, 800, 70, 300}));

class FreshDialog : public StationDialogTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(FreshDialog, ShowsNoPaddleNobodyChose) {
    scratch.WriteFile("Telkey.ini", GetParam());  // paddle ports with no device behind them
    Station station(layer, tree);
    station.Open([&](StationDialog& d) -> int {
        EXPECT_EQ(d.PaddleKind->currentData().toInt(), static_cast<int>(PaddleChoice::None));
        EXPECT_EQ(d.PaddleProblem->text().toStdString(), "");
        return int{QDialog::Rejected};
    });
}

INSTANTIATE_TEST_SUITE_P(Settings, FreshDialog,
                         ::testing::Values("",
                                           "[Qor_Cw]\r\nDotPort=2FE\r\nDashPort=2FE\r\n"
                                           "DotXorMask=00\r\nDashXorMask=00\r\n"));

// Without devices (--ports=sim or none): the key port, its lines and the tests.
struct SimKeyPort {
    int keyPort;
    int keyLine;
    int pttLine;
    std::uint16_t register_;
};

class StationWithoutDevices : public ::testing::TestWithParam<SimKeyPort> {};

TEST_P(StationWithoutDevices, KeyPortLinesAndTestsAreOffered) {
    const SimKeyPort& port = GetParam();
    const auto written = [](WindowFixture& w, std::uint16_t reg) {
        std::vector<int> values;
        for (const PortWrite& write : w.bus.WritesTo(reg)) values.push_back(write.value);
        w.bus.Clear();
        return values;
    };
    WindowFixture window;
    window.AnswerDialogs([&](QDialog& dialog) {
        auto& d = dynamic_cast<StationDialog&>(dialog);
        EXPECT_TRUE(d.KeyPort->isVisibleTo(&d));
        EXPECT_FALSE(d.KeyDevice->isVisibleTo(&d));
        EXPECT_EQ(d.PaddleProblem->text().toStdString(), "");
        ChooseData(d.KeyPort, port.keyPort);
        EXPECT_TRUE(d.KeyLine->isEnabled());
        EXPECT_TRUE(d.KeyTest->isEnabled());
        ChooseData(d.KeyLine, port.keyLine);
        ChooseData(d.PttLine, port.pttLine);
        window.bus.Clear();
        d.KeyTest->click();
        EXPECT_TRUE(d.KeyTest->isChecked());  // down while the line is keyed
        window.Ticks(2);
        EXPECT_THAT(written(window, port.register_), ::testing::Contains(1 << port.keyLine));
        d.EndKeyTest();
        EXPECT_FALSE(d.KeyTest->isChecked());
        d.PttTest->click();
        window.Ticks(2);
        EXPECT_THAT(written(window, port.register_), ::testing::Contains(1 << port.pttLine));
        d.EndPttTest();
        window.Ticks(2);
        EXPECT_THAT(written(window, port.register_), ::testing::Contains(0));
        // The sidetone's test: the speaker's gate on, then off.
        ChooseData(d.SidetoneOutput, static_cast<int>(SidetoneChoice::SoundCard));
        d.ToneTest->click();
        EXPECT_TRUE(d.ToneTest->isChecked());
        const auto gate = [](int on) {
            return ::testing::Truly([on](int v) { return (v & 3) == on; });
        };
        EXPECT_THAT(written(window, 0x61), ::testing::Contains(gate(3)));
        d.EndToneTest();
        EXPECT_FALSE(d.ToneTest->isChecked());
        EXPECT_THAT(written(window, 0x61), ::testing::Contains(gate(0)));
        d.OkButton->click();
        return d.result();
    });
    window.form.Station1->trigger();
    EXPECT_EQ(window.engine.portSettings.KeyPortNumber.load(), port.keyPort);
    EXPECT_THAT(FileText(), HasSubstr("KeyPortNumber=" + std::to_string(port.keyPort)));
}

INSTANTIATE_TEST_SUITE_P(Ports, StationWithoutDevices,
                         ::testing::Values(SimKeyPort{1, kLineDtr, kLineRts, 0x3FC},
                                           SimKeyPort{2, kLineRts, kLineDtr, 0x2FC},
                                           SimKeyPort{5, 3, 4, 0x378}));

TEST_F(StationDialogTest, TheLayoutKeepsItsSizeWhenAMessageAppears) {
    layer.SetOpenError(tree.ftdiDev, -EACCES);
    layer.SetOpenError(tree.paddleDev, -EACCES);
    Station station(layer, tree);
    station.Open([&](StationDialog& d) -> int {
        const QSize quiet = d.sizeHint();
        const std::vector<std::function<void()>> messages = {
            [&] { Choose(d.KeyDevice, "FTDI"); },
            [&] {
                ChooseData(d.PaddleKind, static_cast<int>(PaddleChoice::Input));
                Choose(d.PaddleDevice, "K1EL");
            },
            [&] { ChooseData(d.SidetoneOutput, static_cast<int>(SidetoneChoice::PcSpeaker)); },
        };
        for (const auto& message : messages) {
            message();
            EXPECT_EQ(d.sizeHint(), quiet);
        }
        EXPECT_FALSE(d.KeyProblem->text().isEmpty());
        EXPECT_FALSE(d.PaddleProblem->text().isEmpty());
        EXPECT_FALSE(d.SidetoneNote->text().isEmpty());
        return int{QDialog::Rejected};
    });
}

// A test button and the modem line it switches.
struct TypedLine {
    TestLine line;
    int bit;  // 0: the line is set to none
};

class TestButtonOnAFreshProfile : public StationDialogTest,
                                  public ::testing::WithParamInterface<TypedLine> {};

TEST_P(TestButtonOnAFreshProfile, SwitchesItsLineOnATypedDeviceWhileTheKeyerSleeps) {
    const TypedLine& t = GetParam();
    const std::string typed = scratch.Path().toStdString() + "/dev/ttyUSB7";
    const int dev = layer.AddSerial(typed);
    Station station(layer, tree);      // no settings file
    station.driver.SetSleeping(true);  // as the keyer's thread does while nothing happens
    station.Tick(10);
    station.Open([&](StationDialog& d) -> int {
        Type(d.KeyDevice, typed);
        if (t.bit == 0) ChooseData(t.line == TestLine::Key ? d.KeyLine : d.PttLine, kNoLine);
        QPushButton* button = t.line == TestLine::Key ? d.KeyTest : d.PttTest;
        button->click();
        station.Tick(10);
        EXPECT_EQ(Lines(dev), t.bit) << d.KeyProblem->text().toStdString();
        EXPECT_EQ(button->isChecked(), t.bit != 0);
        EXPECT_EQ(d.KeyProblem->text().contains(QStringLiteral("nothing was switched")),
                  t.bit == 0);
        t.line == TestLine::Key ? d.EndKeyTest() : d.EndPttTest();
        station.Tick(10);
        EXPECT_EQ(Lines(dev), 0);
        return int{QDialog::Rejected};
    });
}

INSTANTIATE_TEST_SUITE_P(Lines, TestButtonOnAFreshProfile,
                         ::testing::Values(TypedLine{TestLine::Key, kDtr},
                                           TypedLine{TestLine::Tx, kRts},
                                           TypedLine{TestLine::Key, 0},
                                           TypedLine{TestLine::Tx, 0}));

// An option for one run, the settings file it starts with, and what OK leaves there.
struct OneRunOption {
    std::vector<std::string> options;  // $ftdi, $acm, ... name the station's devices
    const char* file;
    std::function<void(StationDialog&)> change;  // the field the operator changes, if any
    const char* kept;                            // in the file after OK
    const char* notWritten;                      // not in the file after OK
};

class OptionsForOneRun : public StationDialogTest,
                         public ::testing::WithParamInterface<OneRunOption> {};

TEST_P(OptionsForOneRun, OkWritesOnlyWhatTheOperatorChangedOrTheFileHeld) {
    const OneRunOption& o = GetParam();
    const auto named = [&](std::string text) {
        for (const auto& [token, path] : {std::pair<std::string, std::string>{"$ftdi", tree.ftdi},
                                          {"$acm", tree.acm},
                                          {"$second", tree.second},
                                          {"$parport", tree.parport}}) {
            for (auto at = text.find(token); at != std::string::npos; at = text.find(token)) {
                text.replace(at, token.size(), path);
            }
        }
        return text;
    };
    scratch.WriteFile("Telkey.ini", named(o.file));
    PortBusOptions line;
    rig::RigOptions rigLine;
    std::string error;
    for (const std::string& option : o.options) {
        ASSERT_TRUE(ParsePortBusOption(named(option), line, error) ||
                    rig::ParseRigOption(option, rigLine, error));
        ASSERT_EQ(error, "");
    }
    ASSERT_TRUE(rig::FinishRigOptions(rigLine, error)) << error;
    Station station(layer, tree, line, rigLine);
    station.Open([&](StationDialog& d) -> int {
        d.SidetoneTone->setValue(d.SidetoneTone->value() + 10);  // a change elsewhere
        if (o.change) o.change(d);
        d.OkButton->click();
        return d.result();
    });
    const std::string file = FileText();
    EXPECT_THAT(file, HasSubstr(named(o.kept)));
    EXPECT_THAT(file, Not(HasSubstr(named(o.notWritten))));
    EXPECT_THAT(file, HasSubstr("SpeakerTone="));
}

INSTANTIATE_TEST_SUITE_P(
    Options, OptionsForOneRun,
    ::testing::Values(
        OneRunOption{
            {"--ptt=line"}, "[Devices]\r\nRigPtt=rig\r\n", {}, "RigPtt=rig", "RigPtt=line"},
        OneRunOption{{"--ptt=line"},
                     "[Devices]\r\nRigPtt=rig\r\n",
                     [](StationDialog& d) { d.RigGroup->RigPtt->setCurrentIndex(2); },
                     "RigPtt=both",
                     "RigPtt=rig"},
        OneRunOption{{"--rig=127.0.0.1:4999"},
                     "[Devices]\r\nRigctld=localhost:4532\r\n",
                     {},
                     "Rigctld=localhost:4532",
                     "4999"},
        OneRunOption{{"--rig-model=2", "--rig-port=/dev/ttyS9"},
                     "[Devices]\r\nRig=rigctld\r\n",
                     {},
                     "Rig=rigctld",
                     "RigModel="},
        OneRunOption{{"--com1=$ftdi"},
                     "[Qor_Cw]\r\nKeyPortNumber=1\r\n[Devices]\r\nCOM1=$acm\r\n",
                     {},
                     "COM1=$acm",
                     "$ftdi"},
        OneRunOption{{"--com1=$ftdi"},
                     "[Qor_Cw]\r\nKeyPortNumber=1\r\n[Devices]\r\nCOM1=$acm\r\n",
                     [](StationDialog& d) { Choose(d.KeyDevice, "CP2102"); },
                     "COM1=$second",
                     "$acm"},
        OneRunOption{
            {"--lpt1=$parport"}, "[Qor_Cw]\r\nKeyPortNumber=5\r\n", {}, "KeyPortNumber=5", "LPT1="},
        OneRunOption{
            {"--speaker=pcspkr"}, "[Devices]\r\nVolume=40\r\n", {}, "Volume=40", "Speaker=pcspkr"},
        OneRunOption{{"--paddle-keys=Z,X"},
                     "[Devices]\r\nPaddleKeys=A,B\r\n",
                     {},
                     "PaddleKeys=A,B",
                     "Z,X"}));

// What a laptop with a 1280x720 screen and a desktop panel leaves for a window, its frame
// included.
constexpr int kLaptopWidth = 1280;
constexpr int kLaptopHeight = 640;

class StationOnALaptop
    : public StationDialogTest,
      public ::testing::WithParamInterface<std::function<void(StationDialog&, StationTree&)>> {};

TEST_P(StationOnALaptop, FitsWithOkVisibleAndIsResizable) {
    layer.SetOpenError(tree.ftdiDev, -EACCES);
    layer.SetOpenError(tree.paddleDev, -EACCES);
    tree.Holds("ttyUSB1", 4321, "rigctld");
    Station station(layer, tree);
    station.Open([&](StationDialog& d) -> int {
        GetParam()(d, tree);
        d.show();
        QApplication::processEvents();
        const QSize hint = d.sizeHint();
        EXPECT_LE(hint.height(), kLaptopHeight);
        EXPECT_LE(hint.width(), kLaptopWidth);
        EXPECT_LE(d.minimumSizeHint().height(), kLaptopHeight);
        EXPECT_LT(d.minimumHeight(), d.maximumHeight());  // resizable
        EXPECT_LE(d.OkButton->mapTo(&d, QPoint(0, d.OkButton->height())).y(), d.height());
        return int{QDialog::Rejected};
    });
}

INSTANTIATE_TEST_SUITE_P(
    Messages, StationOnALaptop,
    ::testing::Values([](StationDialog&, StationTree&) {},  // nothing to say
                      [](StationDialog& d, StationTree&) {
                          Choose(d.KeyDevice, "FTDI");  // no permission
                          ChooseData(d.PaddleKind, static_cast<int>(PaddleChoice::Input));
                          ChooseData(d.SidetoneOutput, static_cast<int>(SidetoneChoice::PcSpeaker));
                      },
                      [](StationDialog& d, StationTree&) {
                          Choose(d.KeyDevice, "CP2102");  // held by rigctld
                          ChooseData(d.PaddleKind, static_cast<int>(PaddleChoice::Serial));
                          Choose(d.PaddleDevice, "FTDI");
                          d.RigGroup->RigKind->setCurrentIndex(1);
                          d.RigGroup->RigKey->setCurrentIndex(1);
                          d.RigGroup->RigPttTest->click();  // no serial port named: said
                      }));

// With TELKEY_SCREENSHOT=FILE (on an X server with a window manager): the dialog as the
// documentation shows it, saved as a PNG.
TEST_F(StationDialogTest, Screenshot) {
    const QByteArray file = qgetenv("TELKEY_SCREENSHOT");
    if (file.isEmpty()) GTEST_SKIP() << "set TELKEY_SCREENSHOT=FILE to take it";
    // A short root, so that the paths in the dialog read as on a real station.
    const std::string root = "/tmp/station";
    std::filesystem::remove_all(root);
    FakeDeviceLayer devices;
    StationTree shot(root, devices);
    Station station(devices, shot);
    station.Open([&](StationDialog& d) -> int {
        Choose(d.KeyDevice, "FTDI");
        ChooseData(d.KeyLine, kLineDtr);
        ChooseData(d.PttLine, kLineRts);
        ChooseData(d.PaddleKind, static_cast<int>(PaddleChoice::Serial));
        Choose(d.PaddleDevice, "CP2102");
        ChooseData(d.SidetoneOutput, static_cast<int>(SidetoneChoice::SoundCard));
        d.SidetoneTone->setValue(650);
        d.SidetoneVolume->setValue(60);
        devices.SetModemInputs(shot.secondDev, TIOCM_CTS);
        d.show();
        QElapsedTimer shown;
        shown.start();
        while (shown.elapsed() < 1500) QApplication::processEvents();
        d.UpdateIndicators();
        QApplication::processEvents();
        const QMargins margins = d.windowHandle()->frameMargins();
        const QRect frame = d.geometry().marginsAdded(margins);
        const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(
            0, frame.x(), frame.y(), frame.width(), frame.height());
        EXPECT_TRUE(shot.save(QString::fromLocal8Bit(file), "PNG"));
        return int{QDialog::Rejected};
    });
    std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace telkey::test
