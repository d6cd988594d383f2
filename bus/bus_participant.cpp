#include "bus/bus_participant.h"

#include <dirent.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include "bus/bus_directory.h"
#include "engine/unique_fd.h"

namespace telkey {
namespace {

constexpr std::string_view kSocketPrefix = "p-";
constexpr std::string_view kSocketSuffix = ".sock";
constexpr std::string_view kTempPrefix = ".t-";
constexpr int kListenBacklog = 128;
// Connections kept open at once; beyond that the longest idle one is dropped.
constexpr std::size_t kMaxConnections = 128;
// Work done per ServePending call, so that a flood cannot hold up the event loop.
constexpr int kEventsPerServe = 32;
constexpr int kFramesPerConnection = 16;

using Socket = UniqueFd;  // a socket's descriptor

bool SetAddress(sockaddr_un& addr, const std::string& path) {
    addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool SameUserPeer(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && len == sizeof cred &&
           cred.uid == ::geteuid();
}

std::string RandomTag() {
    std::uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, 0) != sizeof bits) {
        bits = static_cast<std::uint64_t>(
                   std::chrono::steady_clock::now().time_since_epoch().count()) ^
               reinterpret_cast<std::uintptr_t>(&bits);
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
    return text;
}

bool IsParticipantSocket(std::string_view name) {
    return name.size() > kSocketPrefix.size() + kSocketSuffix.size() &&
           name.starts_with(kSocketPrefix) && name.ends_with(kSocketSuffix);
}

std::vector<std::string> ParticipantSockets(const std::string& directory) {
    std::vector<std::string> paths;
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) return paths;
    while (const dirent* entry = ::readdir(dir)) {
        if (IsParticipantSocket(entry->d_name)) paths.push_back(directory + "/" + entry->d_name);
    }
    ::closedir(dir);
    return paths;
}

// One peer of a broadcast: its connection and the answer read so far.
struct Delivery {
    std::string path;
    Socket socket;
    std::array<std::uint8_t, kBusAnswerSize> answer{};
    std::size_t have = 0;
};

enum class ConnectResult { kConnected, kGone, kStale, kRefused };

ConnectResult ConnectToPeer(const std::string& path, Socket& socket) {
    sockaddr_un addr{};
    if (!SetAddress(addr, path)) return ConnectResult::kRefused;
    socket = Socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (socket.Get() < 0) return ConnectResult::kRefused;
    if (::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno == ECONNREFUSED) return ConnectResult::kStale;  // nobody listens any more
        if (errno == ENOENT) return ConnectResult::kGone;
        return ConnectResult::kRefused;  // e.g. its queue is full: the owner is stuck
    }
    // Only a participant of this same user gets our messages.
    return SameUserPeer(socket.Get()) ? ConnectResult::kConnected : ConnectResult::kRefused;
}

}  // namespace

BusParticipant::BusParticipant(const std::string& directory, bool listen)
    : directory_(OpenBusDirectory(directory)), names_(directory_) {
    if (listen) Listen();
}

BusParticipant::~BusParticipant() {
    for (auto& [fd, connection] : connections_) ::close(fd);
    for (auto& [path, fd] : unresponsive_) ::close(fd);
    if (listenFd_ >= 0) {
        ::unlink(socketPath_.c_str());
        ::close(listenFd_);
    }
    if (epollFd_ >= 0) ::close(epollFd_);
}

void BusParticipant::Listen() {
    const std::string tag = std::to_string(::getpid()) + "-" + RandomTag();
    const std::string tempPath = directory_ + "/" + std::string(kTempPrefix) + tag;
    socketPath_ = directory_ + "/" + std::string(kSocketPrefix) + tag + std::string(kSocketSuffix);
    sockaddr_un addr{};
    if (!SetAddress(addr, socketPath_)) {
        throw BusError("the message bus directory " + directory_ + " is too long a path");
    }
    SetAddress(addr, tempPath);
    Socket listening(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    Socket epoll(::epoll_create1(EPOLL_CLOEXEC));
    const auto fail = [&](const char* what) {
        const std::string reason = std::strerror(errno);
        ::unlink(tempPath.c_str());
        throw BusError(std::string("cannot ") + what + " in the message bus directory " +
                       directory_ + ": " + reason);
    };
    if (listening.Get() < 0 || epoll.Get() < 0) fail("open a socket");
    if (::bind(listening.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        fail("create a socket");
    }
    // The socket gets its public name only once it listens: a name that refuses connections
    // always belongs to a participant that is gone.
    if (::listen(listening.Get(), kListenBacklog) != 0) fail("listen on a socket");
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = listening.Get();
    if (::epoll_ctl(epoll.Get(), EPOLL_CTL_ADD, listening.Get(), &event) != 0)
        fail("watch a socket");
    if (::rename(tempPath.c_str(), socketPath_.c_str()) != 0) fail("name a socket");
    listenFd_ = listening.Release();
    epollFd_ = epoll.Release();
}

std::uint32_t BusParticipant::RegisterMessage(std::string_view name) {
    return names_.Register(name);
}

void BusParticipant::SetHandler(Handler handler) {
    handler_ = handler ? std::make_shared<Handler>(std::move(handler)) : nullptr;
}

std::int32_t BusParticipant::CallHandler(const BusFrame& frame) {
    // A copy keeps the handler alive should it replace itself while it runs.
    const std::shared_ptr<Handler> handler = handler_;
    return handler ? (*handler)(frame.msg, frame.wParam, frame.lParam) : 0;
}

void BusParticipant::Broadcast(std::uint32_t msg, std::int32_t wParam, std::int32_t lParam) {
    BroadcastWithReport(msg, wParam, lParam);
}

void BusParticipant::WatchWhileWaiting(int fd, std::function<void()> ready) {
    if (ready) {
        waitWatches_[fd] = std::make_shared<std::function<void()>>(std::move(ready));
    } else {
        waitWatches_.erase(fd);
    }
}

void BusParticipant::RunWaitWatches(const std::vector<int>& readable) {
    for (int fd : readable) {
        // A copy: the work may remove or replace its own watch.
        const auto it = waitWatches_.find(fd);
        if (it == waitWatches_.end()) continue;
        const std::shared_ptr<std::function<void()>> ready = it->second;
        (*ready)();
    }
}

// A peer that let a broadcast run out is not asked again until it has answered that one (or is
// gone), as a desktop passes over a hung window.
bool BusParticipant::StillOwesAnswer(const std::string& path) {
    const auto it = unresponsive_.find(path);
    if (it == unresponsive_.end()) return false;
    std::array<std::uint8_t, kBusAnswerSize> answer{};
    const ssize_t n = ::recv(it->second, answer.data(), answer.size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    ::close(it->second);
    unresponsive_.erase(it);
    return false;
}

BroadcastReport BusParticipant::BroadcastWithReport(std::uint32_t msg, std::int32_t wParam,
                                                    std::int32_t lParam) {
    BroadcastReport report;
    if (std::count(broadcasting_.begin(), broadcasting_.end(), msg) >= kMaxSameMessageNesting) {
        report.dropped = true;
        return report;
    }
    broadcasting_.push_back(msg);
    struct Unnest {
        std::vector<std::uint32_t>& stack;
        ~Unnest() { stack.pop_back(); }
    } unnest{broadcasting_};
    const BusFrame frame{msg, wParam, lParam};
    const auto bytes = EncodeBusFrame(frame);

    // Send to every peer first, so that they all work on it at the same time.
    std::vector<Delivery> pending;
    const std::vector<std::string> peers = ParticipantSockets(directory_);
    // A late peer whose socket has gone owes nothing any more.
    std::erase_if(unresponsive_, [&](const auto& entry) {
        if (std::find(peers.begin(), peers.end(), entry.first) != peers.end()) return false;
        ::close(entry.second);
        return true;
    });
    for (const std::string& path : peers) {
        if (path == socketPath_) continue;
        if (StillOwesAnswer(path)) {
            ++report.skipped;
            ++report.unresponsive;
            continue;
        }
        Delivery delivery;
        delivery.path = path;
        switch (ConnectToPeer(path, delivery.socket)) {
            case ConnectResult::kConnected:
                break;
            case ConnectResult::kStale:
                if (::unlink(path.c_str()) == 0) ++report.removed;
                continue;
            case ConnectResult::kGone:
                continue;
            case ConnectResult::kRefused:
                ++report.skipped;
                continue;
        }
        if (::send(delivery.socket.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(bytes.size())) {
            ++report.skipped;
            continue;
        }
        pending.push_back(std::move(delivery));
    }
    const auto deadline = std::chrono::steady_clock::now() + kBusAnswerTimeout;

    // This participant's own handler, exactly as for a frame from a peer; but a handler that
    // broadcasts the message it handles does not get it back, which would never end.
    std::exception_ptr failure;
    if (std::find(ownHandling_.begin(), ownHandling_.end(), msg) == ownHandling_.end()) {
        ownHandling_.push_back(msg);
        try {
            CallHandler(frame);
        } catch (...) {
            failure = std::current_exception();
        }
        ownHandling_.pop_back();
    }

    // Wait for the answers, serving whatever is sent to this participant meanwhile (a peer may
    // be broadcasting to us while we wait for it) and letting the watched work go on.
    std::vector<pollfd> fds;
    std::vector<int> readable;
    while (!pending.empty() && !stopWaiting_) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) break;
        fds.clear();
        for (const Delivery& delivery : pending) fds.push_back({delivery.socket.Get(), POLLIN, 0});
        const std::size_t ownAt = fds.size();
        if (epollFd_ >= 0) fds.push_back({epollFd_, POLLIN, 0});
        const std::size_t watchesAt = fds.size();
        for (const auto& [fd, ready] : waitWatches_) fds.push_back({fd, POLLIN, 0});
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now);
        const timespec timeout{static_cast<time_t>(left.count() / 1'000'000'000),
                               static_cast<long>(left.count() % 1'000'000'000)};
        if (::ppoll(fds.data(), fds.size(), &timeout, nullptr) < 0 && errno != EINTR) break;

        std::vector<Delivery> stillPending;
        for (std::size_t i = 0; i < pending.size(); ++i) {
            Delivery& delivery = pending[i];
            if (fds[i].revents == 0) {
                stillPending.push_back(std::move(delivery));
                continue;
            }
            const ssize_t n = ::recv(delivery.socket.Get(), delivery.answer.data() + delivery.have,
                                     delivery.answer.size() - delivery.have, MSG_DONTWAIT);
            if (n > 0) {
                delivery.have += static_cast<std::size_t>(n);
                if (delivery.have == delivery.answer.size()) {
                    ++report.answered;
                } else {
                    stillPending.push_back(std::move(delivery));
                }
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                stillPending.push_back(std::move(delivery));
            } else {
                ++report.skipped;  // hung up without an answer
            }
        }
        pending = std::move(stillPending);

        if (epollFd_ >= 0 && (fds[ownAt].revents & POLLIN) != 0) {
            try {
                ServePending();
            } catch (...) {
                if (!failure) failure = std::current_exception();
            }
        }
        readable.clear();
        for (std::size_t i = watchesAt; i < fds.size(); ++i) {
            if (fds[i].revents != 0) readable.push_back(fds[i].fd);
        }
        try {
            RunWaitWatches(readable);
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    }
    report.skipped += static_cast<int>(pending.size());
    if (!stopWaiting_) {
        for (Delivery& delivery : pending) {
            // Its connection stays open: the answer, when it comes, makes it responsive again.
            const auto [it, fresh] = unresponsive_.emplace(delivery.path, delivery.socket.Get());
            if (fresh) delivery.socket.Release();
        }
    }
    pending.clear();
    if (failure) std::rethrow_exception(failure);
    return report;
}

void BusParticipant::ServePending() {
    if (epollFd_ < 0) return;
    epoll_event events[kEventsPerServe];
    const int count = ::epoll_wait(epollFd_, events, kEventsPerServe, 0);
    std::exception_ptr failure;
    for (int i = 0; i < count; ++i) {
        try {
            if (events[i].data.fd == listenFd_) {
                AcceptPending();
            } else {
                ServeConnection(events[i].data.fd);
            }
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);
}

void BusParticipant::AcceptPending() {
    for (int i = 0; i < kEventsPerServe; ++i) {
        Socket peer(::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (peer.Get() < 0) return;
        if (!SameUserPeer(peer.Get())) continue;  // closed unanswered
        if (connections_.size() >= kMaxConnections) DropIdlestConnection();
        const int fd = peer.Release();
        Connection& connection = connections_[fd];
        connection.lastUsed = ++useCounter_;
        Watch(fd, connection, EPOLLIN);
        if (!connection.watched) CloseConnection(fd);
    }
}

void BusParticipant::Watch(int fd, Connection& connection, std::uint32_t events) {
    if (connection.watched && connection.events == events) return;
    connection.events = events;
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    connection.watched =
        ::epoll_ctl(epollFd_, connection.watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event) == 0;
}

void BusParticipant::Unwatch(int fd, Connection& connection) {
    if (connection.watched) ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
    connection.watched = false;
}

void BusParticipant::CloseConnection(int fd) {
    if (const auto it = connections_.find(fd); it != connections_.end()) {
        Unwatch(fd, it->second);
    }
    ::close(fd);
    connections_.erase(fd);
}

void BusParticipant::DropIdlestConnection() {
    auto idlest = connections_.end();
    for (auto it = connections_.begin(); it != connections_.end(); ++it) {
        if (!it->second.busy &&
            (idlest == connections_.end() || it->second.lastUsed < idlest->second.lastUsed)) {
            idlest = it;
        }
    }
    if (idlest != connections_.end()) CloseConnection(idlest->first);
}

// Sends what is left of an answer. False when the connection cannot take more now (it is then
// watched for room, and no further frame is read from it) or is closed.
bool BusParticipant::FlushAnswer(int fd, Connection& connection) {
    if (connection.unsentSize > 0) {
        const ssize_t n = ::send(fd, connection.unsent.data(), connection.unsentSize,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            CloseConnection(fd);
            return false;
        }
        const auto sent = static_cast<std::size_t>(std::max<ssize_t>(n, 0));
        std::copy(connection.unsent.begin() + sent,
                  connection.unsent.begin() + connection.unsentSize, connection.unsent.begin());
        connection.unsentSize -= sent;
    }
    // A peer that sends frames faster than it reads answers is held back here.
    Watch(fd, connection, connection.unsentSize > 0 ? EPOLLOUT : EPOLLIN);
    if (!connection.watched) {
        CloseConnection(fd);
        return false;
    }
    return connection.unsentSize == 0;
}

void BusParticipant::ServeConnection(int fd) {
    for (int served = 0; served < kFramesPerConnection; ++served) {
        auto it = connections_.find(fd);
        if (it == connections_.end() || it->second.busy) return;
        Connection& connection = it->second;
        if (!FlushAnswer(fd, connection)) return;
        const ssize_t n = ::recv(fd, connection.buffer.data() + connection.have,
                                 connection.buffer.size() - connection.have, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n <= 0) {
            CloseConnection(fd);  // hung up; a partial frame is dropped with it
            return;
        }
        connection.have += static_cast<std::size_t>(n);
        if (connection.have < connection.buffer.size()) return;
        connection.have = 0;
        connection.lastUsed = ++useCounter_;
        const auto frame = DecodeBusFrame(connection.buffer);
        if (!frame) {
            CloseConnection(fd);  // the stream lost its framing: dropped unanswered
            return;
        }

        // Out of the poll set while the handler runs: a nested wait must not spin on it, and
        // its next frame waits for this one's answer.
        connection.busy = true;
        Unwatch(fd, connection);
        std::int32_t result = 0;
        std::exception_ptr failure;
        try {
            result = CallHandler(*frame);
        } catch (...) {
            failure = std::current_exception();
        }
        connection.busy = false;  // still in the map: nothing removes a busy connection
        connection.unsent = EncodeBusAnswer(result);
        connection.unsentSize = connection.unsent.size();
        const bool open = FlushAnswer(fd, connection);
        if (failure) std::rethrow_exception(failure);
        if (!open) return;
    }
}

}  // namespace telkey
