// Who can have sent a datagram: the matching rules on listed sockets, and the whole check on real
// sockets of this user and (as root) of another one.
#include "exchange/udp_socket_owner.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/udp_socket_as.h"

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

// Sockets opened for one case, in order, each on the port of the first (the first on any port).
struct Opened {
    bool other;  // another user's (nobody), else this user's
    bool reuse = false;
    bool ipv6 = false;
    bool v6only = false;
    bool connected = false;  // to the listener
};

TEST(UdpSenderCheck, OwnExclusiveSocketsOnlyAreAccepted) {
    const auto self = static_cast<std::uint32_t>(::geteuid());
    const UdpEndpoint listener = UdpEndpointV4(INADDR_LOOPBACK, 6789);
    const struct {
        const char* what;
        std::vector<Opened> sockets;
        const char* refusal;  // nullptr: accepted
        bool closeFirst = false;
    } cases[] = {
        {"own IPv4 socket", {{false}}, nullptr},
        {"own dual-stack IPv6 socket", {{false, false, true}}, nullptr},
        {"own socket that lends its port (SO_REUSEADDR)", {{false, true}}, "open to other users"},
        {"socket already closed", {{false}}, "closed before", true},
        {"another user's socket", {{true}}, "uid 65534"},
        {"another user's socket connected to the listener",
         {{true, false, false, false, true}},
         "uid 65534"},
        {"port shared with another user",
         {{false, true}, {true, true}},
         "shared with a socket of uid 65534"},
        {"another user's IPv6-only socket on the port",
         {{false}, {true, false, true, true}},
         nullptr},
    };
    UdpSocketTable table;
    for (const auto& c : cases) {
        const bool needsRoot = std::any_of(c.sockets.begin(), c.sockets.end(),
                                           [](const Opened& o) { return o.other; });
        if (needsRoot && self != 0) continue;
        std::vector<int> fds;
        std::uint16_t port = 0;
        for (const Opened& o : c.sockets) {
            fds.push_back(
                test::UdpSocketAs(o.other ? kNobody : self, port, o.reuse, o.ipv6, o.v6only));
            ASSERT_GE(fds.back(), 0) << c.what;
            port = test::UdpPortOf(fds.front());
            if (o.connected) {
                const sockaddr_in to{AF_INET, htons(listener.port), {htonl(INADDR_LOOPBACK)}, {}};
                ::connect(fds.back(), reinterpret_cast<const sockaddr*>(&to), sizeof to);
            }
        }
        if (c.closeFirst) ::close(fds.front());
        const UdpEndpoint from = UdpEndpointV4(INADDR_LOOPBACK, port);
        const UdpSenderVerdict verdict = CheckUdpSender(table, from, listener, self);
        const std::string why = RefusalText(table, from, verdict, self);
        for (std::size_t i = c.closeFirst ? 1 : 0; i < fds.size(); ++i) ::close(fds[i]);
        EXPECT_EQ(verdict.Own(), c.refusal == nullptr) << c.what << ": " << why;
        if (c.refusal != nullptr) {
            EXPECT_NE(why.find(c.refusal), std::string::npos) << c.what << ": " << why;
        }
    }

    // IPv6: an IPv6-only socket on [::] sends from ::1.
    const int fd6 = test::UdpSocketAs(self, 0, false, true, true);
    UdpEndpoint from6;
    from6.address[15] = 1;
    from6.port = test::UdpPortOf(fd6);
    UdpEndpoint at6 = from6;
    at6.port = listener.port;
    EXPECT_TRUE(CheckUdpSender(table, from6, at6, self).Own());
    ::close(fd6);
    if (self != 0) GTEST_SKIP() << "the cases with another user's sockets need root";
}

}  // namespace
}  // namespace telkey
