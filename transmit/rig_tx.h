#pragma once
// The window side of the rig: runs the rig bridge when its descriptor wakes the window, puts
// transmit off when the rig does not confirm PTT on, and tells the operator what the rig does.
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

#include "rig/rig_bridge.h"

class QSocketNotifier;

namespace telkey {

struct Engine;
class LineGuard;
class TxControl;

class RigTx : public QObject {
    Q_OBJECT

  public:
    using Notice = std::function<void(const QString& text)>;

    // `notice` shows a text without blocking the window (a failure, the link down or back).
    RigTx(Engine& engine, TxControl& tx, Notice notice, QObject* parent = nullptr);
    ~RigTx() override;

    // Uses the rig as `choice` says; a choice without the rig ends the link and gives the
    // port's lines back.
    void Configure(const rig::RigChoice& choice, rig::RigTimings timings = {});
    const rig::RigChoice& Choice() const { return choice_; }
    // The guardian, handed a connection to rigctld of its own by each later Configure.
    void SetGuard(LineGuard* guard) { guard_ = guard; }
    // The bridge while the rig is used, else null.
    rig::RigBridge* Bridge() const { return bridge_.get(); }
    // The speed in letters per minute, for the rig's keyer.
    void SetSpeed(int lpm);
    // The link's state in words ("connected: ..."), empty without the rig.
    QString StatusWords() const { return statusWords_; }

  private:
    void PttFailed(const std::string& why);
    void StatusChanged(const rig::RigStatus& status);

    Engine& engine_;
    TxControl& tx_;
    Notice notice_;
    rig::RigChoice choice_;
    LineGuard* guard_ = nullptr;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::unique_ptr<rig::RigBridge> bridge_;
    int lpm_ = 0;
    rig::RigHealth health_ = rig::RigHealth::Connecting;
    QString statusWords_;
};

}  // namespace telkey
