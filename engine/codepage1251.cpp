#include "engine/codepage1251.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace telkey {
namespace {

// Unicode of the bytes 0x80..0xBF; 0xC0..0xFF are U+0410..U+044F in order.
constexpr std::array<char16_t, 64> kHighHalf = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
};
constexpr char32_t kCyrillicA = 0x0410;
constexpr char32_t kCyrillicLastYa = 0x044F;
constexpr std::uint8_t kCyrillicFirstByte = 0xC0;
// The top bit of each byte of a word: none set means eight ASCII bytes.
constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

void AppendUtf8(std::string& out, char32_t ch) {
    if (ch < 0x80) {
        out += static_cast<char>(ch);
    } else if (ch < 0x800) {
        out += static_cast<char>(0xC0 | (ch >> 6));
        out += static_cast<char>(0x80 | (ch & 0x3F));
    } else if (ch < 0x10000) {
        out += static_cast<char>(0xE0 | (ch >> 12));
        out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (ch & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (ch >> 18));
        out += static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (ch & 0x3F));
    }
}

// Decodes one UTF-8 sequence at `pos`; returns U+FFFD and advances by one byte on bad input.
char32_t NextUtf8(std::string_view s, std::size_t& pos) noexcept {
    const auto b0 = static_cast<unsigned char>(s[pos]);
    int extra = 0;
    char32_t ch = 0;
    if (b0 < 0x80) {
        ++pos;
        return b0;
    } else if ((b0 & 0xE0) == 0xC0) {
        extra = 1;
        ch = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2;
        ch = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3;
        ch = b0 & 0x07;
    } else {
        ++pos;
        return 0xFFFD;
    }
    if (pos + extra >= s.size()) {
        ++pos;
        return 0xFFFD;
    }
    for (int i = 1; i <= extra; ++i) {
        const auto b = static_cast<unsigned char>(s[pos + i]);
        if ((b & 0xC0) != 0x80) {
            ++pos;
            return 0xFFFD;
        }
        ch = (ch << 6) | (b & 0x3F);
    }
    constexpr char32_t kMinForLength[] = {0, 0x80, 0x800, 0x10000};
    if (ch < kMinForLength[extra] || ch > 0x10FFFF || (ch >= 0xD800 && ch <= 0xDFFF)) {
        ++pos;
        return 0xFFFD;
    }
    pos += extra + 1;
    return ch;
}

}  // namespace

std::uint8_t UnicodeToCp1251(char32_t ch) noexcept {
    if (ch < 0x80) return static_cast<std::uint8_t>(ch);
    if (ch >= kCyrillicA && ch <= kCyrillicLastYa) {
        return static_cast<std::uint8_t>(kCyrillicFirstByte + (ch - kCyrillicA));
    }
    for (std::size_t i = 0; i < kHighHalf.size(); ++i) {
        if (kHighHalf[i] == ch) return static_cast<std::uint8_t>(0x80 + i);
    }
    return kUnmappedByte;
}

char32_t Cp1251ToUnicode(std::uint8_t byte) noexcept {
    if (byte < 0x80) return byte;
    if (byte >= kCyrillicFirstByte) return kCyrillicA + (byte - kCyrillicFirstByte);
    return kHighHalf[byte - 0x80];
}

std::string Utf8ToCp1251(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t pos = 0; pos < utf8.size();) {
        out += static_cast<char>(UnicodeToCp1251(NextUtf8(utf8, pos)));
    }
    return out;
}

std::string Cp1251ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) AppendUtf8(out, Cp1251ToUnicode(static_cast<std::uint8_t>(c)));
    return out;
}

bool IsValidUtf8(std::string_view bytes) noexcept {
    for (std::size_t pos = 0; pos < bytes.size();) {
        // Large files are mostly ASCII: skip it a word at a time.
        std::uint64_t word = 0;
        if (bytes.size() - pos >= sizeof word) {
            std::memcpy(&word, bytes.data() + pos, sizeof word);
            if ((word & kHighBits) == 0) {
                pos += sizeof word;
                continue;
            }
        }
        const std::size_t start = pos;
        const char32_t ch = NextUtf8(bytes, pos);
        if (ch == 0xFFFD && pos == start + 1 && static_cast<unsigned char>(bytes[start]) >= 0x80) {
            return false;
        }
    }
    return true;
}

}  // namespace telkey
