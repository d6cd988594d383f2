#include "rig/rigctld_session.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "rig/rigctld_child.h"
#include "rig/rigctld_socket.h"

namespace telkey::rig {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kLoopback[] = "127.0.0.1";
constexpr std::size_t kReadChunk = 4096;

int MsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// rigctld reads one command a line, its words split at blanks: printable ASCII only.
bool Plain(const std::string& text) {
    for (const char c : text) {
        if (c < ' ' || c > '~') return false;
    }
    return !text.empty();
}

}  // namespace

RigctldSession::RigctldSession(const RigTarget& target, const RigTimings& timings)
    : target_(target), timings_(timings) {
    if (target_.kind == RigTarget::Kind::Serial) child_ = std::make_unique<RigctldChild>(target_);
}

RigctldSession::~RigctldSession() = default;

int RigctldSession::ChildPort() const {
    return child_ ? child_->Port() : 0;
}

void RigctldSession::Close() {
    fd_.Reset();
    buffer_.clear();
}

RigAnswer RigctldSession::Lost(std::string why) {
    Close();
    return {RigOutcome::NotAnswering, true, 0, std::move(why)};
}

bool RigctldSession::ReadLine(Clock::time_point deadline, std::string& line, RigAnswer& failed) {
    for (;;) {
        const std::size_t end = buffer_.find('\n');
        if (end != std::string::npos) {
            line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return true;
        }
        if (buffer_.size() > kRigctldLineMax) {
            failed = Lost("a line longer than " + std::to_string(kRigctldLineMax) + " bytes");
            return false;
        }
        pollfd p{fd_.Get(), POLLIN, 0};
        const int left = MsLeft(deadline);
        if (left == 0 || ::poll(&p, 1, left) != 1) {
            failed =
                Lost("no answer within " + std::to_string(timings_.answerTimeout.count()) + " ms");
            return false;
        }
        char chunk[kReadChunk];
        const ssize_t n = ::recv(fd_.Get(), chunk, sizeof chunk, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) {
            failed = Lost(buffer_.empty() ? "rigctld closed the connection"
                                          : "rigctld closed the connection in mid-answer");
            return false;
        }
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

RigAnswer RigctldSession::Exchange(const std::string& command, const std::string& name,
                                   std::vector<std::string>* values) {
    if (!IsOpen()) return {RigOutcome::NotAnswering, true, 0, "not connected"};
    const auto deadline = Clock::now() + timings_.answerTimeout;
    // Whatever came unasked belongs to no request.
    buffer_.clear();
    const std::string line = "+" + command + "\n";
    for (std::size_t sent = 0; sent < line.size();) {
        const ssize_t n =
            ::send(fd_.Get(), line.data() + sent, line.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return Lost("connection to rigctld lost");
        pollfd p{fd_.Get(), POLLOUT, 0};
        const int left = MsLeft(deadline);
        if (left == 0 || ::poll(&p, 1, left) != 1) return Lost("rigctld takes no more requests");
    }
    RigctldReply reply(name);
    for (std::string text; reply.Current() == RigctldReply::State::More;) {
        RigAnswer failed;
        if (!ReadLine(deadline, text, failed)) return failed;
        reply.Take(text);
    }
    const RigAnswer answer = reply.Answer();
    if (answer.connectionLost) Close();
    if (values != nullptr) *values = reply.Values();
    return answer;
}

RigAnswer RigctldSession::Describe(RigAnswer answer) {
    std::vector<std::string> info;
    const RigAnswer named = Exchange("\\get_info", "get_info", &info);
    if (named.connectionLost) return named;
    answer.detail = named.outcome == RigOutcome::Ok && !info.empty() && Plain(info.front())
                        ? info.front()
                        : target_.Describe();
    return answer;
}

RigAnswer RigctldSession::Open() {
    Close();
    std::string host = target_.host;
    int port = target_.port;
    if (child_) {
        std::string error;
        bool missing = false;
        if (!child_->Ensure(timings_.childStartBound, error, missing)) {
            // A rigctld that ended with its reason is the operator's to correct.
            const bool said = missing || error.find(": ") != std::string::npos;
            return {said ? RigOutcome::Refused : RigOutcome::NotAnswering, true, 0, error};
        }
        host = kLoopback;
        port = child_->Port();
    }
    std::string error;
    fd_ = ConnectRigctld(host, port, timings_.answerTimeout, error);
    if (!IsOpen()) {
        if (errno == ECONNREFUSED) return {RigOutcome::Refused, true, 0, ""};
        return {RigOutcome::NotAnswering, true, 0, error};
    }
    // A rigctld started with --vfo wants the VFO named in every command.
    vfo_.clear();
    std::vector<std::string> mode;
    const auto deadline = Clock::now() + timings_.answerTimeout;
    const std::string ask = "+\\chk_vfo\n";
    if (::send(fd_.Get(), ask.data(), ask.size(), MSG_NOSIGNAL | MSG_DONTWAIT) !=
        static_cast<ssize_t>(ask.size())) {
        return Lost("connection to rigctld lost");
    }
    std::string line;
    RigAnswer failed;
    if (!ReadLine(deadline, line, failed)) return failed;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == "ChkVFO: 1" || line == "CHKVFO 1") {
        vfo_ = " currVFO";
    } else if (line != "ChkVFO: 0" && line != "CHKVFO 0") {
        RigctldReply garbled("chk_vfo");
        garbled.Take(line);
        const RigAnswer answer = garbled.Answer();
        Close();
        return answer;
    }
    return Describe({});
}

RigAnswer RigctldSession::Call(const RigRequest& request) {
    switch (request.op) {
        case RigOp::SetPtt:
            return Exchange("T" + vfo_ + (request.on ? " 1" : " 0"), "set_ptt");
        case RigOp::GetPtt: {
            std::vector<std::string> values;
            RigAnswer answer = Exchange("t" + vfo_, "get_ptt", &values);
            if (answer.outcome != RigOutcome::Ok) return answer;
            // 0 is receive; 1 to 3 transmit (by CAT, microphone or data).
            if (values.size() != 1 || values[0].size() != 1 || values[0][0] < '0' ||
                values[0][0] > '3') {
                return Lost("rigctld's PTT makes no sense");
            }
            answer.value = values[0] != "0" ? 1 : 0;
            return answer;
        }
        case RigOp::SendMorse:
            if (!Plain(request.text) || request.text.size() > kRigctldLineMax / 2) {
                return {RigOutcome::Rejected, false, 0, "text the rig's keyer cannot take"};
            }
            return Exchange("b" + vfo_ + " " + request.text, "send_morse");
        case RigOp::StopMorse:
            return Exchange("\\stop_morse" + vfo_, "stop_morse");
        case RigOp::SetKeySpeed:
            return Exchange("L" + vfo_ + " KEYSPD " + std::to_string(request.wpm), "set_level");
        case RigOp::Identify: {
            // A real exchange with the rig, so a rig that stopped answering shows here.
            const RigAnswer answer = Exchange("f" + vfo_, "get_freq");
            if (answer.connectionLost) return answer;
            return Describe({});
        }
    }
    return {RigOutcome::Rejected, false, 0, "unknown request"};
}

}  // namespace telkey::rig
