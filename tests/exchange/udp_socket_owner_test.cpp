// Who can have sent a datagram: the matching rules on listed sockets, and the whole check on real
// sockets of this user and (as root) of another one.
#include "exchange/udp_socket_owner.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>

namespace telkey {
namespace {

constexpr std::uint32_t kNobody = 65534;
using V6Only = UdpSocketInfo::V6Only;

UdpSocketInfo V4(std::uint32_t address, std::uint16_t port, std::uint32_t uid) {
    return {false, UdpEndpointV4(address, port).address, port, uid, V6Only::Unknown};
}
UdpSocketInfo V6(std::uint8_t last, std::uint16_t port, std::uint32_t uid, V6Only v6only) {
    UdpSocketInfo s{true, {}, port, uid, v6only};
    s.address[15] = last;  // 0: the wildcard, 1: ::1
    return s;
}

TEST(UdpSocketOwner, FoundByPortAndAddressOrTheWildcard) {
    const std::vector<UdpSocketInfo> sockets{
        V4(0x7F000001, 0x1A85, 1000),        V4(0, 0xD431, 0),
        V4(0x7F000002, 0xD431, 33),          V6(0, 0x1A85, 500, V6Only::No),
        V6(1, 0x50, 501, V6Only::Yes),       V6(0, 0x1A86, 502, V6Only::Yes),
        V6(0, 0x1A87, 503, V6Only::Unknown),
    };
    UdpEndpoint v6Loopback;
    v6Loopback.address[15] = 1;
    v6Loopback.port = 0x50;
    const struct {
        UdpEndpoint from;
        std::vector<std::uint32_t> owners;
    } cases[] = {
        // A dual-stack IPv6 socket on the wildcard also sends IPv4.
        {UdpEndpointV4(0x7F000001, 0x1A85), {1000, 500}},
        {UdpEndpointV4(0x7F000001, 0xD431), {0}},
        {UdpEndpointV4(0x7F000002, 0xD431), {0, 33}},
        {UdpEndpointV4(0x7F000001, 1), {}},
        {v6Loopback, {501}},
        // An IPv6-only socket on the port of an IPv4 one cannot have sent IPv4; a connected
        // one that does not say counts.
        {UdpEndpointV4(0x7F000001, 0x1A86), {}},
        {UdpEndpointV4(0x7F000001, 0x1A87), {503}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(UdpOwners(sockets, c.from), c.owners) << EndpointText(c.from);
    }
}

// A UDP socket bound to `port` on the loopback address (port 0: any), made with `uid`'s file
// system uid, which the kernel lists as its owner.
int Bound(int family, std::uint16_t& port, bool reuse, std::uint32_t uid, bool v6only = false) {
    ::setfsuid(uid);
    const int fd = ::socket(family, SOCK_DGRAM, 0);
    ::setfsuid(::geteuid());
    const int on = 1;
    if (reuse) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_storage a{};
    socklen_t size = 0;
    if (family == AF_INET) {
        auto& in = reinterpret_cast<sockaddr_in&>(a);
        in.sin_family = AF_INET;
        in.sin_port = htons(port);
        in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        size = sizeof in;
    } else {
        const int only = v6only ? 1 : 0;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
        auto& in6 = reinterpret_cast<sockaddr_in6&>(a);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(port);
        size = sizeof in6;
    }
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), size), 0) << std::strerror(errno);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    port = ntohs(reinterpret_cast<sockaddr_in&>(a).sin_port);
    return fd;
}

TEST(UdpSenderCheck, OwnExclusiveSocketsOnlyAreAccepted) {
    const auto self = static_cast<std::uint32_t>(::geteuid());
    const bool root = self == 0;
    // Each case opens its sockets, sends "from" 127.0.0.1 at the port it returns, and closes
    // them after the check.
    const struct {
        const char* what;
        bool needsRoot;
        std::function<std::uint16_t(std::vector<int>&)> open;
        const char* refusal;  // nullptr: accepted
    } cases[] = {
        {"own IPv4 socket", false,
         [&](std::vector<int>& fds) {
             std::uint16_t p = 0;
             fds.push_back(Bound(AF_INET, p, false, self));
             return p;
         },
         nullptr},
        {"own dual-stack IPv6 socket", false,
         [&](std::vector<int>& fds) {
             std::uint16_t p = 0;
             fds.push_back(Bound(AF_INET6, p, false, self));
             return p;
         },
         nullptr},
        {"own socket that lends its port (SO_REUSEADDR)", false,
         [&](std::vector<int>& fds) {
             std::uint16_t p = 0;
             fds.push_back(Bound(AF_INET, p, true, self));
             return p;
         },
         "open to other users"},
        {"socket already closed", false,
         [&](std::vector<int>&) {
             std::uint16_t p = 0;
             ::close(Bound(AF_INET, p, false, self));
             return p;
         },
         "closed before"},
        {"another user's socket", true,
         [&](std::vector<int>& fds) {
             std::uint16_t p = 0;
             fds.push_back(Bound(AF_INET, p, false, kNobody));
             return p;
         },
         "uid 65534"},
        {"another user's socket connected to the listener", true,
         [&](std::vector<int>& fds) {
             std::uint16_t p = 0;
             fds.push_back(Bound(AF_INET, p, false, kNobody));
             const sockaddr_in listener{AF_INET, htons(6789), {htonl(INADDR_LOOPBACK)}, {}};
             ::connect(fds.back(), reinterpret_cast<const sockaddr*>(&listener), sizeof listener);
             return p;
         },
         "uid 65534"},
        {"port shared with another user", true,
         [&](std::vector<int>& fds) {
             std::uint16_t p = 0;
             fds.push_back(Bound(AF_INET, p, true, self));
             fds.push_back(Bound(AF_INET, p, true, kNobody));
             return p;
         },
         "shared with a socket of uid 65534"},
        {"another user's IPv6-only socket on the port", true,
         [&](std::vector<int>& fds) {
             std::uint16_t p = 0;
             fds.push_back(Bound(AF_INET, p, false, self));
             fds.push_back(Bound(AF_INET6, p, false, kNobody, true));
             return p;
         },
         nullptr},
    };
    UdpSocketTable table;
    for (const auto& c : cases) {
        if (c.needsRoot && !root) continue;
        std::vector<int> fds;
        const std::uint16_t port = c.open(fds);
        const UdpEndpoint from = UdpEndpointV4(INADDR_LOOPBACK, port);
        const UdpSenderVerdict verdict =
            CheckUdpSender(table, from, UdpEndpointV4(INADDR_LOOPBACK, 6789), self);
        const std::string why = RefusalText(table, from, verdict, self);
        for (int fd : fds) ::close(fd);
        EXPECT_EQ(verdict.Own(), c.refusal == nullptr) << c.what << ": " << why;
        if (c.refusal != nullptr) {
            EXPECT_NE(why.find(c.refusal), std::string::npos) << c.what << ": " << why;
        }
    }

    // IPv6: an IPv6-only socket on [::] sends from ::1.
    std::uint16_t port6 = 0;
    const int fd6 = Bound(AF_INET6, port6, false, self, true);
    UdpEndpoint from6;
    from6.address[15] = 1;
    from6.port = port6;
    UdpEndpoint at6 = from6;
    at6.port = 6789;
    EXPECT_TRUE(CheckUdpSender(table, from6, at6, self).Own());
    ::close(fd6);
    if (!root) GTEST_SKIP() << "the cases with another user's sockets need root";
}

}  // namespace
}  // namespace telkey
