#include "exchange/cwdaemon_request.h"

#include <gtest/gtest.h>

#include <string>

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
Item P(std::uint8_t code) {
    return {Item::Kind::Prosign, code};
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
        C('a'), {Item::Kind::SpeedUp}, C('b'), {Item::Kind::SpeedDown}, C('c'), C(' '), C('z')};
    EXPECT_EQ(r.items, expected);
}

TEST(CwdaemonRequest, ProsignCharactersGiveTheirCodes) {
    const auto r = ParseCwdaemonRequest("*=<(!&>");
    ASSERT_EQ(r.kind, Kind::Text);
    const std::vector<Item> expected{P(kProsignAR), P(kProsignBT), P(kProsignSK), P(kProsignKN),
                                     P(kProsignSN), P(kProsignAS), P(kProsignBK)};
    EXPECT_EQ(r.items, expected);
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

    const auto alone = ParseCwdaemonRequest("^");
    ASSERT_EQ(alone.kind, Kind::Text);
    EXPECT_TRUE(alone.caretReply);
    EXPECT_TRUE(alone.items.empty());
    EXPECT_EQ(alone.replyText, "");
}

TEST(CwdaemonRequest, LatinOneBytesStayCharacters) {
    const auto r = ParseCwdaemonRequest("\xE9\xFC");
    ASSERT_EQ(r.kind, Kind::Text);
    EXPECT_EQ(r.items, (std::vector<Item>{C('\xE9'), C('\xFC')}));
}

TEST(CwdaemonRequest, EmptyBinaryAndBlankRequestsAreIgnored) {
    EXPECT_EQ(ParseCwdaemonRequest("").kind, Kind::Ignored);
    EXPECT_EQ(ParseCwdaemonRequest("\r\n").kind, Kind::Ignored);
    EXPECT_EQ(ParseCwdaemonRequest("~~").kind, Kind::Ignored);
    EXPECT_EQ(ParseCwdaemonRequest(std::string("\0abc", 4)).kind, Kind::Ignored);
    const auto binary = ParseCwdaemonRequest(std::string("ab\x01\x02\xFF", 5));
    EXPECT_EQ(binary.kind, Kind::Ignored);
    EXPECT_NE(binary.detail.find("binary"), std::string::npos);
    EXPECT_NE(binary.detail.find("\\x01"), std::string::npos);
    EXPECT_EQ(ParseCwdaemonRequest("a\x7F").kind, Kind::Ignored);
    // ESC inside text is not an escape request.
    EXPECT_EQ(ParseCwdaemonRequest("ab" + Esc("4")).kind, Kind::Ignored);
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
    for (const char* code : {"b1", "d20", "e1001", "g70", "96789"}) {
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
