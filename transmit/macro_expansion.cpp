#include "transmit/macro_expansion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>

#include "engine/codepage1251.h"

namespace telkey {
namespace {

constexpr std::u32string_view kCommandStart = U"~[";
constexpr char32_t kNameEnd = U']';
// Code points below this end a name, as the end of the text does.
constexpr char32_t kFirstPrintable = 0x20;
// Text beyond this can never reach the Input window; a command that starts before the limit
// still fits whole.
constexpr std::size_t kExpansionKeep = kInputMaxLength + kMacroNameMax + 3;

struct NameSpan {
    std::size_t length;  // characters of the name
    bool closed;         // a "]" ended it
};

NameSpan ReadName(std::u32string_view text, std::size_t pos) {
    std::size_t n = 0;
    for (std::size_t i = pos + kCommandStart.size(); n < kMacroNameMax; ++i, ++n) {
        if (i >= text.size() || text[i] < kFirstPrintable) return {n, false};
        if (text[i] == kNameEnd) return {n, true};
    }
    return {n, false};
}

char32_t At(std::u32string_view name, std::size_t i) {
    return i < name.size() ? name[i] : 0;
}

std::optional<QsoField> FieldLetter(char32_t c) {
    switch (c) {
        case U'c':
            return QsoField::Call;
        case U'r':
            return QsoField::Rst;
        case U'n':
            return QsoField::Name;
        case U'o':
            return QsoField::Other;
        default:
            return std::nullopt;
    }
}

// Acts on one command name by its first letters and returns what goes where it stood.
std::u32string Act(std::u32string_view name, MacroContext& context) {
    const std::u32string_view rest = name.empty() ? name : name.substr(1);
    switch (At(name, 0)) {
        case U'c':
            if (At(name, 1) == U'l') context.ClearInput();
            return {};
        case U'e':
            if (const auto field = FieldLetter(At(name, 1))) return context.FieldText(*field);
            if (At(name, 1) == U's') {
                if (const auto field = FieldLetter(At(name, 2))) {
                    return CutNumbers(context.FieldText(*field));
                }
            }
            return {};
        case U'f':
            return ReadMacroFile(rest);
        case U'i':
            return context.IniValue(rest).value_or(std::u32string(kMacroFailureText));
        case U'm':
            if (const auto slot = ParseMacroNumber(rest)) return context.MacroText(*slot);
            return {};
        case U'p':
            if (At(name, 1) == U'a') return std::u32string(1, kPauseChar);
            return {};
        case U'r':
            if (At(name, 1) == U'x') return std::u32string(1, kRxChar);
            return {};
        case U't':
            if (At(name, 1) == U'x') context.TransmitOn();
            return {};
        default:
            return {};
    }
}

void ExpandCommandAt(std::u32string& text, std::size_t pos, MacroContext& context) {
    const NameSpan span = ReadName(text, pos);
    const std::u32string name = text.substr(pos + kCommandStart.size(), span.length);
    text.erase(pos, kCommandStart.size() + span.length + (span.closed ? 1 : 0));
    const std::u32string insertion = Act(name, context);
    text.insert(pos, insertion);
}

// Length of the UTF-8 sequence a lead byte starts; 0 for a byte that cannot start one.
int Utf8SequenceLength(std::uint8_t lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// Decodes one well-formed sequence at `i`; false when the bytes there are not one.
bool DecodeUtf8At(std::string_view bytes, std::size_t i, char32_t& cp, std::size_t& length) {
    const auto lead = static_cast<std::uint8_t>(bytes[i]);
    const int n = Utf8SequenceLength(lead);
    if (n == 0 || i + static_cast<std::size_t>(n) > bytes.size()) return false;
    if (n == 1) {
        cp = lead;
        length = 1;
        return true;
    }
    constexpr std::array<std::uint8_t, 5> kLeadMask{0, 0, 0x1F, 0x0F, 0x07};
    char32_t value = lead & kLeadMask[static_cast<std::size_t>(n)];
    for (int k = 1; k < n; ++k) {
        const auto b = static_cast<std::uint8_t>(bytes[i + static_cast<std::size_t>(k)]);
        if ((b & 0xC0) != 0x80) return false;
        value = (value << 6) | (b & 0x3F);
    }
    constexpr std::array<char32_t, 5> kSmallest{0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[static_cast<std::size_t>(n)] || value > 0x10FFFF ||
        (value >= 0xD800 && value <= 0xDFFF)) {
        return false;
    }
    cp = value;
    length = static_cast<std::size_t>(n);
    return true;
}

// Drops a sequence cut off at the end of a read that stopped before the end of the file.
void TrimPartialUtf8Tail(std::string& bytes) {
    const std::size_t lookBack = std::min<std::size_t>(bytes.size(), 4);
    for (std::size_t k = 1; k <= lookBack; ++k) {
        const std::size_t i = bytes.size() - k;
        const auto b = static_cast<std::uint8_t>(bytes[i]);
        if ((b & 0xC0) == 0x80) continue;
        if (static_cast<std::size_t>(Utf8SequenceLength(b)) > k) bytes.erase(i);
        return;
    }
}

std::u32string Cp1251ToCodePoints(std::string_view bytes) {
    std::u32string out;
    out.reserve(bytes.size());
    for (const char b : bytes) out.push_back(Cp1251ToUnicode(static_cast<std::uint8_t>(b)));
    return out;
}

}  // namespace

std::u32string CutNumbers(std::u32string_view text) {
    std::u32string out(text);
    for (char32_t& c : out) {
        if (c == U'9') {
            c = U'n';
        } else if (c == U'0') {
            c = U't';
        }
    }
    return out;
}

std::size_t MacroCommandLength(std::u32string_view text, std::size_t pos) {
    const NameSpan span = ReadName(text, pos);
    return kCommandStart.size() + span.length + (span.closed ? 1 : 0);
}

bool ExpandMacroStep(std::u32string& text, MacroContext& context) {
    const std::size_t pos = text.find(kCommandStart);
    if (pos == std::u32string::npos) return false;
    ExpandCommandAt(text, pos, context);
    return true;
}

bool ExpandMacro(std::u32string& text, MacroContext& context) {
    bool complete = true;
    for (int steps = 0;; ++steps) {
        const std::size_t pos = text.find(kCommandStart);
        if (pos == std::u32string::npos) break;
        if (steps >= kMaxExpansionSteps || pos >= kInputMaxLength) {
            RemoveMacroCommands(text, pos);
            complete = false;
            break;
        }
        ExpandCommandAt(text, pos, context);
        if (text.size() > kExpansionKeep) {
            text.resize(kExpansionKeep);
            complete = false;
        }
    }
    if (text.size() > kInputMaxLength) text.resize(kInputMaxLength);
    return complete;
}

void RemoveMacroCommands(std::u32string& text, std::size_t pos) {
    std::size_t p = text.find(kCommandStart, pos);
    while (p != std::u32string::npos) {
        text.erase(p, MacroCommandLength(text, p));
        // A "~" just before the command and a "[" just after it now make a command of their own.
        p = text.find(kCommandStart, p > 0 ? p - 1 : 0);
    }
}

std::u32string ReadMacroFile(std::u32string_view name) {
    std::string path = CodePointsToUtf8(name);
    std::replace(path.begin(), path.end(), '\\', '/');
    // Non-blocking, so that a FIFO without a writer or a terminal cannot hold up the window.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return std::u32string(kMacroFailureText);
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        close(fd);
        return std::u32string(kMacroFailureText);
    }

    std::string kept;
    std::size_t total = 0;
    std::size_t characters = 0;  // lead bytes kept: at least the characters they make
    bool atEnd = false;
    std::array<char, kMacroFileBlock> block{};
    while (characters <= kInputMaxLength) {
        if (total >= kMacroFileReadMax) break;
        const std::size_t want = std::min(block.size(), kMacroFileReadMax - total);
        const ssize_t got = read(fd, block.data(), want);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            atEnd = true;
            break;
        }
        total += static_cast<std::size_t>(got);
        for (ssize_t k = 0; k < got; ++k) {
            const char b = block[static_cast<std::size_t>(k)];
            if (b == '\0') continue;
            kept.push_back(b);
            if ((static_cast<std::uint8_t>(b) & 0xC0) != 0x80) ++characters;
        }
    }
    close(fd);

    if (!atEnd) TrimPartialUtf8Tail(kept);
    std::u32string text = IsValidUtf8(kept) ? Utf8ToCodePoints(kept) : Cp1251ToCodePoints(kept);
    if (text.size() > kInputMaxLength) text.resize(kInputMaxLength);
    return text;
}

std::optional<int> ParseMacroNumber(std::u32string_view digits) {
    std::size_t i = 0;
    auto isSpace = [](char32_t c) { return c == U' ' || (c >= U'\t' && c <= U'\r'); };
    while (i < digits.size() && isSpace(digits[i])) ++i;
    bool negative = false;
    if (i < digits.size() && (digits[i] == U'+' || digits[i] == U'-')) {
        negative = digits[i] == U'-';
        ++i;
    }
    long value = 0;
    for (; i < digits.size() && digits[i] >= U'0' && digits[i] <= U'9'; ++i) {
        value = value * 10 + static_cast<long>(digits[i] - U'0');
        if (value >= kMacroSlots) return std::nullopt;  // stays out of range, however long
    }
    if (negative && value != 0) return std::nullopt;
    return static_cast<int>(value);
}

std::u32string Utf8ToCodePoints(std::string_view utf8) {
    std::u32string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t cp = 0;
        std::size_t length = 0;
        if (DecodeUtf8At(utf8, i, cp, length)) {
            out.push_back(cp);
            i += length;
        } else {
            out.push_back(Cp1251ToUnicode(static_cast<std::uint8_t>(utf8[i])));
            ++i;
        }
    }
    return out;
}

std::string CodePointsToUtf8(std::u32string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char32_t cp : text) {
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

}  // namespace telkey
