#include "rig/rigctld_socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace telkey::rig {

UniqueFd ConnectRigctld(const std::string& host, int port, std::chrono::milliseconds bound,
                        std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int code = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); code != 0) {
        error = "cannot find " + host + ": " + ::gai_strerror(code);
        return UniqueFd{};
    }
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, ::freeaddrinfo);
    error = "cannot reach rigctld at " + host + ":" + service;
    int why = ECONNREFUSED;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        UniqueFd fd(
            ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol));
        if (fd.Get() < 0) continue;
        if (::connect(fd.Get(), a->ai_addr, a->ai_addrlen) != 0) {
            why = errno;
            if (errno != EINPROGRESS) continue;
            pollfd p{fd.Get(), POLLOUT, 0};
            int soError = 0;
            socklen_t size = sizeof soError;
            if (::poll(&p, 1, static_cast<int>(bound.count())) != 1) {
                why = ETIMEDOUT;
                continue;
            }
            if (::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &soError, &size) != 0 ||
                soError != 0) {
                why = soError;
                continue;
            }
        }
        // Its few bytes go out at once.
        const int one = 1;
        ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        error.clear();
        return fd;
    }
    errno = why;
    return UniqueFd{};
}

}  // namespace telkey::rig
