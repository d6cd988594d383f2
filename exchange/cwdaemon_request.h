#pragma once
// The cwdaemon network protocol, as Linux loggers (tlf, CQRLOG, QLog, ...) speak it: one UDP
// datagram is one request, either text to key or an escape request (ESC, a code, a value).
// This unit only reads datagrams; the listener acts on them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace telkey {

inline constexpr std::uint16_t kCwdaemonDefaultPort = 6789;
// Longer datagrams are cut here.
inline constexpr std::size_t kCwdaemonMaxRequest = 256;
inline constexpr char kCwdaemonEscape = '\x1b';

// Accepted ranges of the escape requests' values.
inline constexpr std::int32_t kCwdaemonMinWpm = 4;
inline constexpr std::int32_t kCwdaemonMaxWpm = 60;
inline constexpr std::int32_t kCwdaemonMinTone = 20;  // 0 is accepted too: sidetone off
inline constexpr std::int32_t kCwdaemonMaxTone = 4000;
inline constexpr std::int32_t kCwdaemonMaxWeighting = 50;  // per cent of a dot, either sign
inline constexpr std::int32_t kCwdaemonMaxTuneSeconds = 10;
inline constexpr std::int32_t kCwdaemonMaxPttDelayMs = 50;
// Letters per minute of one word per minute, and the step of "+" and "-" in text (2 wpm).
inline constexpr std::int32_t kLpmPerWpm = 5;
inline constexpr std::int32_t kCwdaemonSpeedStepLpm = 10;

// Code numbers of the prosigns that cwdaemon text writes as single characters.
inline constexpr std::uint8_t kProsignAR = 0x2A;  // .-.-.
inline constexpr std::uint8_t kProsignBT = 0x31;  // -...-
inline constexpr std::uint8_t kProsignSK = 0x45;  // ...-.-
inline constexpr std::uint8_t kProsignKN = 0x36;  // -.--.
inline constexpr std::uint8_t kProsignSN = 0x22;  // ...-.
inline constexpr std::uint8_t kProsignAS = 0x28;  // .-...
inline constexpr std::uint8_t kProsignBK = 0xC5;  // -...-.-

// One piece of a text request, in keying order.
struct CwdaemonTextItem {
    enum class Kind : std::uint8_t {
        Char,       // value: a Latin-1 byte, keyed as if typed
        Prosign,    // value: the code number to key
        SpeedUp,    // 2 wpm faster from here on
        SpeedDown,  // 2 wpm slower from here on
    };
    Kind kind;
    std::uint8_t value = 0;
    bool operator==(const CwdaemonTextItem&) const = default;
};

enum class CwdaemonRequestKind {
    Ignored,      // malformed, empty, binary, unknown or out of range: `detail` says why
    Text,         // `items` to key; `caretReply` with `replyText`
    Reset,        // ESC 0
    Speed,        // ESC 2: `value` wpm
    Tone,         // ESC 3: `value` Hz, 0 = sidetone off
    Abort,        // ESC 4
    Exit,         // ESC 5 (refused by the listener)
    WordMode,     // ESC 6
    Weighting,    // ESC 7: `value` per cent of a dot
    Device,       // ESC 8: `detail` = the device asked for
    Transmit,     // ESC a: `value` 1 on, 0 off
    Tune,         // ESC c: `value` seconds
    SoundSystem,  // ESC f: `detail` = the sound system asked for
    ArmReply,     // ESC h: `replyText` = what follows the "h"
    PttDelay,     // ESC d: `value` ms between PTT on and the first element
    NoEffect,     // ESC b, e, g, 9, a lone "^": accepted, nothing to do
};

struct CwdaemonRequest {
    CwdaemonRequestKind kind = CwdaemonRequestKind::Ignored;
    std::int32_t value = 0;
    std::vector<CwdaemonTextItem> items;
    bool caretReply = false;  // text ended at a "^": reply with the text before it
    std::string replyText;    // Latin-1 bytes
    std::string detail;       // printable ASCII
    bool cut = false;         // the datagram was longer than kCwdaemonMaxRequest
};

// Reads one datagram. Never fails: anything unusable comes back as Ignored.
CwdaemonRequest ParseCwdaemonRequest(std::string_view datagram);

// The code number cwdaemon keys for a byte of text (its Morse table: letters of either case,
// digits, punctuation, a few Latin-1 and Latin-2 letters); 0 for a byte it skips.
std::uint8_t CwdaemonCode(std::uint8_t byte) noexcept;

// The bytes of a request as printable ASCII for a log line (others as \xNN), at most `limit`
// bytes of the input.
std::string PrintableBytes(std::string_view bytes, std::size_t limit = 40);

}  // namespace telkey
