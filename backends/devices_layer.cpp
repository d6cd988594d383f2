#include "backends/devices_layer.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace telkey {

namespace {

long Result(long r) noexcept {
    return r < 0 ? -errno : r;
}

// Interrupts a thread blocked in TIOCMIWAIT; its handler does nothing.
int BlockedWaitSignal() noexcept {
    return SIGRTMIN + 3;
}

void IgnoreWake(int) {}

}  // namespace

SystemDeviceLayer::SystemDeviceLayer() noexcept {
    // No SA_RESTART: the blocked ioctl must return EINTR.
    struct sigaction action {};
    action.sa_handler = IgnoreWake;
    sigemptyset(&action.sa_mask);
    ::sigaction(BlockedWaitSignal(), &action, nullptr);
}

int SystemDeviceLayer::Open(const char* path, int flags) noexcept {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return static_cast<int>(Result(fd));
}

int SystemDeviceLayer::Close(int fd) noexcept {
    return static_cast<int>(Result(::close(fd)));
}

int SystemDeviceLayer::Ioctl(int fd, unsigned long request, void* arg) noexcept {
    return static_cast<int>(Result(::ioctl(fd, request, arg)));
}

long SystemDeviceLayer::Read(int fd, void* buffer, std::size_t size) noexcept {
    return Result(::read(fd, buffer, size));
}

long SystemDeviceLayer::Write(int fd, const void* data, std::size_t size) noexcept {
    return Result(::write(fd, data, size));
}

int SystemDeviceLayer::WaitReadable(int fd, int timeoutMs) noexcept {
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, timeoutMs);
    if (r < 0) return errno == EINTR ? 0 : -errno;
    return r > 0 ? 1 : 0;
}

int SystemDeviceLayer::WaitModemChange(int fd, int tiocmMask) noexcept {
    return static_cast<int>(Result(::ioctl(fd, TIOCMIWAIT, static_cast<unsigned long>(tiocmMask))));
}

void SystemDeviceLayer::WakeBlockedWait(std::thread& waiter) noexcept {
    if (waiter.joinable()) ::pthread_kill(waiter.native_handle(), BlockedWaitSignal());
}

std::string ErrorText(int negativeErrno) {
    return std::strerror(-negativeErrno);
}

}  // namespace telkey
