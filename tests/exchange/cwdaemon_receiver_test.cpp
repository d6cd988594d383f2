// The cwdaemon socket's reader believes a sender check only when it ended soon after the
// datagram arrived: the check's clock is moved, not the machine slowed.
#include "exchange/cwdaemon_receiver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/udp_socket_as.h"

namespace telkey {
namespace {

using namespace std::chrono_literals;

constexpr std::int64_t kSecondNs = 1'000'000'000;
// The check ends a second after the arrival, or the arrival stamp looks a second ahead.
std::int64_t SecondLate() {
    return RealtimeNowNs() + kSecondNs;
}
std::int64_t SecondEarly() {
    return RealtimeNowNs() - kSecondNs;
}

// What the reader made of a datagram from an open socket of this user, sent behind `before`
// others: its text, or the line it logged.
CwdaemonReceived ReadLast(RealtimeClock clock, std::size_t waitingMax, int before, bool refused) {
    CwdaemonReceiver receiver(waitingMax, clock);
    const sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    std::string error;
    EXPECT_TRUE(receiver.Bind(reinterpret_cast<const sockaddr*>(&at), sizeof at, false, error))
        << error;
    const int fd = test::UdpSocketAs(::geteuid(), 0, false);
    for (int i = 0; i < before; ++i) test::SendUdp(fd, receiver.LocalPort(), "e", 1);
    test::SendUdp(fd, receiver.LocalPort(), "tu", 2);
    receiver.Start([] {});
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < end &&
           (refused ? receiver.Refused() == 0 : !receiver.Waiting())) {
        std::this_thread::sleep_for(1ms);
    }
    const std::deque<CwdaemonReceived> got = receiver.Take(1000);
    receiver.Stop();
    ::close(fd);
    return got.empty() ? CwdaemonReceived{} : got.back();
}

TEST(CwdaemonReceiver, BelievesACheckOnlySoonAfterTheArrival) {
    const struct {
        const char* what;
        RealtimeClock clock;
        std::size_t waitingMax;
        int before;          // datagrams ahead of it
        const char* logged;  // nullptr: taken
    } cases[] = {
        {"stamp ahead of a clock stepped back", SecondEarly, kCwdaemonWaitingMax, 0, nullptr},
        {"checked a second after its arrival", SecondLate, kCwdaemonWaitingMax, 0,
         "refused: it waited 10"},
        {"finding the window's queue full", SecondEarly, 1, 1, "dropped: the window has not"},
    };
    for (const auto& c : cases) {
        const CwdaemonReceived item = ReadLast(c.clock, c.waitingMax, c.before, c.logged);
        if (c.logged == nullptr) {
            EXPECT_EQ(item.bytes, "tu") << c.what << ": " << item.logLine;
        } else {
            EXPECT_NE(item.logLine.find(c.logged), std::string::npos)
                << c.what << ": " << item.logLine;
        }
    }
}

}  // namespace
}  // namespace telkey
