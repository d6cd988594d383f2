#pragma once
// Who can have sent a UDP datagram on this machine: the local sockets bound to its source port,
// as the kernel lists them through its socket diagnostics (NETLINK_SOCK_DIAG), with their
// owners. UDP carries no sender identity; a datagram on the loopback interface comes from one
// of these sockets while it is open. No Qt.
#include <linux/inet_diag.h>
#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/unique_fd.h"

namespace telkey {

// An IPv6 address (IPv4 as ::ffff:a.b.c.d) and a port, in host order.
struct UdpEndpoint {
    std::array<std::uint8_t, 16> address{};
    std::uint16_t port = 0;
    std::uint32_t scope = 0;  // the interface of a link-local IPv6 address
};

UdpEndpoint UdpEndpointV4(std::uint32_t hostOrderAddress, std::uint16_t port);
bool IsV4(const UdpEndpoint& endpoint);
// "127.0.0.1:6789", "::1:6789".
std::string EndpointText(const UdpEndpoint& endpoint);

// One UDP socket as the kernel lists it. IPv4 sockets show their address as ::ffff:a.b.c.d.
struct UdpSocketInfo {
    enum class V6Only { No, Yes, Unknown };
    bool ipv6 = false;
    std::array<std::uint8_t, 16> address{};
    std::uint16_t port = 0;
    std::uint32_t uid = 0;
    // For IPv6 sockets: whether they take and send IPv4 too (unknown once connected).
    V6Only v6only = V6Only::Unknown;
    std::uint64_t inode = 0;  // the socket's own number while it lives
};

// Whether the socket can have sent a datagram from `from`: same port, bound to that address or
// the wildcard, and of a family that sends it (an IPv4 datagram comes from an IPv4 socket or a
// dual-stack IPv6 one).
bool CouldHaveSent(const UdpSocketInfo& socket, const UdpEndpoint& from);

// The owners of the sockets that can have sent a datagram from `from`.
std::vector<std::uint32_t> UdpOwners(const std::vector<UdpSocketInfo>& sockets,
                                     const UdpEndpoint& from);

// The kernel's list of UDP sockets, asked over a netlink socket of its own.
class UdpSocketTable {
  public:
    // The socket that datagrams from `peer` to `at` would reach, which is the one that sends
    // from `at` when no other socket can share its address: the kernel looks it up in its hash
    // tables, whatever their size. False, with `error` saying why, when the kernel cannot be
    // asked; true with `holder` empty when no socket holds `at`.
    bool Holder(const UdpEndpoint& at, const UdpEndpoint& peer,
                std::optional<UdpSocketInfo>& holder, std::string& error);
    // Every socket of both families bound to `port`; the kernel walks its whole list for it.
    bool OnPort(std::uint16_t port, std::vector<UdpSocketInfo>& sockets, std::string& error);

  private:
    // Opens the netlink socket and checks that the kernel lists UDP sockets.
    bool Open(std::string& error);
    // Sends one request and reads its answer into `sockets`; a dump ends with NLMSG_DONE.
    bool Ask(int family, std::uint16_t flags, const inet_diag_sockid& id,
             std::vector<UdpSocketInfo>& sockets, std::string& error);

    UniqueFd netlink_;
    std::uint32_t sequence_ = 0;
};

// Whether another socket with SO_REUSEADDR could bind `at` now, so that a program of any user
// could send from it (also when no socket holds it). Tried with a socket of our own, closed at
// once.
bool UdpPortShareable(const UdpEndpoint& at);

// The longest a datagram may have waited, from its arrival to the end of the check of its
// sender, for the check to be believed. Another user's program can send from a port, close it,
// and leave the port to a socket of ours that binds it later: the longer the wait, the wider that
// window. A wait past this on an ordinary loaded machine is rare (see the cwdaemon
// documentation for what a sender sees then).
inline constexpr std::chrono::milliseconds kUdpSenderCheckWithin{5};

// What the sender check found for one datagram.
struct UdpSenderVerdict {
    enum class Refusal { None, Shareable, Foreign, Gone, Unknown, Late };
    Refusal refusal = Refusal::None;
    std::uint32_t uid = 0;      // Foreign: the owner found
    std::string error;          // Unknown: why the kernel could not tell
    std::int64_t waitedNs = 0;  // Late: from arrival to the end of the check
    std::uint64_t inode = 0;    // accepted: the socket that holds the port
    bool Own() const { return refusal == Refusal::None; }
};

// A datagram from `from` to `at` (the listener) is the user `self`'s when no other socket can
// share its source address and the socket that holds it is `self`'s. Two system calls and one
// lookup in the kernel's hash tables: the cost does not grow with the number of sockets.
UdpSenderVerdict CheckUdpSender(UdpSocketTable& table, const UdpEndpoint& from,
                                const UdpEndpoint& at, std::uint32_t self);

// Why a datagram was refused, for the log. For a shareable port it lists the sockets on the port
// (a walk of the kernel's whole list) to name another user's socket that shares it.
std::string RefusalText(UdpSocketTable& table, const UdpEndpoint& from,
                        const UdpSenderVerdict& verdict, std::uint32_t self);

}  // namespace telkey
