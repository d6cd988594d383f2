#include "engine/morse_tables.h"

#include <array>
#include <cstddef>

namespace telkey {
namespace {

struct CharCode {
    std::uint8_t ch;
    std::uint8_t code;
};

// International Morse for A..Z; lower case maps to the same codes.
constexpr std::array<std::uint8_t, 26> kLatinLetters = {
    0x05, 0x18, 0x1A, 0x0C, 0x02, 0x12, 0x0E, 0x10, 0x04, 0x17, 0x0D, 0x14, 0x07,  // A..M
    0x06, 0x0F, 0x16, 0x1D, 0x0A, 0x08, 0x03, 0x09, 0x11, 0x0B, 0x19, 0x1B, 0x1C,  // N..Z
};

// Russian Morse for А..Я (0xC0..0xDF); lower case (0xE0..0xFF) maps to the same codes.
constexpr std::array<std::uint8_t, 32> kCyrillicLetters = {
    0x05, 0x18, 0x0B, 0x0E, 0x0C, 0x02, 0x11, 0x1C,  // А Б В Г Д Е Ж З
    0x04, 0x17, 0x0D, 0x14, 0x07, 0x06, 0x0F, 0x16,  // И Й К Л М Н О П
    0x0A, 0x08, 0x03, 0x09, 0x12, 0x10, 0x1A, 0x1E,  // Р С Т У Ф Х Ц Ч
    0x1F, 0x1D, 0x19, 0x1B, 0x19, 0x24, 0x13, 0x15,  // Ш Щ Ъ Ы Ь Э Ю Я
};

constexpr std::array<std::uint8_t, 10> kDigits = {
    0x3F, 0x2F, 0x27, 0x23, 0x21, 0x20, 0x30, 0x38, 0x3C, 0x3E,  // 0..9
};

constexpr std::array<CharCode, 32> kOtherCharacters = {{
    {0x22, 0x52},                     // "
    {0x23, 0x80},                     // #  seven dots
    {0x24, 0x45},                     // $  SK
    {0x26, 0xC5},                     // &  BK
    {0x27, 0x5E},                     // '
    {0x28, 0x36},                     // (  KN
    {0x29, 0x6D},                     // )
    {0x2B, 0x2A},                     // +  AR
    {0x2C, 0x73},                     // ,
    {0x2D, 0x61},                     // -
    {0x2E, 0x55},                     // .
    {0x2F, 0x32},                     // /
    {0x3A, 0x78},                     // :
    {0x3B, 0x6A},                     // ;
    {0x3C, 0x2A},                     // <  AR
    {0x3D, 0x31},                     // =
    {0x3E, 0x28},                     // >  AS
    {0x3F, 0x4C},                     // ?
    {0x40, 0x35},                     // @  KA
    {0x5B, 0x6D},                     // [
    {0x5C, 0x73},                     // backslash
    {0x5D, 0x6D},                     // ]
    {0x5E, 0x7D},                     // ^
    {0x5F, 0x4D},                     // _
    {0x7B, 0x6D},                     // {
    {0x7C, 0x73},                     // |
    {0x7D, CodeRx},    {0x7E, 0x7D},  // ~
    {0x7F, 0x80},                     // DEL  seven dots
    {0x82, 0x02},                     // low single quotation mark
    {0x84, 0x02},                     // low double quotation mark
    {0xB7, CodePause},                // middle dot
}};

constexpr std::array<std::uint8_t, 256> MakeCharToCode() {
    std::array<std::uint8_t, 256> table{};  // everything else is a word space
    for (std::size_t i = 0; i < kLatinLetters.size(); ++i) {
        table['A' + i] = kLatinLetters[i];
        table['a' + i] = kLatinLetters[i];
    }
    for (std::size_t i = 0; i < kDigits.size(); ++i) table['0' + i] = kDigits[i];
    for (const CharCode& row : kOtherCharacters) table[row.ch] = row.code;
    for (std::size_t i = 0; i < kCyrillicLetters.size(); ++i) {
        table[0xC0 + i] = kCyrillicLetters[i];
        table[0xE0 + i] = kCyrillicLetters[i];
    }
    return table;
}

constexpr std::array<std::uint8_t, 256> kCharToCode = MakeCharToCode();

struct CodeString {
    std::uint8_t code;
    const char* text;
};

constexpr const char* kNoCharacter = "%";

// Texts in code page 1251: "\xFD" э, "\xFE" ю, "\xFF" я, "\xF7" ч, "\xF8" ш.
constexpr std::array<CodeString, 63> kCodeTexts = {{
    {0x00, " "},    {0x02, "e"},          {0x03, "t"},  {0x04, "i"},    {0x05, "a"},
    {0x06, "n"},    {0x07, "m"},          {0x08, "s"},  {0x09, "u"},    {0x0A, "r"},
    {0x0B, "w"},    {0x0C, "d"},          {0x0D, "k"},  {0x0E, "g"},    {0x0F, "o"},
    {0x10, "h"},    {0x11, "v"},          {0x12, "f"},  {0x13, "\xFE"}, {0x14, "l"},
    {0x15, "\xFF"}, {0x16, "p"},          {0x17, "j"},  {0x18, "b"},    {0x19, "x"},
    {0x1A, "c"},    {0x1B, "y"},          {0x1C, "z"},  {0x1D, "q"},    {0x1E, "\xF7"},
    {0x1F, "\xF8"}, {0x20, "5"},          {0x21, "4"},  {0x23, "3"},    {0x24, "\xFD"},
    {0x27, "2"},    {0x28, "AS"},         {0x2A, "AR"}, {0x2F, "1"},    {0x30, "6"},
    {0x31, "="},    {0x32, "/"},          {0x35, "KA"}, {0x36, "KN"},   {0x38, "7"},
    {0x3C, "8"},    {0x3E, "9"},          {0x3F, "0"},  {0x40, "."},    {0x45, "SK"},
    {0x4C, "?"},    {0x4D, "_"},          {0x52, "\""}, {0x55, "."},    {0x5E, "\""},
    {0x61, "-"},    {0x6A, ";"},          {0x6D, ")"},  {0x73, ","},    {0x78, ":"},
    {0x7D, "^"},    {CodeSevenDots, "#"}, {0xC5, "BK"},
}};

constexpr std::array<const char*, 256> MakeCodeToText() {
    std::array<const char*, 256> table{};
    for (const char*& text : table) text = kNoCharacter;
    for (const CodeString& row : kCodeTexts) table[row.code] = row.text;
    return table;
}

constexpr std::array<const char*, 256> kCodeToText = MakeCodeToText();

constexpr std::uint8_t kTopBit = 0x80;

}  // namespace

std::uint8_t CharToCode(std::uint8_t ch) noexcept {
    return kCharToCode[ch];
}

const char* CodeText(std::uint8_t code) noexcept {
    return kCodeToText[code];
}

std::uint8_t FirstElementMask(std::uint8_t code) noexcept {
    if (code < 2) return 0;
    std::uint8_t mask = kTopBit;
    while ((code & mask) == 0) mask >>= 1;  // the start marker
    return static_cast<std::uint8_t>(mask >> 1);
}

std::uint8_t AddElement(std::uint8_t code, bool dash) noexcept {
    if ((code & kTopBit) == 0) return static_cast<std::uint8_t>((code << 1) | (dash ? 1 : 0));
    // A full byte: seven dots stay seven dots, anything else is an over-long character.
    return code == CodeSevenDots ? CodeSevenDots : CodeOverflow;
}

}  // namespace telkey
