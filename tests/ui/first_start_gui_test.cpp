// The first start: with no settings file and devices to choose, the Station dialog opens once
// as a guide; a logger's own settings file, or a backend without devices, starts without it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <memory>

#include "backends/port_bus_devices.h"
#include "engine/engine.h"
#include "engine/manual_tick_driver.h"
#include "support/fake_device_layer.h"
#include "support/recording_messages.h"
#include "support/station_tree.h"
#include "support/window_fixture.h"
#include "ui/main_form.h"
#include "ui/station_dialog.h"

namespace telkey::test {
namespace {

// One start of the program as main() puts it together on the fake devices; `withDevices`
// false stands for the sim, none and raw backends, which hand the window no devices.
class Start {
  public:
    Start(FakeDeviceLayer& layer, const StationTree& tree, bool withDevices) {
        DevicesConfig config;
        config.threads = false;
        bus = std::make_unique<DevicesPortBus>(layer, config, warnings);
        engine = std::make_unique<Engine>(*bus, driver);
        form = std::make_unique<TForm1>(*engine, messages);
        form->boxes = &boxes;
        form->requestEnd = [] {};
        form->runDialog = [this](QDialog& dialog) {
            if (dynamic_cast<StationDialog*>(&dialog) != nullptr) ++stationDialogs;
            return int{QDialog::Rejected};
        };
        form->stationDevices = withDevices ? bus.get() : nullptr;
        form->stationRoots = tree.roots;
        form->GuideFirstStart();
        form->show();
        for (int i = 0; i < 5; ++i) QApplication::processEvents();
    }
    ~Start() {
        form->hide();
        form.reset();
        engine->timer.StopKeyerTimer();
    }

    int stationDialogs = 0;
    std::vector<std::string> warnings;
    std::unique_ptr<DevicesPortBus> bus;
    ManualTickDriver driver;
    std::unique_ptr<Engine> engine;
    RecordingMessages messages;
    RecordingBoxes boxes;
    std::unique_ptr<TForm1> form;
};

class FirstStart : public ::testing::Test {
  protected:
    bool SettingsFileExists() const {
        return QFile::exists(scratch.Path() + QStringLiteral("/Telkey.ini"));
    }

    ScratchDirectory scratch;
    FakeDeviceLayer layer;
    StationTree tree{scratch.Path().toStdString(), layer};
};

TEST_F(FirstStart, OpensTheStationDialogOnceOnTheDevicesBackend) {
    {
        Start first(layer, tree, /*withDevices=*/true);
        EXPECT_EQ(first.stationDialogs, 1);
        EXPECT_TRUE(first.form->isVisible());
    }
    // Cancelled: the file now exists, and the next start goes straight to the window.
    EXPECT_TRUE(SettingsFileExists());
    Start second(layer, tree, /*withDevices=*/true);
    EXPECT_EQ(second.stationDialogs, 0);
}

TEST_F(FirstStart, NoGuideWithASettingsFileOrWithoutDevices) {
    const struct {
        bool fileThere;
        bool withDevices;
    } cases[] = {{true, true}, {false, false}};
    for (const auto& c : cases) {
        QFile::remove(scratch.Path() + QStringLiteral("/Telkey.ini"));
        if (c.fileThere)
            scratch.WriteFile(QStringLiteral("Telkey.ini"), "[Qor_Cw]\r\nSpeed=80\r\n");
        Start start(layer, tree, c.withDevices);
        EXPECT_EQ(start.stationDialogs, 0) << c.fileThere << c.withDevices;
        EXPECT_EQ(SettingsFileExists(), c.fileThere) << c.fileThere << c.withDevices;
    }
}

}  // namespace
}  // namespace telkey::test
