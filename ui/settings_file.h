#pragma once
// LoadSettings, Savesetup1Click and SaveMacros: the settings file ".\Telkey.ini" moved into the
// running program (variables and controls) and back.
#include <QFont>
#include <cstdint>
#include <functional>

#include "ui/settings_values.h"

class QAbstractButton;
class QAction;
class QPlainTextEdit;
class QWidget;

namespace telkey {

struct Engine;
struct ExchangeSettings;
struct KeyingOptions;
struct MacroStore;
class DeviceSupervision;
class MessageBoxes;
class SpeedControl;
class UpDown;

// The controls the settings are shown in. Any may be null where a test has no use for it.
struct SettingsControls {
    QWidget* mainWindow = nullptr;   // Form1
    QWidget* macroEditor = nullptr;  // Form2
    QPlainTextEdit* Input = nullptr;
    QPlainTextEdit* Sent = nullptr;
    QAbstractButton* SpeakerButton = nullptr;
    QAbstractButton* YambButton = nullptr;
    QAbstractButton* OnTopButton = nullptr;
    UpDown* DashDotUpDown = nullptr;
    QAction* MOX1 = nullptr;
    QAction* TXOnKeyboard1 = nullptr;
    QAction* RxAtFreeBuffer1 = nullptr;
    QAction* RxAtSilence1 = nullptr;
    QAction* TxAtPaddle1 = nullptr;
    QAction* PauseAtPaddle1 = nullptr;
    QAction* PauseOffAtRx1 = nullptr;
    // The keying options' setters (variable, caption, radio item) and the macro hints.
    std::function<void(std::int32_t)> SetPaddleDelay;
    std::function<void(std::int32_t)> SetSilenceLen;
    std::function<void()> UpdateMacroHints;
};

// What a text window's font and colours were loaded as: a value the operator has not changed
// since is written back exactly so (a system colour stays a system colour).
struct LoadedTextWindow {
    FontSettings stored;
    QFont font;
};

class SettingsFile {
  public:
    SettingsFile(Engine& engine, KeyingOptions& options, SpeedControl& speed,
                 ExchangeSettings& exchange, MacroStore& macros, MessageBoxes& boxes);

    void Bind(const SettingsControls& controls) { controls_ = controls; }
    // The devices "Save setup" keeps in their own section (null: the section stays as it is).
    void SetDevices(const DeviceSupervision* devices) { devices_ = devices; }

    // Reads every key and applies it: variables, fonts, colours, macros, hand-over state,
    // geometry, buttons and menu items. Run once, before the keyer timer starts.
    void LoadSettings();
    // Writes every key, then the macros. A key that cannot be written stops the save there
    // with "Unable to write to .\Telkey.ini" shown; the program goes on.
    void Savesetup1Click();
    // Writes Macro0 to Macro15; a failure shows the same error.
    void SaveMacros();

    // The settings as the running program holds them now (what Savesetup1Click writes).
    SettingsValues CurrentValues() const;

  private:
    void ApplyValues(const SettingsValues& v);
    void ApplyFont(QPlainTextEdit* window, const FontSettings& stored, LoadedTextWindow& loaded);
    FontSettings CurrentFont(const QPlainTextEdit* window, const LoadedTextWindow& loaded) const;
    void ShowWriteError(const std::exception& error);

    Engine& engine_;
    KeyingOptions& options_;
    SpeedControl& speed_;
    ExchangeSettings& exchange_;
    MacroStore& macros_;
    MessageBoxes& boxes_;
    SettingsControls controls_;
    const DeviceSupervision* devices_ = nullptr;
    LoadedTextWindow txLoaded_;
    LoadedTextWindow sentLoaded_;
};

// Applies stored geometry to a top-level window: outer left, top, height and width, each
// skipped when it is -1.
void ApplyGeometry(QWidget& window, std::int32_t left, std::int32_t top, std::int32_t height,
                   std::int32_t width);

}  // namespace telkey
