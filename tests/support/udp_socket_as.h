#pragma once
// UDP sockets of a chosen user, for the cwdaemon sender check's tests and benchmark. A socket is
// made with the user's file-system uid (only root may choose another), which the kernel lists as
// its owner; this thread's own uid comes back at once.
#include <netinet/in.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace telkey::test {

// Bound to 127.0.0.1:port, or to [::]:port when `ipv6` (IPv6-only when `v6only`); port 0: any.
// SO_REUSEADDR when `reuse`. -1 when it cannot be made or bound.
inline int UdpSocketAs(uid_t uid, std::uint16_t port, bool reuse, bool ipv6 = false,
                       bool v6only = false) {
    ::setfsuid(uid);
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ::setfsuid(::geteuid());
    if (fd < 0) return -1;
    const int on = 1;
    if (reuse) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    int bound = -1;
    if (ipv6) {
        const int only = v6only ? 1 : 0;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
        sockaddr_in6 at{};
        at.sin6_family = AF_INET6;
        at.sin6_port = htons(port);
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
    } else {
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(port);
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
    }
    if (bound != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline std::uint16_t UdpPortOf(int fd) {
    sockaddr_in6 at{};  // the port sits at the same place in sockaddr_in
    socklen_t size = sizeof at;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size);
    return ntohs(at.sin6_port);
}

inline void SendUdp(int fd, std::uint16_t port, const void* bytes, std::size_t size) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd, bytes, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

}  // namespace telkey::test
