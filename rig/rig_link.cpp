#include "rig/rig_link.h"

#include <algorithm>

#include "rig/rigctld_session.h"

namespace telkey::rig {

namespace {

using Clock = RigTicket::Clock;

// Requests that only make the rig safer still run when their caller stopped waiting.
bool MakesSafer(const RigRequest& request) {
    return (request.op == RigOp::SetPtt && !request.on) || request.op == RigOp::StopMorse;
}

std::string OpWords(const RigRequest& request) {
    switch (request.op) {
        case RigOp::SetPtt:
            return request.on ? "PTT on" : "PTT off";
        case RigOp::GetPtt:
            return "reading PTT";
        case RigOp::SendMorse:
            return "sending CW";
        case RigOp::StopMorse:
            return "stopping CW";
        case RigOp::SetKeySpeed:
            return "setting the CW speed";
        case RigOp::Identify:
            return "asking the rig's model";
    }
    return "rig request";
}

std::string FailureWords(const RigRequest& request, RigOutcome outcome, const std::string& detail) {
    const std::string outcomeWords = OutcomeWords(outcome);
    // A detail that already starts with the outcome says it in full; not twice.
    if (detail.starts_with(outcomeWords)) return OpWords(request) + ": " + detail;
    std::string words = OpWords(request) + ": " + outcomeWords;
    if (!detail.empty()) words += " (" + detail + ")";
    return words;
}

}  // namespace

std::string RigTarget::Describe() const {
    if (kind == Kind::Rigctld) return "rigctld at " + host + ":" + std::to_string(port);
    return "rig model " + std::to_string(model) + (device.empty() ? "" : " on " + device);
}

RigLink::RigLink(RigTarget target, RigTimings timings, StatusCallback onStatus)
    : target_(std::move(target)), timings_(timings), onStatus_(std::move(onStatus)) {
    status_.words = "connecting to " + target_.Describe();
    rigThread_ = std::thread([this] { RigThread(); });
    try {
        watchThread_ = std::thread([this] { WatchThread(); });
    } catch (...) {
        // A running thread left behind would end the program as the link is unwound.
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        queued_.notify_all();
        rigThread_.join();
        throw;
    }
}

RigLink::~RigLink() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    queued_.notify_all();
    watched_.notify_all();
    rigThread_.join();
    watchThread_.join();
}

std::chrono::milliseconds RigLink::BoundFor(const RigRequest& request) const {
    switch (request.op) {
        case RigOp::SetPtt:
        case RigOp::GetPtt:
            return timings_.pttBound;
        case RigOp::Identify:
            return timings_.identifyBound;
        default:
            return timings_.commandBound;
    }
}

RigTicketPtr RigLink::Submit(RigRequest request, RigTicket::Callback done) {
    const auto deadline = Clock::now() + BoundFor(request);
    auto ticket = std::make_shared<RigTicket>(std::move(request), deadline, std::move(done));
    bool closed = false;
    {
        std::lock_guard lock(mutex_);
        closed = stopping_;
        if (!closed) {
            queue_.push_back(ticket);
            unanswered_.push_back(ticket);
        }
    }
    if (closed) {
        ticket->Resolve(RigOutcome::Closed,
                        FailureWords(ticket->Request(), RigOutcome::Closed, ""));
        return ticket;
    }
    queued_.notify_one();
    watched_.notify_one();
    return ticket;
}

RigTicketPtr RigLink::SetPtt(bool on, RigTicket::Callback done) {
    return Submit(RigRequest::Of(RigOp::SetPtt, on), std::move(done));
}
RigTicketPtr RigLink::GetPtt(RigTicket::Callback done) {
    return Submit(RigRequest::Of(RigOp::GetPtt), std::move(done));
}
RigTicketPtr RigLink::SendMorse(std::string text, RigTicket::Callback done) {
    return Submit(RigRequest::Of(RigOp::SendMorse, false, 0, std::move(text)), std::move(done));
}
RigTicketPtr RigLink::StopMorse(RigTicket::Callback done) {
    return Submit(RigRequest::Of(RigOp::StopMorse), std::move(done));
}
RigTicketPtr RigLink::SetKeySpeed(int wpm, RigTicket::Callback done) {
    return Submit(RigRequest::Of(RigOp::SetKeySpeed, false, wpm), std::move(done));
}
RigTicketPtr RigLink::Identify(RigTicket::Callback done) {
    return Submit(RigRequest::Of(RigOp::Identify), std::move(done));
}

RigStatus RigLink::Status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

void RigLink::SetStatus(RigHealth health, std::string words, int childPort) {
    RigStatus copy;
    {
        std::lock_guard lock(mutex_);
        const bool samePort = childPort < 0 || childPort == status_.childPort;
        if (status_.health == health && status_.words == words && samePort) return;
        status_.health = health;
        status_.words = std::move(words);
        if (childPort >= 0) status_.childPort = childPort;
        ++status_.serial;
        copy = status_;
    }
    if (onStatus_) onStatus_(copy);
}

void RigLink::NoteFailure(std::string words) {
    RigStatus copy;
    {
        std::lock_guard lock(mutex_);
        status_.lastFailure = std::move(words);
        ++status_.serial;
        copy = status_;
    }
    if (onStatus_) onStatus_(copy);
}

void RigLink::FailQueued(RigOutcome outcome, const std::string& why) {
    std::deque<RigTicketPtr> failed;
    {
        std::lock_guard lock(mutex_);
        failed.swap(queue_);
    }
    for (const auto& ticket : failed) {
        ticket->Resolve(outcome, FailureWords(ticket->Request(), outcome, why));
    }
}

void RigLink::RigThread() {
    RigctldSession session(target_, timings_);
    auto backoff = timings_.backoffFirst;
    auto retryAt = Clock::now();
    RigOutcome downReason = RigOutcome::NotAnswering;
    std::string downWords;

    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (session.IsOpen()) {
            queued_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) break;
            const RigTicketPtr ticket = queue_.front();
            queue_.pop_front();
            lock.unlock();
            Run(session, ticket);
            if (!session.IsOpen()) {
                downReason = RigOutcome::NotAnswering;
                downWords = "rig not answering: " + target_.Describe() + " stopped answering";
                SetStatus(RigHealth::NotAnswering, downWords);
                retryAt = Clock::now() + backoff;
            }
        } else if (Clock::now() < retryAt) {
            // Waiting to reconnect: what arrives now is answered at once with the reason.
            queued_.wait_until(lock, retryAt, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_ || queue_.empty()) continue;
            lock.unlock();
            FailQueued(downReason, downWords);
        } else {
            lock.unlock();
            const RigAnswer answer = session.Open();
            if (answer.outcome == RigOutcome::Ok) {
                backoff = timings_.backoffFirst;
                // A transmitter left on when the connection broke goes off first.
                if (pttOn_ &&
                    session.Call(RigRequest::Of(RigOp::SetPtt, false)).outcome == RigOutcome::Ok) {
                    pttOn_ = false;
                }
                connectedWords_ = "connected: " + answer.detail;
                SetStatus(RigHealth::Connected, connectedWords_, session.ChildPort());
            } else {
                downReason = answer.outcome;
                if (answer.outcome == RigOutcome::Refused) {
                    downWords = answer.detail.empty()
                                    ? "connection refused: start " + target_.Describe() +
                                          " or correct the address"
                                    : answer.detail;
                    SetStatus(RigHealth::Refused, downWords);
                } else {
                    downWords = "rig not answering: " + target_.Describe() +
                                (target_.kind == RigTarget::Kind::Rigctld
                                     ? " accepts but does not answer"
                                     : " does not answer; check the rig, its port and speed") +
                                (answer.detail.empty() ? "" : " (" + answer.detail + ")");
                    SetStatus(RigHealth::NotAnswering, downWords);
                }
                retryAt = Clock::now() + backoff;
                backoff = std::min(backoff * 2, timings_.backoffMax);
                FailQueued(downReason, downWords);
            }
        }
        lock.lock();
    }
    lock.unlock();
    if (session.IsOpen() && pttOn_) session.Call(RigRequest::Of(RigOp::SetPtt, false));
    session.Close();
    FailQueued(RigOutcome::Closed, "");
    SetStatus(RigHealth::Closed, "rig link closed");
}

void RigLink::Run(RigctldSession& session, const RigTicketPtr& ticket) {
    const RigRequest& request = ticket->Request();
    // A caller that gave up must not see its PTT on or its text go out late.
    if (!ticket->Pending() && !MakesSafer(request)) return;
    // Until the rig confirms, a PTT on may have reached it: it counts as on, to be switched off.
    if (request.op == RigOp::SetPtt && request.on) pttOn_ = true;
    RigAnswer answer = session.Call(request);
    if (answer.outcome != RigOutcome::Ok) {
        const std::string words = FailureWords(request, answer.outcome, answer.detail);
        ticket->Resolve(answer.outcome, words);
        NoteFailure(words);
        if (answer.connectionLost) session.Close();
        return;
    }
    if (request.op == RigOp::SetPtt) pttOn_ = request.on;
    if (request.op == RigOp::Identify) connectedWords_ = "connected: " + answer.detail;
    const bool taken = ticket->Resolve(RigOutcome::Ok, OpWords(request) + ": done", answer.value);
    if (!taken && request.op == RigOp::SetPtt && request.on) {
        // Confirmed after its bound: the caller keys nothing, so the rig must not stay on.
        answer = session.Call(RigRequest::Of(RigOp::SetPtt, false));
        if (answer.outcome == RigOutcome::Ok) pttOn_ = false;
        if (answer.connectionLost) {
            session.Close();
            return;
        }
    }
    SetStatus(RigHealth::Connected, connectedWords_);
}

void RigLink::WatchThread() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        const auto now = Clock::now();
        std::vector<RigTicketPtr> expired;
        auto next = Clock::time_point::max();
        std::erase_if(unanswered_, [&](const RigTicketPtr& ticket) {
            if (!ticket->Pending()) return true;
            if (ticket->Deadline() <= now) {
                expired.push_back(ticket);
                return true;
            }
            next = std::min(next, ticket->Deadline());
            return false;
        });
        if (expired.empty()) {
            if (next == Clock::time_point::max()) {
                watched_.wait(lock);
            } else {
                watched_.wait_until(lock, next);
            }
            continue;
        }
        lock.unlock();
        for (const auto& ticket : expired) {
            const auto bound = BoundFor(ticket->Request());
            const std::string words =
                FailureWords(ticket->Request(), RigOutcome::NotAnswering,
                             "no answer within " + std::to_string(bound.count()) + " ms");
            if (!ticket->Resolve(RigOutcome::NotAnswering, words)) continue;
            NoteFailure(words);
            if (Status().health == RigHealth::Connected) {
                SetStatus(RigHealth::NotAnswering,
                          "rig not answering: " + target_.Describe() + " is slow or stuck");
            }
        }
        lock.lock();
    }
}

}  // namespace telkey::rig
