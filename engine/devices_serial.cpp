#include "engine/devices_serial.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>

namespace telkey {

namespace {

constexpr int kTiocmLines = TIOCM_DTR | TIOCM_RTS;
constexpr std::int64_t kStatusPollNs = 1'000'000;

int ToTiocm(std::uint8_t mcr) noexcept {
    return ((mcr & kMcrDtr) ? TIOCM_DTR : 0) | ((mcr & kMcrRts) ? TIOCM_RTS : 0);
}

std::uint8_t ToMsr(int tiocm) noexcept {
    std::uint8_t msr = 0;
    if (tiocm & TIOCM_CTS) msr |= kMsrCts;
    if (tiocm & TIOCM_DSR) msr |= kMsrDsr;
    if (tiocm & TIOCM_RI) msr |= kMsrRi;
    if (tiocm & TIOCM_CD) msr |= kMsrDcd;
    return msr;
}

// The low nibble of the status register: CTS, DSR and DCD changed, RI went off.
std::uint8_t Deltas(std::uint8_t before, std::uint8_t now) noexcept {
    const std::uint8_t changed = before ^ now;
    std::uint8_t delta = 0;
    if (changed & kMsrCts) delta |= 0x01;
    if (changed & kMsrDsr) delta |= 0x02;
    if ((before & kMsrRi) && !(now & kMsrRi)) delta |= 0x04;
    if (changed & kMsrDcd) delta |= 0x08;
    return delta;
}

}  // namespace

SerialDevice::SerialDevice(DeviceLayer& layer, int comNumber, std::string path,
                           DevicesTiming timing)
    : PortDevice(layer, "COM" + std::to_string(comNumber), std::move(path), timing) {}

SerialDevice::~SerialDevice() {
    StopStatusPoller();
}

void SerialDevice::StartStatusPoller() {
    if (!statusWanted_.load(std::memory_order_relaxed) || poller_.joinable()) return;
    polledStatus_.store(AskStatus());
    pollerStopper_.Rearm();
    poller_ = std::thread([this] {
        do {
            polledStatus_.store(AskStatus());
        } while (pollerStopper_.Sleep(kStatusPollNs));
    });
    polling_.store(true);
}

void SerialDevice::StopStatusPoller() {
    polling_.store(false);
    pollerStopper_.Stop();
    if (poller_.joinable()) poller_.join();
}

int SerialDevice::OpenFlags() const noexcept {
    // No controlling terminal, no wait for carrier; termios stays as it is, so no line rises.
    return O_RDWR | O_NOCTTY | O_NONBLOCK;
}

int SerialDevice::Setup(int fd) noexcept {
    // The tty layer raises DTR and RTS on open: drop them at once.
    int lines = kTiocmLines;
    if (const int r = layer_.Ioctl(fd, TIOCMBIC, &lines); r < 0) return r;
    // Keep other programs from opening the port and playing with the lines.
    layer_.Ioctl(fd, TIOCEXCL, nullptr);
    // However Telkey ends, the last close drops DTR and RTS (a setting that outlives the
    // program, as `stty -hupcl` would; the rest of the termios stays as it is).
    termios mode{};
    if (layer_.Ioctl(fd, TCGETS, &mode) == 0 && (mode.c_cflag & HUPCL) == 0) {
        mode.c_cflag |= HUPCL;
        layer_.Ioctl(fd, TCSETS, &mode);
    }
    modemControl_.Override(0, [](std::uint8_t) { return true; });
    lastStatus_.store(0);
    return 0;
}

int SerialDevice::Probe(int fd) noexcept {
    int status = 0;
    return layer_.Ioctl(fd, TIOCMGET, &status);
}

std::string SerialDevice::Advice(int negativeErrno, bool inSetup) const {
    const std::string head = Name() + ": ";
    if (inSetup && (negativeErrno == -ENOTTY || negativeErrno == -EINVAL)) {
        return head + Path() +
               " is not a serial port with modem lines. Give the adapter's tty "
               "(ls /dev/serial/by-id/).";
    }
    switch (-negativeErrno) {
        case ENOENT:
            return head + Path() +
                   " does not exist. Plug in the adapter, or give its name as "
                   "ls /dev/serial/by-id/ shows it.";
        case EACCES:
        case EPERM:
            return head + "no permission to open " + Path() +
                   ". Add yourself to the dialout group (sudo usermod -aG dialout $USER) and log "
                   "in again.";
        case EBUSY:
            return head + Path() +
                   " is in use by another program. Close it (ModemManager "
                   "probes new adapters: sudo systemctl stop ModemManager).";
        default:
            return head + "cannot open " + Path() + ": " + ErrorText(negativeErrno) + ".";
    }
}

bool SerialDevice::ApplyModemControl(std::uint8_t mcr) noexcept {
    const int fd = fd_.load();
    if (fd < 0) return false;
    // Lines go off before others come on, so a change never passes through "both on".
    int off = kTiocmLines & ~ToTiocm(mcr);
    int on = ToTiocm(mcr);
    if (off != 0) {
        if (const int r = layer_.Ioctl(fd, TIOCMBIC, &off); r < 0) {
            NoteFailure(r);
            return false;
        }
    }
    if (on != 0) {
        if (const int r = layer_.Ioctl(fd, TIOCMBIS, &on); r < 0) {
            NoteFailure(r);
            return false;
        }
    }
    return true;
}

std::uint8_t SerialDevice::AskStatus() noexcept {
    const int fd = fd_.load();
    if (fd < 0) return 0;  // an absent device shows no line
    int status = 0;
    if (const int r = layer_.Ioctl(fd, TIOCMGET, &status); r < 0) {
        NoteFailure(r);
        return 0;
    }
    return ToMsr(status);
}

std::uint8_t SerialDevice::ReadModemStatus() noexcept {
    statusWanted_.store(true, std::memory_order_relaxed);
    const std::uint8_t now = polling_.load() ? polledStatus_.load() : AskStatus();
    const std::uint8_t before = lastStatus_.exchange(now);
    return static_cast<std::uint8_t>(now | Deltas(before, now));
}

std::uint8_t SerialDevice::In(std::uint16_t offset) noexcept {
    switch (offset) {
        case kModemControlOffset:
            return modemControl_.Wanted();
        case kLineStatusOffset:
            return kLsrIdle;
        case kModemStatusOffset:
            return ReadModemStatus();
        case kScratchOffset:
            return scratch_.load();
        default:
            // The receive buffer and the rest: nothing is read from the device.
            return 0x00;
    }
}

void SerialDevice::Out(std::uint16_t offset, std::uint8_t value) noexcept {
    if (offset == kModemControlOffset) {
        modemControl_.Write(value, [this](std::uint8_t mcr) { return ApplyModemControl(mcr); });
    } else if (offset == kScratchOffset) {
        scratch_.store(value);
    }
}

std::uint8_t SerialDevice::LinesOn() const noexcept {
    const int applied = modemControl_.Applied();
    return applied == LineWriter::kUnknown ? 0 : static_cast<std::uint8_t>(applied & kMcrLines);
}

void SerialDevice::Release(std::uint8_t mcrBits) noexcept {
    const int applied = modemControl_.Applied();
    const std::uint8_t shown =
        applied == LineWriter::kUnknown ? 0 : static_cast<std::uint8_t>(applied);
    const std::uint8_t released = static_cast<std::uint8_t>(shown & ~mcrBits);
    modemControl_.Override(released, [this](std::uint8_t mcr) { return ApplyModemControl(mcr); });
}

void SerialDevice::ReleaseFromSignal() noexcept {
    const int fd = fd_.load();
    if (fd < 0) return;
    int lines = kTiocmLines;
    layer_.Ioctl(fd, TIOCMBIC, &lines);
}

}  // namespace telkey
