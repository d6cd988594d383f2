// Preloaded into the real telkey by tests (LD_PRELOAD): ioctl on a descriptor of a fake port
// file (tests/preload/fake_ports.h) is answered here; every other ioctl goes to the system.
// Only system calls are used, so a signal handler may call it as it calls the real one.
#include <dlfcn.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "tests/preload/fake_ports.h"

namespace {

using telkey::test::FakePortFile;
using RealIoctl = int (*)(int, unsigned long, void*);

constexpr int kModemOutputs = TIOCM_DTR | TIOCM_RTS;
constexpr unsigned char kStatusOpen = 0x7F;
// The part of a termios the kernel reads and writes (struct termios of the kernel).
constexpr std::size_t kKernelTermiosSize = 36;

std::int64_t NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void SetLines(FakePortFile& port, int lines) {
    port.lines.store(lines);
    const int n = port.changes.fetch_add(1);
    FakePortFile::Change& change = port.history[n % FakePortFile::kHistory];
    change.ns.store(NowNs());
    change.lines.store(lines);
}

int Fail(int error) {
    errno = error;
    return -1;
}

int Tty(FakePortFile& port, unsigned long request, void* arg) {
    switch (request) {
        case TIOCMGET:
            *static_cast<int*>(arg) = port.lines.load();
            return 0;
        case TIOCMSET:
            SetLines(port, *static_cast<int*>(arg) & kModemOutputs);
            return 0;
        case TIOCMBIS:
            SetLines(port, port.lines.load() | (*static_cast<int*>(arg) & kModemOutputs));
            return 0;
        case TIOCMBIC:
            SetLines(port, port.lines.load() & ~(*static_cast<int*>(arg) & kModemOutputs));
            return 0;
        case TIOCEXCL:
        case TIOCNXCL:
            return 0;
        case TCGETS: {
            std::memset(arg, 0, kKernelTermiosSize);
            static_cast<termios*>(arg)->c_cflag = static_cast<tcflag_t>(port.cflag.load());
            return 0;
        }
        case TCSETS:
        case TCSETSW:
        case TCSETSF:
            port.cflag.store(static_cast<int>(static_cast<termios*>(arg)->c_cflag));
            return 0;
        default:
            return Fail(ENOTTY);
    }
}

int Lpt(FakePortFile& port, unsigned long request, void* arg) {
    switch (request) {
        case PPCLAIM:
        case PPRELEASE:
            return 0;
        case PPWDATA:
            SetLines(port, *static_cast<unsigned char*>(arg));
            return 0;
        case PPRSTATUS:
            *static_cast<unsigned char*>(arg) = kStatusOpen;
            return 0;
        default:
            return Fail(ENOTTY);
    }
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<std::size_t>(st.st_size) >= sizeof(FakePortFile)) {
        void* map =
            ::mmap(nullptr, sizeof(FakePortFile), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map != MAP_FAILED) {
            auto& port = *static_cast<FakePortFile*>(map);
            int result = -2;
            if (std::memcmp(port.magic, telkey::test::kFakeTtyMagic, sizeof port.magic) == 0) {
                result = Tty(port, request, arg);
            } else if (std::memcmp(port.magic, telkey::test::kFakeLptMagic, sizeof port.magic) ==
                       0) {
                result = Lpt(port, request, arg);
            }
            const int saved = errno;
            ::munmap(map, sizeof(FakePortFile));
            errno = saved;
            if (result != -2) return result;
        }
    }
    static const auto real = reinterpret_cast<RealIoctl>(::dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, arg);
}
