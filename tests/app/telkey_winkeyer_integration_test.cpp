// The real telkey program with --winkeyer, driven through the link as a logger drives a
// WinKeyer: host open, serial echo on, text keyed (read back from the simulated port's trace)
// and echoed, and the link gone when the program ends.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "support/morse_trace.h"
#include "support/scratch_dir.h"
#include "support/telkey_process.h"
#include "support/winkeyer_client.h"

namespace telkey::test {
namespace {

constexpr char kText[] = "CQ TEST";

TEST(TelkeyWinkeyer, ALoggerKeysThroughTheLink) {
    ScratchDir dir;
    const std::string link = (std::filesystem::path(dir.Path()) / "wk" / "winkeyer").string();
    KeyingTelkey telkey(KeyedPort::Sim, TELKEY_BINARY_DIR, "");
    ASSERT_EQ(telkey.Start(-1, {"--winkeyer=" + link}), "");
    ASSERT_TRUE(KeyingTelkey::WaitUntil([&] { return std::filesystem::exists(link); },
                                        std::chrono::seconds(30)));
    WinkeyerClient logger;
    ASSERT_TRUE(logger.Open(link));
    ASSERT_TRUE(logger.Write({0x00, 0x02}));
    const auto version = logger.ReadUntil([](const auto& got) { return !got.empty(); }, 10000);
    ASSERT_EQ(version.size(), 1u);
    EXPECT_EQ(version[0].byte, 23);

    // Text that comes before the keyer runs waits for it.
    ASSERT_TRUE(logger.Write({0x0E, 0x04}));
    ASSERT_TRUE(logger.WriteText(kText));
    const auto got = logger.ReadUntil(
        [](const auto& g) { return WinkeyerClient::Echoes(g) == kText && g.back().byte == 0xC0; },
        60000);
    EXPECT_EQ(WinkeyerClient::Echoes(got), kText);
    // Status bytes (a speed pot byte may come too: Telkey's settings set the speed at start).
    std::vector<std::uint8_t> status;
    for (const auto& a : got) {
        if ((a.byte & 0xC0) == 0xC0) status.push_back(a.byte);
    }
    EXPECT_EQ(status, (std::vector<std::uint8_t>{0xC4, 0xC0}));  // busy, idle

    // The trace is written beside the echo: it may lag behind it a little.
    std::vector<morse_trace::KeyDown> downs;
    KeyingTelkey::WaitUntil(
        [&] {
            downs.clear();
            std::int64_t from = -1;
            for (const LineChange& c : telkey.Lines()) {
                if (c.key && from < 0) from = c.ns;
                if (!c.key && from >= 0) {
                    downs.push_back({static_cast<std::uint64_t>(from / 1000),
                                     static_cast<std::uint64_t>(c.ns / 1000), c.tx});
                    from = -1;
                }
            }
            return downs.size() >= morse_trace::ElementsOf(kText);
        },
        std::chrono::seconds(10));
    std::uint64_t dotUs = 0;
    EXPECT_EQ(morse_trace::Decode(downs, dotUs), morse_trace::MorseOf(kText));

    logger.Close();
    telkey.Signal(SIGTERM);
    ASSERT_TRUE(telkey.WaitEnd(std::chrono::seconds(10)).has_value());
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

}  // namespace
}  // namespace telkey::test
