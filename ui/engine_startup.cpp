#include "ui/engine_startup.h"

#include "engine/engine.h"
#include "engine/safe_outputs.h"
#include "exchange/control_protocol.h"
#include "exchange/qso_fields.h"
#include "options/speed_control.h"
#include "ui/settings_file.h"
#include "widgets/message_box.h"

namespace telkey {

EngineStartup::EngineStartup(Engine& engine, SettingsFile& settings, QsoFields& fields,
                             SpeedControl& speed, ControlProtocol& protocol, MessageBoxes& boxes)
    : engine_(engine),
      settings_(settings),
      fields_(fields),
      speed_(speed),
      protocol_(protocol),
      boxes_(boxes) {}

void EngineStartup::FormActivate() {
    if (engineStarted_) return;
    engineStarted_ = true;

    // Leaving CallEdit below must not announce the call before the start-up announcements.
    fields_.HoldExits();
    settings_.LoadSettings();  // also empties the hand-over
    fields_.ClearEditButtonClick();
    if (hooks_.FocusInput) hooks_.FocusInput();
    engine_.ports.InitPorts();
    for (const std::string& message : engine_.timer.StartKeyerTimer()) {
        Fail(QString::fromStdString(message));
    }
    if (hooks_.InstallAppIdle) hooks_.InstallAppIdle();
    speed_.ApplySpeed(true);
    if (const std::string problem = protocol_.AnnounceStartup(); !problem.empty()) {
        Fail(QString::fromStdString(problem));
    }
    fields_.ReleaseExits();
}

void EngineStartup::Fail(const QString& message) {
    boxes_.ShowError(QString::fromLatin1(kErrorTitle), message);
    if (hooks_.RequestEnd) hooks_.RequestEnd();
}

void EngineStartup::FormDestroy() {
    if (engineStopped_) return;
    engineStopped_ = true;
    if (!engineStarted_) {
        engine_.timer.StopKeyerTimer();
        return;
    }
    // No tick runs any more: the transmitter receiving, the key and the speaker off.
    ReleaseOutputs(engine_);
}

}  // namespace telkey
