#include "rig/rig_ticket.h"

namespace telkey::rig {

const char* OutcomeWords(RigOutcome outcome) {
    switch (outcome) {
        case RigOutcome::Pending:
            return "waiting for the rig";
        case RigOutcome::Ok:
            return "done";
        case RigOutcome::Refused:
            return "connection refused";
        case RigOutcome::NotAnswering:
            return "rig not answering";
        case RigOutcome::NotAvailable:
            return "command not available";
        case RigOutcome::Rejected:
            return "rig rejected the command";
        case RigOutcome::Closed:
            return "rig link closed";
    }
    return "";
}

std::string RigTicket::Words() const {
    std::lock_guard lock(mutex_);
    return words_;
}

int RigTicket::Value() const {
    std::lock_guard lock(mutex_);
    return value_;
}

RigOutcome RigTicket::Wait(std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    answered_.wait_for(lock, limit, [this] { return !Pending(); });
    return Outcome();
}

bool RigTicket::Resolve(RigOutcome outcome, std::string words, int value) {
    Callback done;
    {
        std::lock_guard lock(mutex_);
        if (!Pending()) return false;
        words_ = std::move(words);
        value_ = value;
        outcome_.store(outcome, std::memory_order_release);
        done.swap(done_);
    }
    answered_.notify_all();
    if (done) done(*this);
    return true;
}

}  // namespace telkey::rig
