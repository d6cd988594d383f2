// A flood of datagrams at 10,000 a second: the window stays responsive and no text of a
// well-formed request is lost up to what Input holds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "exchange/cwdaemon_support.h"
#include "transmit/macro_expansion.h"

namespace telkey::test {
namespace {

constexpr int kDatagrams = 10000;
constexpr auto kSpacing = std::chrono::microseconds(100);  // 10,000 a second

std::string Request(int i) {
    char text[16];
    std::snprintf(text, sizeof text, "q%05d ", i);
    return text;
}

// Sends the flood from its own thread, paced on absolute deadlines.
class Flood {
  public:
    explicit Flood(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        thread_ = std::thread([this, to] {
            const auto start = std::chrono::steady_clock::now();
            for (int i = 0; i < kDatagrams; ++i) {
                std::this_thread::sleep_until(start + i * kSpacing);
                const std::string text = Request(i);
                if (::sendto(fd_, text.data(), text.size(), 0,
                             reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
                    ++failures;
                }
            }
            done = true;
        });
    }
    ~Flood() {
        thread_.join();
        ::close(fd_);
    }

    std::atomic<bool> done{false};
    std::atomic<int> failures{0};

  private:
    int fd_ = -1;
    std::thread thread_;
};

using CwdaemonFlood = CwdaemonFixture;

TEST_F(CwdaemonFlood, WindowStaysResponsiveAndNoTextIsLostUpToWhatInputHolds) {
    // The event loop's other work: a timer that should keep firing every 10 ms.
    QElapsedTimer sinceLast;
    qint64 longestGapMs = 0;
    int firings = 0;
    QTimer heartbeat;
    heartbeat.setInterval(10);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        if (firings++ > 0) longestGapMs = std::max(longestGapMs, sinceLast.elapsed());
        sinceLast.restart();
    });
    heartbeat.start();
    sinceLast.start();

    QElapsedTimer clock;
    clock.start();
    {
        Flood flood(listener->LocalPort());
        ASSERT_TRUE(WaitUntil(
            [&] { return flood.done && listener->RequestsHandled() == std::uint64_t{kDatagrams}; },
            15000))
            << listener->RequestsHandled() << " of " << kDatagrams << " datagrams read";
        EXPECT_EQ(flood.failures, 0);
    }
    const qint64 elapsedMs = clock.elapsed();
    std::printf("flood: %d datagrams read in %lld ms, longest event-loop gap %lld ms\n", kDatagrams,
                static_cast<long long>(elapsedMs), static_cast<long long>(longestGapMs));
    EXPECT_LT(longestGapMs, 1000);

    // The keyer runs no ticks here: the first character waits in the mailbox and Input holds the
    // next 10,000, in the order sent.
    std::string all;
    for (int i = 0; i < kDatagrams && all.size() <= kInputMaxLength + 1; ++i) all += Request(i);
    EXPECT_EQ(InputText().toStdString(), all.substr(1, kInputMaxLength));
    EXPECT_TRUE(Logged("Input is full"));
    EXPECT_LT(log.size(), 100u);
}

}  // namespace
}  // namespace telkey::test
