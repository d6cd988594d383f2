// The main window's station set-up: the dialog over the settings words and the devices.
#include <QFile>
#include <QTimer>
#include <QToolButton>

#include "backends/port_bus_devices.h"
#include "engine/engine.h"
#include "profile/profile_file.h"
#include "transmit/rig_tx.h"
#include "ui/engine_startup.h"
#include "ui/main_form.h"
#include "ui/profile_devices.h"
#include "ui/settings_values.h"
#include "ui/station_dialog.h"

namespace telkey {

void TForm1::Station1Click() {
    StationLinks links;
    links.settings = &engine.portSettings;
    links.bus = &engine.ports.Bus();
    links.ports = &engine.ports;
    links.devices = stationDevices;
    links.roots = stationRoots;
    links.settingsFile = kSettingsFileName;
    links.boxes = boxes;
    links.paddleDelay = engine.keyerSettings.PaddleDelay.load();
    links.setPaddleDelay = [this](std::int32_t paddleDelay) { SetPaddleDelay(paddleDelay); };
    links.winkeyer = ReadWinkeyerChoice(ProfileFile(kSettingsFileName));
    if (rigTx != nullptr) {
        links.rig = rigTx->Choice();
        links.rigLinkFor = [this](const rig::RigTarget& target) -> rig::RigLink* {
            rig::RigBridge* bridge = rigTx->Bridge();
            if (bridge == nullptr) return nullptr;
            const rig::RigTarget& used = bridge->Link().Target();
            return used.Describe() == target.Describe() ? &bridge->Link() : nullptr;
        };
        links.applyRig = [this](const rig::RigChoice& choice) { rigTx->Configure(choice); };
    }
    StationDialog dialog(links, this);
    dialog.Finish(runDialog(dialog));
    // The sidetone may have been switched on or off.
    SpeakerButton->setChecked(engine.portSettings.UseSpeaker.load() != 0);
}

namespace {

QString SettingsPath() {
    return QString::fromStdString(ResolveProfilePath(kSettingsFileName));
}

}  // namespace

void TForm1::GuideFirstStart() {
    // A logger that starts Telkey on a settings file of its own has set the station up already;
    // the other backends have no devices to choose.
    if (QFile::exists(SettingsPath())) return;
    if (stationDevices == nullptr || stationDevices->Layer() == nullptr) return;
    guidePending_ = true;
    if (engineStartup->EngineStarted()) OpenFirstStartGuide();
}

void TForm1::OpenFirstStartGuide() {
    if (!guidePending_ || !engineStartup->EngineStarted()) return;
    guidePending_ = false;
    // Once the window is up, not inside the start-up that shows it.
    QTimer::singleShot(0, this, [this] {
        Station1Click();
        // Cancelled: an empty file (all defaults) says the guide has been shown.
        QFile file(SettingsPath());
        if (!file.exists()) file.open(QIODevice::WriteOnly | QIODevice::NewOnly);
    });
}

}  // namespace telkey
