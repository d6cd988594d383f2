#include "rig/rigctld_reply.h"

#include <array>
#include <charconv>

namespace telkey::rig {

namespace {

constexpr std::string_view kReport = "RPRT ";
constexpr std::size_t kQuoted = 40;

// Hamlib's error numbers as rigctld reports them (negated), in Hamlib's order.
constexpr std::array<std::string_view, 21> kErrorWords = {
    "no error",
    "invalid parameter",
    "invalid configuration",
    "out of memory",
    "function not implemented",
    "communication timed out",
    "input/output error",
    "internal Hamlib error",
    "protocol error",
    "command rejected by the rig",
    "argument truncated",
    "function not available",
    "VFO not targetable",
    "error on the bus",
    "collision on the bus",
    "invalid handle or argument",
    "invalid VFO",
    "argument out of range",
    "function deprecated",
    "security error",
    "rig not powered on",
};
constexpr long long kNotImplemented = 4;
constexpr long long kTimedOut = 5;
constexpr long long kIoError = 6;
constexpr long long kInternal = 7;
constexpr long long kNotAvailable = 11;

// A line quoted in an error: printable ASCII only, and short.
std::string Quote(std::string_view line) {
    std::string text;
    for (const char c : line.substr(0, kQuoted)) {
        text += c >= ' ' && c <= '~' ? c : '?';
    }
    if (line.size() > kQuoted) text += "...";
    return "'" + text + "'";
}

}  // namespace

std::string RigctldErrorWords(long long code) {
    const long long magnitude = code < 0 && code >= -1000 ? -code : code;
    if (magnitude >= 0 && magnitude < static_cast<long long>(kErrorWords.size())) {
        return std::string(kErrorWords[static_cast<std::size_t>(magnitude)]);
    }
    return "error code " + std::to_string(code) + ", unknown to Telkey";
}

RigctldReply::State RigctldReply::Garble(std::string why, std::string_view line) {
    problem_ = "rigctld's answer makes no sense: " + why + " " + Quote(line);
    state_ = State::Garbled;
    return state_;
}

RigctldReply::State RigctldReply::Take(std::string_view line) {
    if (state_ != State::More) return state_;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() > kRigctldLineMax) return Garble("a line too long", line);
    if (line.substr(0, kReport.size()) == kReport) {
        const std::string_view digits = line.substr(kReport.size());
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), code_);
        if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) {
            return Garble("a report without a number", line);
        }
        state_ = State::Done;
        return state_;
    }
    if (!headerSeen_) {
        // The header echoes the command's long name: anything else is another conversation.
        if (line.substr(0, command_.size()) != command_ || line.size() <= command_.size() ||
            line[command_.size()] != ':') {
            return Garble("expected " + command_ + ", got", line);
        }
        headerSeen_ = true;
        return state_;
    }
    if (values_.size() >= kRigctldReplyLinesMax) return Garble("too many lines, the last", line);
    const std::size_t colon = line.find(": ");
    values_.emplace_back(colon == std::string_view::npos ? line : line.substr(colon + 2));
    return state_;
}

RigAnswer RigctldReply::Answer() const {
    if (state_ == State::Garbled) return {RigOutcome::NotAnswering, true, 0, problem_};
    if (state_ == State::More) {
        return {RigOutcome::NotAnswering, true, 0, "rigctld's answer was cut off"};
    }
    const long long magnitude = code_ < 0 && code_ >= -1000 ? -code_ : code_;
    switch (magnitude) {
        case 0:
            return {};
        case kNotImplemented:
        case kNotAvailable:
            return {RigOutcome::NotAvailable, false, 0, ""};
        case kTimedOut:
            return {RigOutcome::NotAnswering, true, 0, RigctldErrorWords(code_)};
        case kIoError:
        case kInternal:
            return {RigOutcome::NotAnswering, true, 0, RigctldErrorWords(code_)};
        default:
            return {RigOutcome::Rejected, false, 0, RigctldErrorWords(code_)};
    }
}

}  // namespace telkey::rig
