#include "exchange/cwdaemon_request.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/codepage1251.h"
#include "engine/morse_tables.h"

namespace telkey {
namespace {

using Kind = CwdaemonRequestKind;
using Item = CwdaemonTextItem;

std::string Esc(const std::string& rest) {
    return std::string(1, kCwdaemonEscape) + rest;
}

Item C(char c) {
    return {Item::Kind::Char, static_cast<std::uint8_t>(c)};
}

// The code numbers the items key: a character by Telkey's table, a prosign by its own code.
std::vector<std::uint8_t> Keyed(const std::vector<Item>& items) {
    std::vector<std::uint8_t> codes;
    for (const Item& item : items) {
        if (item.kind == Item::Kind::Char) {
            codes.push_back(CharToCode(UnicodeToCp1251(item.value)));
        } else if (item.kind == Item::Kind::Prosign) {
            codes.push_back(item.value);
        }
    }
    return codes;
}

TEST(CwdaemonRequest, PlainTextIsKeyedCharacterByCharacter) {
    const auto r = ParseCwdaemonRequest("cq de dl1abc\r\n");
    ASSERT_EQ(r.kind, Kind::Text);
    const std::string expected = "cq de dl1abc";
    ASSERT_EQ(r.items.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(r.items[i], C(expected[i]));
    EXPECT_FALSE(r.caretReply);
    EXPECT_FALSE(r.cut);
}

TEST(CwdaemonRequest, SpeedSignsAndDroppedCharacters) {
    const auto r = ParseCwdaemonRequest("a+~b-`c\tz");
    ASSERT_EQ(r.kind, Kind::Text);
    const std::vector<Item> expected{
        C('a'), {Item::Kind::SpeedUp}, C('b'), {Item::Kind::SpeedDown}, C('c'), C('z')};
    EXPECT_EQ(r.items, expected);
}

TEST(CwdaemonRequest, ProsignCharactersGiveTheirCodes) {
    const auto r = ParseCwdaemonRequest("*=<(!&>");
    ASSERT_EQ(r.kind, Kind::Text);
    const std::vector<std::uint8_t> expected{kProsignAR, kProsignBT, kProsignSK, kProsignKN,
                                             kProsignSN, kProsignAS, kProsignBK};
    EXPECT_EQ(Keyed(r.items), expected);
    // The elements of each: start marker, then 0 dot, 1 dash.
    EXPECT_EQ(kProsignSN, 0b100010);    // ...-.
    EXPECT_EQ(kProsignBK, 0b11000101);  // -...-.-
    EXPECT_EQ(kProsignAS, 0b101000);    // .-...
    EXPECT_EQ(kProsignSK, 0b1000101);   // ...-.-
}

TEST(CwdaemonRequest, CaretEndsTheTextAndAsksForAReply) {
    const auto r = ParseCwdaemonRequest("tu 5nn^ignored tail");
    ASSERT_EQ(r.kind, Kind::Text);
    EXPECT_TRUE(r.caretReply);
    EXPECT_EQ(r.replyText, "tu 5nn");
    EXPECT_EQ(r.items.size(), 6u);

    // A caret alone asks for no reply.
    EXPECT_EQ(ParseCwdaemonRequest("^").kind, Kind::NoEffect);
}

TEST(CwdaemonRequest, CharactersKeyCwdaemonsCodes) {
    // A, O, U with diaeresis, C cedilla, E acute, E grave, A grave, N tilde (Latin-1), S cedilla
    // and Z dot (Latin-2), at, dollar, apostrophe, underscore.
    const auto r = ParseCwdaemonRequest("\xC4\xD6\xDC\xC7\xC9\xC8\xC0\xD1\xAA\xAE@$'_");
    ASSERT_EQ(r.kind, Kind::Text);
    EXPECT_EQ(Keyed(r.items),
              (std::vector<std::uint8_t>{0b10101, 0b11110, 0b10011, 0b110100, 0b100100, 0b101001,
                                         0b101101, 0b111011, 0b11111, 0b111001, 0b1011010,
                                         0b10001001, 0b1011110, 0b1001101}));
    // Letters of either case, as typed where Input keys them alike.
    EXPECT_EQ(ParseCwdaemonRequest("aZ").items, (std::vector<Item>{C('a'), C('Z')}));
    EXPECT_EQ(CwdaemonCode('q'), CwdaemonCode('Q'));
}

TEST(CwdaemonRequest, WhatCwdaemonCannotKeyIsSkipped) {
    // Lower-case accented letters, signs without a code, typed commands of Input.
    const auto r = ParseCwdaemonRequest("\xE9#a{[}\xB7`b|%\xFC");
    ASSERT_EQ(r.kind, Kind::Text);
    EXPECT_EQ(r.items, (std::vector<Item>{C('a'), C('b')}));
    // A control byte is skipped alone, the rest is keyed; ESC inside text is no request.
    EXPECT_EQ(ParseCwdaemonRequest(std::string("ab\x01\x02\xFF", 5)).items,
              (std::vector<Item>{C('a'), C('b')}));
    EXPECT_EQ(ParseCwdaemonRequest("a\x7F").items, std::vector<Item>{C('a')});
    EXPECT_EQ(ParseCwdaemonRequest("ab" + Esc("4")).items,
              (std::vector<Item>{C('a'), C('b'), C('4')}));
}

TEST(CwdaemonRequest, EmptyAndBlankRequestsAreIgnored) {
    EXPECT_EQ(ParseCwdaemonRequest("").kind, Kind::Ignored);
    EXPECT_EQ(ParseCwdaemonRequest("\r\n").kind, Kind::Ignored);
    EXPECT_EQ(ParseCwdaemonRequest("~~").kind, Kind::Ignored);
    EXPECT_EQ(ParseCwdaemonRequest(std::string("\0abc", 4)).kind, Kind::Ignored);
    EXPECT_EQ(ParseCwdaemonRequest(std::string("\x01\x02\xFF", 3)).kind, Kind::Ignored);
}

TEST(CwdaemonRequest, TrailingNulOfCClientsEndsTheRequest) {
    const auto r = ParseCwdaemonRequest(std::string("ok\0\0garbage\x01", 12));
    ASSERT_EQ(r.kind, Kind::Text);
    EXPECT_EQ(r.items, (std::vector<Item>{C('o'), C('k')}));
    const auto speed = ParseCwdaemonRequest(Esc("225") + std::string(1, '\0'));
    ASSERT_EQ(speed.kind, Kind::Speed);
    EXPECT_EQ(speed.value, 25);
}

TEST(CwdaemonRequest, OverLongDatagramIsCutAt256Bytes) {
    const std::string longText(300, 'e');
    const auto r = ParseCwdaemonRequest(longText);
    ASSERT_EQ(r.kind, Kind::Text);
    EXPECT_TRUE(r.cut);
    EXPECT_EQ(r.items.size(), kCwdaemonMaxRequest);
    // The caret beyond the cut is gone with the rest.
    const auto caret = ParseCwdaemonRequest(std::string(256, 'e') + "^");
    EXPECT_FALSE(caret.caretReply);
    EXPECT_EQ(ParseCwdaemonRequest(std::string(256, 'e')).cut, false);
}

TEST(CwdaemonRequest, EscapeRequestsWithoutValue) {
    EXPECT_EQ(ParseCwdaemonRequest(Esc("0")).kind, Kind::Reset);
    EXPECT_EQ(ParseCwdaemonRequest(Esc("4")).kind, Kind::Abort);
    EXPECT_EQ(ParseCwdaemonRequest(Esc("5")).kind, Kind::Exit);
    EXPECT_EQ(ParseCwdaemonRequest(Esc("6")).kind, Kind::WordMode);
    const auto delay = ParseCwdaemonRequest(Esc("d20"));
    ASSERT_EQ(delay.kind, Kind::PttDelay);
    EXPECT_EQ(delay.value, 20);
    // A longer lead is clipped, as cwdaemon clips it.
    const auto longer = ParseCwdaemonRequest(Esc("d200"));
    ASSERT_EQ(longer.kind, Kind::PttDelay);
    EXPECT_EQ(longer.value, kCwdaemonMaxPttDelayMs);
    EXPECT_EQ(ParseCwdaemonRequest(Esc("d-1")).kind, Kind::Ignored);
    for (const char* code : {"b1", "e1001", "g70", "96789"}) {
        EXPECT_EQ(ParseCwdaemonRequest(Esc(code)).kind, Kind::NoEffect) << code;
    }
    EXPECT_EQ(ParseCwdaemonRequest(Esc("")).kind, Kind::Ignored);
    EXPECT_EQ(ParseCwdaemonRequest(Esc("z")).kind, Kind::Ignored);
    EXPECT_EQ(ParseCwdaemonRequest(Esc("A1")).kind, Kind::Ignored);
}

TEST(CwdaemonRequest, SpeedValuesAndTheirRange) {
    for (int wpm : {4, 24, 60}) {
        const auto r = ParseCwdaemonRequest(Esc("2" + std::to_string(wpm)));
        ASSERT_EQ(r.kind, Kind::Speed) << wpm;
        EXPECT_EQ(r.value, wpm);
    }
    EXPECT_EQ(ParseCwdaemonRequest(Esc("2 30\r\n")).value, 30);
    for (const char* bad : {"23", "261", "2", "2abc", "2 2 5", "225x", "2-5", "2999999999999"}) {
        const auto r = ParseCwdaemonRequest(Esc(bad));
        EXPECT_EQ(r.kind, Kind::Ignored) << bad;
        EXPECT_FALSE(r.detail.empty()) << bad;
    }
}

TEST(CwdaemonRequest, ToneWeightingTransmitAndTune) {
    EXPECT_EQ(ParseCwdaemonRequest(Esc("3800")).value, 800);
    EXPECT_EQ(ParseCwdaemonRequest(Esc("30")).kind, Kind::Tone);
    EXPECT_EQ(ParseCwdaemonRequest(Esc("310")).kind, Kind::Ignored);
    EXPECT_EQ(ParseCwdaemonRequest(Esc("34001")).kind, Kind::Ignored);
    EXPECT_EQ(ParseCwdaemonRequest(Esc("3-800")).kind, Kind::Ignored);

    EXPECT_EQ(ParseCwdaemonRequest(Esc("7-50")).value, -50);
    EXPECT_EQ(ParseCwdaemonRequest(Esc("7+25")).value, 25);
    EXPECT_EQ(ParseCwdaemonRequest(Esc("751")).kind, Kind::Ignored);

    const auto on = ParseCwdaemonRequest(Esc("a1"));
    ASSERT_EQ(on.kind, Kind::Transmit);
    EXPECT_EQ(on.value, 1);
    EXPECT_EQ(ParseCwdaemonRequest(Esc("a0")).value, 0);
    EXPECT_EQ(ParseCwdaemonRequest(Esc("a2")).kind, Kind::Ignored);
    EXPECT_EQ(ParseCwdaemonRequest(Esc("a")).kind, Kind::Ignored);

    EXPECT_EQ(ParseCwdaemonRequest(Esc("c10")).value, 10);
    EXPECT_EQ(ParseCwdaemonRequest(Esc("c0")).kind, Kind::Tune);
    EXPECT_EQ(ParseCwdaemonRequest(Esc("c11")).kind, Kind::Ignored);
}

TEST(CwdaemonRequest, DeviceAndSoundSystemCarryTheirValueForTheLog) {
    const auto device = ParseCwdaemonRequest(Esc("8ttyS0\n"));
    ASSERT_EQ(device.kind, Kind::Device);
    EXPECT_EQ(device.detail, "ttyS0");
    const auto sound = ParseCwdaemonRequest(Esc("fp"));
    ASSERT_EQ(sound.kind, Kind::SoundSystem);
    EXPECT_EQ(sound.detail, "p");
}

TEST(CwdaemonRequest, ReplyArmingKeepsItsTextAsSent) {
    const auto r = ParseCwdaemonRequest(Esc("hcat"));
    ASSERT_EQ(r.kind, Kind::ArmReply);
    EXPECT_EQ(r.replyText, "cat");
    EXPECT_EQ(ParseCwdaemonRequest(Esc("h ")).replyText, " ");
    const auto empty = ParseCwdaemonRequest(Esc("h"));
    ASSERT_EQ(empty.kind, Kind::ArmReply);
    EXPECT_EQ(empty.replyText, "");
}

TEST(CwdaemonRequest, PrintableBytesEscapesAndLimits) {
    EXPECT_EQ(PrintableBytes(std::string("a\x1b\\b", 4)), "a\\x1B\\x5Cb");
    EXPECT_EQ(PrintableBytes("abcdef", 3), "abc...");
}

}  // namespace
}  // namespace telkey
