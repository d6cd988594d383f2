#include "backends/guardian.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <utility>

#include "backends/devices_stopper.h"
#include "backends/guardian_link.h"

namespace telkey {
namespace {

// Descriptors are moved up to here before the fork, so that placing them on 3 and 4 in the
// child cannot overwrite one with the other.
constexpr int kFirstHighFd = 10;
constexpr int kCloseLimit = 65536;
constexpr int kExitCannotRun = 127;
// A guardian that cannot be started is tried again this often.
constexpr std::int64_t kRetryNs = 5'000'000'000;
constexpr int kFailedStartsBeforeWaiting = 2;
// How long the end waits for the guardian to finish its release.
constexpr int kEndWaitMs = 2000;
constexpr int kEndWaitStepMs = 5;

void CloseFrom(int first) noexcept {
    if (::close_range(static_cast<unsigned>(first), ~0U, 0) == 0) return;
    for (int fd = first; fd < kCloseLimit; ++fd) ::close(fd);
}

// Waits for `pid` to end, at most `boundMs` (then it is killed); its wait status.
int Reap(pid_t pid, int boundMs) noexcept {
    int status = 0;
    for (int waited = 0; waited < boundMs; waited += kEndWaitStepMs) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) return status;
        ::usleep(kEndWaitStepMs * 1000);
    }
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

std::string Describe(int status, const std::string& program) {
    if (WIFSIGNALED(status)) {
        const char* name = ::sigabbrev_np(WTERMSIG(status));
        return "killed by signal " + std::to_string(WTERMSIG(status)) +
               (name != nullptr ? std::string(" (SIG") + name + ")" : "");
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == kExitCannotRun) {
        return "cannot run " + program;
    }
    return "exit status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : status);
}

std::string PidText(pid_t pid) {
    return std::string(kGuardianName) + ", pid " + std::to_string(pid);
}

}  // namespace

Guardian::Guardian(std::string program, int pageFd, GuardianPage* page, int wakeFd) noexcept
    : program_(std::move(program)), pageFd_(pageFd), page_(page), wakeFd_(wakeFd) {
    slots_.fill({GuardedKind::Trace, -1});
}

std::unique_ptr<Guardian> Guardian::Start(const std::string& program, std::string& error) {
    const auto failed = [&error](const char* what) {
        error = std::string("cannot share a page with the guardian (") + what +
                "): " + std::strerror(errno);
        return nullptr;
    };
    const int memfd = ::memfd_create(kGuardianName, MFD_CLOEXEC);
    if (memfd < 0) return failed("memfd_create");
    const int pageFd = ::fcntl(memfd, F_DUPFD_CLOEXEC, kFirstHighFd);
    ::close(memfd);
    if (pageFd < 0) return failed("fcntl");
    void* memory = MAP_FAILED;
    if (::ftruncate(pageFd, sizeof(GuardianPage)) != 0 ||
        (memory = ::mmap(nullptr, sizeof(GuardianPage), PROT_READ | PROT_WRITE, MAP_SHARED, pageFd,
                         0)) == MAP_FAILED) {
        const int saved = errno;
        ::close(pageFd);
        errno = saved;
        return failed("mmap");
    }
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::unique_ptr<Guardian> guardian(
        new Guardian(program, pageFd, new (memory) GuardianPage(), wake));
    {
        std::lock_guard lock(guardian->mutex_);
        for (Watched& w : guardian->guardians_) {
            // Without it the guardian looks at the page every so often instead.
            const int lineWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            if (lineWake >= 0) {
                w.lineWake = ::fcntl(lineWake, F_DUPFD_CLOEXEC, kFirstHighFd);
                ::close(lineWake);
            }
            std::string spawnError;
            if (!guardian->Spawn(w, spawnError)) guardian->TellDown(w, spawnError);
        }
    }
    try {
        guardian->watcher_ = std::thread([g = guardian.get()] { g->WatchLoop(); });
    } catch (const std::exception& e) {
        guardian->notices_.Post(std::string("Telkey cannot watch its guardian (") + e.what() +
                                "): a guardian that ends is not replaced.");
    }
    return guardian;
}

Guardian::~Guardian() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
    if (watcher_.joinable()) watcher_.join();
    for (Watched& w : guardians_) {
        if (w.link >= 0) ::close(w.link);
    }
    for (Watched& w : guardians_) {
        if (w.pid > 0) Reap(w.pid, kEndWaitMs);
        if (w.lineWake >= 0) ::close(w.lineWake);
    }
    for (const Slot& s : slots_) {
        if (s.fd >= 0) ::close(s.fd);
    }
    page_->~GuardianPage();
    ::munmap(page_, sizeof(GuardianPage));
    ::close(pageFd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

bool Guardian::Spawn(Watched& w, std::string& error) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) {
        error = std::string("cannot link to it: ") + std::strerror(errno);
        return false;
    }
    const int theirs = ::fcntl(fds[1], F_DUPFD_CLOEXEC, kFirstHighFd);
    ::close(fds[1]);
    if (theirs < 0) {
        error = std::string("cannot link to it: ") + std::strerror(errno);
        ::close(fds[0]);
        return false;
    }
    // Everything the child needs is ready before the fork: it only calls async-signal-safe
    // functions until the exec. No handler of Telkey's may run in it either.
    char name[sizeof kGuardianName];
    char argument[sizeof kGuardianArgument];
    std::memcpy(name, kGuardianName, sizeof name);
    std::memcpy(argument, kGuardianArgument, sizeof argument);
    char* const argv[] = {name, argument, nullptr};
    const char* program = program_.c_str();
    const int lineWake = w.lineWake;
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    const pid_t pid = ::fork();
    if (pid == 0) {
        // A session of its own: the terminal's hang-up and signals to Telkey's process group
        // do not reach it.
        ::setsid();
        if (::dup2(theirs, kGuardianLinkFd) < 0 || ::dup2(pageFd_, kGuardianPageFd) < 0)
            ::_exit(kExitCannotRun);
        if (lineWake < 0 || ::dup2(lineWake, kGuardianWakeFd) < 0) {
            CloseFrom(kGuardianPageFd + 1);
        } else {
            CloseFrom(kGuardianWakeFd + 1);
        }
        ::execv(program, argv);
        ::_exit(kExitCannotRun);
    }
    const int forkErrno = errno;
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ::close(theirs);
    if (pid < 0) {
        ::close(fds[0]);
        error = std::string("cannot start a process: ") + std::strerror(forkErrno);
        return false;
    }
    w.link = fds[0];
    w.pid = pid;
    w.ready = false;
    // Queued on the link before the guardian runs: it finds them when it starts.
    if (rawPorts_) Send(w, GuardedKind::RawPorts, 0, -1);
    for (int slot = 0; slot < kGuardSlots; ++slot) {
        const Slot& s = slots_[static_cast<std::size_t>(slot)];
        if (s.fd >= 0) Send(w, s.kind, slot, s.fd);
    }
    return true;
}

void Guardian::TellDown(Watched& w, const std::string& reason) {
    w.nextTryNs = MonotonicNs() + kRetryNs;
    // Another one still guards the lines: nothing for the operator yet.
    for (const Watched& other : guardians_) {
        if (&other != &w && other.link >= 0) return;
    }
    if (!problem_.empty()) return;
    problem_ = (w.ended.empty() ? std::string() : w.ended + ". ") +
               "Telkey cannot start its guardian (" + reason +
               "): should Telkey end abnormally now, the key and TX lines may stay keyed. "
               "Telkey keys on and tries again every " +
               std::to_string(kRetryNs / 1'000'000'000) + " s.";
    notices_.Post(problem_);
    w.ended.clear();
}

void Guardian::Ended(Watched& w) {
    ::close(w.link);
    w.link = -1;
    const int status = Reap(w.pid, 0);  // a guardian that closed its link is of no use
    const std::string why = Describe(status, program_);
    w.ended = "The guardian (" + PidText(w.pid) + ") has ended (" + why + ")";
    if (w.ready) w.failedStarts = 0;
    // Replaced at once; only when starts keep failing, after a while.
    w.nextTryNs = 0;
    if (!w.ready && ++w.failedStarts >= kFailedStartsBeforeWaiting) TellDown(w, why);
    w.pid = -1;
    w.ready = false;
}

void Guardian::Ready(Watched& w) {
    w.ready = true;
    if (!w.ended.empty()) {
        notices_.Post(w.ended + "; a new one (" + PidText(w.pid) + ") has taken over the lines.");
    } else if (!problem_.empty()) {
        notices_.Post("The guardian runs again (" + PidText(w.pid) +
                      "): the lines are released whatever becomes of Telkey.");
    }
    w.ended.clear();
    problem_.clear();
    w.failedStarts = 0;
}

void Guardian::WatchLoop() {
    for (;;) {
        std::array<pollfd, 1 + kGuardians> p{};
        int timeoutMs = -1;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            bool spawned = false;
            for (Watched& w : guardians_) {
                if (w.link >= 0) continue;
                const std::int64_t left = w.nextTryNs - MonotonicNs();
                if (left <= 0) {
                    std::string error;
                    if (!Spawn(w, error)) TellDown(w, error);
                    spawned = true;
                    continue;
                }
                const int ms = static_cast<int>((left + kGuardianNsPerMs - 1) / kGuardianNsPerMs);
                if (timeoutMs < 0 || ms < timeoutMs) timeoutMs = ms;
            }
            if (spawned) continue;
            p[0] = {wakeFd_, POLLIN, 0};
            for (std::size_t i = 0; i < guardians_.size(); ++i) {
                p[i + 1] = {guardians_[i].link, POLLIN, 0};
            }
        }
        if (::poll(p.data(), p.size(), timeoutMs) <= 0) continue;
        if ((p[0].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &count, sizeof count);
        }
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        for (std::size_t i = 0; i < guardians_.size(); ++i) {
            Watched& w = guardians_[i];
            const short revents = p[i + 1].revents;
            if (w.link < 0 || w.link != p[i + 1].fd || revents == 0) continue;
            bool hungUp = (revents & (POLLHUP | POLLERR)) != 0;
            if ((revents & POLLIN) != 0) {
                char byte = 0;
                const ssize_t n = ::recv(w.link, &byte, sizeof byte, MSG_DONTWAIT);
                if (n == 0) hungUp = true;
                if (n > 0 && !w.ready) Ready(w);
            }
            if (hungUp) Ended(w);
        }
    }
}

pid_t Guardian::Pid() const {
    return Pids()[0];
}

std::array<pid_t, kGuardians> Guardian::Pids() const {
    std::lock_guard lock(mutex_);
    std::array<pid_t, kGuardians> pids{};
    for (std::size_t i = 0; i < pids.size(); ++i) pids[i] = guardians_[i].pid;
    return pids;
}

std::string Guardian::Problem() const {
    std::lock_guard lock(mutex_);
    return problem_;
}

bool Guardian::Guarding() const {
    std::lock_guard lock(mutex_);
    for (const Watched& w : guardians_) {
        if (w.link < 0 || !w.ready) return false;
    }
    return true;
}

void Guardian::Watch(const PortSettings& settings, const Ports& ports) noexcept {
    settings_.store(&settings);
    ports_.store(&ports);
}

void Guardian::SendAll(GuardedKind kind, int slot, int fd) noexcept {
    for (Watched& w : guardians_) Send(w, kind, slot, fd);
}

void Guardian::Send(Watched& w, GuardedKind kind, int slot, int fd) noexcept {
    if (w.link < 0) return;  // handed to the next guardian when it starts
    if (!SendToGuardian(w.link, kind, slot, fd)) {
        // The guardian is gone (EPIPE): the watcher replaces it and hands this again.
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
    }
}

bool SendToGuardian(int link, GuardedKind kind, int slot, int fd) noexcept {
    GuardianMessage message{static_cast<std::uint32_t>(kind), slot};
    iovec io{&message, sizeof message};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr header{};
    header.msg_iov = &io;
    header.msg_iovlen = 1;
    if (fd >= 0) {
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&header);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    }
    ssize_t sent = 0;
    while ((sent = ::sendmsg(link, &header, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    return sent >= 0;
}

void Guardian::Hand(GuardedKind kind, int slot, int fd) noexcept {
    std::lock_guard lock(mutex_);
    if (kind == GuardedKind::RawPorts) {
        rawPorts_ = true;
        SendAll(kind, slot, -1);
        return;
    }
    if (slot < 0 || slot >= kGuardSlots || fd < 0) return;
    Slot& s = slots_[static_cast<std::size_t>(slot)];
    if (s.fd >= 0) ::close(s.fd);
    s = {kind, ::fcntl(fd, F_DUPFD_CLOEXEC, kFirstHighFd)};
    SendAll(kind, slot, fd);
}

void Guardian::Forget(int slot) noexcept {
    std::lock_guard lock(mutex_);
    if (slot < 0 || slot >= kGuardSlots) return;
    Slot& s = slots_[static_cast<std::size_t>(slot)];
    if (s.fd >= 0) ::close(s.fd);
    s.fd = -1;
    SendAll(static_cast<GuardedKind>(0), slot, -1);
}

bool Guardian::Beat(std::int64_t nowNs) noexcept {
    const Ports* ports = ports_.load(std::memory_order_relaxed);
    if (const PortSettings* settings = settings_.load(std::memory_order_relaxed)) {
        const std::int32_t number = settings->KeyPortNumber.load(std::memory_order_relaxed);
        if (number >= kGuardianFirstKeyPort && number <= kGuardianLastKeyPort) {
            const std::uint32_t bit = 1u << number;
            if ((page_->keyPorts.load(std::memory_order_relaxed) & bit) == 0) {
                page_->keyPorts.fetch_or(bit, std::memory_order_relaxed);
            }
        }
        page_->allMask.store(ReleasedValue(*settings), std::memory_order_relaxed);
    }
    const bool sounding = ports != nullptr && ports->SpeakerSounding();
    page_->speaker.store(sounding ? 1 : 0, std::memory_order_relaxed);
    page_->beatNs.store(nowNs, std::memory_order_release);
    // Ports not known yet: watched as if a line were on.
    const bool on = ports == nullptr || ports->LineOn() || sounding;
    if (on) {
        // The guardian clears the word when it has released a silent keyer: the next beat with
        // a line on wakes it again.
        if (page_->lineOn.load(std::memory_order_relaxed) == 0 && page_->lineOn.exchange(1) == 0) {
            WakeGuardian();
        }
    } else if (page_->lineOn.load(std::memory_order_relaxed) != 0) {
        page_->lineOn.store(0, std::memory_order_relaxed);
    }
    return on;
}

void Guardian::WakeGuardian() noexcept {
    // Each guardian has its own: one that reads its count leaves the other's alone.
    const std::uint64_t one = 1;
    for (const Watched& w : guardians_) {
        if (w.lineWake < 0) continue;
        [[maybe_unused]] const ssize_t n = ::write(w.lineWake, &one, sizeof one);
    }
}

void Guardian::Rest() noexcept {
    // A timer killed with a line on is still watched: should no new timer come (a hang between
    // two timers), that line is released as for a stalled keyer.
    const Ports* ports = ports_.load(std::memory_order_relaxed);
    if (ports != nullptr && (ports->LineOn() || ports->SpeakerSounding())) return;
    page_->beatNs.store(0, std::memory_order_release);
    page_->lineOn.store(0, std::memory_order_relaxed);
}

void Guardian::Finished() noexcept {
    page_->finished.store(1);
}

}  // namespace telkey
