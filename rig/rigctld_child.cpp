#include "rig/rigctld_child.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>
#include <vector>

#include "rig/rig_link.h"

namespace telkey::rig {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The keeper's descriptors, fixed so that it and rigctld can close every other one.
constexpr int kKeeperControl = 3;
constexpr int kKeeperErrors = 4;
constexpr int kFirstSpare = 5;
constexpr int kKeeperLookMs = 100;
constexpr int kKeeperAnswerMs = 1000;
constexpr int kExecFailed = 127;
constexpr int kSignalled = 128;
constexpr int kPortTries = 3;
constexpr auto kProbeEvery = 20ms;
constexpr auto kKeeperEnd = 2s;
constexpr std::size_t kSaidMax = 512;
// The keeper's name: no pattern for Telkey's own processes matches it.
constexpr char kKeeperName[] = "rigctld-keeper";
constexpr char kRigOff[] = "+T 0\n+\\stop_morse\n";

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A loopback port free at this moment.
int FreeLoopbackPort() {
    const UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = Loopback(0);
    socklen_t size = sizeof address;
    if (fd.Get() < 0 || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

bool Accepts(int port) {
    const UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in address = Loopback(port);
    return fd.Get() >= 0 &&
           ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

std::string FindInPath(const char* name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
        const std::string candidate = dir + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

// From here to exec or _exit only async-signal-safe calls: the parent has threads.
[[noreturn]] void RunRigctld(const char* path, char* const* argv) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(kKeeperErrors, STDERR_FILENO);
    ::close_range(kKeeperControl, ~0U, 0);
    ::execv(path, argv);
    static constexpr char kText[] = "cannot run rigctld\n";
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, kText, sizeof kText - 1);
    ::_exit(kExecFailed);
}

// The rig's PTT off and its keyer stopped, waiting a bounded time for rigctld to report both.
void SwitchRigOff(const sockaddr_in& address) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, kRigOff, sizeof kRigOff - 1, MSG_NOSIGNAL) > 0) {
        int reports = 0;
        char buffer[256];
        pollfd p{fd, POLLIN, 0};
        while (reports < 2 && ::poll(&p, 1, kKeeperAnswerMs) == 1) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            for (ssize_t i = 0; i + 3 < n; ++i) {
                if (buffer[i] == 'R' && buffer[i + 1] == 'P' && buffer[i + 2] == 'R' &&
                    buffer[i + 3] == 'T') {
                    ++reports;
                }
            }
        }
    }
    ::close(fd);
}

[[noreturn]] void RunKeeper(int control, int errors, const char* path, char* const* argv,
                            const sockaddr_in& address) {
    ::prctl(PR_SET_NAME, kKeeperName);
    // Its own process group: a terminal's Ctrl-C or hang-up reaches Telkey, not the keeper,
    // which must outlive Telkey long enough to switch the rig off.
    ::setpgid(0, 0);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    for (int s = 1; s < NSIG; ++s) {
        const bool ignored = s == SIGHUP || s == SIGINT || s == SIGQUIT || s == SIGTERM ||
                             s == SIGPIPE || s == SIGTSTP || s == SIGTTOU || s == SIGTTIN;
        ::sigaction(s, ignored ? &ignore : &standard, nullptr);
    }
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    const int c = ::fcntl(control, F_DUPFD, kFirstSpare);
    const int e = ::fcntl(errors, F_DUPFD, kFirstSpare);
    ::dup2(c, kKeeperControl);
    ::dup2(e, kKeeperErrors);
    ::close_range(kFirstSpare, ~0U, 0);
    ::fcntl(kKeeperControl, F_SETFD, 0);

    const pid_t rigctld = ::fork();
    if (rigctld == 0) {
        // rigctld was ignoring what the keeper ignores: it must die as a program should.
        for (int s = 1; s < NSIG; ++s) ::sigaction(s, &standard, nullptr);
        RunRigctld(path, argv);
    }
    if (rigctld < 0) ::_exit(kExecFailed);
    ::close(kKeeperErrors);
    for (;;) {
        pollfd p{kKeeperControl, POLLIN, 0};
        if (::poll(&p, 1, kKeeperLookMs) == 1) break;  // Telkey let go or is gone
        int status = 0;
        if (::waitpid(rigctld, &status, WNOHANG) == rigctld) {
            ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : kSignalled + WTERMSIG(status));
        }
    }
    SwitchRigOff(address);
    ::kill(rigctld, SIGTERM);
    ::waitpid(rigctld, nullptr, 0);
    ::_exit(0);
}

}  // namespace

RigctldChild::~RigctldChild() {
    Stop();
}

void RigctldChild::Stop() {
    if (keeper_ <= 0) return;
    control_.Reset();
    int status = 0;
    const auto end = Clock::now() + kKeeperEnd;
    while (::waitpid(keeper_, &status, WNOHANG) == 0) {
        if (Clock::now() >= end) {
            // rigctld ends with it.
            ::kill(keeper_, SIGKILL);
            ::waitpid(keeper_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    keeper_ = -1;
    errors_.Reset();
}

bool RigctldChild::Alive(std::string& error) {
    if (keeper_ <= 0) return false;
    // Keeps the last of what rigctld says; its pipe never fills.
    char buffer[1024];
    for (ssize_t n; (n = ::read(errors_.Get(), buffer, sizeof buffer)) > 0;) {
        said_.append(buffer, static_cast<std::size_t>(n));
        if (said_.size() > kSaidMax) said_.erase(0, said_.size() - kSaidMax);
    }
    int status = 0;
    const pid_t keeper = keeper_;
    const pid_t r = ::waitpid(keeper, &status, WNOHANG);
    if (r == 0) return true;
    keeper_ = -1;
    control_.Reset();
    errors_.Reset();
    // All it said, on one line.
    std::string said;
    for (const char c : said_) {
        if (c != '\n')
            said += c;
        else if (!said.empty() && said.back() != ' ')
            said += ' ';
    }
    while (!said.empty() && said.back() == ' ') said.pop_back();
    quiet_ = said.empty();
    std::string how;
    if (r == keeper && WIFEXITED(status)) {
        const int code = WEXITSTATUS(status);
        how = code > kSignalled ? " by signal " + std::to_string(code - kSignalled)
                                : " with status " + std::to_string(code);
    } else if (r == keeper && WIFSIGNALED(status)) {
        how = " by signal " + std::to_string(WTERMSIG(status));
    }
    error = "rigctld for " + target_.Describe() + " ended" + how + (quiet_ ? "" : ": " + said);
    said_.clear();
    return false;
}

bool RigctldChild::Spawn(const std::string& path, std::string& error) {
    port_ = FreeLoopbackPort();
    if (port_ == 0) {
        error = "no free loopback port for rigctld";
        return false;
    }
    std::vector<std::string> args = {"rigctld", "-m", std::to_string(target_.model)};
    if (!target_.device.empty()) args.insert(args.end(), {"-r", target_.device});
    if (target_.baud > 0) args.insert(args.end(), {"-s", std::to_string(target_.baud)});
    // Telkey asks the rig itself for PTT: that is what "PTT by rig" means.
    args.insert(args.end(), {"-P", "RIG", "-T", "127.0.0.1", "-t", std::to_string(port_)});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const sockaddr_in address = Loopback(port_);

    int control[2];
    int errors[2];
    if (::pipe2(control, O_CLOEXEC) != 0) {
        error = "cannot start rigctld: no pipe";
        return false;
    }
    UniqueFd controlRead(control[0]);
    control_.Reset(control[1]);
    if (::pipe2(errors, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = "cannot start rigctld: no pipe";
        return false;
    }
    errors_.Reset(errors[0]);
    const UniqueFd errorsWrite(errors[1]);
    const pid_t pid = ::fork();
    if (pid == 0) RunKeeper(control[0], errors[1], path.c_str(), argv.data(), address);
    if (pid < 0) {
        error = "cannot start rigctld: no process";
        control_.Reset();
        return false;
    }
    keeper_ = pid;
    return true;
}

bool RigctldChild::Ensure(std::chrono::milliseconds bound, std::string& error, bool& missing) {
    missing = false;
    std::string ended;
    if (Alive(ended) && Accepts(port_)) return true;
    const auto end = Clock::now() + bound;
    for (int attempt = 0; attempt < kPortTries; ++attempt) {
        if (keeper_ <= 0) {
            const std::string path = FindInPath("rigctld");
            if (path.empty()) {
                missing = true;
                error = kRigctldMissing;
                return false;
            }
            if (!Spawn(path, error)) return false;
        }
        while (Alive(ended)) {
            if (Accepts(port_)) return true;
            if (Clock::now() >= end) {
                error = "rigctld for " + target_.Describe() + " does not listen yet";
                return false;
            }
            std::this_thread::sleep_for(kProbeEvery);
        }
        // Ended at once without a word: most likely its port was taken meanwhile; another one.
        error = ended;
        if (!quiet_ || Clock::now() >= end) return false;
    }
    return false;
}

}  // namespace telkey::rig
