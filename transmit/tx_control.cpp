#include "transmit/tx_control.h"

#include <QAbstractButton>
#include <QSocketNotifier>

#include "bus/message_services.h"
#include "bus/registered_messages.h"
#include "engine/engine.h"
#include "options/keying_options.h"
#include "transmit/busy_scope.h"
#include "transmit/transmit_queue.h"

namespace telkey {

TxControl::TxControl(Engine& engine, MessageServices& messages,
                     const RegisteredMessages& registered, const KeyingOptions& options,
                     QAbstractButton* txButton, QAbstractButton* pauseButton,
                     PanelWriter writePanel, QObject* parent)
    : QObject(parent),
      engine_(engine),
      messages_(messages),
      registered_(registered),
      options_(options),
      txButton_(txButton),
      pauseButton_(pauseButton),
      writePanel_(std::move(writePanel)) {}

TxControl::~TxControl() {
    if (notifier_) messages_.WatchWhileWaiting(engine_.notifications.WakeupFd(), nullptr);
}

void TxControl::ApplyTx() {
    // Called again while its announcement waits (a notification or a command served
    // meanwhile), it runs once more when the running one is done, following the button then.
    if (applyBusy_) {
        applyAgain_ = true;
        return;
    }
    BusyScope busy(applyBusy_);
    do {
        applyAgain_ = false;
        ApplyTxOnce();
    } while (applyAgain_);
}

void TxControl::ApplyTxOnce() {
    if (txButton_->isChecked()) {
        engine_.flags.Transmitting.store(1);
        engine_.ports.SetTx(1);
        writePanel_(kTxPanel, QStringLiteral("TX"));
        // Queued text starts at once, however long the announcement takes.
        if (queue_ != nullptr) queue_->FeedKeyer();
        Announce(kAnnounceTxOn);
    } else {
        engine_.flags.Transmitting.store(0);
        // Whoever held transmit on lets go when it goes off.
        engine_.flags.TxHeld.store(0);
        engine_.SwitchTxOff();
        writePanel_(kTxPanel, QStringLiteral("RX"));
        Announce(kAnnounceTxOff);
        if (engine_.flags.Paused.load() != 0 && options_.PauseOffAtRx != 0) SetPause(false);
    }
}

void TxControl::SetPause(bool on) {
    if (on) {
        pauseButton_->setChecked(true);
        engine_.flags.Paused.store(1);
        writePanel_(kPausePanel, QStringLiteral("PAUSE"));
        Announce(kAnnouncePauseOn);
    } else {
        pauseButton_->setChecked(false);
        engine_.flags.Paused.store(0);
        if (queue_ != nullptr) queue_->FeedKeyer();
        writePanel_(kPausePanel, QStringLiteral(" "));
        Announce(kAnnouncePauseOff);
    }
}

void TxControl::TxButtonClick() {
    ApplyTx();
}

void TxControl::PauseButtonClick() {
    SetPause(pauseButton_->isChecked());
}

void TxControl::SetTxButton(bool down) {
    txButton_->setChecked(down);
}

bool TxControl::TxButtonDown() const {
    return txButton_->isChecked();
}

bool TxControl::PauseButtonDown() const {
    return pauseButton_->isChecked();
}

void TxControl::TransmitOnCommand() {
    if (engine_.flags.Transmitting.load() == 0) {
        SetTxButton(true);
        ApplyTx();
    }
    if (engine_.flags.Paused.load() != 0) SetPause(false);
}

void TxControl::StopSending() {
    if (queue_ != nullptr) queue_->StopSending();
}

void TxControl::HoldBack() {
    if (queue_ != nullptr) queue_->TakeBackWaiting();
    SetTxButton(false);
    ApplyTx();
    SetPause(true);
}

void TxControl::Announce(std::int32_t code) {
    // Before start-up has registered the message there is no one to tell.
    if (registered_.Telkey_Message != 0) messages_.Broadcast(registered_.Telkey_Message, code, 0);
}

void TxControl::WatchNotifications() {
    if (notifier_ || engine_.notifications.WakeupFd() < 0) return;
    notifier_ =
        std::make_unique<QSocketNotifier>(engine_.notifications.WakeupFd(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &TxControl::DrainNotifications);
    // A broadcast waiting for slow participants must not hold up the hand-over.
    messages_.WatchWhileWaiting(engine_.notifications.WakeupFd(), [this] { DrainNotifications(); });
}

void TxControl::DrainNotifications() {
    // A handler may wait in a broadcast, which drains what the keyer posts meanwhile; the outer
    // drain then goes on with whatever is left, in order.
    struct Depth {
        TxControl& tx;
        explicit Depth(TxControl& t) : tx(t) {
            if (tx.drainDepth_++ == 0 && tx.notifier_) tx.notifier_->setEnabled(false);
        }
        ~Depth() {
            if (--tx.drainDepth_ == 0 && tx.notifier_) tx.notifier_->setEnabled(true);
        }
    } depth(*this);
    engine_.notifications.ClearWakeup();
    Notification n{};
    while (engine_.notifications.Pop(n)) HandleNotification(n);
    if (engine_.notifications.TakeOverflow()) Resynchronise();
}

void TxControl::HandleNotification(Notification n) {
    switch (n) {
        case Notification::WM_KEYER_CHAR:
            if (queue_ != nullptr) queue_->EchoSent();
            break;
        case Notification::WM_KEYER_NEED_CODE:
            if (queue_ != nullptr) queue_->FeedKeyer();
            break;
        case Notification::WM_KEYER_TX_OFF:
            txButton_->setChecked(false);
            ApplyTx();
            break;
        case Notification::WM_KEYER_PAUSE:
            SetPause(true);
            break;
        case Notification::WM_KEYER_TX_ON:
            txButton_->setChecked(true);
            ApplyTx();
            break;
    }
}

// Notifications were lost: bring the buttons in line with the flags the keyer set, and run
// the work the lost ones would have asked for.
void TxControl::Resynchronise() {
    const bool transmitting = engine_.flags.Transmitting.load() != 0;
    if (txButton_->isChecked() != transmitting) {
        txButton_->setChecked(transmitting);
        ApplyTx();
    }
    const bool paused = engine_.flags.Paused.load() != 0;
    if (pauseButton_->isChecked() != paused) SetPause(paused);
    if (queue_ != nullptr) {
        queue_->FeedKeyer();
        queue_->EchoSent();
    }
}

}  // namespace telkey
