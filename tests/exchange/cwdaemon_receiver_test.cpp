// The cwdaemon socket's reader believes a sender check only when it ended soon after the
// datagram arrived, or found a socket found in time before: the check's clock is moved, not the
// machine slowed.
#include "exchange/cwdaemon_receiver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "support/udp_socket_as.h"

namespace telkey {
namespace {

using namespace std::chrono_literals;

constexpr std::int64_t kSecondNs = 1'000'000'000;

// A reader on 127.0.0.1 whose check of each datagram ends, as the test says, a second after its
// arrival or (as after the clock was stepped back) a second before it.
class Reader {
  public:
    explicit Reader(std::size_t waitingMax)
        : receiver_(waitingMax, [this] { return RealtimeNowNs() + offsetNs_.load(); }) {
        const sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        std::string error;
        EXPECT_TRUE(receiver_.Bind(reinterpret_cast<const sockaddr*>(&at), sizeof at, false, error))
            << error;
        receiver_.Start([] {});
    }
    // The text taken from `fd`, or the line logged for it.
    std::string Outcome(int fd, bool late) {
        offsetNs_ = late ? kSecondNs : -kSecondNs;
        test::SendUdp(fd, receiver_.LocalPort(), "tu", 2);
        // Each datagram leaves either itself or a line.
        const auto end = std::chrono::steady_clock::now() + 20s;
        while (!receiver_.Waiting() && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(1ms);
        }
        const std::deque<CwdaemonReceived> got = receiver_.Take(1000);
        if (got.empty()) return "nothing";
        return got.back().logLine.empty() ? got.back().bytes : got.back().logLine;
    }

  private:
    std::atomic<std::int64_t> offsetNs_{0};
    CwdaemonReceiver receiver_;
};

TEST(CwdaemonReceiver, BelievesACheckOnlySoonAfterTheArrivalOrForASocketKnownBefore) {
    struct Step {
        int socket;  // 0: a socket of this user; 1: another one, on 0's port once 0 is closed
        bool late;
        const char* outcome;  // the text taken, or part of the line logged
    };
    const struct {
        const char* what;
        std::size_t waitingMax;
        std::vector<Step> steps;
    } cases[] = {
        {"checked in time", kCwdaemonWaitingMax, {{0, false, "tu"}}},
        {"checked a second late", kCwdaemonWaitingMax, {{0, true, "refused: it waited 10"}}},
        {"late, from a socket checked in time before",
         kCwdaemonWaitingMax,
         {{0, false, "tu"}, {0, true, "tu"}}},
        {"late, from a new socket on the port of one checked in time",
         kCwdaemonWaitingMax,
         {{0, false, "tu"}, {1, true, "refused: it waited 10"}}},
        {"finding the window's queue full", 0, {{0, false, "dropped: the window has not"}}},
    };
    for (const auto& c : cases) {
        Reader reader(c.waitingMax);
        int fds[2] = {test::UdpSocketAs(::geteuid(), 0, false), -1};
        for (const Step& step : c.steps) {
            if (step.socket == 1 && fds[1] < 0) {
                const std::uint16_t port = test::UdpPortOf(fds[0]);
                ::close(fds[0]);
                fds[0] = -1;
                fds[1] = test::UdpSocketAs(::geteuid(), port, false);
            }
            const std::string outcome = reader.Outcome(fds[step.socket], step.late);
            EXPECT_NE(outcome.find(step.outcome), std::string::npos) << c.what << ": " << outcome;
        }
        for (const int fd : fds) {
            if (fd >= 0) ::close(fd);
        }
    }
}

}  // namespace
}  // namespace telkey
