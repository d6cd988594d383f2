// Many threads queue requests to one link while deadlines expire under them: every request is
// answered exactly once, and none is left pending when the link closes.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "rig/rig_link.h"

namespace telkey::rig {
namespace {

using namespace std::chrono_literals;

constexpr int kHamlibDummyModel = 1;  // Hamlib's dummy rig, through a rigctld the link starts
constexpr int kThreads = 4;
constexpr int kRequestsEach = 300;

TEST(RigLinkStressTest, EveryRequestAnsweredOnce) {
    RigTarget target;
    target.kind = RigTarget::Kind::Serial;
    target.model = kHamlibDummyModel;
    RigTimings timings;
    // Bounds this short let the watch thread race the rig thread for the same tickets.
    timings.pttBound = 2ms;
    timings.commandBound = 20ms;
    std::atomic<int> callbacks{0};
    std::atomic<int> statusChanges{0};
    std::vector<RigTicketPtr> tickets[kThreads];
    {
        RigLink link(target, timings, [&](const RigStatus&) { ++statusChanges; });
        ASSERT_EQ(link.Identify()->Wait(5s), RigOutcome::Ok);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                const auto counted = [&](const RigTicket&) { ++callbacks; };
                for (int i = 0; i < kRequestsEach; ++i) {
                    // Hamlib takes its time over PTT off (tens of ms): asked for seldom.
                    if (i % 100 == 99) {
                        tickets[t].push_back(link.SetPtt(false, counted));
                        continue;
                    }
                    switch (i % 4) {
                        case 0:
                            tickets[t].push_back(link.SetPtt(true, counted));
                            break;
                        case 1:
                            tickets[t].push_back(link.GetPtt(counted));
                            break;
                        case 2:
                            tickets[t].push_back(link.SetKeySpeed(20 + t, counted));
                            break;
                        default:
                            tickets[t].push_back(link.SendMorse("E", counted));
                            break;
                    }
                    if (i % 50 == 0) (void)link.Status();
                }
            });
        }
        for (auto& thread : threads) thread.join();
        // Closing with requests still queued answers them too.
        for (int i = 0; i < 20; ++i) tickets[0].push_back(link.SetKeySpeed(30));
    }
    int answered = 0;
    int ok = 0;
    for (const auto& list : tickets) {
        for (const auto& ticket : list) {
            EXPECT_FALSE(ticket->Pending());
            EXPECT_FALSE(ticket->Words().empty());
            ++answered;
            ok += ticket->Ok() ? 1 : 0;
        }
    }
    EXPECT_EQ(answered, kThreads * kRequestsEach + 20);
    EXPECT_EQ(callbacks.load(), kThreads * kRequestsEach);
    EXPECT_GT(ok, 0);
    EXPECT_GT(statusChanges.load(), 0);
}

}  // namespace
}  // namespace telkey::rig
