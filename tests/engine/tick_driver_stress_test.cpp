// The timer thread's start hand-shake under load: the new thread ticks at once while the starting
// thread settles its scheduling (a broker, when SCHED_FIFO is refused, is asked on a thread of
// the driver's), the window side fills the mailbox and drains the ring, and timers are
// re-created again and again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "backends/port_bus_sim.h"
#include "engine/engine.h"
#include "engine/morse_tables.h"
#include "engine/thread_tick_driver.h"
#include "support/no_direct_realtime.h"

namespace telkey {
namespace {

// Refuses every request, as RealtimeKit does for a user outside a login session, after keeping
// the caller waiting until let go.
class RefusingBroker : public RealtimeBroker {
  public:
    bool QueryLimits(Limits& limits) override {
        limits.maxPriority = 20;
        limits.rttimeUs = 200000;
        return true;
    }
    bool MakeThreadRealtime(std::uint64_t, std::uint32_t) override {
        calls.fetch_add(1);
        while (!answer.load()) std::this_thread::yield();
        return false;
    }
    std::atomic<int> calls{0};
    std::atomic<bool> answer{false};
};

void WaitForTicks(const Keyer& keyer, std::uint64_t ticks) {
    while (keyer.TickCount() < ticks) std::this_thread::yield();
}

TEST(TickDriverStress, RecreatedTimersSettleTheirScheduling) {
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

// A broker that keeps its caller waiting holds no tick and no timer start; its refusal is
// remembered, so one request covers every timer after it.
TEST(TickDriverStress, TheBrokerIsAskedAsideOnceWhileTimersComeAndGo) {
    test::NoDirectRealtime noDirect;
    if (!noDirect.Refused()) GTEST_SKIP() << "SCHED_FIFO cannot be refused here";
    SimPortBus bus(1 << 12);
    RefusingBroker broker;
    ThreadTickDriver driver;
    struct LetGo {
        RefusingBroker& broker;
        ~LetGo() { broker.answer = true; }
    } letGo{broker};  // before the driver waits for its request, whatever the test did
    driver.SetRealtimeBroker(&broker);
    Engine engine(bus, driver);
    constexpr int kCycles = 100;
    for (int i = 0; i < kCycles; ++i) {
        ASSERT_TRUE(engine.timer.StartKeyerTimer().empty());
        WaitForTicks(engine.keyer, engine.keyer.TickCount() + 2);
        ASSERT_TRUE(engine.timer.RecreateKeyerTimer(1 + i % 3));
        WaitForTicks(engine.keyer, engine.keyer.TickCount() + 2);
        EXPECT_EQ(driver.Scheduling().kind, SchedulingKind::Ordinary);
        if (i == kCycles / 2) broker.answer = true;
        driver.TakeBrokerAnswer();
        engine.timer.StopKeyerTimer();
    }
    EXPECT_EQ(broker.calls.load(), 1);
}

}  // namespace
}  // namespace telkey
