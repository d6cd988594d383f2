#include "backends/devices_port_device.h"

#include <cerrno>
#include <utility>

namespace telkey {

namespace {

// Errors that mean the device is not there any more (an unplugged USB adapter gives EIO or
// ENODEV; a closed descriptor EBADF).
bool IsGone(int negativeErrno) noexcept {
    return negativeErrno == -EIO || negativeErrno == -ENODEV || negativeErrno == -ENXIO ||
           negativeErrno == -EBADF || negativeErrno == -ESHUTDOWN;
}

}  // namespace

PortDevice::PortDevice(DeviceLayer& layer, std::string name, std::string path, DevicesTiming timing)
    : layer_(layer), name_(std::move(name)), path_(std::move(path)), timing_(timing) {}

PortDevice::~PortDevice() = default;

int PortDevice::TryOpen(std::string& message) {
    const int fd = layer_.Open(path_.c_str(), OpenFlags());
    if (fd < 0) {
        message = Advice(fd, false);
        return fd;
    }
    if (const int r = Setup(fd); r < 0) {
        layer_.Close(fd);
        message = Advice(r, true);
        return r;
    }
    return fd;
}

std::string PortDevice::Open() {
    std::string message;
    const int fd = TryOpen(message);
    if (fd < 0)
        return message + " Telkey runs on without " + name_ + " and takes it up when it appears.";
    fd_.store(fd);
    everOpen_ = true;
    return {};
}

bool PortDevice::NoteFailure(int negativeErrno) noexcept {
    if (!IsGone(negativeErrno)) return false;
    lost_.store(true);
    return true;
}

void PortDevice::Monitor(std::int64_t nowNs, DeviceNotices& notices) {
    if (closing_ >= 0) {
        // A round later: any call that still held the old descriptor number has finished.
        layer_.Close(closing_);
        closing_ = -1;
    }
    const int fd = fd_.load();
    if (fd >= 0) {
        bool gone = lost_.exchange(false);
        if (!gone && nowNs >= nextProbeNs_) {
            nextProbeNs_ = nowNs + timing_.probePeriodNs;
            gone = IsGone(Probe(fd));
        }
        if (gone) {
            TakeFromGuard();
            fd_.store(-1);
            Teardown(fd);
            closing_ = fd;
            nextTryNs_ = nowNs + timing_.reopenPeriodNs;
            notices.Post(name_ + ": " + path_ +
                         " has gone (unplugged?). Telkey carries on without it and takes it back "
                         "when it returns.");
        }
        return;
    }
    if (nowNs < nextTryNs_) return;
    nextTryNs_ = nowNs + timing_.reopenPeriodNs;
    std::string message;
    const int newFd = TryOpen(message);
    if (newFd < 0) return;
    lost_.store(false);
    fd_.store(newFd);
    HandToGuard(newFd);
    nextProbeNs_ = nowNs + timing_.probePeriodNs;
    notices.Post(name_ + ": " + path_ + (everOpen_ ? " is back." : " is now open."));
    everOpen_ = true;
}

void PortDevice::Shut() noexcept {
    if (closing_ >= 0) {
        layer_.Close(closing_);
        closing_ = -1;
    }
    TakeFromGuard();
    const int fd = fd_.exchange(-1);
    if (fd >= 0) {
        Teardown(fd);
        layer_.Close(fd);
    }
}

void PortDevice::GuardWith(LineGuard& guard, GuardedKind kind, int slot) noexcept {
    guardKind_ = kind;
    guardSlot_ = slot;
    guard_.store(&guard);
    if (const int fd = fd_.load(); fd >= 0) HandToGuard(fd);
}

void PortDevice::HandToGuard(int fd) noexcept {
    if (LineGuard* guard = guard_.load()) guard->Hand(guardKind_, guardSlot_, fd);
}

void PortDevice::TakeFromGuard() noexcept {
    if (LineGuard* guard = guard_.load()) guard->Forget(guardSlot_);
}

}  // namespace telkey
