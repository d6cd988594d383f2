// The emulated WinKeyer as a logger sees it: the real program on simulated ports with
// --winkeyer, a client on the link. Prints the delay from the text's write to the first
// element, and each echo's delay after its character's last key-up (the port trace's clock and
// the client's are both CLOCK_MONOTONIC). Asserts nothing.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_figures.h"
#include "support/scratch_dir.h"
#include "support/telkey_process.h"
#include "support/winkeyer_client.h"

namespace {

using namespace telkey;
using namespace std::chrono_literals;

constexpr char kText[] = "CQ CQ DE DL1ABC DL1ABC K";
constexpr int kRounds = 5;
constexpr std::uint8_t kIdle = 0xC0;

// Elements of each character of kText, a space none.
int Elements(char c) {
    switch (c) {
        case 'C':
            return 4;
        case 'Q':
            return 4;
        case 'D':
            return 3;
        case 'E':
            return 1;
        case 'L':
            return 4;
        case '1':
            return 5;
        case 'A':
            return 2;
        case 'B':
            return 4;
        case 'K':
            return 3;
        default:
            return 0;
    }
}

}  // namespace

int main() {
    test::ScratchDir dir;
    const std::string link = (std::filesystem::path(dir.Path()) / "winkeyer").string();
    test::KeyingTelkey telkey(test::KeyedPort::Sim, TELKEY_BINARY_DIR, "");
    if (const std::string error = telkey.Start(-1, {"--winkeyer=" + link}); !error.empty()) {
        std::printf("winkeyer_echo: %s\n", error.c_str());
        return 1;
    }
    test::KeyingTelkey::WaitUntil([&] { return std::filesystem::exists(link); }, 30s);
    test::WinkeyerClient logger;
    if (!logger.Open(link)) {
        std::printf("winkeyer_echo: cannot open %s\n", link.c_str());
        return 1;
    }
    logger.Write(std::vector<std::uint8_t>{0x00, 0x02, 0x0E, 0x04, 0x02, 30});
    logger.ReadUntil([](const auto& got) { return !got.empty(); }, 10000);
    // The keyer runs once something keys.
    logger.WriteText("E");
    logger.ReadUntil([](const auto& got) { return !got.empty() && got.back().byte == kIdle; },
                     30000);
    std::this_thread::sleep_for(1s);

    std::vector<double> firstMs;
    std::vector<double> echoMs;
    for (int round = 0; round < kRounds; ++round) {
        const std::size_t before = telkey.Lines().size();
        const std::int64_t sent = test::WinkeyerClient::Now();
        logger.WriteText(kText);
        const auto got = logger.ReadUntil(
            [](const auto& g) {
                return test::WinkeyerClient::Echoes(g) == kText && g.back().byte == kIdle;
            },
            60000);
        std::this_thread::sleep_for(300ms);
        const std::vector<test::LineChange> lines = telkey.Lines();
        // Key-ups of this round, in order.
        std::vector<std::int64_t> ups;
        std::int64_t firstDown = -1;
        bool down = false;
        for (std::size_t i = before; i < lines.size(); ++i) {
            if (lines[i].key && !down && firstDown < 0) firstDown = lines[i].ns;
            if (!lines[i].key && down) ups.push_back(lines[i].ns);
            down = lines[i].key;
        }
        if (firstDown > 0) firstMs.push_back(static_cast<double>(firstDown - sent) / 1e6);
        // Each character's last key-up against its echo's arrival.
        std::size_t up = 0;
        std::size_t echo = 0;
        for (const char c : std::string(kText)) {
            while (echo < got.size() && got[echo].byte >= 0x80) ++echo;
            if (echo >= got.size()) break;
            const int n = Elements(c);
            if (n > 0) {
                up += static_cast<std::size_t>(n);
                if (up > ups.size()) break;
                echoMs.push_back(static_cast<double>(got[echo].ns - ups[up - 1]) / 1e6);
            }
            ++echo;
        }
    }
    logger.Close();
    const bench::Percentiles first = bench::Summarise(firstMs);
    const bench::Percentiles echo = bench::Summarise(echoMs);
    std::printf("winkeyer: request to first element  p50 %7.2f  p99 %7.2f  max %7.2f ms (%zu)\n",
                first.p50, first.p99, first.max, firstMs.size());
    std::printf("winkeyer: echo after last key-up     p50 %7.3f  p99 %7.3f  max %7.3f ms (%zu)\n",
                echo.p50, echo.p99, echo.max, echoMs.size());
    return 0;
}
