#pragma once
// What Telkey and its guardian program agree on: how the program is called, where it finds its
// link and its page, and the messages on the link.
#include <cstdint>

namespace telkey {

inline constexpr char kGuardianArgument[] = "--internal-guardian";
// Its process name and first argument: no pattern that finds Telkey (`pkill telkey`,
// `pkill -f telkey`, `killall telkey`) finds the guardian that is to release after it.
inline constexpr char kGuardianName[] = "keyline-watch";
// Where the guardian program finds its link, its page and the eventfd that wakes it when a
// line goes on.
inline constexpr int kGuardianLinkFd = 3;
inline constexpr int kGuardianPageFd = 4;
inline constexpr int kGuardianWakeFd = 5;
// The guardian program was started by something other than Telkey.
inline constexpr int kGuardianExitNotStarted = 2;

inline constexpr std::int64_t kGuardianNsPerMs = 1'000'000;
inline constexpr int kGuardianFirstKeyPort = 1;
inline constexpr int kGuardianLastKeyPort = 7;

// One message on the link; a descriptor, if any, comes with it.
struct GuardianMessage {
    std::uint32_t kind;  // GuardedKind, or 0: forget the slot
    std::int32_t slot;
};

}  // namespace telkey
