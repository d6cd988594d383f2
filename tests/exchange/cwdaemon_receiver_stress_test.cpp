// The cwdaemon socket's reader thread against several senders and a slow taker: every accepted
// datagram arrives once and in its sender's order, refusals are counted, what finds the queue
// full is dropped and counted, and Stop ends the reader.
#include "exchange/cwdaemon_receiver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/udp_socket_as.h"

namespace telkey {
namespace {

using namespace std::chrono_literals;

constexpr int kSenders = 3;
constexpr int kPerSender = 1500;
// Datagrams in flight at most: below what the kernel buffers by default.
constexpr int kInFlight = 64;
// Room for all in flight: a slow taker drops nothing.
constexpr std::size_t kWaiting = 2 * kInFlight;
constexpr int kPastFull = 50;

// A check never looks late, however slow the machine: the clock stands before every arrival.
std::int64_t BeforeEveryArrival() {
    return 0;
}

struct Wakes {
    std::mutex mutex;
    std::condition_variable cv;
    bool woken = false;
    void Wake() {
        {
            std::lock_guard lock(mutex);
            woken = true;
        }
        cv.notify_one();
    }
    void Wait() {
        std::unique_lock lock(mutex);
        cv.wait_for(lock, 10ms, [this] { return woken; });
        woken = false;
    }
};

TEST(CwdaemonReceiverStress, SendersTakerAndStop) {
    CwdaemonReceiver receiver(kWaiting, BeforeEveryArrival);
    const sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    std::string error;
    ASSERT_TRUE(receiver.Bind(reinterpret_cast<const sockaddr*>(&at), sizeof at, false, error))
        << error;
    const std::uint16_t port = receiver.LocalPort();
    Wakes wakes;
    receiver.Start([&] { wakes.Wake(); });

    std::atomic<int> sent{0};
    std::atomic<int> done{0};  // accepted and taken, or refused
    const auto send = [&](int fd, const std::string& text) {
        while (sent.load() - done.load() > kInFlight) std::this_thread::sleep_for(50us);
        test::SendUdp(fd, port, text.data(), text.size());
        ++sent;
    };
    std::vector<std::thread> senders;
    std::map<std::uint16_t, int> senderOf;
    std::vector<int> fds;
    for (int s = 0; s < kSenders + 1; ++s) {
        // The last one lends its port: all its datagrams are refused.
        fds.push_back(test::UdpSocketAs(::geteuid(), 0, s == kSenders));
        senderOf[test::UdpPortOf(fds.back())] = s;
    }
    for (int s = 0; s < kSenders + 1; ++s) {
        senders.emplace_back([&, s] {
            for (int i = 0; i < kPerSender; ++i) send(fds[s], std::to_string(i));
        });
    }

    std::vector<int> next(kSenders, 0);
    int accepted = 0;
    int logLines = 0;
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (accepted < kSenders * kPerSender || receiver.Refused() < std::uint64_t{kPerSender}) {
        ASSERT_LT(std::chrono::steady_clock::now(), end) << accepted << " accepted";
        const auto batch = receiver.Take(3);
        if (batch.empty()) wakes.Wait();
        for (const CwdaemonReceived& item : batch) {
            if (!item.logLine.empty()) {
                ++logLines;
                continue;
            }
            const int s = senderOf.at(item.from.port);
            ASSERT_LT(s, kSenders);
            EXPECT_EQ(item.bytes, std::to_string(next[s]++));
            ++accepted;
        }
        done = accepted + static_cast<int>(receiver.Refused());
        receiver.AllowAnyUser(false);
    }
    for (std::thread& t : senders) t.join();
    EXPECT_EQ(accepted, kSenders * kPerSender);
    EXPECT_EQ(receiver.Refused(), std::uint64_t{kPerSender});
    EXPECT_GT(logLines, 0);

    // Nothing taken any more: what finds the queue full is dropped, and Stop still ends the
    // reader.
    // Fewer than the kernel buffers by default.
    for (std::size_t i = 0; i < kWaiting + kPastFull; ++i) test::SendUdp(fds[0], port, "x", 1);
    const std::uint64_t dropped = std::uint64_t{kPerSender + kPastFull};
    const auto stop = std::chrono::steady_clock::now() + 60s;
    while (receiver.Refused() < dropped && std::chrono::steady_clock::now() < stop) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(receiver.Refused(), dropped);
    receiver.Stop();
    for (int fd : fds) ::close(fd);
}

}  // namespace
}  // namespace telkey
