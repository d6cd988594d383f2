#include "backends/port_bus_raw.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/line_guard.h"

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define TELKEY_HAVE_PORT_IO 1
#endif

namespace telkey {
void RawPortBus::GuardLines(LineGuard& guard) noexcept {
    guard.Hand(GuardedKind::RawPorts, 0, -1);
}

namespace {

constexpr std::uint8_t kFloatingBus = 0xFF;
constexpr int kAllPortsLevel = 3;

std::string ExecutablePath() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "<path to telkey>";
    return std::string(path, static_cast<std::size_t>(n));
}

}  // namespace

#ifdef TELKEY_HAVE_PORT_IO

std::unique_ptr<RawPortBus> RawPortBus::Open(std::string& error) {
    // iopl reaches every port (cards on PCI/PCIe sit above 0x3FF); ioperm covers the legacy range.
    if (iopl(kAllPortsLevel) == 0) return std::unique_ptr<RawPortBus>(new RawPortBus(true));
    const int ioplErrno = errno;
    if (ioperm(0, kIopermLimit, 1) == 0) return std::unique_ptr<RawPortBus>(new RawPortBus(false));
    const int err = errno != 0 ? errno : ioplErrno;
    error = std::string("raw port access refused (") + std::strerror(err) +
            "): run Telkey as root, or give it the capability with `sudo setcap cap_sys_rawio+ep " +
            ExecutablePath() + "`";
    return nullptr;
}

std::uint8_t RawPortBus::in(std::uint16_t port) {
    return Reachable(port) ? inb(port) : kFloatingBus;
}

void RawPortBus::out(std::uint16_t port, std::uint8_t value) {
    if (Reachable(port)) outb(value, port);
}

#else

std::unique_ptr<RawPortBus> RawPortBus::Open(std::string& error) {
    error =
        "raw port I/O is not available on this machine (it needs an x86 PC with legacy ports); "
        "use --ports=devices or --ports=none";
    return nullptr;
}

std::uint8_t RawPortBus::in(std::uint16_t /*port*/) {
    return kFloatingBus;
}

void RawPortBus::out(std::uint16_t /*port*/, std::uint8_t /*value*/) {}

#endif

}  // namespace telkey
