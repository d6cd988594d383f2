// The main window's exchange and settings side: the QSO fields, the control protocol, the
// settings file and the engine start-up and shutdown, built on the window's controls.
#include <QAction>
#include <QEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>
#include <QToolButton>
#include <QWindow>
#include <functional>
#include <utility>

#include "engine/engine.h"
#include "exchange/control_protocol.h"
#include "exchange/qso_fields.h"
#include "ui/engine_startup.h"
#include "ui/macro_editor.h"
#include "ui/main_form.h"
#include "ui/settings_file.h"

namespace telkey {
namespace {

// Shows through whatever the window's `boxes` points at when the box comes up (tests repoint it).
class WindowBoxes : public MessageBoxes {
  public:
    explicit WindowBoxes(MessageBoxes*& target) : target_(target) {}
    void ShowError(const QString& title, const QString& text) override {
        target_->ShowError(title, text);
    }

  private:
    MessageBoxes*& target_;
};

// Runs `start` once the desktop shows `window` and the event loop is idle. Before that the desktop
// may not have framed the window yet, and the stored place and size would come too early.
class WhenExposed : public QObject {
  public:
    WhenExposed(QWindow& window, std::function<void()> start)
        : QObject(&window), start_(std::move(start)) {
        window.installEventFilter(this);
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Expose && static_cast<QWindow*>(watched)->isExposed()) {
            watched->removeEventFilter(this);
            QTimer::singleShot(0, watched, start_);
            deleteLater();
        }
        return false;
    }

  private:
    std::function<void()> start_;
};

}  // namespace

void TForm1::BuildExchange() {
    exchangeBoxes = std::make_unique<WindowBoxes>(boxes);

    qsoFields = std::make_unique<QsoFields>(exchange, messages, registered, *exchangeBoxes);
    qsoFields->Bind({ClearEditButton, CallEdit, RSTEdit, NameEdit, OtherEdit});

    controlProtocol =
        std::make_unique<ControlProtocol>(messages, registered, engine.flags, *qsoFields);
    controlProtocol->Bind({[this](int slot) { RunMacro(slot); }, [this](bool on) { SetPause(on); },
                           [this] { ApplyTx(); }, TxButton});

    settingsFile =
        std::make_unique<SettingsFile>(engine, options, speed, exchange, macros, *exchangeBoxes);
    settingsFile->Bind({
        this,
        Form2,
        Input,
        Sent,
        SpeakerButton,
        YambButton,
        OnTopButton,
        DashDotUpDown,
        MOX1,
        TXOnKeyboard1,
        RxAtFreeBuffer1,
        RxAtSilence1,
        TxAtPaddle1,
        PauseAtPaddle1,
        PauseOffAtRx1,
        [this](std::int32_t paddleDelay) { SetPaddleDelay(paddleDelay); },
        [this](std::int32_t silenceLen) { SetSilenceLen(silenceLen); },
        [this] { UpdateMacroHints(macros, ButMacro); },
    });
    connect(Savesetup1, &QAction::triggered, this, &TForm1::Savesetup1Click);
    if (Form2 != nullptr) Form2->SaveMacros = [this] { settingsFile->SaveMacros(); };

    engineStartup = std::make_unique<EngineStartup>(engine, *settingsFile, *qsoFields, speed,
                                                    *controlProtocol, *exchangeBoxes);
    engineStartup->Bind({
        [this] {
            QWidget* left = focusWidget();
            Input->setFocus(Qt::OtherFocusReason);
            // A window that is not active gets no focus events: the field is left all the same.
            if (isActiveWindow()) return;
            if (left == CallEdit) CallEditExit();
            if (left == RSTEdit) RSTEditExit();
            if (left == NameEdit) NameEditExit();
        },
        [this] { InstallAppIdle(); },
        [this] {
            if (requestEnd) requestEnd();
        },
    });
}

std::int32_t TForm1::MainWindowHook(std::uint32_t msg, std::int32_t wParam, std::int32_t lParam) {
    return controlProtocol->MainWindowHook(msg, wParam, lParam);
}

void TForm1::FormActivate() {
    engineStartup->FormActivate();
    OpenFirstStartGuide();
}

void TForm1::FormDestroy() {
    engineStartup->FormDestroy();
}

void TForm1::LoadSettings() {
    settingsFile->LoadSettings();
}

void TForm1::Savesetup1Click() {
    settingsFile->SetDevices(stationDevices);
    settingsFile->Savesetup1Click();
}

void TForm1::ClearEditButtonClick() {
    qsoFields->ClearEditButtonClick();
}

void TForm1::CallEditExit() {
    qsoFields->CallEditExit();
}

void TForm1::RSTEditExit() {
    qsoFields->RSTEditExit();
}

void TForm1::NameEditExit() {
    qsoFields->NameEditExit();
}

void TForm1::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    // The engine starts on the first activation, not at creation.
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) FormActivate();
}

void TForm1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (engineStartup->EngineStarted()) return;
    // A desktop may never activate the window (Wayland compositors, a start minimised or by a
    // logger): then the engine starts once the window is on the screen, or minimised, and the
    // event loop is idle.
    const auto start = [this] { FormActivate(); };
    QWindow* window = windowHandle();
    if (window == nullptr || isMinimized() || window->isExposed()) {
        QTimer::singleShot(0, this, start);
    } else if (window->findChild<WhenExposed*>() == nullptr) {
        new WhenExposed(*window, start);
    }
}

}  // namespace telkey
