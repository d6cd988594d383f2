#include "exchange/udp_socket_owner.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace telkey {
namespace {

// A reply holds the few sockets of one port; a dump comes in parts of this size at most.
constexpr std::size_t kReplyBytes = 32 * 1024;
// The kernel answers at once; this only bounds a kernel that does not.
constexpr int kReplyTimeoutMs = 500;
// A port no program uses (TCP port service multiplexer): the test question asks for it.
constexpr std::uint16_t kUnusedPort = 1;

constexpr std::array<std::uint8_t, 16> kAny6{};
constexpr std::array<std::uint8_t, 16> kAny4{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0};

bool IsWildcard(const std::array<std::uint8_t, 16>& address) {
    return address == kAny6 || address == kAny4;
}

std::string Errno(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// The address a socket is bound to, as the kernel lists it (network order words).
std::array<std::uint8_t, 16> ListedAddress(int family, const __be32 (&words)[4]) {
    std::array<std::uint8_t, 16> address{};
    if (family == AF_INET) {
        address[10] = address[11] = 0xFF;
        std::memcpy(address.data() + 12, &words[0], 4);
    } else {
        std::memcpy(address.data(), words, 16);
    }
    return address;
}

UdpSocketInfo ParseSocket(const nlmsghdr* header) {
    const auto* msg = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
    UdpSocketInfo info;
    info.ipv6 = msg->idiag_family == AF_INET6;
    info.address = ListedAddress(msg->idiag_family, msg->id.idiag_src);
    info.port = ntohs(msg->id.idiag_sport);
    info.uid = msg->idiag_uid;
    info.inode = msg->idiag_inode;
    int left = static_cast<int>(header->nlmsg_len - NLMSG_LENGTH(sizeof *msg));
    for (auto* attr = reinterpret_cast<const rtattr*>(msg + 1); RTA_OK(attr, left);
         attr = RTA_NEXT(attr, left)) {
        if (attr->rta_type == INET_DIAG_SKV6ONLY && RTA_PAYLOAD(attr) >= 1) {
            info.v6only = *static_cast<const std::uint8_t*>(RTA_DATA(attr)) != 0
                              ? UdpSocketInfo::V6Only::Yes
                              : UdpSocketInfo::V6Only::No;
        }
    }
    return info;
}

std::string WaitedText(std::int64_t ns) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(ns) / 1e6);
    return text;
}

}  // namespace

UdpEndpoint UdpEndpointV4(std::uint32_t hostOrderAddress, std::uint16_t port) {
    UdpEndpoint e;
    e.address[10] = e.address[11] = 0xFF;
    for (int i = 0; i < 4; ++i) {
        e.address[12 + i] = static_cast<std::uint8_t>(hostOrderAddress >> (24 - 8 * i));
    }
    e.port = port;
    return e;
}

bool IsV4(const UdpEndpoint& endpoint) {
    return std::equal(kAny4.begin(), kAny4.begin() + 12, endpoint.address.begin());
}

std::string EndpointText(const UdpEndpoint& endpoint) {
    char text[INET6_ADDRSTRLEN] = "";
    if (IsV4(endpoint)) {
        ::inet_ntop(AF_INET, endpoint.address.data() + 12, text, sizeof text);
    } else {
        ::inet_ntop(AF_INET6, endpoint.address.data(), text, sizeof text);
    }
    return std::string(text) + ":" + std::to_string(endpoint.port);
}

bool CouldHaveSent(const UdpSocketInfo& socket, const UdpEndpoint& from) {
    if (socket.port != from.port) return false;
    const bool boundThere = socket.address == from.address || IsWildcard(socket.address);
    if (!IsV4(from)) return socket.ipv6 && boundThere;
    // A connected IPv6 socket does not say whether it is dual-stack: it counts as one.
    if (socket.ipv6 && socket.v6only == UdpSocketInfo::V6Only::Yes) return false;
    return boundThere;
}

std::vector<std::uint32_t> UdpOwners(const std::vector<UdpSocketInfo>& sockets,
                                     const UdpEndpoint& from) {
    std::vector<std::uint32_t> owners;
    for (const UdpSocketInfo& s : sockets) {
        if (CouldHaveSent(s, from)) owners.push_back(s.uid);
    }
    return owners;
}

bool UdpSocketTable::Holder(const UdpEndpoint& at, const UdpEndpoint& peer,
                            std::optional<UdpSocketInfo>& holder, std::string& error) {
    // The kernel looks up the socket that a datagram from "src" to "dst" would reach.
    inet_diag_sockid id{};
    const bool v4 = IsV4(at);
    id.idiag_sport = htons(peer.port);
    id.idiag_dport = htons(at.port);
    if (v4) {
        std::memcpy(&id.idiag_src[0], peer.address.data() + 12, 4);
        std::memcpy(&id.idiag_dst[0], at.address.data() + 12, 4);
    } else {
        std::memcpy(id.idiag_src, peer.address.data(), 16);
        std::memcpy(id.idiag_dst, at.address.data(), 16);
        id.idiag_if = at.scope;
    }
    std::vector<UdpSocketInfo> found;
    holder.reset();
    if (!Ask(v4 ? AF_INET : AF_INET6, NLM_F_REQUEST, id, found, error)) return false;
    if (!found.empty()) holder = found.front();
    return true;
}

bool UdpSocketTable::OnPort(std::uint16_t port, std::vector<UdpSocketInfo>& sockets,
                            std::string& error) {
    sockets.clear();
    inet_diag_sockid id{};
    // The kernel sends only the sockets on this port.
    id.idiag_sport = htons(port);
    if (!Ask(AF_INET, NLM_F_REQUEST | NLM_F_DUMP, id, sockets, error) ||
        !Ask(AF_INET6, NLM_F_REQUEST | NLM_F_DUMP, id, sockets, error)) {
        return false;
    }
    std::erase_if(sockets, [port](const UdpSocketInfo& s) { return s.port != port; });
    return true;
}

bool UdpSocketTable::Open(std::string& error) {
    netlink_.Reset(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (netlink_.Get() < 0) {
        error = Errno("cannot open the kernel's socket list (NETLINK_SOCK_DIAG)");
        return false;
    }
    const timeval wait{0, kReplyTimeoutMs * 1000};
    ::setsockopt(netlink_.Get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    // Without UDP in the list every lookup would say "no socket": ask once whether it is there.
    inet_diag_sockid id{};
    id.idiag_sport = htons(kUnusedPort);
    std::vector<UdpSocketInfo> none;
    if (Ask(AF_INET, NLM_F_REQUEST | NLM_F_DUMP, id, none, error)) return true;
    if (errno == ENOENT) {
        error =
            "the kernel does not list UDP sockets (load its udp_diag module: sudo modprobe "
            "udp_diag)";
    }
    netlink_.Reset();
    return false;
}

bool UdpSocketTable::Ask(int family, std::uint16_t flags, const inet_diag_sockid& id,
                         std::vector<UdpSocketInfo>& sockets, std::string& error) {
    if (netlink_.Get() < 0 && !Open(error)) return false;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } ask{};
    ask.header.nlmsg_len = sizeof ask;
    ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.header.nlmsg_flags = flags;
    ask.header.nlmsg_seq = ++sequence_;
    ask.request.sdiag_family = static_cast<std::uint8_t>(family);
    ask.request.sdiag_protocol = IPPROTO_UDP;
    ask.request.idiag_states = ~0U;
    ask.request.id = id;
    ask.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    ask.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    const bool dump = (flags & NLM_F_DUMP) != 0;
    if (::sendto(netlink_.Get(), &ask, sizeof ask, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) < 0) {
        error = Errno("cannot ask the kernel's socket list");
        netlink_.Reset();
        return false;
    }
    alignas(nlmsghdr) static thread_local std::array<char, kReplyBytes> reply;
    for (;;) {
        const ssize_t got = ::recv(netlink_.Get(), reply.data(), reply.size(), 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            error = Errno("no answer from the kernel's socket list");
            // A late answer would be read as the next one's: start afresh.
            netlink_.Reset();
            return false;
        }
        int left = static_cast<int>(got);
        for (auto* h = reinterpret_cast<const nlmsghdr*>(reply.data()); NLMSG_OK(h, left);
             h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_seq != ask.header.nlmsg_seq) continue;
            if (h->nlmsg_type == NLMSG_DONE) return true;
            if (h->nlmsg_type == NLMSG_ERROR) {
                const int code = -static_cast<const nlmsgerr*>(NLMSG_DATA(h))->error;
                // No socket there: an empty answer.
                if (code == 0 || (!dump && code == ENOENT)) return true;
                errno = code;
                error = Errno("the kernel's socket list refused the question");
                return false;
            }
            if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
                h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                continue;
            }
            sockets.push_back(ParseSocket(h));
            if (!dump) return true;
        }
    }
}

bool UdpPortShareable(const UdpEndpoint& at) {
    const bool v4 = IsV4(at);
    UniqueFd probe(::socket(v4 ? AF_INET : AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (probe.Get() < 0) return true;  // unknown: taken as shareable
    const int on = 1;
    ::setsockopt(probe.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    int result = 0;
    if (v4) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(at.port);
        std::memcpy(&a.sin_addr, at.address.data() + 12, 4);
        result = ::bind(probe.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        ::setsockopt(probe.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(at.port);
        a.sin6_scope_id = at.scope;
        std::memcpy(&a.sin6_addr, at.address.data(), 16);
        result = ::bind(probe.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    // Only a socket without SO_REUSEADDR keeps the address to itself.
    return result == 0 || errno != EADDRINUSE;
}

UdpSenderVerdict CheckUdpSender(UdpSocketTable& table, const UdpEndpoint& from,
                                const UdpEndpoint& at, std::uint32_t self) {
    using Refusal = UdpSenderVerdict::Refusal;
    // A socket with SO_REUSEADDR lends its port to anyone: another user may have bound it, sent,
    // and closed again before the datagram was read. A port no socket holds is free to anyone.
    UdpSenderVerdict verdict;
    if (UdpPortShareable(from)) {
        verdict.refusal = Refusal::Shareable;
        return verdict;
    }
    // Otherwise one socket (or a SO_REUSEPORT group of one user) keeps the address to itself.
    std::optional<UdpSocketInfo> holder;
    if (!table.Holder(from, at, holder, verdict.error)) {
        verdict.refusal = Refusal::Unknown;
    } else if (!holder || !CouldHaveSent(*holder, from)) {
        verdict.refusal = Refusal::Gone;
    } else if (holder->uid != self) {
        verdict.refusal = Refusal::Foreign;
        verdict.uid = holder->uid;
    } else {
        verdict.inode = holder->inode;
    }
    return verdict;
}

std::string RefusalText(UdpSocketTable& table, const UdpEndpoint& from,
                        const UdpSenderVerdict& verdict, std::uint32_t self) {
    using Refusal = UdpSenderVerdict::Refusal;
    const std::string gone =
        "its socket was closed before it could be checked, so its user is "
        "unknown";
    switch (verdict.refusal) {
        case Refusal::None:
            return {};
        case Refusal::Foreign:
            return "its port is held by a socket of uid " + std::to_string(verdict.uid);
        case Refusal::Gone:
            return gone;
        case Refusal::Unknown:
            return verdict.error;
        case Refusal::Late:
            return "it waited " + WaitedText(verdict.waitedNs) +
                   " ms before its sender could be checked (at most " +
                   std::to_string(kUdpSenderCheckWithin.count()) +
                   " ms are trusted), so the socket on its port may not be the one that sent it";
        case Refusal::Shareable:
            break;
    }
    std::vector<UdpSocketInfo> sockets;
    std::string error;
    if (!table.OnPort(from.port, sockets, error)) return "its port is shared (" + error + ")";
    const std::vector<std::uint32_t> owners = UdpOwners(sockets, from);
    for (const std::uint32_t uid : owners) {
        if (uid != self) {
            return "its port is shared with a socket of uid " + std::to_string(uid);
        }
    }
    if (owners.empty()) return gone;
    return "its port is open to other users' sockets (SO_REUSEADDR)";
}

}  // namespace telkey
