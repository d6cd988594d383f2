// The main window's transmit side: the transmit queue, transmit and pause, the macros and the
// keyboard commands, built on the window's controls and wired to their events.
#include <QAction>
#include <QMessageBox>
#include <QPushButton>
#include <QToolButton>

#include "transmit/keyboard_commands.h"
#include "transmit/macro_runner.h"
#include "transmit/rig_tx.h"
#include "transmit/transmit_queue.h"
#include "transmit/tx_control.h"
#include "ui/macro_editor.h"
#include "ui/main_form.h"
#include "widgets/announcer.h"
#include "widgets/status_panels.h"

namespace telkey {

void TForm1::BuildTransmit() {
    txControl = std::make_unique<TxControl>(
        engine, messages, registered, options, TxButton, PauseButton,
        [this](int panel, const QString& text) { StatusBar->SetPanelText(panel, text); });
    macroRunner = std::make_unique<MacroRunner>(
        Input, QsoFieldEdits{CallEdit, RSTEdit, NameEdit, OtherEdit}, macros, exchange, *txControl);
    transmitQueue =
        std::make_unique<TransmitQueue>(engine, options, Input, Sent, *txControl, *macroRunner);
    txControl->SetQueue(transmitQueue.get());
    // Text held back by transmit or pause says in the status bar's tooltip how it goes out.
    transmitQueue->waitingHintChanged = [this](const QString& hint) {
        StatusBar->SetTipLine(StatusPanels::TipLine::kWaiting, hint);
    };
    // Alt-A clears as the Clear button does, through whatever handles its click.
    keyboard = std::make_unique<KeyboardCommands>(
        *txControl, *macroRunner,
        KeyboardTargets{this, CallEdit, RSTEdit, NameEdit, OtherEdit, Input},
        [this] { ClearEditButton->click(); });
    keyboard->Install();
    // What the rig says is shown without stopping the operator.
    rigTx = new RigTx(
        engine, *txControl,
        [this](const QString& text) {
            auto* box = findChild<QMessageBox*>(QStringLiteral("RigNotice"));
            if (box == nullptr) {
                box = new QMessageBox(QMessageBox::Warning, QLatin1String(kApplicationTitle), text,
                                      QMessageBox::Ok, this);
                box->setObjectName(QStringLiteral("RigNotice"));
                box->setWindowModality(Qt::NonModal);
            }
            box->setText(text);
            ShowNotice(*box);
        },
        this);
    speed.speedApplied = [this](std::int32_t lpm) {
        rigTx->SetSpeed(lpm);
        AnnounceSpeed(lpm);
    };

    Form2 = new TForm2(macros, ButMacro, this);

    connect(TxButton, &QToolButton::clicked, this, &TForm1::TxButtonClick);
    // Transmit and pause change from keys, the paddle and other programs too.
    connect(TxButton, &QToolButton::toggled, this, [this](bool on) {
        announcer->Announce(on ? QStringLiteral("Transmit on") : QStringLiteral("Transmit off"));
    });
    connect(PauseButton, &QToolButton::toggled, this, [this](bool on) {
        announcer->Announce(on ? QStringLiteral("Pause on") : QStringLiteral("Pause off"));
    });
    connect(PauseButton, &QToolButton::clicked, this, &TForm1::PauseButtonClick);
    for (std::size_t i = 0; i < ButMacro.size(); ++i) {
        const int n = static_cast<int>(i) + 1;
        connect(ButMacro[i], &QPushButton::clicked, this, [this, n] { RunMacro(n); });
    }
    connect(EditMacros1, &QAction::triggered, this, &TForm1::EditMacros1Click);
    txControl->WatchNotifications();
}

void TForm1::FeedKeyer() {
    transmitQueue->FeedKeyer();
}

void TForm1::EchoSent() {
    transmitQueue->EchoSent();
}

void TForm1::ApplyTx() {
    txControl->ApplyTx();
}

void TForm1::SetPause(bool on) {
    txControl->SetPause(on);
}

void TForm1::RunMacro(int n) {
    macroRunner->RunMacro(n);
}

void TForm1::TxButtonClick() {
    txControl->TxButtonClick();
}

void TForm1::PauseButtonClick() {
    txControl->PauseButtonClick();
}

void TForm1::SentClick() {
    transmitQueue->SentClick();
}

void TForm1::EditMacros1Click() {
    Form2->EditMacros1Click();
}

void TForm1::FormKeyDown(int& key, Qt::KeyboardModifiers shift) {
    keyboard->FormKeyDown(key, shift);
}

void TForm1::InstallAppIdle() {
    transmitQueue->InstallAppIdle();
}

}  // namespace telkey
