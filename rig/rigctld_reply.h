#pragma once
// rigctld's extended answer ("+" before the command), taken one line at a time: a header naming
// the command, value lines, and "RPRT n" last. Whatever else arrives is garbled, and a code out of
// Hamlib's range is an error in words, never an index.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "rig/rig_ticket.h"

namespace telkey::rig {

// A longer line, or more lines to one answer, is no answer from rigctld.
inline constexpr std::size_t kRigctldLineMax = 4096;
inline constexpr std::size_t kRigctldReplyLinesMax = 32;

// What one exchange came to, for the link.
struct RigAnswer {
    RigOutcome outcome = RigOutcome::Ok;
    bool connectionLost = false;  // the connection must be closed and opened again
    int value = 0;
    std::string detail;  // the error in words, or the rig's description
};

class RigctldReply {
  public:
    enum class State { More, Done, Garbled };

    // `command` is the long name rigctld echoes in its header, as "set_ptt".
    explicit RigctldReply(std::string command) : command_(std::move(command)) {}

    // One line without its newline.
    State Take(std::string_view line);
    State Current() const { return state_; }
    // The values between header and report, their "Name: " left off.
    const std::vector<std::string>& Values() const { return values_; }
    // Done: the report; Garbled: what was wrong, with the line quoted in part.
    RigAnswer Answer() const;

  private:
    State Garble(std::string why, std::string_view line);

    std::string command_;
    State state_ = State::More;
    bool headerSeen_ = false;
    long long code_ = 0;
    std::vector<std::string> values_;
    std::string problem_;
};

// Hamlib's error code (either sign) in words; a code it does not have is said as a number.
std::string RigctldErrorWords(long long code);

}  // namespace telkey::rig
