// Participants on several threads of one process broadcasting to each other at once: every
// message arrives exactly once at every participant, and no broadcast waits out its bound.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "bus/bus_participant.h"
#include "bus/bus_test_support.h"

namespace telkey {
namespace {

using namespace std::chrono_literals;

constexpr int kThreads = 4;

struct Crowd {
    test::ScratchBus scratch;
    std::vector<std::unique_ptr<BusParticipant>> participants;
    std::atomic<int> finished{0};
    std::atomic<int> failures{0};

    Crowd() {
        for (int i = 0; i < kThreads; ++i) {
            participants.push_back(std::make_unique<BusParticipant>(scratch.Path()));
        }
    }

    // Runs `work` for each participant on its own thread; each then serves until all are done.
    void Run(const std::function<void(int, BusParticipant&)>& work) {
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([this, i, &work] {
                BusParticipant& bus = *participants[i];
                work(i, bus);
                finished.fetch_add(1);
                if (!test::ServeUntil(
                        bus, [this] { return finished.load() == kThreads; }, 60s)) {
                    failures.fetch_add(1);
                }
            });
        }
        for (auto& thread : threads) thread.join();
    }

    void Check(const BroadcastReport& report) {
        if (report.answered != kThreads - 1 || report.skipped != 0) failures.fetch_add(1);
    }
};

TEST(BusStressTest, ConcurrentBroadcastsArriveOnceEach) {
    constexpr int kMessages = 150;
    Crowd crowd;
    // received[receiver][sender * kMessages + seq]; each row is touched by its own thread only.
    std::vector<std::vector<int>> received(kThreads, std::vector<int>(kThreads * kMessages));
    for (int i = 0; i < kThreads; ++i) {
        crowd.participants[i]->SetHandler(
            [&received, i, &crowd](std::uint32_t, std::int32_t sender, std::int32_t seq) {
                if (sender < 0 || sender >= kThreads || seq < 0 || seq >= kMessages) {
                    crowd.failures.fetch_add(1);
                    return 0;
                }
                ++received[i][sender * kMessages + seq];
                return 0;
            });
    }
    crowd.Run([&](int i, BusParticipant& bus) {
        const std::uint32_t msg = bus.RegisterMessage("Stress");
        for (int seq = 0; seq < kMessages; ++seq) crowd.Check(bus.BroadcastWithReport(msg, i, seq));
    });
    EXPECT_EQ(crowd.failures.load(), 0);
    for (int receiver = 0; receiver < kThreads; ++receiver) {
        for (int k = 0; k < kThreads * kMessages; ++k) {
            ASSERT_EQ(received[receiver][k], 1) << "receiver " << receiver << ", sender "
                                                << k / kMessages << ", message " << k % kMessages;
        }
    }
}

// Every handler broadcasts again from inside while the others do the same.
TEST(BusStressTest, ReentrantBroadcastsAcrossThreads) {
    constexpr int kPings = 30;
    Crowd crowd;
    const std::uint32_t ping = crowd.participants[0]->RegisterMessage("Ping");
    const std::uint32_t pong = crowd.participants[0]->RegisterMessage("Pong");
    std::vector<int> pings(kThreads, 0);
    std::vector<int> pongs(kThreads, 0);
    for (int i = 0; i < kThreads; ++i) {
        BusParticipant& bus = *crowd.participants[i];
        bus.SetHandler([&, i](std::uint32_t msg, std::int32_t, std::int32_t) {
            if (msg == ping) {
                ++pings[i];
                crowd.Check(bus.BroadcastWithReport(pong, i, 0));
            } else if (msg == pong) {
                ++pongs[i];
            }
            return 0;
        });
    }
    crowd.Run([&](int i, BusParticipant& bus) {
        for (int n = 0; n < kPings; ++n) crowd.Check(bus.BroadcastWithReport(ping, i, n));
    });
    EXPECT_EQ(crowd.failures.load(), 0);
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(pings[i], kThreads * kPings);
        EXPECT_EQ(pongs[i], kThreads * kThreads * kPings);
    }
}

}  // namespace
}  // namespace telkey
