#pragma once
// The main window: the speed row, the macro buttons, the QSO fields, the Sent and Input windows,
// the status bar and the menu. It owns the window-side state and wires the controls' events to
// the procedures of the units that own them.
#include <QMainWindow>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "backends/devices_discovery.h"
#include "bus/message_services.h"
#include "bus/registered_messages.h"
#include "options/keying_options.h"
#include "options/speed_control.h"
#include "profile/exchange_settings.h"
#include "transmit/macro_store.h"
#include "widgets/message_box.h"
#include "widgets/up_down.h"

class QAction;
class QActionGroup;
class QColorDialog;
class QDialog;
class QFontDialog;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QToolButton;

namespace telkey {

class DeviceSupervision;
struct Engine;
class Announcer;
class StatusPanels;
class TAbout;
class TForm2;
class TxControl;
class RigTx;
class MacroRunner;
class OuterGeometry;
class TransmitQueue;
class KeyboardCommands;
class QsoFields;
class ControlProtocol;
class SettingsFile;
class EngineStartup;

class TForm1 : public QMainWindow {
    Q_OBJECT

  public:
    // Designed outer geometry of the window.
    static constexpr int kDesignedLeft = 238;
    static constexpr int kDesignedTop = 127;
    static constexpr int kDesignedWidth = 435;
    static constexpr int kDesignedHeight = 303;

    TForm1(Engine& engine, MessageServices& messages, QWidget* parent = nullptr);
    ~TForm1() override;

    // ---- Handlers of the window as a whole.
    // Reads OnTop from the settings file, applies it, installs the control-message hook.
    void FormCreate();
    // OtherEdit follows the window's outer width.
    void FormResize();
    void OnTopButtonClick();
    void TxWindowFontSetup1Click();
    void TxWindowBackgroundSetup1Click();
    void SentWindowFontSetup1Click();
    void SentWindowBackgroundSetup1Click();
    void About1Click();
    void Exit2Click();

    // Control messages from other programs; passes on what it does not take (returns 0).
    std::int32_t MainWindowHook(std::uint32_t msg, std::int32_t wParam, std::int32_t lParam);

    // ---- Speed controls.
    void SpeedEditExit();
    void SpeedEditKeyPress(QChar key);
    void SpeedUpDownChanging(UpDown::Button button);
    void DashDotUpDownClick();

    // ---- Keying options.
    void MOX1Click();
    void TXOnKeyboard1Click();
    void TxAtPaddle1Click();
    void RxAtFreeBuffer1Click();
    void RxAtSilence1Click();
    void PauseAtPaddle1Click();
    void PauseOffAtRx1Click();
    void SetPaddleDelay(std::int32_t paddleDelay);
    void SetSilenceLen(std::int32_t silenceLen);
    void SpeakerButtonClick();
    void YambButtonClick();
    // Check marks, captions, radio items and the Speaker and Iamb buttons from the variables.
    void ShowKeyingOptions();

    // ---- Window style and geometry.
    void SetStayOnTop(bool onTop);
    bool StaysOnTop() const;
    // Outer size as the desktop sees it (frame and title bar included).
    int OuterWidth() const;
    int OuterHeight() const;
    void SetOuterSize(int width, int height);

    // Start-up failures: the message in a box titled "Error", then the application ends once
    // control returns to its message loop.
    void ShowErrorAndEnd(const QString& message);

    // ---- Transmission control (transmit queue, transmit and pause, macros, keys).
    void FeedKeyer();
    void EchoSent();
    void ApplyTx();
    void SetPause(bool on);
    void RunMacro(int n);
    void TxButtonClick();
    void PauseButtonClick();
    void SentClick();
    void EditMacros1Click();
    // The station set-up dialog: devices, lines, paddle and sidetone, with their tests.
    void Station1Click();
    // Start-up: with no settings file in the working directory and devices to choose, the
    // Station dialog opens as a first-run guide once the engine has started. Afterwards a
    // settings file exists (kept by OK, else created empty), so it opens only this once.
    void GuideFirstStart();
    // Key preview: clears `key` to swallow it.
    void FormKeyDown(int& key, Qt::KeyboardModifiers shift);
    // Start-up step: the idle handler runs whenever the event loop is about to sleep.
    void InstallAppIdle();

    // ---- Program exchange, settings file, engine start-up and shutdown.
    // Engine start-up on the first activation of the window; later activations do nothing.
    void FormActivate();
    // Stops the keyer timer and releases the outputs.
    void FormDestroy();
    void LoadSettings();
    void Savesetup1Click();
    void ClearEditButtonClick();
    void CallEditExit();
    void RSTEditExit();
    void NameEditExit();

    // ---- Window-side state.
    Engine& engine;
    MessageServices& messages;
    KeyingOptions options;
    SpeedControl speed;
    ExchangeSettings exchange;
    MacroStore macros;
    RegisteredMessages registered;

    // ---- Panel1: the speed row.
    QFrame* Panel1;
    QLabel* SpedLabel;
    QLineEdit* SpeedEdit;
    UpDown* SpeedUpDown;
    QLabel* DashDotLabel;
    QLineEdit* DashDotEdit;
    UpDown* DashDotUpDown;
    QToolButton* OnTopButton;
    QToolButton* YambButton;
    QToolButton* TxButton;
    QToolButton* PauseButton;
    QToolButton* SpeakerButton;

    // ---- Panel2: F1 to F12.
    QFrame* Panel2;
    std::array<QPushButton*, 12> ButMacro{};

    // ---- Panel3: the QSO fields.
    QFrame* Panel3;
    QPushButton* ClearEditButton;
    QLabel* CallLabel;
    QLineEdit* CallEdit;
    QLabel* RSTLabel;
    QLineEdit* RSTEdit;
    QLabel* NameLabel;
    QLineEdit* NameEdit;
    QLabel* OtherLabel;
    QLineEdit* OtherEdit;

    // ---- Text windows and status bar.
    QPlainTextEdit* Sent;
    QFrame* Splitter1;
    QPlainTextEdit* Input;
    StatusPanels* StatusBar;
    // Tells a screen reader what the operator must hear wherever the focus is.
    Announcer* announcer;

    // ---- Menu.
    QMenu* File1;
    QAction* Exit2;
    QMenu* Setup1;
    QAction* MOX1;
    QMenu* MOXSetup1;
    QAction* TXOnKeyboard1;
    QAction* TxAtPaddle1;
    QMenu* Delayms1;
    QActionGroup* DelayGroup;
    std::array<QAction*, kPaddleDelayChoices.size()> DelayItems{};  // N21 .. N3001
    QAction* RxAtFreeBuffer1;
    QAction* RxAtSilence1;
    QMenu* RXOn8DotsSilence1;
    QActionGroup* SilenceLenGroup;
    std::array<QAction*, kSilenceLenChoices.size()> SilenceLenItems{};  // SL1 .. SL50
    QAction* PauseAtPaddle1;
    QAction* PauseOffAtRx1;
    QAction* EditMacros1;
    QAction* TxWindowFontSetup1;
    QAction* TxWindowBackgroundSetup1;
    QAction* SentWindowFontSetup1;
    QAction* SentWindowBackgroundSetup1;
    QAction* Station1;
    QAction* Savesetup1;
    QMenu* Help1;
    QAction* About1;

    // ---- Dialogs.
    QFontDialog* FontDialog1;
    QColorDialog* ColorDialog1;
    // The About box; main() hands over the one it created. Shown modally by About1Click.
    TAbout* About = nullptr;
    // The macro editor, created hidden with the window.
    TForm2* Form2 = nullptr;

    // ---- Transmission control units, built with the controls.
    std::unique_ptr<TxControl> txControl;
    std::unique_ptr<MacroRunner> macroRunner;
    std::unique_ptr<TransmitQueue> transmitQueue;
    std::unique_ptr<KeyboardCommands> keyboard;
    // The rig's PTT and keyer, when the station uses them (a child of the window).
    RigTx* rigTx = nullptr;

    // ---- Exchange and settings units, built with the controls.
    std::unique_ptr<MessageBoxes> exchangeBoxes;
    std::unique_ptr<QsoFields> qsoFields;
    std::unique_ptr<ControlProtocol> controlProtocol;
    std::unique_ptr<SettingsFile> settingsFile;
    std::unique_ptr<EngineStartup> engineStartup;

    // ---- Seams for tests.
    // Runs a modal dialog and returns its result; tests answer the dialog here.
    std::function<int(QDialog&)> runDialog;
    // Message boxes of the window; tests point this at a recorder.
    ModalMessageBoxes modalBoxes{this};
    MessageBoxes* boxes = &modalBoxes;
    // Ends the application once control returns to its message loop; tests record it.
    std::function<void()> requestEnd;
    // The devices behind the ports, for the station set-up (main() hands over the backend's;
    // null: none to choose). Tests point the device lists at a tree of their own.
    DeviceSupervision* stationDevices = nullptr;
    DeviceRoots stationRoots;

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void BuildPanel1();
    void BuildPanel2();
    void BuildPanel3();
    void BuildTextWindows();
    void BuildMenu();
    // Names for screen readers, the Tab order, the keys that work the arrows and the menu bar,
    // and the announcer (main_form_access.cpp).
    void BuildAccess();
    void SetTabOrder();
    // Announces a new speed (LPM), whatever changed it.
    void AnnounceSpeed(std::int32_t lpm);
    void BuildTransmit();
    void BuildExchange();
    void FontSetup(QPlainTextEdit& window);
    void OpenFirstStartGuide();
    void BackgroundSetup(QPlainTextEdit& window);

    // The first-run guide waits for the engine to start.
    bool guidePending_ = false;
    // The speed announced last (0: none yet).
    std::int32_t announcedSpeed_ = 0;
    // The colour the colour dialog returned last (black before the first time).
    QColor lastDialogColor_;
    // Outer place and size, the designed ones included, whether or not the frame is known yet.
    OuterGeometry& outerGeometry_;
};

}  // namespace telkey
