#pragma once
// Engine start-up on the main window's first activation, and shutdown when it goes.
#include <QString>
#include <functional>

namespace telkey {

struct Engine;
class ControlProtocol;
class MessageBoxes;
class QsoFields;
class SettingsFile;
class SpeedControl;

// The steps that belong to the window and the transmit side.
struct StartupHooks {
    std::function<void()> FocusInput;
    std::function<void()> InstallAppIdle;
    // Ends the application once control is back in the message loop.
    std::function<void()> RequestEnd;
};

class EngineStartup {
  public:
    EngineStartup(Engine& engine, SettingsFile& settings, QsoFields& fields, SpeedControl& speed,
                  ControlProtocol& protocol, MessageBoxes& boxes);

    void Bind(const StartupHooks& hooks) { hooks_ = hooks; }

    // Settings, fields, focus, ports, timer, idle handler, speed, announcements; once only.
    // A failure shows its message titled "Error" and requests the end, and the remaining steps
    // still run.
    void FormActivate();
    // Stops the keyer timer and releases the key, TX and speaker outputs; once only.
    void FormDestroy();

    // Shows a start-up failure and requests the end of the application.
    void Fail(const QString& message);

    bool EngineStarted() const noexcept { return engineStarted_; }

  private:
    Engine& engine_;
    SettingsFile& settings_;
    QsoFields& fields_;
    SpeedControl& speed_;
    ControlProtocol& protocol_;
    MessageBoxes& boxes_;
    StartupHooks hooks_;
    bool engineStarted_ = false;
    bool engineStopped_ = false;
};

}  // namespace telkey
