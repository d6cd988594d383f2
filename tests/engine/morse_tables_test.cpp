// The character-to-code and code-to-text tables, row by row, and the element rules.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "engine/morse_tables.h"

namespace telkey {
namespace {

// Elements of a code as the keyer walks them: "." dot, "-" dash.
std::string Elements(std::uint8_t code) {
    std::string out;
    for (std::uint8_t mask = FirstElementMask(code); mask != 0; mask >>= 1) {
        out += (code & mask) != 0 ? '-' : '.';
    }
    return out;
}

std::uint8_t Build(const std::string& elements) {
    std::uint8_t code = 1;
    for (char e : elements) code = AddElement(code, e == '-');
    return code;
}

struct CharRow {
    std::uint8_t ch;
    std::uint8_t code;
    const char* elements;
};

// Letters, digits and the other characters with a code of their own.
const std::vector<CharRow> kCharRows = {
    {'A', 0x05, ".-"},
    {'B', 0x18, "-..."},
    {'C', 0x1A, "-.-."},
    {'D', 0x0C, "-.."},
    {'E', 0x02, "."},
    {'F', 0x12, "..-."},
    {'G', 0x0E, "--."},
    {'H', 0x10, "...."},
    {'I', 0x04, ".."},
    {'J', 0x17, ".---"},
    {'K', 0x0D, "-.-"},
    {'L', 0x14, ".-.."},
    {'M', 0x07, "--"},
    {'N', 0x06, "-."},
    {'O', 0x0F, "---"},
    {'P', 0x16, ".--."},
    {'Q', 0x1D, "--.-"},
    {'R', 0x0A, ".-."},
    {'S', 0x08, "..."},
    {'T', 0x03, "-"},
    {'U', 0x09, "..-"},
    {'V', 0x11, "...-"},
    {'W', 0x0B, ".--"},
    {'X', 0x19, "-..-"},
    {'Y', 0x1B, "-.--"},
    {'Z', 0x1C, "--.."},
    {'0', 0x3F, "-----"},
    {'1', 0x2F, ".----"},
    {'2', 0x27, "..---"},
    {'3', 0x23, "...--"},
    {'4', 0x21, "....-"},
    {'5', 0x20, "....."},
    {'6', 0x30, "-...."},
    {'7', 0x38, "--..."},
    {'8', 0x3C, "---.."},
    {'9', 0x3E, "----."},
    {'"', 0x52, ".-..-."},
    {'#', 0x80, "......."},
    {'$', 0x45, "...-.-"},
    {'&', 0xC5, "-...-.-"},
    {'\'', 0x5E, ".----."},
    {'(', 0x36, "-.--."},
    {')', 0x6D, "-.--.-"},
    {'+', 0x2A, ".-.-."},
    {',', 0x73, "--..--"},
    {'-', 0x61, "-....-"},
    {'.', 0x55, ".-.-.-"},
    {'/', 0x32, "-..-."},
    {':', 0x78, "---..."},
    {';', 0x6A, "-.-.-."},
    {'<', 0x2A, ".-.-."},
    {'=', 0x31, "-...-"},
    {'>', 0x28, ".-..."},
    {'?', 0x4C, "..--.."},
    {'@', 0x35, "-.-.-"},
    {'[', 0x6D, "-.--.-"},
    {'\\', 0x73, "--..--"},
    {']', 0x6D, "-.--.-"},
    {'^', 0x7D, "----.-"},
    {'_', 0x4D, "..--.-"},
    {'{', 0x6D, "-.--.-"},
    {'|', 0x73, "--..--"},
    {'~', 0x7D, "----.-"},
    {0x7F, 0x80, "......."},
    {0x82, 0x02, "."},
    {0x84, 0x02, "."},
    // Cyrillic capitals (code page 1251), Russian Morse.
    {0xC0, 0x05, ".-"},
    {0xC1, 0x18, "-..."},
    {0xC2, 0x0B, ".--"},
    {0xC3, 0x0E, "--."},
    {0xC4, 0x0C, "-.."},
    {0xC5, 0x02, "."},
    {0xC6, 0x11, "...-"},
    {0xC7, 0x1C, "--.."},
    {0xC8, 0x04, ".."},
    {0xC9, 0x17, ".---"},
    {0xCA, 0x0D, "-.-"},
    {0xCB, 0x14, ".-.."},
    {0xCC, 0x07, "--"},
    {0xCD, 0x06, "-."},
    {0xCE, 0x0F, "---"},
    {0xCF, 0x16, ".--."},
    {0xD0, 0x0A, ".-."},
    {0xD1, 0x08, "..."},
    {0xD2, 0x03, "-"},
    {0xD3, 0x09, "..-"},
    {0xD4, 0x12, "..-."},
    {0xD5, 0x10, "...."},
    {0xD6, 0x1A, "-.-."},
    {0xD7, 0x1E, "---."},
    {0xD8, 0x1F, "----"},
    {0xD9, 0x1D, "--.-"},
    {0xDA, 0x19, "-..-"},
    {0xDB, 0x1B, "-.--"},
    {0xDC, 0x19, "-..-"},
    {0xDD, 0x24, "..-.."},
    {0xDE, 0x13, "..--"},
    {0xDF, 0x15, ".-.-"},
};

struct TextRow {
    std::uint8_t code;
    const char* elements;
    const char* text;
};

const std::vector<TextRow> kTextRows = {
    {0x00, "", " "},        {0x02, ".", "e"},       {0x03, "-", "t"},        {0x04, "..", "i"},
    {0x05, ".-", "a"},      {0x06, "-.", "n"},      {0x07, "--", "m"},       {0x08, "...", "s"},
    {0x09, "..-", "u"},     {0x0A, ".-.", "r"},     {0x0B, ".--", "w"},      {0x0C, "-..", "d"},
    {0x0D, "-.-", "k"},     {0x0E, "--.", "g"},     {0x0F, "---", "o"},      {0x10, "....", "h"},
    {0x11, "...-", "v"},    {0x12, "..-.", "f"},    {0x13, "..--", "\xFE"},  {0x14, ".-..", "l"},
    {0x15, ".-.-", "\xFF"}, {0x16, ".--.", "p"},    {0x17, ".---", "j"},     {0x18, "-...", "b"},
    {0x19, "-..-", "x"},    {0x1A, "-.-.", "c"},    {0x1B, "-.--", "y"},     {0x1C, "--..", "z"},
    {0x1D, "--.-", "q"},    {0x1E, "---.", "\xF7"}, {0x1F, "----", "\xF8"},  {0x20, ".....", "5"},
    {0x21, "....-", "4"},   {0x23, "...--", "3"},   {0x24, "..-..", "\xFD"}, {0x27, "..---", "2"},
    {0x28, ".-...", "AS"},  {0x2A, ".-.-.", "AR"},  {0x2F, ".----", "1"},    {0x30, "-....", "6"},
    {0x31, "-...-", "="},   {0x32, "-..-.", "/"},   {0x35, "-.-.-", "KA"},   {0x36, "-.--.", "KN"},
    {0x38, "--...", "7"},   {0x3C, "---..", "8"},   {0x3E, "----.", "9"},    {0x3F, "-----", "0"},
    {0x40, "......", "."},  {0x45, "...-.-", "SK"}, {0x4C, "..--..", "?"},   {0x4D, "..--.-", "_"},
    {0x52, ".-..-.", "\""}, {0x55, ".-.-.-", "."},  {0x5E, ".----.", "\""},  {0x61, "-....-", "-"},
    {0x6A, "-.-.-.", ";"},  {0x6D, "-.--.-", ")"},  {0x73, "--..--", ","},   {0x78, "---...", ":"},
    {0x7D, "----.-", "^"},  {0x80, ".......", "#"}, {0xC5, "-...-.-", "BK"},
};

TEST(MorseTables, EveryCharacterRow) {
    for (const CharRow& row : kCharRows) {
        SCOPED_TRACE(testing::Message() << "byte 0x" << std::hex << int{row.ch});
        EXPECT_EQ(CharToCode(row.ch), row.code);
        EXPECT_EQ(Elements(row.code), row.elements);
    }
}

TEST(MorseTables, LowerCaseMapsLikeUpperCase) {
    for (int ch = 'a'; ch <= 'z'; ++ch) EXPECT_EQ(CharToCode(ch), CharToCode(ch - 0x20)) << ch;
    for (int ch = 0xE0; ch <= 0xFF; ++ch) EXPECT_EQ(CharToCode(ch), CharToCode(ch - 0x20)) << ch;
}

TEST(MorseTables, EveryOtherByteIsAWordSpace) {
    std::set<int> listed;
    for (const CharRow& row : kCharRows) listed.insert(row.ch);
    for (int ch = 'a'; ch <= 'z'; ++ch) listed.insert(ch);
    for (int ch = 0xE0; ch <= 0xFF; ++ch) listed.insert(ch);
    listed.insert('}');
    listed.insert(0xB7);
    for (int ch = 0; ch < 256; ++ch) {
        if (listed.count(ch) == 0) {
            EXPECT_EQ(CharToCode(ch), CodeWordSpace) << "byte " << ch;
        }
    }
    // Among them: line breaks, the blank, "!", "%", "*", the grave accent, Ё and ё.
    for (int ch : {0x0D, 0x0A, 0x20, 0x21, 0x25, 0x2A, 0x60, 0xA8, 0xB8, 0x98}) {
        EXPECT_EQ(CharToCode(ch), CodeWordSpace) << ch;
    }
}

TEST(MorseTables, ControlCharactersGiveControlCodes) {
    EXPECT_EQ(CharToCode('}'), CodeRx);
    EXPECT_EQ(CharToCode(0xB7), CodePause);
    EXPECT_STREQ(CodeText(CodeRx), "%");
    EXPECT_STREQ(CodeText(CodePause), "%");
}

TEST(MorseTables, EveryTextRowAndNoCharacterElsewhere) {
    std::set<int> listed;
    for (const TextRow& row : kTextRows) {
        SCOPED_TRACE(testing::Message() << "code 0x" << std::hex << int{row.code});
        EXPECT_STREQ(CodeText(row.code), row.text);
        EXPECT_EQ(Elements(row.code), row.elements);
        listed.insert(row.code);
    }
    for (int code = 0; code < 256; ++code) {
        if (listed.count(code) == 0) {
            EXPECT_STREQ(CodeText(code), "%") << code;
        }
    }
    EXPECT_STREQ(CodeText(0x01), "%");
    EXPECT_STREQ(CodeText(CodeOverflow), "%");
}

TEST(MorseTables, EchoOfTypedCharacters) {
    EXPECT_STREQ(CodeText(CharToCode('(')), "KN");
    EXPECT_STREQ(CodeText(CharToCode('<')), "AR");
    EXPECT_STREQ(CodeText(CharToCode('+')), "AR");
    EXPECT_STREQ(CodeText(CharToCode('>')), "AS");
    EXPECT_STREQ(CodeText(CharToCode(0xD7)), "\xF7");  // Ч echoes as ч
    EXPECT_STREQ(CodeText(CharToCode(0xC1)), "b");     // Б echoes as Latin b
    EXPECT_STREQ(CodeText(CharToCode('#')), "#");
    EXPECT_STREQ(CodeText(CharToCode(0x7F)), "#");
    EXPECT_STREQ(CodeText(CharToCode('a')), "a");
}

TEST(MorseTables, CodesWithoutElements) {
    EXPECT_EQ(FirstElementMask(0x00), 0);
    EXPECT_EQ(FirstElementMask(0x01), 0);
    EXPECT_EQ(FirstElementMask(0x02), 0x01);
    EXPECT_EQ(FirstElementMask(0x80), 0x40);
    EXPECT_EQ(FirstElementMask(0xFF), 0x40);
}

TEST(MorseTables, PaddleDecoderBuildsCodes) {
    EXPECT_EQ(Build(".-"), 0x05);
    EXPECT_EQ(Build("-...-.-"), 0xC5);
    EXPECT_STREQ(CodeText(Build("-...-.-")), "BK");
    EXPECT_EQ(Build("......."), CodeSevenDots);
    // Eight or more dots stay seven dots ("#").
    EXPECT_EQ(Build("........"), CodeSevenDots);
    EXPECT_EQ(Build("............"), CodeSevenDots);
    // An eighth element after any other seven elements is the overflow mark, for good.
    EXPECT_EQ(Build("-......."), CodeOverflow);
    EXPECT_EQ(Build("-...-.-."), CodeOverflow);
    EXPECT_EQ(Build("-...-.-.-----"), CodeOverflow);
    EXPECT_EQ(Build(".......-"), CodeSevenDots) << "seven dots then a dash stays 0x80";
}

}  // namespace
}  // namespace telkey
