#pragma once
// The device layer: the few system calls the devices backend makes, behind an interface so that
// tests can put fake devices where the real ones would be. Every call returns -errno on failure.
// Ioctl and Write must be async-signal-safe in every implementation: the crash handler releases
// the key and TX lines through them.
#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <thread>

namespace telkey {

class DeviceLayer {
  public:
    virtual ~DeviceLayer() = default;
    // A file descriptor, or -errno.
    virtual int Open(const char* path, int flags) noexcept = 0;
    virtual int Close(int fd) noexcept = 0;
    // The ioctl's result (0 or more), or -errno.
    virtual int Ioctl(int fd, unsigned long request, void* arg) noexcept = 0;
    // Bytes read or written, or -errno.
    virtual long Read(int fd, void* buffer, std::size_t size) noexcept = 0;
    virtual long Write(int fd, const void* data, std::size_t size) noexcept = 0;
    // 1 when fd is readable (or has hung up), 0 after timeoutMs (kNoTimeout: none) or when cut
    // short by WakeBlockedWait, or -errno.
    static constexpr int kNoTimeout = -1;
    virtual int WaitReadable(int fd, int timeoutMs) noexcept = 0;
    // Blocks until a modem input line in tiocmMask changes (TIOCMIWAIT): 0, -EINTR when
    // cut short by WakeBlockedWait, another -errno when the driver cannot wait or the device
    // has gone.
    virtual int WaitModemChange(int /*fd*/, int /*tiocmMask*/) noexcept { return -ENOTTY; }
    // Cuts short a WaitModemChange or WaitReadable that `waiter` runs now (or is about to: call
    // again until the waiter has seen it).
    virtual void WakeBlockedWait(std::thread& /*waiter*/) noexcept {}
    // Who owns a device node and its mode (stat(2), through links): 0 or -errno.
    virtual int Stat(const char* path, struct stat* st) noexcept {
        return ::stat(path, st) == 0 ? 0 : -errno;
    }
};

// The real thing: open(2), ioctl(2), read(2), write(2), poll(2).
class SystemDeviceLayer final : public DeviceLayer {
  public:
    SystemDeviceLayer() noexcept;
    int Open(const char* path, int flags) noexcept override;
    int Close(int fd) noexcept override;
    int Ioctl(int fd, unsigned long request, void* arg) noexcept override;
    long Read(int fd, void* buffer, std::size_t size) noexcept override;
    long Write(int fd, const void* data, std::size_t size) noexcept override;
    int WaitReadable(int fd, int timeoutMs) noexcept override;
    int WaitModemChange(int fd, int tiocmMask) noexcept override;
    void WakeBlockedWait(std::thread& waiter) noexcept override;
};

// "Permission denied" and friends, for messages (not async-signal-safe).
std::string ErrorText(int negativeErrno);

}  // namespace telkey
