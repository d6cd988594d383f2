// The real telkey program on a Wayland desktop that never gives its window the focus (weston,
// headless): it still starts, joins its bus, keys a macro sent over the bus and ends cleanly.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "support/scratch_dir.h"
#include "support/telkey_process.h"

namespace telkey::test {
namespace {

using namespace std::chrono_literals;

constexpr char kSocket[] = "telkey-test";

// A headless weston of the test's own, in its own runtime directory; ended with the test.
class Weston {
  public:
    Weston() {
        ::mkdir(runtime_.c_str(), 0700);
        std::vector<std::string> args = {"weston", "--backend=headless-backend.so",
                                         std::string("--socket=") + kSocket, "--idle-time=0",
                                         "--no-config"};
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (!entry.starts_with("XDG_RUNTIME_DIR=") && !entry.starts_with("WAYLAND_DISPLAY=")) {
                env.push_back(entry);
            }
        }
        env.push_back("XDG_RUNTIME_DIR=" + runtime_);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        const int out = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
            ::execvpe(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(out);
    }
    ~Weston() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        if (!KeyingTelkey::WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; },
                                     5s)) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Weston(const Weston&) = delete;
    Weston& operator=(const Weston&) = delete;

    // Waits until clients can connect.
    bool Ready() const {
        const std::string socket = runtime_ + "/" + kSocket;
        return KeyingTelkey::WaitUntil([&] { return ::access(socket.c_str(), F_OK) == 0; }, 10s);
    }

    // What a client needs to show its windows here.
    std::vector<std::string> Display() const {
        return {"QT_QPA_PLATFORM=wayland", std::string("WAYLAND_DISPLAY=") + kSocket,
                "XDG_RUNTIME_DIR=" + runtime_};
    }

    std::string Log() const { return ReadBytes(log_); }

  private:
    ScratchDir dir_;
    std::string runtime_ = dir_ / "runtime";
    std::string log_ = dir_ / "weston.log";
    pid_t pid_ = -1;
};

TEST(TelkeyOnWayland, StartsWithoutTheFocusAndKeysAMacroSentOverTheBus) {
    Weston weston;
    ASSERT_TRUE(weston.Ready()) << "weston did not start (scripts/deps.sh installs it)\n"
                                << weston.Log();
    KeyingTelkey telkey(KeyedPort::Sim, TELKEY_BINARY_DIR, TELKEY_FAKE_PORTS);
    telkey.UseDisplay(weston.Display());
    ASSERT_EQ(telkey.Start(), "");
    ASSERT_EQ(telkey.KeyDown(20s), "") << telkey.Log() << weston.Log();

    const std::int64_t at = telkey.Signal(SIGTERM);
    EXPECT_TRUE(telkey.WaitReleased(at, 5s)) << telkey.Log();
    const std::optional<int> status = telkey.WaitEnd(10s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM) << *status;
}

}  // namespace
}  // namespace telkey::test
