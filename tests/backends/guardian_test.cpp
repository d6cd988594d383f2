// The guardian process: it releases the lines through the descriptors it was handed when
// Telkey's end of the link closes or the keyer's beat stops, and leaves them alone while the
// keyer beats, before it ticks and after an orderly end; one that ends is replaced by a new one
// that holds the same descriptors. These waits are on a real process (this test program started
// again as the guardian) and are bounded generously; the release latency itself is measured in
// bench/.
#include "backends/guardian.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <thread>

#include "backends/devices_stopper.h"
#include "backends/guardian_link.h"
#include "backends/port_bus_sim.h"
#include "backends/standard_streams.h"
#include "support/scratch_dir.h"

namespace telkey {
namespace {

using namespace std::chrono_literals;

constexpr std::int32_t kLpt1 = 5;
constexpr std::int32_t kCom2 = 2;

class GuardianTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        guardian = Guardian::Start(kGuardianProgram, error);
        ASSERT_TRUE(guardian) << error;
        settings.KeyPortNumber = kLpt1;
        settings.AllMask = 0x80;
        guardian->Watch(settings, ports);
        const int trace =
            ::open(tracePath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        ASSERT_GE(trace, 0);
        guardian->Hand(GuardedKind::Trace, kGuardSlotTrace, trace);
        ::close(trace);  // the guardian keeps its own
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        speakerRead = fds[0];
        guardian->Hand(GuardedKind::PcSpeaker, kGuardSlotSpeaker, fds[1]);
        ::close(fds[1]);
    }
    void TearDown() override {
        guardian.reset();
        if (speakerRead >= 0) ::close(speakerRead);
    }

    std::string Trace() const { return test::ReadBytes(tracePath); }

    // The next event written to the speaker pipe: 1 a silence, 0 none within the bound, -1
    // the guardian let go of the pipe.
    int SpeakerSilenced(std::chrono::milliseconds bound) {
        pollfd p{speakerRead, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(bound.count())) <= 0) return 0;
        input_event event{};
        const ssize_t n = ::read(speakerRead, &event, sizeof event);
        if (n == 0) return -1;
        return n == sizeof event && event.type == EV_SND && event.code == SND_TONE &&
                       event.value == 0
                   ? 1
                   : 0;
    }

    bool WaitForTrace(std::chrono::milliseconds bound) {
        const auto end = std::chrono::steady_clock::now() + bound;
        while (Trace().empty()) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    test::ScratchDir dir;
    std::string tracePath = dir / "trace.txt";
    SimPortBus bus{16};
    PortSettings settings;
    SharedFlags flags;
    Ports ports{bus, settings, flags};
    std::unique_ptr<Guardian> guardian;
    int speakerRead = -1;
};

// "<us> 0x<port> 0x<value>" lines: just the port and value parts.
std::string PortsAndValues(const std::string& trace) {
    std::string out;
    std::size_t start = 0;
    while (start < trace.size()) {
        const std::size_t end = trace.find('\n', start);
        const std::string line = trace.substr(start, end - start);
        out += line.substr(line.find(' ') + 1) + ";";
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return out;
}

TEST_F(GuardianTest, TelkeyGoneReleasesEveryKeyPortItUsedAndSilencesTheSpeaker) {
    guardian->Beat(MonotonicNs());
    settings.KeyPortNumber = kCom2;
    settings.AllMask = 0x00;
    guardian->Beat(MonotonicNs());
    guardian.reset();  // the link closes as it would when Telkey dies
    EXPECT_EQ(PortsAndValues(Trace()), "0x2fc 0x00;0x378 0x00;");
    EXPECT_EQ(SpeakerSilenced(5000ms), 1);
    EXPECT_EQ(SpeakerSilenced(5000ms), -1);  // and the guardian has ended
}

// The guardian's notices until it has told something, at most a few seconds.
std::string Told(Guardian& guardian) {
    std::vector<std::string> news;
    for (int i = 0; i < 1000 && (news = guardian.Notices().TakeNew()).empty(); ++i) {
        std::this_thread::sleep_for(5ms);
    }
    std::string text;
    for (const std::string& n : news) text += n + "\n";
    return text;
}

TEST_F(GuardianTest, AGuardianThatEndsIsReplacedByOneHoldingTheSameLines) {
    guardian->Beat(MonotonicNs());
    for (int sig : {SIGKILL, SIGTERM}) {
        for (int i = 0; i < 1000 && !guardian->Guarding(); ++i) std::this_thread::sleep_for(5ms);
        const pid_t old = guardian->Pid();
        ASSERT_EQ(::kill(old, sig), 0);
        const std::string told = Told(*guardian);
        EXPECT_EQ(told, "The guardian (keyline-watch, pid " + std::to_string(old) +
                            ") has ended (killed by signal " + std::to_string(sig) + " (SIG" +
                            sigabbrev_np(sig) + ")); a new one (keyline-watch, pid " +
                            std::to_string(guardian->Pid()) + ") has taken over the lines.\n");
        EXPECT_TRUE(guardian->Guarding());
    }
    EXPECT_EQ(Trace(), "");  // killing a guardian releases nothing
    guardian.reset();
    EXPECT_EQ(PortsAndValues(Trace()), "0x378 0x80;");
    EXPECT_EQ(SpeakerSilenced(5000ms), 1);
}

TEST_F(GuardianTest, AnOrderlyEndWritesNothing) {
    guardian->Beat(MonotonicNs());
    guardian->Finished();
    guardian.reset();
    EXPECT_EQ(Trace(), "");
    EXPECT_EQ(SpeakerSilenced(5000ms), -1);
}

TEST_F(GuardianTest, TheSpeakerIsReleasedOnTheTraceOnlyWhenItSounded) {
    settings.UseSpeaker = 1;
    ports.SetKey(1);
    guardian->Beat(MonotonicNs());
    guardian.reset();
    EXPECT_EQ(PortsAndValues(Trace()), "0x378 0x80;0x61 0xfc;");
}

TEST_F(GuardianTest, AStoppedBeatIsReleasedOnceAndAgainAfterTheKeyerCameBack) {
    ports.SetKey(1);
    std::atomic<bool> beating{true};
    std::thread keyer([&] {
        while (beating.load()) {
            guardian->Beat(MonotonicNs());
            std::this_thread::sleep_for(2ms);
        }
    });
    // Busy, but beating: nothing happens for well over the stall time.
    EXPECT_EQ(SpeakerSilenced(1000ms), 0);
    EXPECT_EQ(Trace(), "");
    beating.store(false);
    keyer.join();
    EXPECT_EQ(SpeakerSilenced(5000ms), 1);
    EXPECT_EQ(PortsAndValues(Trace()), "0x378 0x80;");
    // Once: the same silence is not released again.
    EXPECT_EQ(SpeakerSilenced(1000ms), 0);
    // The keyer comes back and stops again: released again.
    guardian->Beat(MonotonicNs());
    EXPECT_EQ(SpeakerSilenced(5000ms), 1);
    EXPECT_EQ(PortsAndValues(Trace()), "0x378 0x80;0x378 0x80;");
}

TEST_F(GuardianTest, AKeyerThatIsNotTickingIsLeftAlone) {
    guardian->Beat(MonotonicNs());
    guardian->Rest();  // the timer was killed
    EXPECT_EQ(SpeakerSilenced(1000ms), 0);
    EXPECT_EQ(Trace(), "");
}

// A timer killed with a line on (a new tick length on its way) is still watched: should the next
// timer not come, the line is released as for a stalled keyer.
TEST_F(GuardianTest, AKeyerBetweenTimersWithALineOnIsReleasedWhenNoTimerComes) {
    struct Case {
        const char* line;
        int key;
        int transmitting;
    };
    for (const Case& c : {Case{"key", 1, 0}, Case{"TX", 0, 1}, Case{"both", 1, 1}}) {
        SCOPED_TRACE(c.line);
        flags.Transmitting = c.transmitting;
        ports.SetKey(c.key);
        guardian->Beat(MonotonicNs());
        guardian->Rest();
        EXPECT_EQ(SpeakerSilenced(5000ms), 1);
    }
    EXPECT_EQ(PortsAndValues(Trace()), "0x378 0x80;0x378 0x80;0x378 0x80;");
}

// Voluntary and involuntary context switches of process `pid` so far.
long ContextSwitches(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    long total = 0;
    for (std::string line; std::getline(status, line);) {
        if (line.find("ctxt_switches:") != std::string::npos) {
            total += std::stol(line.substr(line.find(':') + 1));
        }
    }
    return total;
}

// With nothing on there is nothing to guard: the guardian sleeps whether the keyer beats or
// rests, and the beat that turns a line on wakes it.
TEST_F(GuardianTest, WithNothingOnTheGuardianSleepsUntilALineGoesOn) {
    for (int i = 0; i < 1000 && !guardian->Guarding(); ++i) std::this_thread::sleep_for(5ms);
    std::this_thread::sleep_for(100ms);  // the handed descriptors taken
    const long before = ContextSwitches(guardian->Pid());
    for (int i = 0; i < 250; ++i) {
        guardian->Beat(MonotonicNs());
        std::this_thread::sleep_for(2ms);
    }
    guardian->Rest();
    std::this_thread::sleep_for(500ms);
    EXPECT_LE(ContextSwitches(guardian->Pid()) - before, 1);
    ports.SetKey(1);
    guardian->Beat(MonotonicNs());
    EXPECT_EQ(SpeakerSilenced(5000ms), 1);
    EXPECT_EQ(PortsAndValues(Trace()), "0x378 0x80;");
}

TEST_F(GuardianTest, AForgottenDescriptorIsClosedAtOnce) {
    guardian->Forget(kGuardSlotSpeaker);
    EXPECT_EQ(SpeakerSilenced(5000ms), -1);
    guardian->Beat(MonotonicNs());
    guardian.reset();
    EXPECT_TRUE(WaitForTrace(5000ms));
    EXPECT_EQ(PortsAndValues(Trace()), "0x378 0x80;");
}

// No guardian can be started: said once, and the lines are still handed and beaten on.
TEST(GuardianStart, AProgramThatCannotRunIsToldAndKeyingGoesOn) {
    std::string error;
    auto guardian = Guardian::Start("/nonexistent/telkey", error);
    ASSERT_TRUE(guardian) << error;
    EXPECT_THAT(Told(*guardian),
                ::testing::HasSubstr("cannot start its guardian (cannot run /nonexistent/telkey)"));
    EXPECT_FALSE(guardian->Guarding());
    EXPECT_THAT(guardian->Problem(), ::testing::HasSubstr("tries again every 5 s"));
    guardian->Hand(GuardedKind::Trace, kGuardSlotTrace, STDERR_FILENO);
    guardian->Beat(MonotonicNs());
    guardian->Forget(kGuardSlotTrace);
}

// The guardian's loop run here on a link and a page of the test's own, the trace handed to it
// as Telkey hands it.
class GuardianRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        page.keyPorts = 1u << kLpt1;
        page.allMask = 0x80;
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, link), 0);
        const int trace =
            ::open(tracePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
        ASSERT_GE(trace, 0);
        ASSERT_TRUE(SendToGuardian(link[0], GuardedKind::Trace, kGuardSlotTrace, trace));
        ::close(trace);
    }
    void TearDown() override {
        TelkeyGone();
        ::close(link[1]);
    }
    void Run() {
        guardian = std::thread([this] { RunGuardian(link[1], -1, page); });
    }
    void TelkeyGone() {
        if (link[0] >= 0) ::close(link[0]);
        link[0] = -1;
        if (guardian.joinable()) guardian.join();
    }
    std::string Trace() const { return PortsAndValues(test::ReadBytes(tracePath)); }

    test::ScratchDir dir;
    std::string tracePath = dir / "trace.txt";
    GuardianPage page;
    int link[2] = {-1, -1};
    std::thread guardian;
};

// A guardian started after the old one died while the keyer stalled with a line on finds the
// beat stale at once: it releases through the descriptors queued for it, not through none.
TEST_F(GuardianRunTest, AStaleBeatAtStartIsReleasedThroughTheQueuedDescriptors) {
    page.lineOn = 1;
    page.beatNs = MonotonicNs() - 2 * kGuardianStallNs;
    Run();
    for (int i = 0; i < 1000 && page.releases.load() == 0; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(page.releases.load(), 1u);
    EXPECT_EQ(Trace(), "0x378 0x80;");
    page.finished = 1;
}

// At Telkey's end the other guardian has claimed the release: this one stands by, and releases
// only when that one has ended without releasing.
TEST_F(GuardianRunTest, TheGuardianStandingByReleasesOnlyWhenTheOtherEndedWithout) {
    struct Case {
        const char* other;
        bool otherEnded;
        bool otherReleased;
        const char* trace;
    };
    for (const Case& c : {Case{"ended without releasing", true, false, "0x378 0x80;"},
                          Case{"released", false, true, ""}}) {
        SCOPED_TRACE(c.other);
        const pid_t other = ::fork();
        if (other == 0) {
            ::close(link[0]);  // Telkey's end is closed by Telkey alone
            ::pause();
            ::_exit(0);
        }
        page.endClaimed = static_cast<std::uint32_t>(other);
        page.endReleased = c.otherReleased ? 1 : 0;
        if (c.otherEnded) {
            ::kill(other, SIGKILL);
            ::waitpid(other, nullptr, 0);
        }
        Run();
        TelkeyGone();
        EXPECT_EQ(Trace(), c.trace);
        if (!c.otherEnded) {
            ::kill(other, SIGKILL);
            ::waitpid(other, nullptr, 0);
        }
        TearDown();
        SetUp();
    }
}

// The guardian program started by something other than Telkey, with descriptors 3 to 5 of the
// wrong kind: it says which and ends, rather than wait on them.
TEST(GuardianProgram, RefusesDescriptorsOfTheWrongKind) {
    test::ScratchDir dir;
    const std::string filePath = dir / "file";
    std::ofstream(filePath) << std::string(4096, 'x');
    const auto file = [&] { return ::open(filePath.c_str(), O_RDWR | O_CLOEXEC); };
    const auto page = [] {
        const int fd = ::memfd_create(kGuardianName, MFD_CLOEXEC);
        EXPECT_EQ(::ftruncate(fd, sizeof(GuardianPage)), 0);
        return fd;
    };
    const auto link = [](int type) {
        int fds[2] = {-1, -1};
        EXPECT_EQ(::socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, fds), 0);
        return fds[0];  // the other end stays open until the test ends
    };
    const auto wake = [] { return ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); };
    struct Case {
        const char* name;
        int link;
        int page;
        int wake;
        const char* said;
    };
    const Case cases[] = {
        {"wake-up a file", link(SOCK_SEQPACKET), page(), file(), "descriptor 5 is not an eventfd"},
        {"wake-up a socket", link(SOCK_SEQPACKET), page(), link(SOCK_DGRAM),
         "descriptor 5 is not an eventfd"},
        {"page a file", link(SOCK_SEQPACKET), file(), wake(),
         "descriptor 4 is not a page shared with Telkey"},
        {"page an eventfd", link(SOCK_SEQPACKET), wake(), wake(),
         "descriptor 4 is not a page shared with Telkey"},
        {"link a file", file(), page(), wake(), "descriptor 3 is not a link to Telkey"},
        {"link a stream", link(SOCK_STREAM), page(), wake(),
         "descriptor 3 is not a link to Telkey"},
        {"nothing", -1, -1, -1, "descriptor 3 is not a link to Telkey"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int err[2];
        ASSERT_EQ(::pipe2(err, O_CLOEXEC), 0);
        char program[] = "/proc/self/exe";
        char argument[sizeof kGuardianArgument];
        std::memcpy(argument, kGuardianArgument, sizeof argument);
        char* const argv[] = {program, argument, nullptr};
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(err[1], STDERR_FILENO);
            const int given[] = {c.link, c.page, c.wake};
            int high[3];
            for (int i = 0; i < 3; ++i)
                high[i] = given[i] < 0 ? -1 : ::fcntl(given[i], F_DUPFD, 10);
            for (int i = 0; i < 3; ++i) {
                ::close(kGuardianLinkFd + i);
                if (high[i] >= 0) ::dup2(high[i], kGuardianLinkFd + i);
            }
            ::close_range(kGuardianWakeFd + 1, ~0U, 0);
            ::execv(program, argv);
            ::_exit(127);
        }
        ::close(err[1]);
        int status = 0;
        bool ended = false;
        for (int i = 0; i < 2000 && !ended; ++i) {
            ended = ::waitpid(pid, &status, WNOHANG) == pid;
            if (!ended) std::this_thread::sleep_for(5ms);
        }
        if (!ended) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        }
        EXPECT_TRUE(ended);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kGuardianExitNotStarted) << status;
        std::string said;
        char buffer[256];
        for (ssize_t n; (n = ::read(err[0], buffer, sizeof buffer)) > 0;) said.append(buffer, n);
        ::close(err[0]);
        EXPECT_EQ(said, std::string("telkey: ") + c.said +
                            ": the guardian is started by Telkey itself\n");
        for (int fd : {c.link, c.page, c.wake}) {
            if (fd >= 0) ::close(fd);
        }
    }
}

}  // namespace
}  // namespace telkey

// This program is also the guardian the tests start.
int main(int argc, char** argv) {
    telkey::OpenStandardStreams();
    if (telkey::IsGuardianCall(argc, argv)) telkey::GuardianMain();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
