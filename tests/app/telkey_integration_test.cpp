// The real telkey program, offscreen, on simulated ports, driven by a logging program's tool:
// start-up announcements, BRX_CW commands, and a clean end on SIGTERM. Every wait is bounded.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bus/bus_test_support.h"
#include "support/morse_trace.h"
#include "support/scratch_dir.h"

namespace telkey {
namespace {

using namespace std::chrono_literals;
using test::Child;
using test::TelkeyMsg;
namespace trace_of = test::morse_trace;

// LPT1's data register: the key port of KeyPortNumber 5; bit 0 keys, bit 1 is TX.
constexpr unsigned kKeyPort = 0x378;
constexpr unsigned kKeyBit = 0x01;
constexpr unsigned kTxBit = 0x02;

std::string Telkey() {
    return std::string(TELKEY_BINARY_DIR) + "/telkey";
}

// The port trace so far, as the shared trace reader gives it.
using PortWrite = test::morse_trace::Write;
using test::morse_trace::ReadTrace;

int KeyDownCount(const std::vector<PortWrite>& writes) {
    int n = 0;
    for (const PortWrite& w : writes) n += w.port == kKeyPort && (w.value & kKeyBit) != 0;
    return n;
}

// The telkey program in its own working directory, output to a file.
class TelkeyProcess {
  public:
    TelkeyProcess(const std::string& workDir, const std::string& trace, const std::string& log) {
        pid_ = ::fork();
        if (pid_ == 0) {
            if (::chdir(workDir.c_str()) != 0) ::_exit(126);
            std::FILE* out = std::freopen(log.c_str(), "w", stdout);
            if (out == nullptr || ::dup2(STDOUT_FILENO, STDERR_FILENO) < 0) ::_exit(126);
            const std::string traceArg = "--port-trace=" + trace;
            ::execl(Telkey().c_str(), "telkey", "--ports=sim", traceArg.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~TelkeyProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    TelkeyProcess(const TelkeyProcess&) = delete;
    TelkeyProcess& operator=(const TelkeyProcess&) = delete;

    // Sends a signal and returns the wait status, or -1 when it did not end in time.
    int Stop(int sig, std::chrono::milliseconds bound = 10s) {
        ::kill(pid_, sig);
        int status = 0;
        if (!test::WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, bound)) {
            return -1;
        }
        pid_ = -1;
        return status;
    }

  private:
    pid_t pid_ = -1;
};

class TelkeyIntegration : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::access(Telkey().c_str(), X_OK), 0) << "build the telkey program first";
        ASSERT_EQ(::access(TelkeyMsg().c_str(), X_OK), 0) << "build telkey-msg first";
        ASSERT_EQ(::mkdir(work.c_str(), 0755), 0);
        // Key port LPT1, MOX on, the fastest speed: macro 1 is keyed in a few milliseconds;
        // macro 2 keeps the transmitter busy for seconds.
        test::WriteBytes(work + "/Telkey.ini",
                         "[Qor_Cw]\nKeyPortNumber=5\nSpeed=6000\n[MOX]\nMoxOn=1\n"
                         "[Cw_Macros]\nMacro2=\"" +
                             std::string(200, '0') + "\"\n");
    }

    // The next Telkey_Message the listener received (the echoes of BRX_CW commands skipped).
    std::optional<std::string> NextAnnouncement(Child& listener) {
        for (;;) {
            auto line = listener.ReadLine(10s);
            if (!line) return std::nullopt;
            if (line->starts_with("Telkey_Message ")) return line;
        }
    }

    // Starts the long macro, waits until it is on the air, then ends telkey with `sig`.
    void EndsCleanlyWhileKeying(TelkeyProcess& telkey, Child& listener, int sig) {
        Send("2");
        std::optional<std::string> line;
        do {
            line = NextAnnouncement(listener);
        } while (line && *line != "Telkey_Message 111 0");
        ASSERT_TRUE(line);
        const int before = KeyDownCount(ReadTrace(trace));
        ASSERT_TRUE(
            test::WaitUntil([&] { return KeyDownCount(ReadTrace(trace)) > before + 3; }, 10s));
        // Released first, then ended as the signal ends a program.
        const int status = telkey.Stop(sig);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
        const std::vector<PortWrite> writes = ReadTrace(trace);
        ASSERT_FALSE(writes.empty());
        EXPECT_EQ(writes.back().port, kKeyPort);
        EXPECT_EQ(writes.back().value & (kKeyBit | kTxBit), 0u);
    }

    void Send(const std::string& wParam) {
        Child send({TelkeyMsg(), "send", "BRX_CW", wParam});
        ASSERT_EQ(send.Wait(10s), 0) << "BRX_CW " << wParam;
    }

    test::ScratchBus bus;
    test::ScratchDir dir;
    std::string work = dir / "work";
    std::string trace = dir / "trace.txt";
    test::ScopedEnv common{"TELKEY_COMMON_DIR", dir / "common"};
    test::ScopedEnv platform{"QT_QPA_PLATFORM", "offscreen"};
};

TEST_F(TelkeyIntegration, AnnouncesItselfTakesCommandsAndEndsCleanly) {
    Child listener({TelkeyMsg(), "listen"});
    ASSERT_TRUE(test::WaitUntil([&] { return test::CountParticipants(bus.Path()) == 1; }));
    TelkeyProcess telkey(work, trace, dir / "telkey.log");

    // Start-up: pause off, transmitter off, then the cleared call from the exchange file.
    EXPECT_EQ(NextAnnouncement(listener), "Telkey_Message 100 0");
    EXPECT_EQ(NextAnnouncement(listener), "Telkey_Message 110 0");
    EXPECT_EQ(NextAnnouncement(listener), "Telkey_Message 131 4");
    EXPECT_EQ(test::ReadBytes(dir / "common/loginput.ini"), "[QSO]\nCall=\"\"\n");
    // What scheduling the keyer thread got is said once, however often the timer is re-created.
    const std::string log = test::ReadBytes(dir / "telkey.log");
    const std::size_t said = log.find("telkey: keyer thread ");
    EXPECT_NE(said, std::string::npos) << log;
    EXPECT_EQ(log.find("telkey: keyer thread ", said + 1), std::string::npos) << log;

    // Macro 1 is keyed: the transmitter goes on, the key line moves, silence ends it again.
    Send("1");
    EXPECT_EQ(NextAnnouncement(listener), "Telkey_Message 111 0");
    EXPECT_TRUE(test::WaitUntil([&] { return KeyDownCount(ReadTrace(trace)) > 0; }, 10s));
    EXPECT_EQ(NextAnnouncement(listener), "Telkey_Message 110 0");

    Send("102");
    EXPECT_EQ(NextAnnouncement(listener), "Telkey_Message 101 0");
    Send("102");
    EXPECT_EQ(NextAnnouncement(listener), "Telkey_Message 100 0");

    // Codes outside the protocol do nothing: the next announcement is that of the 110 after them.
    std::this_thread::sleep_for(100ms);  // lets the trace writer catch up
    const int keyDowns = KeyDownCount(ReadTrace(trace));
    for (const char* code : {"16", "99", "103", "109", "113", "-1"}) Send(code);
    Send("110");
    EXPECT_EQ(NextAnnouncement(listener), "Telkey_Message 110 0");
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(KeyDownCount(ReadTrace(trace)), keyDowns);

    // SIGTERM in the middle of a long macro: the last writes release the key and TX lines.
    EndsCleanlyWhileKeying(telkey, listener, SIGTERM);
}

TEST_F(TelkeyIntegration, InterruptEndsCleanlyToo) {
    Child listener({TelkeyMsg(), "listen"});
    ASSERT_TRUE(test::WaitUntil([&] { return test::CountParticipants(bus.Path()) == 1; }));
    TelkeyProcess telkey(work, trace, dir / "telkey.log");
    EXPECT_EQ(NextAnnouncement(listener), "Telkey_Message 100 0");
    EndsCleanlyWhileKeying(telkey, listener, SIGINT);
}

// A participant that answers every message only after a while, on a thread of its own; it
// notes the Telkey_Message announcements as they arrive.
class SlowParticipant {
  public:
    SlowParticipant(const std::string& busDir, std::chrono::milliseconds delay)
        : bus_(busDir), delay_(delay) {
        bus_.RegisterMessage("BRX_CW");
        own_ = bus_.RegisterMessage("Telkey_Message");
        bus_.SetHandler([this](std::uint32_t msg, std::int32_t wParam, std::int32_t) {
            if (msg == own_) {
                const std::lock_guard<std::mutex> lock(mutex_);
                got_.push_back({wParam, std::chrono::steady_clock::now()});
            }
            std::this_thread::sleep_for(delay_);
            return 0;
        });
        thread_ = std::thread([this] {
            test::ServeUntil(
                bus_, [this] { return done_.load(); }, 120s);
        });
    }
    ~SlowParticipant() {
        done_ = true;
        thread_.join();
    }

    struct Announcement {
        std::int32_t wParam;
        std::chrono::steady_clock::time_point at;
    };
    std::vector<Announcement> Got() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return got_;
    }
    std::vector<std::int32_t> WParams() {
        std::vector<std::int32_t> out;
        for (const Announcement& a : Got()) out.push_back(a.wParam);
        return out;
    }

  private:
    BusParticipant bus_;
    std::chrono::milliseconds delay_;
    std::uint32_t own_ = 0;
    std::mutex mutex_;
    std::vector<Announcement> got_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// One listener stopped (Ctrl-Z) and one participant that answers after 0.3 s: start-up costs
// one 5 s wait, a macro is keyed in full with the transmitter switched on once, and SIGTERM
// is obeyed at once even while a broadcast waits for a participant that does not answer.
TEST_F(TelkeyIntegration, StoppedAndSlowParticipantsDoNotHoldUpKeying) {
    constexpr char kText[] = "CQ TEST";
    test::WriteBytes(work + "/Telkey.ini",
                     "[Qor_Cw]\nKeyPortNumber=5\nSpeed=300\n[MOX]\nMoxOn=1\n"
                     "[Cw_Macros]\nMacro1=\"" +
                         std::string(kText) + "\"\n");
    Child stopped({TelkeyMsg(), "listen"});
    ASSERT_TRUE(test::WaitUntil([&] { return test::CountParticipants(bus.Path()) == 1; }));
    stopped.Signal(SIGSTOP);
    SlowParticipant slow(bus.Path(), 300ms);
    TelkeyProcess telkey(work, trace, dir / "telkey.log");

    // Pause off, transmitter off, the cleared call: one wait for the stopped listener in all.
    ASSERT_TRUE(test::WaitUntil([&] { return slow.Got().size() >= 3; }, 20s));
    const auto startup = slow.Got();
    EXPECT_EQ(slow.WParams(), (std::vector<std::int32_t>{100, 110, 131}));
    const auto startupSpan = startup[2].at - startup[0].at;
    EXPECT_LT(startupSpan, 6s);

    // The macro, started by a logging program; the tool's own broadcast waits for the stopped
    // listener, Telkey's do not.
    Child send({TelkeyMsg(), "send", "BRX_CW", "1"});
    std::vector<trace_of::KeyDown> downs;
    ASSERT_TRUE(test::WaitUntil(
        [&] {
            downs = trace_of::KeyDowns(trace_of::ReadTrace(trace));
            return downs.size() >= trace_of::ElementsOf(kText);
        },
        20s));
    ASSERT_TRUE(test::WaitUntil([&] { return slow.Got().size() >= 5; }, 10s));
    std::uint64_t dotUs = 0;
    EXPECT_EQ(trace_of::Decode(downs, dotUs), trace_of::MorseOf(kText));
    EXPECT_EQ(trace_of::TxSwitchedOn(trace_of::ReadTrace(trace)), 1);
    EXPECT_EQ(slow.WParams(), (std::vector<std::int32_t>{100, 110, 131, 111, 110}));
    EXPECT_EQ(send.Wait(10s), 0);

    // A newly stopped listener holds up the next announcement; SIGTERM ends that wait.
    Child stoppedLater({TelkeyMsg(), "listen"});
    ASSERT_TRUE(test::WaitUntil([&] { return test::CountParticipants(bus.Path()) == 4; }));
    stoppedLater.Signal(SIGSTOP);
    Child pause({TelkeyMsg(), "send", "BRX_CW", "101"});
    ASSERT_TRUE(test::WaitUntil([&] { return slow.Got().size() >= 6; }, 10s));
    EXPECT_EQ(slow.Got().back().wParam, 101);
    std::this_thread::sleep_for(100ms);  // well inside the 5 s wait
    const auto term = std::chrono::steady_clock::now();
    const int status = telkey.Stop(SIGTERM, 3s);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    const auto termSpan = std::chrono::steady_clock::now() - term;
    EXPECT_LT(termSpan, 1s);
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    std::printf(
        "start-up announcements: %lld ms from the first to the third; SIGTERM during a "
        "waiting broadcast obeyed in %lld ms\n",
        static_cast<long long>(duration_cast<milliseconds>(startupSpan).count()),
        static_cast<long long>(duration_cast<milliseconds>(termSpan).count()));
    const auto writes = ReadTrace(trace);
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back().value & (kKeyBit | kTxBit), 0u);
}

// Telkey copied into `dir` (made 0755), where another user can run it whatever the modes of the
// directories that hold the build.
std::string RunnableCopy(const test::ScratchDir& dir) {
    const std::string copy = dir / "telkey";
    std::error_code error;
    std::filesystem::copy_file(Telkey(), copy, error);
    ::chmod(dir.Path().c_str(), 0755);
    ::chmod(copy.c_str(), 0755);
    return error ? std::string() : copy;
}

// Runs `program` (--ports=none) in `home` with standard error into `log`, as `uid` when root,
// after `limit` is set; its exit status, 126 when `program` cannot be run by that user.
int StartLimited(const std::string& program, const std::string& home, const std::string& log,
                 int resource, rlim_t limit, std::optional<uid_t> uid) {
    return test::RunInChild(
        [&] {
            if (::access(program.c_str(), X_OK) != 0) return 126;
            const rlimit low{limit, limit};
            if (::setrlimit(resource, &low) != 0 || ::chdir(home.c_str()) != 0 ||
                std::freopen(log.c_str(), "w", stderr) == nullptr) {
                return 125;
            }
            ::setenv("TELKEY_BUS_DIR", (home + "/bus").c_str(), 1);
            ::execl(program.c_str(), "telkey", "--ports=none", "-platform", "offscreen",
                    static_cast<char*>(nullptr));
            return 127;
        },
        uid, 15s);
}

// With no process or thread to spare (RLIMIT_NPROC, as an ordinary user; root is exempt), or too
// few open files for the event loop: start ends at once and says why.
TEST(TelkeyStart, EndsWhenNoThreadCanBeStartedOrFilesAreTooFew) {
    const struct {
        const char* what;
        int resource;
        rlim_t limit;
        std::optional<uid_t> uid;
        const char* told;
    } cases[] = {
        {"no thread", RLIMIT_NPROC, 0, test::kNobodyUid, "telkey: cannot start a thread: "},
        // Telkey's own threads start, one of Qt's does not (the window thread would wait for it
        // at the first paint).
        {"6 processes", RLIMIT_NPROC, 6, test::kNobodyUid, "telkey: cannot start a thread: "},
        {"16 open files", RLIMIT_NOFILE, 16, std::nullopt,
         "telkey: the limit on open files (ulimit -n) is 16"},
    };
    for (const auto& c : cases) {
        test::ScratchDir dir;
        const std::string home = dir / "home";
        ASSERT_EQ(::mkdir(home.c_str(), 0755), 0);
        if (c.uid && ::geteuid() == 0) {
            ASSERT_EQ(::chown(home.c_str(), *c.uid, *c.uid), 0);
        }
        const std::string program = RunnableCopy(dir);
        ASSERT_FALSE(program.empty()) << c.what;
        const std::string log = home + "/telkey.log";
        const int status = StartLimited(program, home, log, c.resource, c.limit, c.uid);
        if (status == 126) {
            GTEST_SKIP() << c.what << ": user " << *c.uid << " cannot run " << program
                         << " (a directory above it is closed to that user: set TMPDIR)";
        }
        const std::string text = test::ReadBytes(log);
        EXPECT_EQ(status, EXIT_FAILURE) << c.what << " (-1: still running after 15 s)\n" << text;
        EXPECT_NE(text.find(c.told), std::string::npos) << c.what << "\n" << text;
    }
}

}  // namespace
}  // namespace telkey
