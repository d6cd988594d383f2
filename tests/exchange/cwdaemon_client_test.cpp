// The real telkey program driven by cwdaemon clients: what tlf sends, scripted, and tlf itself
// under tmux when it is installed. Telkey runs offscreen on simulated ports and traces every port
// write; the key line's trace is decoded back into Morse text.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/morse_trace.h"

extern char** environ;

namespace telkey {
namespace {

namespace fs = std::filesystem;
using namespace test::morse_trace;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr unsigned kSpeakerCounter = 0x42;
constexpr unsigned kLpt1 = 0x378;
// The CQ message of the tests, and the call that tlf puts in for "%".
constexpr char kCall[] = "DL1ABC";
constexpr char kCq[] = "CQ DE DL1ABC K";
constexpr int kWpm = 50;  // tlf goes no faster
constexpr int kTone = 700;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

template <class Done>
bool WaitFor(Done done, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

bool OnPath(const std::string& program) {
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

// A UDP socket on the loopback interface.
class Udp {
  public:
    Udp() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in self = Address(0);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&self), sizeof self);
        timeval wait{0, 100000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~Udp() { ::close(fd_); }
    Udp(const Udp&) = delete;
    Udp& operator=(const Udp&) = delete;

    static sockaddr_in Address(std::uint16_t port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }
    std::uint16_t Port() const {
        sockaddr_in a{};
        socklen_t size = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size);
        return ntohs(a.sin_port);
    }
    void Send(std::uint16_t port, const std::string& bytes) const {
        const sockaddr_in to = Address(port);
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
    }
    // One datagram, or nothing within 100 ms.
    std::optional<std::string> Receive() const {
        char buffer[512];
        const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
        if (got < 0) return std::nullopt;
        return std::string(buffer, static_cast<std::size_t>(got));
    }

  private:
    int fd_ = -1;
};

// A port that was free a moment ago.
std::uint16_t FreeUdpPort() {
    Udp probe;
    return probe.Port();
}

// The telkey program in a scratch directory of its own: offscreen, simulated ports with the key
// on LPT1 and the speaker on, a private message-bus directory.
class TelkeyProcess {
  public:
    explicit TelkeyProcess(const fs::path& root, std::uint16_t cwdaemonPort) : root_(root) {
        fs::create_directories(root / "work");
        fs::create_directories(root / "common");
        fs::create_directories(root / "bus");
        fs::permissions(root / "bus", fs::perms::owner_all, fs::perm_options::replace);
        WriteFile(root / "work" / "Telkey.ini", "[Qor_Cw]\r\nKeyPortNumber=5\r\nUseSpeaker=1\r\n");

        const std::string program = std::string(TELKEY_BINARY_DIR) + "/telkey";
        std::vector<std::string> args{program, "--ports=sim",
                                      "--port-trace=" + (root / "trace.txt").string(),
                                      "--cwdaemon=" + std::to_string(cwdaemonPort)};
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (entry.starts_with("QT_QPA_PLATFORM=") || entry.starts_with("TELKEY_")) continue;
            env.push_back(entry);
        }
        env.push_back("QT_QPA_PLATFORM=offscreen");
        env.push_back("TELKEY_BUS_DIR=" + (root / "bus").string());
        env.push_back("TELKEY_COMMON_DIR=" + (root / "common").string());

        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, (root / "work").c_str());
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (root / "stderr.txt").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        spawned_ =
            posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) == 0;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~TelkeyProcess() { Stop(); }

    bool Spawned() const { return spawned_; }
    std::string Stderr() const { return ReadFile(root_ / "stderr.txt"); }
    fs::path TracePath() const { return root_ / "trace.txt"; }

    // Ends the program as a window manager would; false if it had to be killed.
    bool Stop() {
        if (!spawned_ || pid_ <= 0) return true;
        ::kill(pid_, SIGTERM);
        int status = 0;
        const bool ended = WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 5s);
        if (!ended) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        pid_ = 0;
        return ended;
    }

  private:
    fs::path root_;
    pid_t pid_ = 0;
    bool spawned_ = false;
};

class CwdaemonClient : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/telkey-cwdaemon-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root = pattern;
        port = FreeUdpPort();
        telkey = std::make_unique<TelkeyProcess>(root, port);
        ASSERT_TRUE(telkey->Spawned());
        // Requests count once the engine runs; until then "~^" (nothing to key) gets no answer.
        Udp probe;
        ASSERT_TRUE(WaitFor(
            [&] {
                probe.Send(port, "~^");
                return probe.Receive() == std::optional<std::string>("~\r\n");
            },
            20s))
            << telkey->Stderr();
    }
    void TearDown() override {
        if (telkey) {
            EXPECT_TRUE(telkey->Stop());
        }
        std::error_code ignored;
        if (!HasFailure()) fs::remove_all(root, ignored);
    }

    // Makes Telkey know the client's socket, as a logger's first requests do: "~^" (nothing to
    // key) answered. A first request whose check came late on a busy machine is refused; the
    // next one is checked again. Returns how much Telkey had logged by then.
    std::size_t Introduce(const Udp& client) {
        EXPECT_TRUE(WaitFor(
            [&] {
                client.Send(port, "~^");
                return client.Receive() == std::optional<std::string>("~\r\n");
            },
            20s))
            << telkey->Stderr();
        return telkey->Stderr().size();
    }

    // Waits until the whole CQ has been keyed and returns it decoded; `dotUs` is the dots' median.
    std::string KeyedCq(std::uint64_t& dotUs, bool& txOn) {
        const std::size_t elements = ElementsOf(kCq);
        std::vector<KeyDown> downs;
        WaitFor(
            [&] {
                downs = KeyDowns(ReadTrace(telkey->TracePath().string()));
                return downs.size() >= elements;
            },
            30s);
        txOn = !downs.empty();
        for (const KeyDown& d : downs) txOn = txOn && d.txOn;
        const std::string morse = Decode(downs, dotUs);
        dotUs = MedianDotUs(downs, dotUs);
        return morse;
    }

    fs::path root;
    std::uint16_t port = 0;
    std::unique_ptr<TelkeyProcess> telkey;
};

// What tlf 1.4.1 sends to its network keyer (NETKEYER) at start-up, "ESC 0", the tone
// (CWTONE), the sound card volume, the speed (CWSPEED), the weight (WEIGHT) and the PTT delay
// (TXDELAY), and then for F1 the PTT delay again and the CQ message, line end included.
TEST_F(CwdaemonClient, ScriptedTlfTrafficKeysTheCq) {
    Udp tlf;
    const std::size_t logged = Introduce(tlf);
    for (const std::string& request : {std::string("\x1b"
                                                   "0"),
                                       "\x1b"
                                       "3" +
                                           std::to_string(kTone),
                                       std::string("\x1bg70"),
                                       "\x1b"
                                       "2" +
                                           std::to_string(kWpm),
                                       std::string("\x1b"
                                                   "70"),
                                       std::string("\x1b"
                                                   "d0"),
                                       std::string("\x1b"
                                                   "d0"),
                                       std::string(kCq) + "\n"}) {
        tlf.Send(port, request);
    }
    std::uint64_t dotUs = 0;
    bool txOn = false;
    EXPECT_EQ(KeyedCq(dotUs, txOn), MorseOf(kCq)) << telkey->Stderr();
    EXPECT_TRUE(txOn);
    // 50 wpm is 250 letters a minute: a 24 ms dot.
    EXPECT_NEAR(static_cast<double>(dotUs), 24000.0, 3000.0);
    // The tone request reprograms the speaker: 1193180 Hz / 700 Hz = 1705 = 0x06A9.
    const std::vector<Write> writes = ReadTrace(telkey->TracePath().string());
    std::vector<unsigned> divisor;
    for (const Write& w : writes) {
        if (w.port == kSpeakerCounter && divisor.size() < 2) divisor.push_back(w.value);
    }
    EXPECT_EQ(divisor, (std::vector<unsigned>{0xA9, 0x06}));
    // A reply once the text before the caret has been keyed, through the real event loop.
    tlf.Send(port, "tu^");
    std::optional<std::string> reply;
    EXPECT_TRUE(WaitFor([&] { return (reply = tlf.Receive()).has_value(); }, 10s));
    EXPECT_EQ(reply, std::optional<std::string>("tu\r\n"));
    // The reply comes at the last key-up, which the trace writer may not have written yet.
    EXPECT_TRUE(WaitFor(
        [&] { return KeyDowns(ReadTrace(telkey->TracePath().string())).size() == 37u + 4u; }, 2s));

    // Every request tlf makes is understood (the sound card volume and the PTT delay have
    // nothing to do here).
    EXPECT_EQ(telkey->Stderr().find("escape request"), std::string::npos) << telkey->Stderr();
    EXPECT_EQ(telkey->Stderr().find("refused", logged), std::string::npos) << telkey->Stderr();
}

// What loggers rely on, over UDP with the real program: a lone caret gets no answer, a TAB keys
// nothing, and an abort ends with the element on the air, nothing keyed after it.
TEST_F(CwdaemonClient, CaretTabAndAbortAsLoggersExpect) {
    Udp logger;
    Introduce(logger);
    logger.Send(port, "^");
    EXPECT_EQ(logger.Receive(), std::nullopt);

    logger.Send(port,
                "\x1b"
                "224");  // 24 wpm: a 50 ms dot
    logger.Send(port, "e\te");
    std::vector<KeyDown> downs;
    ASSERT_TRUE(WaitFor(
        [&] {
            downs = KeyDowns(ReadTrace(telkey->TracePath().string()));
            return downs.size() >= 2;
        },
        10s));
    std::uint64_t dotUs = 0;
    EXPECT_EQ(Decode(downs, dotUs), MorseOf("EE"));

    logger.Send(port, "00000");
    ASSERT_TRUE(WaitFor(
        [&] { return KeyDowns(ReadTrace(telkey->TracePath().string())).size() >= 2 + 3; }, 10s));
    logger.Send(port,
                "\x1b"
                "4");
    const std::size_t atAbort = KeyDowns(ReadTrace(telkey->TracePath().string())).size();
    std::this_thread::sleep_for(1500ms);  // the rest of "00000" would be 22 more dashes
    downs = KeyDowns(ReadTrace(telkey->TracePath().string()));
    // Finished key-downs only: the one on the air when the abort came may end after the look.
    EXPECT_LE(downs.size(), atAbort + 1) << telkey->Stderr();
    // The last element was not cut: a whole dash of three dots.
    EXPECT_GE(downs.back().to - downs.back().from, 2 * 50'000u);
    std::optional<unsigned> lines;
    for (const Write& w : ReadTrace(telkey->TracePath().string())) {
        if (w.port == kLpt1) lines = w.value;
    }
    EXPECT_EQ(lines, std::optional<unsigned>(0u)) << "key or PTT left on";
}

// tlf itself, in a terminal that tmux provides: F1 keys the CQ message of its rules file.
TEST_F(CwdaemonClient, TlfUnderTmuxKeysItsCq) {
    if (!OnPath("tlf") || !OnPath("tmux")) GTEST_SKIP() << "tlf or tmux is not installed";
    const fs::path dir = root / "tlf";
    fs::create_directories(dir / "rules");
    WriteFile(dir / "logcfg.dat", "CALL=" + std::string(kCall) +
                                      "\nRULES=telkey\nLOGFILE=qso.log\nNETKEYER\nNETKEYERPORT=" +
                                      std::to_string(port) +
                                      "\nNETKEYERHOST=127.0.0.1\nCWSPEED=" + std::to_string(kWpm) +
                                      "\nCWTONE=" + std::to_string(kTone) + "\n");
    WriteFile(dir / "rules" / "telkey", "CONTEST=qso\nF1=CQ DE % K\n");

    const std::string tmux = "tmux -L telkey-test-" + std::to_string(::getpid()) + " ";
    auto screen = [&] {
        const fs::path shot = root / "screen.txt";
        std::system((tmux + "capture-pane -p -t tlf > " + shot.string() + " 2>/dev/null").c_str());
        return ReadFile(shot);
    };
    ASSERT_EQ(std::system((tmux + "new-session -d -s tlf -x 80 -y 25 -c " + dir.string() +
                           " 'tlf -n -r; sleep 60'")
                              .c_str()),
              0);
    struct KillServer {
        std::string command;
        ~KillServer() { std::system(command.c_str()); }
    } killServer{tmux + "kill-server 2>/dev/null"};

    ASSERT_TRUE(WaitFor([&] { return screen().find("Press any key") != std::string::npos; }, 20s))
        << screen();
    std::system((tmux + "send-keys -t tlf Space").c_str());
    ASSERT_TRUE(WaitFor([&] { return screen().find("== qso ==") != std::string::npos; }, 10s))
        << screen();
    std::system((tmux + "send-keys -t tlf F1").c_str());

    std::uint64_t dotUs = 0;
    bool txOn = false;
    EXPECT_EQ(KeyedCq(dotUs, txOn), MorseOf(kCq)) << telkey->Stderr() << screen();
    EXPECT_TRUE(txOn);
    EXPECT_NEAR(static_cast<double>(dotUs), 24000.0, 3000.0);
}

}  // namespace
}  // namespace telkey
