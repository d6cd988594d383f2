#include "transmit/rig_tx.h"

#include <QSocketNotifier>

#include "engine/engine.h"
#include "transmit/tx_control.h"

namespace telkey {

RigTx::RigTx(Engine& engine, TxControl& tx, Notice notice, QObject* parent)
    : QObject(parent), engine_(engine), tx_(tx), notice_(std::move(notice)) {}

RigTx::~RigTx() {
    notifier_.reset();
    bridge_.reset();
}

void RigTx::Configure(const rig::RigChoice& choice, rig::RigTimings timings) {
    notifier_.reset();
    bridge_.reset();
    choice_ = choice;
    statusWords_.clear();
    health_ = rig::RigHealth::Connecting;
    if (!choice.UsesRig()) return;
    rig::RigBridge::Events events;
    events.pttFailed = [this](const std::string& why) { PttFailed(why); };
    events.status = [this](const rig::RigStatus& status) { StatusChanged(status); };
    bridge_ = std::make_unique<rig::RigBridge>(engine_, choice, std::move(events), timings, guard_);
    if (lpm_ > 0) bridge_->SetSpeed(lpm_);
    if (bridge_->WakeupFd() >= 0) {
        notifier_ = std::make_unique<QSocketNotifier>(bridge_->WakeupFd(), QSocketNotifier::Read);
        connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { bridge_->Service(); });
    }
    bridge_->Service();
}

void RigTx::SetSpeed(int lpm) {
    lpm_ = lpm;
    if (bridge_) bridge_->SetSpeed(lpm);
}

void RigTx::PttFailed(const std::string& why) {
    // Nothing was keyed: the text waits in Input, transmit off and pause on until the
    // operator resumes (with TX at keyboard every idle pass would try the rig again).
    tx_.HoldBack();
    if (notice_) {
        notice_(QString::fromStdString(why) +
                QStringLiteral(". The text waits in the transmit window: Pause off sends it."));
    }
}

void RigTx::StatusChanged(const rig::RigStatus& status) {
    statusWords_ = QString::fromStdString(status.words).trimmed();
    // The operator hears of the link going down and of it coming back, not of each answer.
    const bool wasDown =
        health_ == rig::RigHealth::Refused || health_ == rig::RigHealth::NotAnswering;
    const bool down =
        status.health == rig::RigHealth::Refused || status.health == rig::RigHealth::NotAnswering;
    const bool back = wasDown && status.health == rig::RigHealth::Connected;
    if (status.health != health_ && (down || back) && notice_) {
        notice_(QStringLiteral("Rig: ") + statusWords_);
    }
    health_ = status.health;
}

}  // namespace telkey
