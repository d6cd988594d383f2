#pragma once
// Which users own the local UDP sockets that a datagram can have come from, as Linux lists
// them with their local address and port in /proc/net/udp and /proc/net/udp6. Datagrams on
// the loopback interface come from this machine, and so from one of these sockets while it
// is open.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace telkey {

// An IPv6 address (IPv4 as ::ffff:a.b.c.d) and a port, in host order.
struct UdpEndpoint {
    std::array<std::uint8_t, 16> address{};
    std::uint16_t port = 0;
};

UdpEndpoint UdpEndpointV4(std::uint32_t hostOrderAddress, std::uint16_t port);

// The owners of the sockets in one table (the text of /proc/net/udp or udp6) bound to the
// endpoint's port and to its address or the wildcard address.
std::vector<std::uint32_t> UdpOwnersInTable(std::string_view table, const UdpEndpoint& from);

// The owners found in both tables under `procNet` (normally /proc/net).
std::vector<std::uint32_t> UdpSocketOwners(const UdpEndpoint& from,
                                           const std::string& procNet = "/proc/net");

}  // namespace telkey
