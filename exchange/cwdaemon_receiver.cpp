#include "exchange/cwdaemon_receiver.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

#include "exchange/cwdaemon_request.h"

namespace telkey {
namespace {

// Enough for a burst of several hundred datagrams; the kernel may grant less.
constexpr int kReceiveBufferBytes = 4 << 20;
// The reader wakes this often when idle, to log the refusals it left out.
constexpr int kIdleWakeMs = 1000;

UdpEndpoint EndpointOf(const sockaddr_storage& from) {
    UdpEndpoint e;
    if (from.ss_family == AF_INET) {
        const auto& a = reinterpret_cast<const sockaddr_in&>(from);
        e.address[10] = e.address[11] = 0xFF;
        std::memcpy(e.address.data() + 12, &a.sin_addr, 4);
        e.port = ntohs(a.sin_port);
    } else if (from.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(from);
        std::memcpy(e.address.data(), &a.sin6_addr, 16);
        e.port = ntohs(a.sin6_port);
        e.scope = a.sin6_scope_id;
    }
    return e;
}

// The kernel's arrival stamp (SO_TIMESTAMPNS), in realtime ns; -1 without one.
std::int64_t ArrivalNs(const msghdr& h) {
    for (const cmsghdr* c = CMSG_FIRSTHDR(&h); c != nullptr;
         c = CMSG_NXTHDR(const_cast<msghdr*>(&h), const_cast<cmsghdr*>(c))) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec t{};
            std::memcpy(&t, CMSG_DATA(c), sizeof t);
            return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
        }
    }
    return -1;
}

}  // namespace

std::int64_t RealtimeNowNs() {
    timespec t{};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

bool CwdaemonReceiver::Bind(const sockaddr* address, socklen_t size, bool dualStack,
                            std::string& error) {
    ipv6_ = address->sa_family == AF_INET6;
    socket_.Reset(::socket(address->sa_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (socket_.Get() < 0) {
        error = std::strerror(errno);
        return false;
    }
    if (ipv6_) {
        const int v6only = dualStack ? 0 : 1;
        ::setsockopt(socket_.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    }
    // No SO_REUSEADDR: a second keyer on the same port would take half the text.
    if (::bind(socket_.Get(), address, size) != 0) {
        error = std::strerror(errno);
        socket_.Reset();
        return false;
    }
    ::setsockopt(socket_.Get(), SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes,
                 sizeof kReceiveBufferBytes);
    // Each datagram's arrival: a check that comes too late is not believed.
    const int on = 1;
    if (::setsockopt(socket_.Get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0) {
        error = std::string("cannot stamp arrivals: ") + std::strerror(errno);
        socket_.Reset();
        return false;
    }
    sockaddr_storage self{};
    socklen_t selfSize = sizeof self;
    ::getsockname(socket_.Get(), reinterpret_cast<sockaddr*>(&self), &selfSize);
    local_ = EndpointOf(self);
    return true;
}

std::uint16_t CwdaemonReceiver::LocalPort() const {
    return local_.port;
}

UdpEndpoint CwdaemonReceiver::LocalFor(const UdpEndpoint& from) const {
    if (IsV4(from) == IsV4(local_) && local_.address != UdpEndpoint{}.address &&
        local_.address != UdpEndpointV4(0, 0).address) {
        return local_;
    }
    // On a wildcard or dual-stack socket: the loopback address of the datagram's family.
    UdpEndpoint loopback = IsV4(from) ? UdpEndpointV4(INADDR_LOOPBACK, local_.port) : UdpEndpoint{};
    if (!IsV4(from)) {
        loopback.address[15] = 1;
        loopback.port = local_.port;
    }
    return loopback;
}

void CwdaemonReceiver::Start(std::function<void()> wake) {
    if (reader_.joinable() || socket_.Get() < 0) return;
    wake_ = std::move(wake);
    wakeup_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    reader_ = std::thread([this] { Run(); });
}

void CwdaemonReceiver::Stop() {
    if (!reader_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    const std::uint64_t one = 1;
    if (::write(wakeup_.Get(), &one, sizeof one) < 0) {
        // Cannot fail on a valid eventfd; without one the reader looks every kIdleWakeMs.
    }
    reader_.join();
}

std::deque<CwdaemonReceived> CwdaemonReceiver::Take(std::size_t max) {
    std::deque<CwdaemonReceived> taken;
    {
        std::lock_guard lock(mutex_);
        while (!waiting_.empty() && taken.size() < max) {
            if (waiting_.front().logLine.empty()) --datagramsWaiting_;
            taken.push_back(std::move(waiting_.front()));
            waiting_.pop_front();
        }
        if (waiting_.empty()) woken_ = false;
    }
    return taken;
}

bool CwdaemonReceiver::Waiting() const {
    std::lock_guard lock(mutex_);
    return !waiting_.empty();
}

bool CwdaemonReceiver::Send(const std::string& bytes, const UdpEndpoint& to,
                            std::string& error) const {
    sockaddr_storage address{};
    socklen_t size = 0;
    if (ipv6_) {
        auto& a = reinterpret_cast<sockaddr_in6&>(address);
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(to.port);
        a.sin6_scope_id = to.scope;
        std::memcpy(&a.sin6_addr, to.address.data(), 16);
        size = sizeof a;
    } else {
        auto& a = reinterpret_cast<sockaddr_in&>(address);
        a.sin_family = AF_INET;
        a.sin_port = htons(to.port);
        std::memcpy(&a.sin_addr, to.address.data() + 12, 4);
        size = sizeof a;
    }
    if (::sendto(socket_.Get(), bytes.data(), bytes.size(), MSG_DONTWAIT,
                 reinterpret_cast<sockaddr*>(&address), size) < 0) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

// recvmmsg's buffers for one batch: the datagrams, their senders and their arrival stamps.
struct CwdaemonReceiver::Batch {
    // One byte past the longest request tells a longer one.
    std::array<std::array<char, kCwdaemonMaxRequest + 1>, kCwdaemonReadAtOnce> bytes;
    std::array<sockaddr_storage, kCwdaemonReadAtOnce> peers;
    std::array<iovec, kCwdaemonReadAtOnce> iov;
    std::array<std::array<char, CMSG_SPACE(sizeof(timespec))>, kCwdaemonReadAtOnce> control;
    std::array<mmsghdr, kCwdaemonReadAtOnce> headers;
};

void CwdaemonReceiver::Run() {
    auto batch = std::make_unique<Batch>();
    for (;;) {
        while (ReadBatch(*batch)) {
        }
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
        }
        if (refusalsLeftOut_ > 0 &&
            std::chrono::steady_clock::now() - refusalWindow_ >= std::chrono::seconds(1)) {
            FlushRefusalCount();
        }
        std::array<pollfd, 2> fds{{{socket_.Get(), POLLIN, 0}, {wakeup_.Get(), POLLIN, 0}}};
        // Only a count of left-out refusals is due at a time; else a datagram or Stop wakes it.
        const bool due = refusalsLeftOut_ > 0 || wakeup_.Get() < 0;
        ::poll(fds.data(), fds.size(), due ? kIdleWakeMs : -1);
    }
}

bool CwdaemonReceiver::ReadBatch(Batch& batch) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return false;
    }
    for (std::size_t i = 0; i < kCwdaemonReadAtOnce; ++i) {
        batch.iov[i] = {batch.bytes[i].data(), batch.bytes[i].size()};
        msghdr& h = batch.headers[i].msg_hdr;
        h = {};
        h.msg_name = &batch.peers[i];
        h.msg_namelen = sizeof batch.peers[i];
        h.msg_iov = &batch.iov[i];
        h.msg_iovlen = 1;
        h.msg_control = batch.control[i].data();
        h.msg_controllen = batch.control[i].size();
    }
    const int got =
        ::recvmmsg(socket_.Get(), batch.headers.data(), kCwdaemonReadAtOnce, MSG_DONTWAIT, nullptr);
    if (got <= 0) {
        // A reply to a closed port comes back as an error once; the next datagram follows it.
        return got < 0 && (errno == ECONNREFUSED || errno == EINTR);
    }
    for (int i = 0; i < got; ++i) {
        const msghdr& h = batch.headers[i].msg_hdr;
        CwdaemonReceived item;
        item.from = EndpointOf(batch.peers[i]);
        if (!allowAnyUser_.load()) {
            const UdpSenderVerdict verdict = Check(item.from, ArrivalNs(h));
            if (!verdict.Own()) {
                Refuse(item.from, verdict);
                continue;
            }
        }
        const auto n = static_cast<std::size_t>(batch.headers[i].msg_len);
        item.cut = n > kCwdaemonMaxRequest || (h.msg_flags & MSG_TRUNC) != 0;
        item.bytes.assign(batch.bytes[i].data(), std::min(n, kCwdaemonMaxRequest));
        const UdpEndpoint from = item.from;
        if (!Push(std::move(item))) {
            CountRefusal([&] {
                return "request from " + EndpointText(from) +
                       " dropped: the window has not taken the " + std::to_string(waitingMax_) +
                       " before it";
            });
        }
    }
    return true;
}

UdpSenderVerdict CwdaemonReceiver::Check(const UdpEndpoint& from, std::int64_t arrivalNs) {
    using Refusal = UdpSenderVerdict::Refusal;
    UdpSenderVerdict verdict;
    if (arrivalNs < 0) {
        verdict.refusal = Refusal::Unknown;
        verdict.error = "the kernel gave no arrival time";
        return verdict;
    }
    constexpr std::int64_t within =
        std::chrono::duration_cast<std::chrono::nanoseconds>(kUdpSenderCheckWithin).count();
    const auto self = static_cast<std::uint32_t>(::geteuid());
    // A stamp ahead of the clock (stepped back) counts as fresh.
    std::int64_t waited = clock_() - arrivalNs;
    const bool known = known_.contains({from.address, from.port});
    // A late one from an address no socket was found for in time is refused without asking the
    // kernel: a backlog of them drains at the speed of recvmmsg.
    if (waited <= within || known) {
        verdict = CheckUdpSender(table_, from, LocalFor(from), self);
        if (!verdict.Own()) return verdict;
        waited = std::max(waited, clock_() - arrivalNs);
        if (waited <= within) {
            Remember(from, verdict.inode, arrivalNs);
            return verdict;
        }
        if (KnownSince(from, verdict, arrivalNs)) return verdict;
    }
    verdict.refusal = Refusal::Late;
    verdict.waitedNs = waited;
    return verdict;
}

bool CwdaemonReceiver::KnownSince(const UdpEndpoint& from, const UdpSenderVerdict& verdict,
                                  std::int64_t arrivalNs) const {
    // A socket keeps its port until it is closed, and its number is not given to another
    // socket meanwhile: found holding the port before this arrival and after it, it held the
    // port when this datagram came, and no other socket could send from it.
    const auto it = known_.find({from.address, from.port});
    return it != known_.end() && it->second.inode == verdict.inode && verdict.inode != 0 &&
           it->second.sinceNs <= arrivalNs;
}

void CwdaemonReceiver::Remember(const UdpEndpoint& from, std::uint64_t inode,
                                std::int64_t arrivalNs) {
    if (inode == 0) return;
    const auto key = std::make_pair(from.address, from.port);
    auto it = known_.find(key);
    if (it != known_.end()) {
        if (it->second.inode != inode) it->second = {inode, arrivalNs};
        return;
    }
    if (known_.size() >= kCwdaemonKnownSockets) {
        // Only this user's sockets get here; the one found longest ago makes room.
        known_.erase(std::min_element(
            known_.begin(), known_.end(),
            [](const auto& a, const auto& b) { return a.second.sinceNs < b.second.sinceNs; }));
    }
    known_.emplace(key, Known{inode, arrivalNs});
}

void CwdaemonReceiver::Refuse(const UdpEndpoint& from, const UdpSenderVerdict& verdict) {
    // Told only for the lines logged: it may walk the kernel's whole socket list.
    CountRefusal([&] {
        return "datagram from " + EndpointText(from) + " refused: " +
               RefusalText(table_, from, verdict, static_cast<std::uint32_t>(::geteuid())) +
               " (see --cwdaemon-allow)";
    });
}

template <class Line>
void CwdaemonReceiver::CountRefusal(Line&& line) {
    const auto now = std::chrono::steady_clock::now();
    if (now - refusalWindow_ >= std::chrono::seconds(1)) {
        FlushRefusalCount();
        refusalWindow_ = now;
        refusalLines_ = 0;
    }
    if (refusalLines_ < kCwdaemonRefusalLinesPerSecond) {
        ++refusalLines_;
        CwdaemonReceived item;
        item.logLine = line();
        Push(std::move(item));
    } else {
        ++refusalsLeftOut_;
    }
    refused_.fetch_add(1);
}

void CwdaemonReceiver::FlushRefusalCount() {
    if (refusalsLeftOut_ == 0) return;
    CwdaemonReceived line;
    line.logLine = std::to_string(refusalsLeftOut_) + " more datagrams refused or dropped";
    refusalsLeftOut_ = 0;
    Push(std::move(line));
}

bool CwdaemonReceiver::Push(CwdaemonReceived item) {
    bool tell = false;
    {
        std::lock_guard lock(mutex_);
        // Log lines come a few a second at most and always go in.
        if (item.logLine.empty()) {
            if (datagramsWaiting_ >= waitingMax_) return false;
            ++datagramsWaiting_;
        }
        waiting_.push_back(std::move(item));
        tell = !woken_;
        woken_ = true;
    }
    if (tell && wake_) wake_();
    return true;
}

}  // namespace telkey
