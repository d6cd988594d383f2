#pragma once
// Transmit and pause: ApplyTx and SetPause carry a change of either switch to the shared flag,
// the TX line, the button, the status panel and the announcement to other programs. Also the
// window side of the keyer's notifications.
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

#include "engine/handover.h"

class QAbstractButton;
class QSocketNotifier;

namespace telkey {

struct Engine;
struct KeyingOptions;
struct RegisteredMessages;
class MessageServices;
class TransmitQueue;

// Status panels written here, counted from 0.
inline constexpr int kPausePanel = 4;
inline constexpr int kTxPanel = 5;

class TxControl : public QObject {
    Q_OBJECT

  public:
    using PanelWriter = std::function<void(int panel, const QString& text)>;

    TxControl(Engine& engine, MessageServices& messages, const RegisteredMessages& registered,
              const KeyingOptions& options, QAbstractButton* txButton, QAbstractButton* pauseButton,
              PanelWriter writePanel, QObject* parent = nullptr);
    ~TxControl() override;

    // The queue fed when transmit goes on or pause goes off.
    void SetQueue(TransmitQueue* queue) { queue_ = queue; }

    // Makes the transmit state follow TxButton's down state.
    void ApplyTx();
    // Switches pause on or off.
    void SetPause(bool on);
    // The buttons' click handlers: the button has already toggled itself.
    void TxButtonClick();
    void PauseButtonClick();

    // Puts TxButton down or up without running anything; the caller then runs ApplyTx.
    void SetTxButton(bool down);
    bool TxButtonDown() const;
    bool PauseButtonDown() const;
    // The transmit macro command: transmit on unless it already is, then pause off if on.
    void TransmitOnCommand();
    // Stops sending at once (Escape); transmit then goes off as the keying options say.
    void StopSending();
    // Transmit could not go on (the rig did not switch): the code waiting goes back to Input,
    // transmit goes off and pause on, so nothing is sent, lost or retried until Pause is off.
    void HoldBack();

    // Starts watching the keyer's notifications on the event loop.
    void WatchNotifications();
    // Handles every notification waiting, in order; tests call it after running keyer ticks.
    void DrainNotifications();
    void HandleNotification(Notification n);

  private:
    void ApplyTxOnce();
    void Announce(std::int32_t code);
    void Resynchronise();

    Engine& engine_;
    MessageServices& messages_;
    const RegisteredMessages& registered_;
    const KeyingOptions& options_;
    QAbstractButton* txButton_;
    QAbstractButton* pauseButton_;
    PanelWriter writePanel_;
    TransmitQueue* queue_ = nullptr;
    std::unique_ptr<QSocketNotifier> notifier_;
    int drainDepth_ = 0;
    bool applyBusy_ = false;
    bool applyAgain_ = false;
};

}  // namespace telkey
