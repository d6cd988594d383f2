#include "exchange/cwdaemon_request.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>

#include "engine/codepage1251.h"
#include "engine/morse_tables.h"

namespace telkey {

namespace {

using Kind = CwdaemonRequestKind;
using Item = CwdaemonTextItem;

// The characters cwdaemon's Morse table keys (upper case; lower case keys the same).
struct CwdaemonSign {
    unsigned char byte;
    const char* elements;
};
constexpr CwdaemonSign kCwdaemonSigns[] = {
    {'A', ".-"},     {'B', "-..."},    {'C', "-.-."},    {'D', "-.."},     {'E', "."},
    {'F', "..-."},   {'G', "--."},     {'H', "...."},    {'I', ".."},      {'J', ".---"},
    {'K', "-.-"},    {'L', ".-.."},    {'M', "--"},      {'N', "-."},      {'O', "---"},
    {'P', ".--."},   {'Q', "--.-"},    {'R', ".-."},     {'S', "..."},     {'T', "-"},
    {'U', "..-"},    {'V', "...-"},    {'W', ".--"},     {'X', "-..-"},    {'Y', "-.--"},
    {'Z', "--.."},   {'0', "-----"},   {'1', ".----"},   {'2', "..---"},   {'3', "...--"},
    {'4', "....-"},  {'5', "....."},   {'6', "-...."},   {'7', "--..."},   {'8', "---.."},
    {'9', "----."},  {'"', ".-..-."},  {'\'', ".----."}, {'$', "...-..-"}, {'(', "-.--."},
    {')', "-.--.-"}, {',', "--..--"},  {'.', ".-.-.-"},  {'/', "-..-."},   {':', "---..."},
    {';', "-.-.-."}, {'=', "-...-"},   {'?', "..--.."},  {'_', "..--.-"},  {'@', ".--.-."},
    {'<', "...-.-"}, {'>', "-...-.-"}, {'!', "...-."},   {'&', ".-..."},   {0xDC, "..--"},
    {0xC4, ".-.-"},  {0xC7, "-.-.."},  {0xD6, "---."},   {0xC9, "..-.."},  {0xC8, ".-..-"},
    {0xC0, ".--.-"}, {0xD1, "--.--"},  {0xAA, "----"},   {0xAE, "--..-"},
};

constexpr std::uint8_t CodeOf(const char* elements) {
    std::uint8_t code = 1;
    for (const char* e = elements; *e != '\0'; ++e) {
        code = static_cast<std::uint8_t>((code << 1) | (*e == '-' ? 1 : 0));
    }
    return code;
}

// At most nine digits, so a value always fits 32 bits.
constexpr std::size_t kMaxValueDigits = 9;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// A decimal value with an optional sign and blanks around it; nothing else.
bool ParseValue(std::string_view text, std::int32_t& value) {
    std::string_view s = Trim(text);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty() || s.size() > kMaxValueDigits) return false;
    std::int32_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    value = negative ? -v : v;
    return true;
}

CwdaemonRequest Ignored(std::string detail) {
    CwdaemonRequest r;
    r.kind = Kind::Ignored;
    r.detail = std::move(detail);
    return r;
}

std::string RangeText(std::int32_t lo, std::int32_t hi) {
    return std::to_string(lo) + ".." + std::to_string(hi);
}

// ESC code value. `bytes` holds the whole request, ESC included.
CwdaemonRequest ParseEscape(std::string_view bytes) {
    if (bytes.size() < 2) return Ignored("escape request without a code");
    const char code = bytes[1];
    const std::string_view rest = bytes.substr(2);
    const std::string name = "escape request " + PrintableBytes(bytes.substr(0, 2));

    CwdaemonRequest r;
    auto valued = [&](Kind kind, std::int32_t lo, std::int32_t hi, bool zeroToo) {
        std::int32_t v = 0;
        if (!ParseValue(rest, v)) {
            return Ignored(name + ": value \"" + PrintableBytes(rest) + "\" is not a number");
        }
        if ((v < lo || v > hi) && !(zeroToo && v == 0)) {
            return Ignored(name + ": value " + std::to_string(v) + " is outside " +
                           (zeroToo ? "0 and " : "") + RangeText(lo, hi));
        }
        r.kind = kind;
        r.value = v;
        return r;
    };

    switch (code) {
        case '0':
            r.kind = Kind::Reset;
            return r;
        case '2':
            return valued(Kind::Speed, kCwdaemonMinWpm, kCwdaemonMaxWpm, false);
        case '3':
            return valued(Kind::Tone, kCwdaemonMinTone, kCwdaemonMaxTone, true);
        case '4':
            r.kind = Kind::Abort;
            return r;
        case '5':
            r.kind = Kind::Exit;
            return r;
        case '6':
            r.kind = Kind::WordMode;
            return r;
        case '7':
            return valued(Kind::Weighting, -kCwdaemonMaxWeighting, kCwdaemonMaxWeighting, false);
        case '8':
            r.kind = Kind::Device;
            r.detail = PrintableBytes(Trim(rest));
            return r;
        case 'a':
            return valued(Kind::Transmit, 0, 1, false);
        case 'c':
            return valued(Kind::Tune, 0, kCwdaemonMaxTuneSeconds, false);
        case 'f':
            r.kind = Kind::SoundSystem;
            r.detail = PrintableBytes(Trim(rest));
            return r;
        case 'h':
            r.kind = Kind::ArmReply;
            r.replyText = std::string(rest);
            return r;
        case 'd': {
            // A longer lead is clipped, as cwdaemon clips it.
            CwdaemonRequest lead =
                valued(Kind::PttDelay, 0, std::numeric_limits<int>::max(), false);
            if (lead.kind == Kind::PttDelay)
                lead.value = std::min(lead.value, kCwdaemonMaxPttDelayMs);
            return lead;
        }
        case 'b':
        case 'e':
        case 'g':
        case '9':
            r.kind = Kind::NoEffect;
            return r;
        default:
            return Ignored("unknown " + name);
    }
}

CwdaemonRequest ParseText(std::string_view bytes) {
    CwdaemonRequest r;
    r.kind = Kind::Text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        switch (c) {
            case '^':
                // A caret alone asks for nothing.
                if (i == 0) {
                    r.kind = Kind::NoEffect;
                    return r;
                }
                // A reply once the text before it is keyed; the rest is dropped.
                r.caretReply = true;
                for (char before : bytes.substr(0, i)) {
                    if (before != '\r' && before != '\n') r.replyText.push_back(before);
                }
                return r;
            case ' ':
                r.items.push_back({Item::Kind::Char, ' '});
                break;
            case '+':
                r.items.push_back({Item::Kind::SpeedUp});
                break;
            case '-':
                r.items.push_back({Item::Kind::SpeedDown});
                break;
            case '*':
                r.items.push_back({Item::Kind::Prosign, kProsignAR});
                break;
            default: {
                // Anything cwdaemon cannot key (control bytes, "~", "}", "#" ...) is skipped.
                const auto byte = static_cast<std::uint8_t>(c);
                const std::uint8_t code = CwdaemonCode(byte);
                if (code == 0) break;
                // The character itself where Input keys it alike, so it reads as sent.
                const auto asTyped = UnicodeToCp1251(static_cast<char32_t>(byte));
                if (byte != '`' && byte != '~' && CharToCode(asTyped) == code) {
                    r.items.push_back({Item::Kind::Char, byte});
                } else {
                    r.items.push_back({Item::Kind::Prosign, code});
                }
                break;
            }
        }
    }
    if (r.items.empty()) return Ignored("request without text to key");
    return r;
}

}  // namespace

std::uint8_t CwdaemonCode(std::uint8_t byte) noexcept {
    static const std::array<std::uint8_t, 256> table = [] {
        std::array<std::uint8_t, 256> t{};
        for (const CwdaemonSign& sign : kCwdaemonSigns) {
            t[sign.byte] = CodeOf(sign.elements);
            if (sign.byte >= 'A' && sign.byte <= 'Z') t[sign.byte + ('a' - 'A')] = t[sign.byte];
        }
        return t;
    }();
    return table[byte];
}

CwdaemonRequest ParseCwdaemonRequest(std::string_view datagram) {
    const bool cut = datagram.size() > kCwdaemonMaxRequest;
    std::string_view bytes = datagram.substr(0, kCwdaemonMaxRequest);
    // Clients written in C often send the terminating NUL along: the request ends there.
    if (const auto nul = bytes.find('\0'); nul != std::string_view::npos) {
        bytes = bytes.substr(0, nul);
    }
    CwdaemonRequest r;
    if (bytes.empty()) {
        r = Ignored("empty request");
    } else if (bytes.front() == kCwdaemonEscape) {
        r = ParseEscape(bytes);
    } else {
        r = ParseText(bytes);
    }
    r.cut = cut;
    return r;
}

std::string PrintableBytes(std::string_view bytes, std::size_t limit) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b >= 0x20 && b < 0x7F && b != '\\') {
            out.push_back(static_cast<char>(b));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    if (bytes.size() > limit) out += "...";
    return out;
}

}  // namespace telkey
