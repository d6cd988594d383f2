// The timer thread's start hand-shake under load: the starting thread settles the new thread's
// scheduling (through a broker when SCHED_FIFO is refused) before its first tick, while the
// window side fills the mailbox and drains the ring; timers are re-created again and again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>

#include "backends/port_bus_sim.h"
#include "engine/engine.h"
#include "engine/morse_tables.h"
#include "engine/thread_tick_driver.h"

namespace telkey {
namespace {

// Refuses every request, as RealtimeKit does for a user outside a login session.
class RefusingBroker : public RealtimeBroker {
  public:
    bool QueryLimits(Limits& limits) override {
        limits.maxPriority = 20;
        limits.rttimeUs = 200000;
        return true;
    }
    bool MakeThreadRealtime(std::uint64_t tid, std::uint32_t) override {
        tids.insert(tid);
        return false;
    }
    std::set<std::uint64_t> tids;  // touched only by the starting thread
};

TEST(TickDriverStress, RecreatedTimersSettleTheirSchedulingBeforeTicking) {
    SimPortBus bus(1 << 16);
    ThreadTickDriver driver;
    driver.SetWantRealtime(false);  // the scheduling is still looked up, without privilege
    int told = 0;
    driver.SetSchedulingObserver([&](const ThreadScheduling& s) {
        EXPECT_EQ(s.kind, SchedulingKind::NotAsked);
        ++told;
    });
    Engine engine(bus, driver);
    engine.portSettings.KeyPortNumber = 5;
    engine.keyerSettings.DotTicks = 1;
    engine.keyerSettings.DashTicks = 3;

    std::atomic<bool> done{false};
    std::thread window([&] {
        std::uint8_t code;
        Notification n;
        while (!done.load()) {
            engine.mailbox.Fill(CharToCode('5'));
            while (engine.ring.Pop(code)) {
            }
            while (engine.notifications.Pop(n)) {
            }
            std::this_thread::yield();
        }
    });
    constexpr int kCycles = 200;
    for (int i = 0; i < kCycles; ++i) {
        ASSERT_TRUE(engine.timer.StartKeyerTimer().empty());
        ASSERT_TRUE(engine.timer.RecreateKeyerTimer(1 + i % 2));
        engine.timer.StopKeyerTimer();
    }
    done = true;
    window.join();
    EXPECT_EQ(told, 2 * kCycles);
    EXPECT_EQ(driver.RealtimeGranted(), 0);
}

TEST(TickDriverStress, EveryThreadIsOfferedToTheBrokerWhenRefusedDirectly) {
    if (geteuid() == 0) GTEST_SKIP() << "root is granted SCHED_FIFO directly";
    SimPortBus bus(1 << 12);
    ThreadTickDriver driver;
    RefusingBroker broker;
    driver.SetRealtimeBroker(&broker);
    Engine engine(bus, driver);
    constexpr int kCycles = 50;
    for (int i = 0; i < kCycles; ++i) {
        ASSERT_TRUE(engine.timer.StartKeyerTimer().empty());
        EXPECT_EQ(driver.Scheduling().kind, SchedulingKind::Ordinary);
        engine.timer.StopKeyerTimer();
    }
    EXPECT_EQ(broker.tids.size(), static_cast<std::size_t>(kCycles)) << "one request per thread";
}

}  // namespace
}  // namespace telkey
