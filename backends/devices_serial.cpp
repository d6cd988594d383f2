#include "backends/devices_serial.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <chrono>

namespace telkey {

namespace {

constexpr int kTiocmLines = TIOCM_DTR | TIOCM_RTS;
constexpr int kTiocmInputs = TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CD;
constexpr std::int64_t kStatusPollNs = 1'000'000;
// A missing adapter is looked at this often by the status thread (the monitor reopens it).
constexpr std::int64_t kAbsentPollNs = 50'000'000;

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
                           DevicesTiming timing, bool shared)
    : PortDevice(layer, "COM" + std::to_string(comNumber), std::move(path), timing),
      shared_(shared) {}

SerialDevice::~SerialDevice() {
    StopStatusPoller();
}

void SerialDevice::StartStatusPoller() {
    if (!statusWanted_.load(std::memory_order_relaxed) || poller_.joinable()) return;
    polledStatus_.store(AskStatus());
    pollerStopper_.Rearm();
    pollerDone_.store(false);
    poller_ = std::thread([this] {
        FollowStatus();
        pollerDone_.store(true);
    });
    polling_.store(true);
}

void SerialDevice::StoreStatus() noexcept {
    std::lock_guard lock(statusMutex_);
    const std::uint8_t status = AskStatus();
    if (polledStatus_.exchange(status) != status && statusChanged_) statusChanged_();
}

void SerialDevice::FollowStatus() {
    int waitedFd = -1;
    bool canWait = true;
    while (pollerStopper_.Running()) {
        StoreStatus();
        const int fd = fd_.load();
        if (fd != waitedFd) {
            // A reopened adapter gets its chance to wait again.
            waitedFd = fd;
            canWait = true;
        }
        if (fd >= 0 && canWait) {
            waiting_.store(true);
            const int r = layer_.WaitModemChange(fd, kTiocmInputs);
            waiting_.store(false);
            if (r == 0 || r == -EINTR) continue;
            if (NoteFailure(r)) {
                if (statusChanged_) statusChanged_();  // the monitor looks after it
                if (!pollerStopper_.Sleep(kAbsentPollNs)) break;
                continue;
            }
            canWait = false;  // this driver cannot tell changes: poll it
        }
        if (!pollerStopper_.Sleep(fd >= 0 ? kStatusPollNs : kAbsentPollNs)) break;
    }
}

void SerialDevice::StopStatusPoller() {
    polling_.store(false);
    pollerStopper_.Stop();
    // A wake that comes before the thread blocks is lost: repeat until it has ended.
    while (poller_.joinable() && !pollerDone_.load()) {
        layer_.WakeBlockedWait(poller_);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (poller_.joinable()) poller_.join();
}

void SerialDevice::RefreshStatus() noexcept {
    if (waiting_.load()) StoreStatus();
}

int SerialDevice::OpenFlags() const noexcept {
    // No controlling terminal, no wait for carrier; termios stays as it is, so no line rises.
    return O_RDWR | O_NOCTTY | O_NONBLOCK;
}

int SerialDevice::Setup(int fd) noexcept {
    if (shared_) {
        // The other program has the port open and holds its lines: touch nothing now, and
        // later only the lines Telkey changes.
        if (const int r = Probe(fd); r < 0) return r;
    } else {
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
    if (const int shown = modemControl_.Applied(); shared_ && shown != LineWriter::kUnknown) {
        // Only the lines Telkey itself changes; the other program keeps its own.
        const int before = ToTiocm(static_cast<std::uint8_t>(shown));
        off &= before;
        on &= ~before;
    }
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
