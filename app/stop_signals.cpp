#include "app/stop_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

namespace telkey {
namespace {

constexpr std::array<int, 2> kStopSignals = {SIGINT, SIGTERM};

// The write end of the pipe, for the signal handler; a handler can reach nothing else.
std::atomic<int> gWakeFd{-1};

extern "C" void OnStopSignal(int sig) {
    const int savedErrno = errno;
    const int fd = gWakeFd.load();
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(sig);
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

}  // namespace

StopSignals::StopSignals(std::function<void()> stop, QObject* parent)
    : QObject(parent), stop_(std::move(stop)) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        error_ = std::string("cannot create the signal pipe: ") + std::strerror(errno);
        return;
    }
    readFd_ = fds[0];
    writeFd_ = fds[1];
    gWakeFd.store(writeFd_);
    notifier_ = new QSocketNotifier(readFd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { Drain(); });

    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // The handler stays for one signal only: a second one ends a shutdown that hangs.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (int sig : kStopSignals) {
        if (::sigaction(sig, &action, nullptr) != 0) {
            error_ = std::string("cannot handle signal ") + std::to_string(sig) + ": " +
                     std::strerror(errno);
        }
    }
}

StopSignals::~StopSignals() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int sig : kStopSignals) ::sigaction(sig, &action, nullptr);
    gWakeFd.store(-1);
    delete notifier_;
    if (readFd_ >= 0) ::close(readFd_);
    if (writeFd_ >= 0) ::close(writeFd_);
}

void StopSignals::Drain() {
    unsigned char bytes[16];
    bool signalled = false;
    while (::read(readFd_, bytes, sizeof bytes) > 0) signalled = true;
    if (signalled && stop_) stop_();
}

}  // namespace telkey
