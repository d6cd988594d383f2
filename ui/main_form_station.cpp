// The main window's station set-up: the dialog over the settings words and the devices.
#include "engine/engine.h"
#include "transmit/rig_tx.h"
#include "ui/main_form.h"
#include "ui/settings_values.h"
#include "ui/station_dialog.h"

#include <QToolButton>

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

}  // namespace telkey
