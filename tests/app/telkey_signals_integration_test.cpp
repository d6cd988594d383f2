// Whatever signal ends or stops the real telkey while it keys, the key and TX lines are released
// within half a second: on the sim backend's trace, and on a serial and a parallel port of the
// devices backend. A stopped telkey has them released while it is still stopped, and keys again
// once continued. SIGPIPE changes nothing, and a dead standard error does not end it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>

#include <csignal>
#include <future>
#include <memory>
#include <vector>

#include "support/telkey_process.h"

namespace telkey::test {
namespace {

using namespace std::chrono_literals;

constexpr std::int64_t kReleaseBoundNs = 500'000'000;
constexpr std::array kPorts = {KeyedPort::Sim, KeyedPort::Serial, KeyedPort::Parallel};

std::unique_ptr<KeyingTelkey> Keying(KeyedPort port, std::string& failure) {
    auto telkey = std::make_unique<KeyingTelkey>(port, TELKEY_BINARY_DIR, TELKEY_FAKE_PORTS);
    failure = telkey->Start();
    if (failure.empty()) failure = telkey->KeyDown();
    if (!failure.empty()) failure = std::string(Name(port)) + ": " + failure + "\n" + telkey->Log();
    return telkey;
}

// Runs `check` for each port at once (telkey takes a while to start on a busy machine) and
// reports the failures of each.
void ForEachPort(const std::function<std::string(KeyedPort)>& check) {
    std::vector<std::future<std::string>> runs;
    for (KeyedPort port : kPorts) runs.push_back(std::async(std::launch::async, check, port));
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const std::string failure = runs[i].get();
        EXPECT_EQ(failure, "") << Name(kPorts[i]);
    }
}

std::string Ms(std::int64_t ns) {
    return std::to_string(ns / 1'000'000) + " ms";
}

// Sends the signal to a keying telkey: empty when its lines were released within the bound.
std::string SignalledAndReleased(KeyingTelkey& telkey, int sig) {
    const std::int64_t sent = telkey.Signal(sig);
    const auto released = telkey.WaitReleased(sent, 10s);
    if (!released) return "not released";
    if (*released - sent > kReleaseBoundNs) return "released after " + Ms(*released - sent);
    return "";
}

// The signal ends telkey: released within the bound, and the exit status is the signal's.
void EndsReleased(int sig) {
    ForEachPort([sig](KeyedPort port) -> std::string {
        std::string failure;
        auto telkey = Keying(port, failure);
        if (!failure.empty()) return failure;
        failure = SignalledAndReleased(*telkey, sig);
        if (!failure.empty()) return failure;
        const auto status = telkey->WaitEnd(20s);
        if (!status) return "did not end";
        if (!WIFSIGNALED(*status) || WTERMSIG(*status) != sig) {
            return "ended with status " + std::to_string(*status);
        }
        // Nothing keyed them again.
        const auto lines = telkey->Lines();
        if (lines.back().key || lines.back().tx) return "keyed again at the end";
        return "";
    });
}

// The signal stops telkey: released while stopped, and keying resumes after SIGCONT.
void StopsReleased(int sig) {
    ForEachPort([sig](KeyedPort port) -> std::string {
        std::string failure;
        auto telkey = Keying(port, failure);
        if (!failure.empty()) return failure;
        failure = SignalledAndReleased(*telkey, sig);
        if (!failure.empty()) return failure;
        if (telkey->State() != 'T') return std::string("not stopped: ") + telkey->State();
        // Stays released while stopped.
        std::this_thread::sleep_for(300ms);
        auto lines = telkey->Lines();
        if (lines.back().key || lines.back().tx) return "keyed while stopped";
        if (telkey->State() != 'T') return "not stopped any more";

        const std::int64_t continued = telkey->Signal(SIGCONT);
        // TX comes back with the transmit state, then the key with the next element.
        bool tx = false;
        bool keyed = false;
        KeyingTelkey::WaitUntil(
            [&] {
                for (const LineChange& c : telkey->Lines()) {
                    if (c.ns < continued) continue;
                    tx |= c.tx;
                    keyed |= c.key && c.tx;
                }
                return keyed;
            },
            10s);
        if (!tx || !keyed) return "keying did not resume";
        const std::int64_t ended = telkey->Signal(SIGTERM);
        if (!telkey->WaitReleased(ended, 10s)) return "not released at the end";
        const auto status = telkey->WaitEnd(20s);
        if (!status || !WIFSIGNALED(*status) || WTERMSIG(*status) != SIGTERM) return "bad end";
        return "";
    });
}

TEST(TelkeySignals, HangUpReleasesAndEnds) {
    EndsReleased(SIGHUP);
}

TEST(TelkeySignals, QuitReleasesAndEnds) {
    EndsReleased(SIGQUIT);
}

TEST(TelkeySignals, UserSignalReleasesAndEnds) {
    EndsReleased(SIGUSR1);
}

TEST(TelkeySignals, AlarmReleasesAndEnds) {
    EndsReleased(SIGALRM);
}

TEST(TelkeySignals, KillIsReleasedByTheGuardian) {
    EndsReleased(SIGKILL);
}

TEST(TelkeySignals, SegmentationFaultReleasesAndEnds) {
    EndsReleased(SIGSEGV);
}

TEST(TelkeySignals, TerminalStopReleasesUntilContinued) {
    StopsReleased(SIGTSTP);
}

TEST(TelkeySignals, StopIsReleasedByTheGuardianUntilContinued) {
    StopsReleased(SIGSTOP);
}

TEST(TelkeySignals, BrokenPipeChangesNothing) {
    std::string failure;
    auto telkey = Keying(KeyedPort::Sim, failure);
    ASSERT_EQ(failure, "");
    const std::int64_t sent = telkey->Signal(SIGPIPE);
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(telkey->ReleasedAt(sent), std::nullopt);
    int keyDowns = 0;
    for (const LineChange& c : telkey->Lines()) keyDowns += c.ns > sent && c.key && c.tx;
    EXPECT_GT(keyDowns, 0);
    EXPECT_NE(telkey->State(), 0);
}

TEST(TelkeySignals, SerialPortIsLeftToDropItsLinesOnTheLastClose) {
    std::string failure;
    auto telkey = Keying(KeyedPort::Serial, failure);
    ASSERT_EQ(failure, "");
    EXPECT_NE(telkey->Cflag() & HUPCL, 0);
}

// `telkey 2>&1 | less`, and less has quit: telkey writes its log lines into a pipe nobody
// reads, and carries on keying.
TEST(TelkeySignals, DeadStandardErrorIsNoReasonToEnd) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    ::close(fds[0]);
    // A free UDP port for the cwdaemon listener, whose start and requests are logged.
    const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t size = sizeof address;
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
    const int udpPort = ntohs(address.sin_port);
    ::close(probe);

    KeyingTelkey telkey(KeyedPort::Sim, TELKEY_BINARY_DIR, TELKEY_FAKE_PORTS);
    ASSERT_EQ(telkey.Start(fds[1], {"--cwdaemon=" + std::to_string(udpPort)}), "");
    ::close(fds[1]);
    ASSERT_EQ(telkey.KeyDown(), "");
    // A malformed request: logged, so written to the dead pipe.
    const int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
    const std::string request =
        "\x1b"
        "Z";
    for (int i = 0; i < 3; ++i) {
        ::sendto(udp, request.data(), request.size(), 0,
                 reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    ::close(udp);
    std::this_thread::sleep_for(1s);
    const std::int64_t after = NowNs();
    EXPECT_NE(telkey.State(), 0);
    EXPECT_TRUE(KeyingTelkey::WaitUntil(
        [&] {
            for (const LineChange& c : telkey.Lines()) {
                if (c.ns > after && c.key) return true;
            }
            return false;
        },
        10s));
    EXPECT_EQ(telkey.WaitEnd(0ms), std::nullopt);
}

}  // namespace
}  // namespace telkey::test
