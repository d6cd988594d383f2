// The guardian program's side: it keeps the handed descriptors and releases the lines when
// Telkey goes or its keyer stops beating.
#include "backends/guardian.h"

#include <fcntl.h>
#include <linux/input.h>
#include <linux/ppdev.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <new>
#include <string>

#include "backends/devices_serial.h"
#include "backends/devices_speaker.h"
#include "backends/devices_stopper.h"
#include "backends/guardian_link.h"
#include "backends/port_bus_raw.h"

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define TELKEY_HAVE_PORT_IO 1
#endif

namespace telkey {
namespace {

constexpr std::int64_t kNsPerUs = 1'000;
// While nothing is due, how often the guardian looks whether the keyer has started again.
constexpr int kIdleLookMs = 50;  // only without a wake-up descriptor
constexpr std::uint8_t kSpeakerOffMask = 0xFC;
// The longest the guardian that stands by at Telkey's end waits for the other's release, should
// that one neither release nor end (stopped).
constexpr int kEndStandByMs = 1000;
constexpr int kEndStepMs = 1;

// "<microseconds> 0x<port> 0x<value>\n" as the sim backend's trace writes it, without stdio.
std::size_t TraceLine(char* out, std::int64_t us, unsigned port, unsigned value) noexcept {
    char digits[24];
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + us % 10);
        us /= 10;
    } while (us > 0);
    std::size_t at = 0;
    while (n > 0) out[at++] = digits[--n];
    const auto hex = [&](unsigned v, int minDigits) {
        out[at++] = ' ';
        out[at++] = '0';
        out[at++] = 'x';
        int count = 1;
        while ((v >> (4 * count)) != 0) ++count;
        if (count < minDigits) count = minDigits;
        for (int i = count - 1; i >= 0; --i) out[at++] = "0123456789abcdef"[(v >> (4 * i)) & 0xF];
    };
    hex(port, 1);
    hex(value, 2);
    out[at++] = '\n';
    return at;
}

class Keeper {
  public:
    explicit Keeper(GuardianPage& page) noexcept : page_(page) { held_.fill({0, -1}); }
    ~Keeper() {
        for (const Held& h : held_) {
            if (h.fd >= 0) ::close(h.fd);
        }
    }

    void Take(GuardedKind kind, int slot, int fd) noexcept {
        if (slot < 0 || slot >= kGuardSlots) {
            if (fd >= 0) ::close(fd);
            return;
        }
        if (kind == GuardedKind::RawPorts) {
#ifdef TELKEY_HAVE_PORT_IO
            raw_ = ::ioperm(0, RawPortBus::kIopermLimit, 1) == 0;
#endif
            return;
        }
        Forget(slot);
        held_[static_cast<std::size_t>(slot)] = {static_cast<std::uint32_t>(kind), fd};
    }

    void Forget(int slot) noexcept {
        if (slot < 0 || slot >= kGuardSlots) return;
        Held& h = held_[static_cast<std::size_t>(slot)];
        if (h.fd >= 0) ::close(h.fd);
        h = {0, -1};
    }

    void Release() noexcept {
        const std::uint32_t keyPorts = page_.keyPorts.load();
        const auto all = static_cast<std::uint8_t>(page_.allMask.load());
        for (int n = kGuardianFirstKeyPort; n <= kGuardianLastKeyPort; ++n) {
            if ((keyPorts & (1u << n)) == 0) continue;
            const std::uint16_t reg = KeyPortOutputRegister(n);
            Trace(reg, all);
#ifdef TELKEY_HAVE_PORT_IO
            if (raw_) outb(all, reg);
#endif
            const Held& h = held_[static_cast<std::size_t>(n)];
            if (h.fd < 0) continue;
            if (h.kind == static_cast<std::uint32_t>(GuardedKind::Serial)) {
                int off = ((all & kMcrDtr) ? 0 : TIOCM_DTR) | ((all & kMcrRts) ? 0 : TIOCM_RTS);
                int on = ((all & kMcrDtr) ? TIOCM_DTR : 0) | ((all & kMcrRts) ? TIOCM_RTS : 0);
                if (off != 0) ::ioctl(h.fd, TIOCMBIC, &off);
                if (on != 0) ::ioctl(h.fd, TIOCMBIS, &on);
            } else if (h.kind == static_cast<std::uint32_t>(GuardedKind::Parallel)) {
                unsigned char data = all;
                ::ioctl(h.fd, PPWDATA, &data);
            }
        }
        if (page_.speaker.load() != 0) {
            Trace(kSpeakerGatePort, 0xFF & kSpeakerOffMask);
#ifdef TELKEY_HAVE_PORT_IO
            if (raw_)
                outb(static_cast<std::uint8_t>(inb(kSpeakerGatePort) & kSpeakerOffMask),
                     kSpeakerGatePort);
#endif
        }
        // rigctld keeps the rig transmitting after its client is gone: PTT off and the rig's
        // keyer stopped, in rigctld's own words.
        const Held& rig = held_[kGuardSlotRig];
        if (rig.fd >= 0 && rig.kind == static_cast<std::uint32_t>(GuardedKind::Rigctld)) {
            static constexpr char kRigOff[] = "T 0\n\\stop_morse\n";
            [[maybe_unused]] const ssize_t n =
                ::send(rig.fd, kRigOff, sizeof kRigOff - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        // The kernel's PC speaker sounds on after its user is gone: always silenced.
        const Held& speaker = held_[kGuardSlotSpeaker];
        if (speaker.fd >= 0 && speaker.kind == static_cast<std::uint32_t>(GuardedKind::PcSpeaker)) {
            input_event event{};
            event.type = EV_SND;
            event.code = SND_TONE;
            event.value = 0;
            [[maybe_unused]] const ssize_t n = ::write(speaker.fd, &event, sizeof event);
        }
    }

  private:
    struct Held {
        std::uint32_t kind;
        int fd;
    };

    void Trace(unsigned port, unsigned value) noexcept {
        const Held& h = held_[kGuardSlotTrace];
        if (h.fd < 0) return;
        char line[64];
        const std::size_t size = TraceLine(line, MonotonicNs() / kNsPerUs, port, value);
        [[maybe_unused]] const ssize_t n = ::write(h.fd, line, size);
    }

    GuardianPage& page_;
    std::array<Held, kGuardSlots> held_{};
    bool raw_ = false;
};

// One message from Telkey; false when the link has closed.
bool Receive(int link, Keeper& keeper) noexcept {
    GuardianMessage message{};
    iovec io{&message, sizeof message};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr header{};
    header.msg_iov = &io;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(link, &header, MSG_CMSG_CLOEXEC);
    // ECONNRESET: Telkey closed its end without reading our ready byte. Told once, ahead of
    // the messages still queued: those are read next, then the end.
    if (n < 0) return errno == EINTR || errno == EAGAIN || errno == ECONNRESET;
    if (n == 0) return false;
    int fd = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
            std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
        }
    }
    if (static_cast<std::size_t>(n) != sizeof message) {
        if (fd >= 0) ::close(fd);
        return true;
    }
    if (message.kind == 0) {
        keeper.Forget(message.slot);
    } else {
        keeper.Take(static_cast<GuardedKind>(message.kind), message.slot, fd);
    }
    return true;
}

// Every message queued on the link now; false when it has closed.
bool Drain(int link, Keeper& keeper) noexcept {
    for (;;) {
        pollfd p{link, POLLIN, 0};
        const int r = ::poll(&p, 1, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return true;
        if (!Receive(link, keeper)) return false;
    }
}

// Telkey is gone: the first guardian to see it releases. The other stands by until that one
// has released, and releases itself should that one end first (killed in between).
void ReleaseAtEnd(Keeper& keeper, GuardianPage& page) noexcept {
    std::uint32_t claimer = 0;
    if (!page.endClaimed.compare_exchange_strong(claimer, static_cast<std::uint32_t>(::getpid()))) {
        const int pidfd =
            static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(claimer), 0));
        bool claimerGone = pidfd < 0;
        for (int waited = 0; !claimerGone && waited < kEndStandByMs; waited += kEndStepMs) {
            if (page.endReleased.load() != 0) break;
            pollfd p{pidfd, POLLIN, 0};
            claimerGone = ::poll(&p, 1, kEndStepMs) > 0;
        }
        if (pidfd >= 0) ::close(pidfd);
        if (page.endReleased.load() != 0) return;
    }
    keeper.Release();
    page.endReleased.store(1);
}

}  // namespace

void RunGuardian(int link, int lineWake, GuardianPage& page) noexcept {
    Keeper keeper(page);
    std::int64_t releasedBeat = -1;
    // What was queued for it comes first: a beat found stale at start is released through the
    // descriptors the old guardian held, not through none.
    bool open = Drain(link, keeper);
    while (open) {
        // Nothing on: nothing to guard but the link, slept on without a timeout.
        int timeoutMs = lineWake >= 0 ? -1 : kIdleLookMs;
        const bool on = page.lineOn.load(std::memory_order_acquire) != 0;
        const std::int64_t beat = page.beatNs.load(std::memory_order_acquire);
        if (on && beat != 0 && beat != releasedBeat) {
            const std::int64_t left = beat + kGuardianStallNs - MonotonicNs();
            if (left <= 0) {
                // Asleep after this until the keyer, back, has a line on again. Cleared before
                // the release: a beat that turns a line on after it is told by the eventfd.
                // Whichever guardian clears it releases; the other has nothing to do.
                if (page.lineOn.exchange(0) != 0) {
                    keeper.Release();
                    page.releases.fetch_add(1);
                }
                releasedBeat = beat;
                continue;
            }
            timeoutMs = static_cast<int>((left + kGuardianNsPerMs - 1) / kGuardianNsPerMs);
        }
        pollfd p[2] = {{link, POLLIN, 0}, {lineWake, POLLIN, 0}};
        const int r = ::poll(p, 2, timeoutMs);
        if (r < 0 && errno != EINTR) break;
        if (r <= 0) continue;
        if ((p[1].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(lineWake, &count, sizeof count);
        }
        if (p[0].revents != 0) open = Receive(link, keeper);
    }
    if (page.finished.load() == 0) ReleaseAtEnd(keeper, page);
}

namespace {

// Whether /proc names descriptor `fd` (3 to 9) with `prefix` first.
bool Named(int fd, const char* prefix) noexcept {
    char path[] = "/proc/self/fd/0";
    path[sizeof path - 2] = static_cast<char>('0' + fd);
    char target[64] = {};
    const ssize_t n = ::readlink(path, target, sizeof target - 1);
    return n > 0 && std::strncmp(target, prefix, std::strlen(prefix)) == 0;
}

// Each descriptor Telkey hands at start is of its kind: started any other way, the guardian
// refuses rather than wait on a file that is always readable. What is wrong, else null.
const char* WrongDescriptor() noexcept {
    struct stat st {};
    int type = 0;
    int domain = 0;
    socklen_t size = sizeof type;
    socklen_t domainSize = sizeof domain;
    if (::fstat(kGuardianLinkFd, &st) != 0 || !S_ISSOCK(st.st_mode) ||
        ::getsockopt(kGuardianLinkFd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 ||
        type != SOCK_SEQPACKET ||
        ::getsockopt(kGuardianLinkFd, SOL_SOCKET, SO_DOMAIN, &domain, &domainSize) != 0 ||
        domain != AF_UNIX) {
        return "descriptor 3 is not a link to Telkey";
    }
    static constexpr char kPageName[] = "/memfd:";
    if (::fstat(kGuardianPageFd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::size_t>(st.st_size) < sizeof(GuardianPage) ||
        !Named(kGuardianPageFd, kPageName)) {
        return "descriptor 4 is not a page shared with Telkey";
    }
    // Telkey may have had no eventfd to give; then there is none.
    if (::fcntl(kGuardianWakeFd, F_GETFD) >= 0 &&
        (::fstat(kGuardianWakeFd, &st) != 0 || (st.st_mode & S_IFMT) != 0 ||
         !Named(kGuardianWakeFd, "anon_inode:[eventfd]"))) {
        return "descriptor 5 is not an eventfd";
    }
    return nullptr;
}

void Say(const char* text) noexcept {
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, text, std::strlen(text));
}

}  // namespace

bool IsGuardianCall(int argc, char** argv) noexcept {
    return argc == 2 && std::strcmp(argv[1], kGuardianArgument) == 0;
}

// Out of the terminal's session (Ctrl-C, Ctrl-Z and a hang-up reach Telkey alone), its
// standard streams on /dev/null, then the loop.
void GuardianMain() noexcept {
    if (::setsid() < 0) ::setpgid(0, 0);
    ::prctl(PR_SET_NAME, kGuardianName, 0, 0, 0);
    for (int sig :
         {SIGINT, SIGQUIT, SIGHUP, SIGTSTP, SIGTTIN, SIGTTOU, SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM}) {
        ::signal(sig, SIG_IGN);
    }
    // Telkey starts it with every signal blocked, so that none of its handlers runs here.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    const char* wrong = WrongDescriptor();
    void* memory = MAP_FAILED;
    if (wrong == nullptr) {
        memory = ::mmap(nullptr, sizeof(GuardianPage), PROT_READ | PROT_WRITE, MAP_SHARED,
                        kGuardianPageFd, 0);
        if (memory == MAP_FAILED) wrong = "the page shared with Telkey cannot be mapped";
    }
    if (wrong != nullptr) {
        Say("telkey: ");
        Say(wrong);
        Say(": the guardian is started by Telkey itself\n");
        ::_exit(kGuardianExitNotStarted);
    }
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) ::dup2(null, fd);
        if (null > STDERR_FILENO) ::close(null);
    }
    const char ready = 1;
    [[maybe_unused]] const ssize_t sent =
        ::send(kGuardianLinkFd, &ready, sizeof ready, MSG_NOSIGNAL);
    const int lineWake = ::fcntl(kGuardianWakeFd, F_GETFD) >= 0 ? kGuardianWakeFd : -1;
    RunGuardian(kGuardianLinkFd, lineWake, *static_cast<GuardianPage*>(memory));
    ::_exit(0);
}

}  // namespace telkey
