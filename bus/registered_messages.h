#pragma once
// The two registered message identifiers; 0 until they are registered at start-up, and no
// message is taken as either of them before that.
#include <cstdint>

namespace telkey {

struct RegisteredMessages {
    std::uint32_t BRX_CW = 0;
    std::uint32_t Telkey_Message = 0;
};

// Telkey_Message state announcements (wParam), lParam 0.
constexpr std::int32_t kAnnouncePauseOff = 100;
constexpr std::int32_t kAnnouncePauseOn = 101;
constexpr std::int32_t kAnnounceTxOff = 110;
constexpr std::int32_t kAnnounceTxOn = 111;
// Field announcement code in the low byte of wParam, and its field bits in lParam.
constexpr std::int32_t kAnnounceField = 131;
constexpr std::int32_t kFieldCall = 4;
constexpr std::int32_t kFieldReport = 32;
constexpr std::int32_t kFieldName = 128;

}  // namespace telkey
