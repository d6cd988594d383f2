#pragma once
// The cwdaemon listener's UDP socket and the thread that reads it. Every datagram is read as
// soon as it arrives and its sender checked at once, by itself, against the sockets that exist
// then; one that waited too long for its check is refused unchecked, and a refused one goes no
// further, so a flood of them never reaches the window thread and never builds a backlog.
// What is accepted waits here, in order, until the window thread takes it. No Qt.
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "engine/unique_fd.h"
#include "exchange/udp_socket_owner.h"

namespace telkey {

// Accepted datagrams held for the window thread at most; beyond, they are dropped (and logged):
// left in the kernel they would grow too old for their check.
inline constexpr std::size_t kCwdaemonWaitingMax = 4096;
// Datagrams taken from the kernel in one system call.
inline constexpr std::size_t kCwdaemonReadAtOnce = 64;

// Sockets remembered as checked in time, for the late datagrams they send later.
inline constexpr std::size_t kCwdaemonKnownSockets = 1024;

// CLOCK_REALTIME in ns, the clock of the kernel's arrival stamps.
using RealtimeClock = std::function<std::int64_t()>;
std::int64_t RealtimeNowNs();
// Refusals logged per second at most; the rest are counted in one line.
inline constexpr int kCwdaemonRefusalLinesPerSecond = 5;

// One datagram taken, or a line for the log (`logLine` not empty).
struct CwdaemonReceived {
    std::string bytes;
    bool cut = false;  // it was longer than a request may be
    UdpEndpoint from;
    std::string logLine;
};

class CwdaemonReceiver {
  public:
    // At most `waitingMax` accepted datagrams wait for the window thread. `clock` says when a
    // sender check ends, against the datagram's arrival.
    explicit CwdaemonReceiver(std::size_t waitingMax = kCwdaemonWaitingMax,
                              RealtimeClock clock = RealtimeNowNs)
        : waitingMax_(waitingMax), clock_(std::move(clock)) {}
    ~CwdaemonReceiver() { Stop(); }
    CwdaemonReceiver(const CwdaemonReceiver&) = delete;
    CwdaemonReceiver& operator=(const CwdaemonReceiver&) = delete;

    // Binds the socket to `address` (an IPv6 wildcard with `dualStack` takes IPv4 too). False,
    // with `error` saying why, when it cannot.
    bool Bind(const sockaddr* address, socklen_t size, bool dualStack, std::string& error);
    std::uint16_t LocalPort() const;

    // Starts reading; `wake` runs on the reader thread when something waits and nothing did.
    void Start(std::function<void()> wake);
    void Stop();

    // The clock the checks are timed by from now on. Before Start.
    void SetClock(RealtimeClock clock) { clock_ = std::move(clock); }

    // Takes datagrams of every user (no sender check) while set.
    void AllowAnyUser(bool any) { allowAnyUser_.store(any); }

    // Up to `max` of what waits, oldest first.
    std::deque<CwdaemonReceived> Take(std::size_t max);
    bool Waiting() const;
    // Refused or dropped.
    std::uint64_t Refused() const { return refused_.load(); }

    // Sends from the socket (a reply); false with `error` set when it cannot.
    bool Send(const std::string& bytes, const UdpEndpoint& to, std::string& error) const;

  private:
    struct Batch;
    void Run();
    // Reads and checks what waits, a batch at a time; false when nothing did.
    bool ReadBatch(Batch& batch);
    // The verdict on a datagram from `from` that arrived at `arrivalNs` (realtime).
    UdpSenderVerdict Check(const UdpEndpoint& from, std::int64_t arrivalNs);
    // Whether the check of a late datagram found the socket that was found, in time, for an
    // earlier one from the same address: it held the port all along.
    bool KnownSince(const UdpEndpoint& from, const UdpSenderVerdict& verdict,
                    std::int64_t arrivalNs) const;
    void Remember(const UdpEndpoint& from, std::uint64_t inode, std::int64_t arrivalNs);
    void Refuse(const UdpEndpoint& from, const UdpSenderVerdict& verdict);
    // Counts a refusal, and logs `line()` unless too many were logged this second.
    template <class Line>
    void CountRefusal(Line&& line);
    // The listener's address as the datagram from `from` reached it.
    UdpEndpoint LocalFor(const UdpEndpoint& from) const;
    // False (nothing kept) when a datagram finds `waitingMax_` waiting.
    bool Push(CwdaemonReceived item);
    void FlushRefusalCount();

    const std::size_t waitingMax_;
    RealtimeClock clock_;
    UniqueFd socket_;
    UniqueFd wakeup_;  // an eventfd: Stop() ends the reader's wait
    bool ipv6_ = false;
    UdpEndpoint local_;
    std::thread reader_;
    std::function<void()> wake_;
    std::atomic<bool> allowAnyUser_{false};
    std::atomic<std::uint64_t> refused_{0};

    mutable std::mutex mutex_;
    std::deque<CwdaemonReceived> waiting_;
    std::size_t datagramsWaiting_ = 0;  // of waiting_, the rest are log lines
    bool stopping_ = false;
    bool woken_ = false;  // the window thread has been told and has not taken everything yet

    // Reader thread only.
    UdpSocketTable table_;
    struct Known {
        std::uint64_t inode = 0;
        std::int64_t sinceNs = 0;  // arrival of the first datagram checked in time
    };
    std::map<std::pair<std::array<std::uint8_t, 16>, std::uint16_t>, Known> known_;
    std::chrono::steady_clock::time_point refusalWindow_{};
    int refusalLines_ = 0;
    int refusalsLeftOut_ = 0;
};

}  // namespace telkey
