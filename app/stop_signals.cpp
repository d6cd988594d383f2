#include "app/stop_signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

#include "engine/ports.h"

namespace telkey {

// What a handler can reach: the write end of the wake pipe and the ports to hold.
struct SignalTarget {
    int wakeFd = -1;
    std::atomic<Ports*> ports{nullptr};
};

namespace {

// Default action: end the program (crash signals and SIGKILL aside; the crash handler and the
// guardian take those).
constexpr std::array kEndSignals = {SIGHUP,  SIGINT,    SIGQUIT,   SIGTERM, SIGUSR1,
                                    SIGUSR2, SIGALRM,   SIGVTALRM, SIGPROF, SIGIO,
                                    SIGPWR,  SIGSTKFLT, SIGXCPU,   SIGXFSZ};
// Default action: stop the program.
constexpr std::array kStopSignals = {SIGTSTP, SIGTTIN, SIGTTOU};

// The handlers' one way to the program.
std::atomic<SignalTarget*> gTarget{nullptr};

void Wake(const SignalTarget& target, int sig) noexcept {
    const unsigned char byte = static_cast<unsigned char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(target.wakeFd, &byte, 1);
}

void HoldPorts(const SignalTarget& target) noexcept {
    if (Ports* ports = target.ports.load()) ports->Hold();
}

// Async-signal-safe: the signal's action, without looking at the old one.
void SetAction(int sig, void (*handler)(int), int flags) noexcept {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    ::sigaction(sig, &action, nullptr);
}

sigset_t SetOf(int sig) noexcept {
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    return only;
}

bool Install(int sig, void (*handler)(int), int flags) noexcept {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) != 0) return false;
    if (old.sa_handler == SIG_IGN) return true;  // nohup and the like: leave it ignored
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    return ::sigaction(sig, &action, nullptr) == 0;
}

void Restore(int sig) noexcept {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) return;
    SetAction(sig, SIG_DFL, 0);
}

extern "C" void OnEndSignal(int sig) {
    const int savedErrno = errno;
    if (const SignalTarget* target = gTarget.load()) {
        HoldPorts(*target);
        Wake(*target, sig);
    }
    errno = savedErrno;
}

// Stops the program as the default action would, with the lines released first.
extern "C" void OnStopSignal(int sig) {
    const int savedErrno = errno;
    if (const SignalTarget* target = gTarget.load()) HoldPorts(*target);
    SetAction(sig, SIG_DFL, 0);
    const sigset_t only = SetOf(sig);
    ::raise(sig);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);  // stops here until SIGCONT
    ::pthread_sigmask(SIG_BLOCK, &only, nullptr);
    SetAction(sig, OnStopSignal, SA_RESTART);
    // Continued, or never stopped (the kernel drops the signal in an orphaned process group).
    if (const SignalTarget* target = gTarget.load()) Wake(*target, SIGCONT);
    errno = savedErrno;
}

extern "C" void OnContinueSignal(int sig) {
    const int savedErrno = errno;
    if (const SignalTarget* target = gTarget.load()) Wake(*target, sig);
    errno = savedErrno;
}

}  // namespace

StopSignals::StopSignals(std::function<void()> stop, QObject* parent)
    : QObject(parent), stop_(std::move(stop)), target_(new SignalTarget) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        error_ = std::string("cannot create the signal pipe: ") + std::strerror(errno);
        return;
    }
    readFd_ = fds[0];
    writeFd_ = fds[1];
    target_->wakeFd = writeFd_;
    gTarget.store(target_);
    notifier_ = new QSocketNotifier(readFd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { Drain(); });

    const auto failed = [this](int sig) {
        error_ = std::string("cannot handle signal ") + std::to_string(sig) + ": " +
                 std::strerror(errno);
    };
    // The handler stays for one signal only: a second one ends a shutdown that hangs.
    for (int sig : kEndSignals) {
        if (!Install(sig, OnEndSignal, SA_RESTART | SA_RESETHAND)) failed(sig);
    }
    for (int sig : kStopSignals) {
        if (!Install(sig, OnStopSignal, SA_RESTART)) failed(sig);
    }
    if (!Install(SIGCONT, OnContinueSignal, SA_RESTART)) failed(SIGCONT);
}

StopSignals::~StopSignals() {
    for (int sig : kEndSignals) Restore(sig);
    for (int sig : kStopSignals) Restore(sig);
    Restore(SIGCONT);
    gTarget.store(nullptr);
    delete notifier_;
    if (readFd_ >= 0) ::close(readFd_);
    if (writeFd_ >= 0) ::close(writeFd_);
    delete target_;
}

void StopSignals::HoldOnSignal(Ports* ports) noexcept {
    target_->ports.store(ports);
}

void StopSignals::Drain() {
    unsigned char bytes[16];
    bool stop = false;
    bool resumed = false;
    for (ssize_t n; (n = ::read(readFd_, bytes, sizeof bytes)) > 0;) {
        for (ssize_t i = 0; i < n; ++i) {
            if (bytes[i] == SIGCONT) {
                resumed = true;
            } else {
                if (received_ == 0) received_ = bytes[i];
                stop = true;
            }
        }
    }
    if (resumed && received_ == 0 && resume_) resume_();
    if (stop && stop_) stop_();
}

void IgnoreBrokenPipes() noexcept {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGPIPE, &action, nullptr);
}

void EndBySignal(int sig) noexcept {
    SetAction(sig, SIG_DFL, 0);
    const sigset_t only = SetOf(sig);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(sig);
    // Not ended (the default action ignores it in this state): the shell's convention.
    ::_exit(128 + sig);
}

}  // namespace telkey
