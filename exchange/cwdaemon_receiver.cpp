#include "exchange/cwdaemon_receiver.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

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

}  // namespace

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
    room_.notify_all();
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
            taken.push_back(std::move(waiting_.front()));
            waiting_.pop_front();
        }
        if (waiting_.empty()) woken_ = false;
    }
    room_.notify_one();
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

void CwdaemonReceiver::Run() {
    for (;;) {
        while (ReadOne()) {
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

bool CwdaemonReceiver::ReadOne() {
    {
        std::unique_lock lock(mutex_);
        room_.wait(lock, [this] { return stopping_ || waiting_.size() < waitingMax_; });
        if (stopping_) return false;
    }
    std::array<char, kCwdaemonMaxRequest + 1> buffer;
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    const ssize_t got = ::recvfrom(socket_.Get(), buffer.data(), buffer.size(), MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&peer), &size);
    if (got < 0) {
        // A reply to a closed port comes back as an error once; the next datagram follows it.
        return errno == ECONNREFUSED || errno == EINTR;
    }
    CwdaemonReceived item;
    item.from = EndpointOf(peer);
    if (!allowAnyUser_.load()) {
        const UdpSenderVerdict verdict = CheckUdpSender(table_, item.from, LocalFor(item.from),
                                                        static_cast<std::uint32_t>(::geteuid()));
        if (!verdict.Own()) {
            Refuse(item.from, verdict);
            return true;
        }
    }
    const auto n = static_cast<std::size_t>(got);
    item.cut = n > kCwdaemonMaxRequest;
    item.bytes.assign(buffer.data(), std::min(n, kCwdaemonMaxRequest));
    Push(std::move(item));
    return true;
}

void CwdaemonReceiver::Refuse(const UdpEndpoint& from, const UdpSenderVerdict& verdict) {
    const auto now = std::chrono::steady_clock::now();
    if (now - refusalWindow_ >= std::chrono::seconds(1)) {
        FlushRefusalCount();
        refusalWindow_ = now;
        refusalLines_ = 0;
    }
    if (refusalLines_ < kCwdaemonRefusalLinesPerSecond) {
        ++refusalLines_;
        CwdaemonReceived line;
        // Told only for the lines logged: it may walk the kernel's whole socket list.
        line.logLine = "datagram from " + EndpointText(from) + " refused: " +
                       RefusalText(table_, from, verdict, static_cast<std::uint32_t>(::geteuid())) +
                       " (see --cwdaemon-allow)";
        Push(std::move(line));
    } else {
        ++refusalsLeftOut_;
    }
    refused_.fetch_add(1);
}

void CwdaemonReceiver::FlushRefusalCount() {
    if (refusalsLeftOut_ == 0) return;
    CwdaemonReceived line;
    line.logLine = std::to_string(refusalsLeftOut_) + " more datagrams refused";
    refusalsLeftOut_ = 0;
    Push(std::move(line));
}

void CwdaemonReceiver::Push(CwdaemonReceived item) {
    bool tell = false;
    {
        std::lock_guard lock(mutex_);
        waiting_.push_back(std::move(item));
        tell = !woken_;
        woken_ = true;
    }
    if (tell && wake_) wake_();
}

}  // namespace telkey
