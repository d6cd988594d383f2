// Whatever signal ends or stops the real telkey while it keys, the key and TX lines are released
// within half a second: on the sim backend's trace, and on a serial and a parallel port of the
// devices backend, keying a macro or testing the key or PTT line from the station dialog, and
// started with its standard streams closed. A stopped telkey has them released while it is still
// stopped, and keys again once continued. A guardian killed is replaced by one that releases.
// SIGPIPE and a SIGCONT without a stop change nothing, and a dead standard error does not end it.
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

// What keys the lines when the signal comes, on which port, and how telkey was started.
enum class Keying { Macro, KeyTest, PttTest };
struct Keyed {
    KeyedPort port;
    Keying keying = Keying::Macro;
    bool closedStreams = false;  // telkey <&- >&- 2>&-
};
const std::vector<Keyed> kMacros = {{KeyedPort::Sim}, {KeyedPort::Serial}, {KeyedPort::Parallel}};
// The station dialog's one-second tests, on the devices backend.
const std::vector<Keyed> kStationTests = {{KeyedPort::Serial, Keying::KeyTest},
                                          {KeyedPort::Serial, Keying::PttTest},
                                          {KeyedPort::Parallel, Keying::KeyTest},
                                          {KeyedPort::Parallel, Keying::PttTest}};
const std::vector<Keyed> kClosedStreams = {{KeyedPort::Sim, Keying::Macro, true},
                                           {KeyedPort::Serial, Keying::Macro, true},
                                           {KeyedPort::Parallel, Keying::Macro, true}};

std::vector<Keyed> Joined(std::vector<Keyed> a, const std::vector<Keyed>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string Name(const Keyed& k) {
    static constexpr const char* kKeying[] = {"macro", "Test key", "Test PTT"};
    return std::string(Name(k.port)) + ", " + kKeying[static_cast<int>(k.keying)] +
           (k.closedStreams ? ", standard streams closed" : "");
}

std::unique_ptr<KeyingTelkey> Started(const Keyed& k, std::string& failure) {
    auto telkey = std::make_unique<KeyingTelkey>(k.port, TELKEY_BINARY_DIR,
                                                 TELKEY_FAKE_PORTS ":" TELKEY_STATION_CLICKER);
    failure = telkey->Start(-1, {}, k.closedStreams);
    if (failure.empty()) {
        failure = k.keying == Keying::Macro
                      ? telkey->KeyDown()
                      : telkey->StationTest(k.keying == Keying::KeyTest ? "KeyTest" : "PttTest");
    }
    if (!failure.empty()) failure = Name(k) + ": " + failure + "\n" + telkey->Log();
    return telkey;
}

// Runs `check` for each way of keying at once (telkey takes a while to start on a busy
// machine) and reports the failures of each.
void ForEach(const std::vector<Keyed>& ways,
             const std::function<std::string(const Keyed&)>& check) {
    std::vector<std::future<std::string>> runs;
    for (const Keyed& k : ways) runs.push_back(std::async(std::launch::async, check, k));
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const std::string failure = runs[i].get();
        EXPECT_EQ(failure, "") << Name(ways[i]);
    }
}

// Nothing keys the lines again once telkey has ended, not even its guardian.
std::string StaysReleased(KeyingTelkey& telkey, pid_t guardian) {
    if (guardian > 0 && !KeyingTelkey::WaitGone(guardian, 10s)) return "the guardian did not end";
    const auto lines = telkey.Lines();
    if (lines.back().key || lines.back().tx) return "keyed again at the end";
    return "";
}

std::string Ms(std::int64_t ns) {
    return std::to_string(ns / 1'000'000) + " ms";
}

// Sends the signal to a keying telkey: empty when its lines were released within the bound.
std::string SignalledAndReleased(KeyingTelkey& telkey, int sig) {
    const auto before = telkey.Lines();
    if (before.empty() || (!before.back().key && !before.back().tx)) return "not keyed";
    const std::int64_t sent = telkey.Signal(sig);
    const auto released = telkey.WaitReleased(sent, 10s);
    if (!released) return "not released";
    if (*released - sent > kReleaseBoundNs) return "released after " + Ms(*released - sent);
    return "";
}

// The signal ends telkey: released within the bound, and the exit status is the signal's.
void EndsReleased(int sig, const std::vector<Keyed>& ways = kMacros) {
    ForEach(ways, [sig](const Keyed& k) -> std::string {
        std::string failure;
        auto telkey = Started(k, failure);
        if (!failure.empty()) return failure;
        const pid_t guardian = telkey->GuardianPid();
        failure = SignalledAndReleased(*telkey, sig);
        if (!failure.empty()) return failure;
        const auto status = telkey->WaitEnd(20s);
        if (!status) return "did not end";
        if (!WIFSIGNALED(*status) || WTERMSIG(*status) != sig) {
            return "ended with status " + std::to_string(*status);
        }
        return StaysReleased(*telkey, guardian);
    });
}

// The signal stops telkey: released while stopped, and keying resumes after SIGCONT; a station
// test is cut like an element and does not come back.
void StopsReleased(int sig, const std::vector<Keyed>& ways = kMacros) {
    ForEach(ways, [sig](const Keyed& k) -> std::string {
        std::string failure;
        auto telkey = Started(k, failure);
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
        if (k.keying != Keying::Macro) {
            std::this_thread::sleep_for(300ms);
            lines = telkey->Lines();
            if (lines.back().key || lines.back().tx) return "the test came back";
            telkey->Signal(SIGTERM);
            return telkey->WaitEnd(20s) ? "" : "did not end";
        }
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
    EndsReleased(SIGKILL, Joined(kMacros, kStationTests));
}

TEST(TelkeySignals, SegmentationFaultReleasesAndEnds) {
    EndsReleased(SIGSEGV, Joined(kMacros, kStationTests));
}

TEST(TelkeySignals, TerminalStopReleasesUntilContinued) {
    StopsReleased(SIGTSTP, Joined(kMacros, kStationTests));
}

TEST(TelkeySignals, StopIsReleasedByTheGuardianUntilContinued) {
    StopsReleased(SIGSTOP, Joined(kMacros, kStationTests));
}

// Descriptors 0 to 2 are not free for the guardian's link or a port.
TEST(TelkeySignals, KillWithClosedStandardStreamsIsReleasedByTheGuardian) {
    EndsReleased(SIGKILL, kClosedStreams);
}

// Descriptors 0 to 2 are /dev/null before any library's constructor could take one for a socket
// that nobody reads, where a log line would then block the window.
TEST(TelkeySignals, ClosedStandardStreamsAreNullForEveryLibrary) {
    std::string failure;
    const auto telkey = Started(Keyed{KeyedPort::Sim, Keying::Macro, true}, failure);
    ASSERT_EQ(failure, "");
    for (int fd = 0; fd <= 2; ++fd) {
        const std::string link =
            "/proc/" + std::to_string(telkey->Pid()) + "/fd/" + std::to_string(fd);
        char target[256] = {};
        ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0) << link;
        EXPECT_STREQ(target, "/dev/null") << "descriptor " << fd;
    }
    telkey->Kill();
}

// A guardian killed is noticed and replaced within a second, and the new one releases the lines
// when telkey is killed in turn.
TEST(TelkeySignals, AKilledGuardianIsReplacedByOneThatReleases) {
    ForEach(kMacros, [](const Keyed& k) -> std::string {
        std::string failure;
        auto telkey = Started(k, failure);
        if (!failure.empty()) return failure;
        const pid_t old = telkey->GuardianPid();
        if (old <= 0) return "no guardian";
        ::kill(old, SIGKILL);
        pid_t replaced = -1;
        if (!KeyingTelkey::WaitUntil(
                [&] { return (replaced = telkey->GuardianPid()) > 0 && replaced != old; }, 1s)) {
            return "not replaced within a second";
        }
        if (!KeyingTelkey::WaitUntil(
                [&] { return telkey->Log().find("has taken over the lines") != std::string::npos; },
                10s)) {
            return "not told:\n" + telkey->Log();
        }
        failure = SignalledAndReleased(*telkey, SIGKILL);
        if (!failure.empty()) return failure;
        if (!telkey->WaitEnd(20s)) return "did not end";
        return StaysReleased(*telkey, replaced);
    });
}

// What a ham types at a window that hangs, limited to this test's processes, and a guardian
// killed just before telkey: whichever process is left releases the lines on LPT1.
enum class KillBy { Name, CommandLine, ProcessGroup, GuardianFirst };
struct KillCase {
    const char* name;
    KillBy by;
    std::chrono::milliseconds gap{0};  // GuardianFirst: from the guardian's kill to telkey's
};

// When telkey was killed.
std::optional<std::int64_t> Kill(const KeyingTelkey& telkey, const KillCase& c) {
    switch (c.by) {
        case KillBy::Name:
            return telkey.KillMatching("telkey", false);
        case KillBy::CommandLine:
            return telkey.KillMatching("telkey", true);
        case KillBy::ProcessGroup: {
            const std::int64_t now = NowNs();
            ::kill(-telkey.Pid(), SIGKILL);  // telkey leads a group of its own here
            return now;
        }
        case KillBy::GuardianFirst:
            return telkey.KillGuardianThenTelkey(c.gap);
    }
    return std::nullopt;
}

TEST(TelkeySignals, EverydayKillsOfTelkeyAndItsGuardianAreReleased) {
    const std::vector<KillCase> cases = {
        {"pkill -9 telkey", KillBy::Name},
        {"pkill -9 -f telkey", KillBy::CommandLine},
        {"kill -9 of telkey's process group", KillBy::ProcessGroup},
        {"guardian, telkey 0 ms later", KillBy::GuardianFirst, 0ms},
        {"guardian, telkey 1 ms later", KillBy::GuardianFirst, 1ms},
        {"guardian, telkey 3 ms later", KillBy::GuardianFirst, 3ms},
        {"guardian, telkey 10 ms later", KillBy::GuardianFirst, 10ms},
    };
    std::vector<std::future<std::string>> runs;
    for (const KillCase& c : cases) {
        runs.push_back(std::async(std::launch::async, [&c]() -> std::string {
            std::string failure;
            auto telkey = Started(Keyed{KeyedPort::Parallel}, failure);
            if (!failure.empty()) return failure;
            const std::vector<pid_t> guardians = telkey->GuardianPids();
            if (guardians.empty()) return "no guardian";
            const auto killed = Kill(*telkey, c);
            if (!killed) return "telkey was not killed";
            const auto released = telkey->WaitReleased(*killed, 10s);
            if (!released) return "not released";
            if (*released - *killed > kReleaseBoundNs) {
                return "released after " + Ms(*released - *killed);
            }
            if (!telkey->WaitEnd(20s)) return "did not end";
            for (const pid_t guardian : guardians) {
                failure = StaysReleased(*telkey, guardian);
                if (!failure.empty()) return failure;
            }
            return "";
        }));
    }
    for (std::size_t i = 0; i < runs.size(); ++i) EXPECT_EQ(runs[i].get(), "") << cases[i].name;
}

// Sent to a keying telkey, the signal changes nothing: no line released, keying goes on.
void ChangesNothing(int sig) {
    std::string failure;
    auto telkey = Started(Keyed{KeyedPort::Sim}, failure);
    ASSERT_EQ(failure, "");
    const std::int64_t sent = telkey->Signal(sig);
    for (int i = 0; i < 4; ++i) {
        std::this_thread::sleep_for(250ms);
        telkey->Signal(sig);
    }
    EXPECT_EQ(telkey->ReleasedAt(sent), std::nullopt);
    // Keying goes on: a key-down after the signal, however slow the machine.
    EXPECT_TRUE(KeyingTelkey::WaitUntil(
        [&] {
            for (const LineChange& c : telkey->Lines()) {
                if (c.ns > sent && c.key && c.tx) return true;
            }
            return false;
        },
        20s));
    EXPECT_NE(telkey->State(), 0);
}

TEST(TelkeySignals, BrokenPipeChangesNothing) {
    ChangesNothing(SIGPIPE);
}

// A shell's `fg` to a telkey that runs: the element in progress is not cut.
TEST(TelkeySignals, ContinueWithoutAStopChangesNothing) {
    ChangesNothing(SIGCONT);
}

TEST(TelkeySignals, SerialPortIsLeftToDropItsLinesOnTheLastClose) {
    std::string failure;
    auto telkey = Started(Keyed{KeyedPort::Serial}, failure);
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
