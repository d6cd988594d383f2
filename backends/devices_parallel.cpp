#include "backends/devices_parallel.h"

#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace telkey {

ParallelDevice::ParallelDevice(DeviceLayer& layer, int lptNumber, std::string path,
                               DevicesTiming timing)
    : PortDevice(layer, "LPT" + std::to_string(lptNumber), std::move(path), timing) {}

int ParallelDevice::OpenFlags() const noexcept {
    return O_RDWR;
}

int ParallelDevice::Setup(int fd) noexcept {
    if (const int r = layer_.Ioctl(fd, PPCLAIM, nullptr); r < 0) return r;
    // Whatever the last user left on the data lines goes off.
    unsigned char zero = 0;
    if (const int r = layer_.Ioctl(fd, PPWDATA, &zero); r < 0) {
        layer_.Ioctl(fd, PPRELEASE, nullptr);
        return r;
    }
    data_.Override(0, [](std::uint8_t) { return true; });
    return 0;
}

int ParallelDevice::Probe(int fd) noexcept {
    unsigned char status = 0;
    return layer_.Ioctl(fd, PPRSTATUS, &status);
}

void ParallelDevice::Teardown(int fd) noexcept {
    layer_.Ioctl(fd, PPRELEASE, nullptr);
}

std::string ParallelDevice::Advice(int negativeErrno, bool inSetup) const {
    const std::string head = Name() + ": ";
    if (inSetup && negativeErrno == -ENOTTY) {
        return head + Path() + " is not a parallel port (ppdev) device.";
    }
    switch (-negativeErrno) {
        case ENOENT:
            return head + Path() +
                   " does not exist. Load the ppdev module (sudo modprobe "
                   "ppdev) and check the port's name (ls /dev/parport*).";
        case ENXIO:
        case ENODEV:
            return head + "there is no parallel port behind " + Path() + ".";
        case EACCES:
        case EPERM:
            return head + "no permission to open " + Path() +
                   ". Add yourself to the lp group (sudo usermod -aG lp $USER) and log in again.";
        case EBUSY:
            return head + Path() + " is in use by another program or driver. Close it.";
        default:
            return head + "cannot use " + Path() + ": " + ErrorText(negativeErrno) + ".";
    }
}

bool ParallelDevice::ApplyData(std::uint8_t data) noexcept {
    const int fd = fd_.load();
    if (fd < 0) return false;
    unsigned char value = data;
    if (const int r = layer_.Ioctl(fd, PPWDATA, &value); r < 0) {
        NoteFailure(r);
        return false;
    }
    return true;
}

std::uint8_t ParallelDevice::In(std::uint16_t offset) noexcept {
    if (offset == 0) return data_.Wanted();
    if (offset == kStatusOffset) {
        const int fd = fd_.load();
        if (fd < 0) return kStatusOpen;
        unsigned char status = 0;
        if (const int r = layer_.Ioctl(fd, PPRSTATUS, &status); r < 0) {
            NoteFailure(r);
            return kStatusOpen;
        }
        return status;
    }
    // The control register is left to the port's driver.
    return 0xFF;
}

void ParallelDevice::Out(std::uint16_t offset, std::uint8_t value) noexcept {
    if (offset != 0) return;
    data_.Write(value, [this](std::uint8_t data) { return ApplyData(data); });
}

std::uint8_t ParallelDevice::LinesOn() const noexcept {
    const int applied = data_.Applied();
    return applied == LineWriter::kUnknown ? 0 : static_cast<std::uint8_t>(applied);
}

void ParallelDevice::Release(std::uint8_t dataBits) noexcept {
    const std::uint8_t released = static_cast<std::uint8_t>(LinesOn() & ~dataBits);
    data_.Override(released, [this](std::uint8_t data) { return ApplyData(data); });
}

void ParallelDevice::ReleaseFromSignal() noexcept {
    const int fd = fd_.load();
    if (fd < 0) return;
    unsigned char zero = 0;
    layer_.Ioctl(fd, PPWDATA, &zero);
}

}  // namespace telkey
