// The WinKeyer host protocol parser: byte sequences in, what they ask for out.
#include "exchange/winkeyer_protocol.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace telkey {
namespace {

using Kind = WinkeyerAction::Kind;
using Bytes = std::vector<std::uint8_t>;

const Bytes kOpen = {0x00, 0x02};

std::vector<WinkeyerAction> Feed(WinkeyerParser& parser, const Bytes& bytes) {
    std::vector<WinkeyerAction> out;
    for (const std::uint8_t b : bytes) parser.Feed(b, out);
    return out;
}

struct Expected {
    Kind kind;
    std::uint8_t a = 0;
    std::uint8_t b = 0;
    Bytes bytes = {};
};

TEST(WinkeyerParser, CommandsAfterHostOpen) {
    struct Case {
        const char* what;
        Bytes in;
        std::vector<Expected> out;
    };
    const Case cases[] = {
        {"echo test", {0x00, 0x04, 'U'}, {{Kind::Answer, 0, 0, {'U'}}}},
        {"host close", {0x00, 0x03}, {{Kind::HostClose}}},
        {"speed", {0x02, 30}, {{Kind::Speed, 30}}},
        {"weight", {0x03, 60}, {{Kind::Weight, 60}}},
        {"ptt lead and tail", {0x04, 5, 10}, {{Kind::PttTiming, 5, 10}}},
        {"speed pot set-up", {0x05, 10, 25, 0}, {{Kind::PotSetup, 10, 25}}},
        {"pause", {0x06, 1}, {{Kind::Pause, 1}}},
        {"get speed pot", {0x07}, {{Kind::PotRequest}}},
        {"backspace", {0x08}, {{Kind::Backspace}}},
        {"pin configuration", {0x09, 0x0D}, {{Kind::PinConfig, 0x0D}}},
        {"clear buffer", {0x0A}, {{Kind::ClearBuffer}}},
        {"key immediate", {0x0B, 1}, {{Kind::KeyImmediate, 1}}},
        {"mode", {0x0E, 0x44}, {{Kind::Mode, 0x44}}},
        {"first extension and key compensation take their byte", {0x10, 'A', 0x11, 'B'}, {}},
        {"null", {0x13}, {}},
        {"status", {0x15}, {{Kind::StatusRequest}}},
        {"pointer add nulls takes two bytes",
         {0x16, 3, 'A', 'E'},
         {{Kind::Ignored}, {Kind::Text, 'E'}}},
        {"ratio", {0x17, 60}, {{Kind::Ratio, 60}}},
        {"buffered ptt", {0x18, 1}, {{Kind::BufferedPtt, 1}}},
        {"buffered key", {0x19, 3}, {{Kind::BufferedKey, 3}}},
        {"buffered wait", {0x1A, 2}, {{Kind::BufferedWait, 2}}},
        {"merge", {0x1B, 'A', 'R'}, {{Kind::Merge, 'A', 'R'}}},
        {"buffered speed and cancel",
         {0x1C, 15, 0x1E},
         {{Kind::BufferedSpeed, 15}, {Kind::CancelSpeed}}},
        {"text", {'C', 'Q'}, {{Kind::Text, 'C'}, {Kind::Text, 'Q'}}},
        {"farnsworth", {0x0D, 20, 'E'}, {{Kind::Ignored}, {Kind::Text, 'E'}}},
        {"load defaults",
         {0x0F, 0x04, 25, 5, 50, 3, 4, 10, 30, 0, 0, 0, 50, 50, 0x0D, 0xFF, 'E'},
         {{Kind::LoadDefaults}, {Kind::Text, 'E'}}},
        {"load EEPROM takes its 256 bytes",
         [] {
             Bytes b = {0x00, 13};
             b.resize(2 + 256, 0x02);
             b.push_back('T');
             return b;
         }(),
         {{Kind::Ignored}, {Kind::Text, 'T'}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WinkeyerParser parser;
        Feed(parser, kOpen);
        const auto out = Feed(parser, c.in);
        ASSERT_EQ(out.size(), c.out.size());
        for (std::size_t i = 0; i < out.size(); ++i) {
            EXPECT_EQ(out[i].kind, c.out[i].kind);
            if (c.out[i].kind == Kind::Ignored) continue;
            EXPECT_EQ(out[i].a, c.out[i].a);
            EXPECT_EQ(out[i].b, c.out[i].b);
            EXPECT_EQ(out[i].bytes, c.out[i].bytes);
        }
    }
}

TEST(WinkeyerParser, ClosedTakesAdminOnlyAndOpenAnswersTheVersion) {
    WinkeyerParser parser;
    EXPECT_TRUE(Feed(parser, {'C', 'Q', 0x02, 20, 0x15}).empty());
    EXPECT_EQ(Feed(parser, {0x00, 0x04, 0x55})[0].bytes, Bytes{0x55});
    const auto open = Feed(parser, kOpen);
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0].kind, Kind::HostOpen);
    EXPECT_EQ(open[0].bytes, Bytes{kWinkeyerVersion});
    EXPECT_TRUE(parser.HostOpen());

    // Settings come back as loaded.
    Feed(parser, {0x0F, 0x04, 25, 5, 50, 3, 4, 10, 30, 0, 0, 0, 50, 50, 0x0D, 0xFF});
    Feed(parser, {0x02, 28});
    const auto values = Feed(parser, {0x00, 0x07});
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].bytes, (Bytes{0x04, 28, 5, 50, 3, 4, 10, 30, 0, 0, 0, 50, 50, 0x0D, 0xFF}));
}

TEST(WinkeyerParser, ACommandCutShortByACloseIsDropped) {
    WinkeyerParser parser;
    Feed(parser, kOpen);
    EXPECT_TRUE(Feed(parser, {0x04, 5}).empty());
    parser.DropPartial();
    const auto out = Feed(parser, {'E'});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].kind, Kind::Text);
}

// Any bytes at all: every action is well formed, and after the host's close the next valid
// commands are read as such.
TEST(WinkeyerParser, AnyBytesLeaveItReadyForTheNextCommand) {
    std::mt19937 random(33);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> length(1, 600);
    for (int run = 0; run < 300; ++run) {
        WinkeyerParser parser;
        if (run % 2 == 0) Feed(parser, kOpen);
        Bytes junk(static_cast<std::size_t>(length(random)));
        for (auto& b : junk) b = static_cast<std::uint8_t>(byte(random));
        for (const WinkeyerAction& a : Feed(parser, junk)) {
            if (a.kind == Kind::Text) {
                EXPECT_GE(a.a, 0x20);
                EXPECT_LE(a.a, 0x7F);
            }
            if (a.kind == Kind::Answer) {
                EXPECT_FALSE(a.bytes.empty());
                EXPECT_LE(a.bytes.size(), 256u);
            }
        }
        parser.DropPartial();
        const auto out = Feed(parser, {0x00, 0x02, 0x02, 20, 'K'});
        ASSERT_EQ(out.size(), 3u) << "run " << run;
        EXPECT_EQ(out[0].kind, Kind::HostOpen);
        EXPECT_EQ(out[1].kind, Kind::Speed);
        EXPECT_EQ(out[2].kind, Kind::Text);
    }
}

}  // namespace
}  // namespace telkey
