// The keyer's real-time rules: a tick and a posted notification allocate nothing, and once the
// timer is stopped nothing more is posted. This program counts every operator new.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <time.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>

#include "backends/port_bus_sim.h"
#include "engine/engine.h"
#include "engine/manual_tick_driver.h"
#include "engine/morse_tables.h"
#include "engine/thread_tick_driver.h"

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};

void* Allocate(std::size_t size, std::size_t align) {
    if (g_counting.load(std::memory_order_relaxed)) {
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    }
    if (size == 0) size = 1;
    void* p = align > alignof(std::max_align_t)
                  ? std::aligned_alloc(align, (size + align - 1) / align * align)
                  : std::malloc(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

}  // namespace

void* operator new(std::size_t size) {
    return Allocate(size, 0);
}
void* operator new[](std::size_t size) {
    return Allocate(size, 0);
}
void* operator new(std::size_t size, std::align_val_t a) {
    return Allocate(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a) {
    return Allocate(size, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}

namespace telkey {
namespace {

constexpr std::uint16_t kGamePort = 0x201;

class AllocationCount {
  public:
    AllocationCount() {
        g_allocations = 0;
        g_counting = true;
    }
    ~AllocationCount() { g_counting = false; }
    long Stop() {
        g_counting = false;
        return g_allocations.load();
    }
};

void SleepMs(int ms) {
    timespec t{0, ms * 1'000'000L};
    nanosleep(&t, nullptr);
}

// Drains the window side's channels without allocating; returns what was taken.
int DrainAll(Engine& engine) {
    int taken = 0;
    Notification n;
    while (engine.notifications.Pop(n)) ++taken;
    std::uint8_t code;
    while (engine.ring.Pop(code)) ++taken;
    engine.notifications.ClearWakeup();
    return taken;
}

TEST(KeyerRealtime, TickAndPostAllocateNothing) {
    SimPortBus bus(1 << 16);
    ManualTickDriver driver;
    Engine engine(bus, driver);
    engine.portSettings.KeyPortNumber = 5;
    engine.portSettings.UseSpeaker = 1;
    engine.keyerSettings.DotTicks = 3;
    engine.keyerSettings.DashTicks = 9;
    engine.keyerSettings.TickMs = 1;
    engine.keyerSettings.MoxOn = 1;
    engine.keyerSettings.PauseAtPaddle = 1;
    engine.timer.StartKeyerTimer();
    const std::uint8_t text[] = {CharToCode('c'), CodeWordSpace, CharToCode('q'), CodeRx,
                                 CodePause,       0xC5,          CodeSevenDots};

    AllocationCount count;
    // Text, control codes, paddle squeezes with TX and pause at the paddle, and a full ring.
    for (int round = 0; round < 3; ++round) {
        for (std::uint8_t code : text) {
            engine.mailbox.Fill(code);
            driver.Tick(60);
        }
        bus.SetInput(kGamePort, 0xCF);
        driver.Tick(200);
        bus.SetInput(kGamePort, 0xEF);
        driver.Tick(50);
        bus.SetInput(kGamePort, 0xFF);
        driver.Tick(400);
        engine.flags.Transmitting = 1;
    }
    for (int i = 0; i < 1100; ++i) engine.keyer.PushRing(0x02);
    DrainAll(engine);
    EXPECT_EQ(count.Stop(), 0);
    EXPECT_GT(engine.keyer.TickCount(), 3000u);
}

TEST(KeyerRealtime, TimerThreadAllocatesNothingAndPostsNothingAfterStop) {
    SimPortBus bus(1 << 16);
    ThreadTickDriver driver;
    Engine engine(bus, driver);
    engine.portSettings.KeyPortNumber = 5;
    engine.keyerSettings.DotTicks = 1;
    engine.keyerSettings.DashTicks = 3;

    for (int cycle = 0; cycle < 10; ++cycle) {
        SCOPED_TRACE(cycle);
        ASSERT_THAT(engine.timer.StartKeyerTimer(), ::testing::ElementsAre());
        ASSERT_TRUE(engine.timer.RecreateKeyerTimer(1));

        // The window side's work while the thread keys: refill, drain. Bounded by ticks seen.
        const std::uint64_t startTicks = engine.keyer.TickCount();
        long allocations = 0;
        {
            AllocationCount count;
            for (int i = 0; i < 4000 && engine.keyer.TickCount() < startTicks + 40; ++i) {
                engine.mailbox.Fill(CharToCode('r'));
                DrainAll(engine);
                SleepMs(1);
            }
            allocations = count.Stop();
        }
        EXPECT_EQ(allocations, 0);
        EXPECT_GT(engine.keyer.TickCount(), startTicks);

        // Stop in a different phase of the keying each cycle.
        engine.mailbox.Fill(CharToCode('r'));
        SleepMs(cycle % 4);
        engine.timer.StopKeyerTimer();
        DrainAll(engine);
        const std::uint64_t ticks = engine.keyer.TickCount();
        engine.mailbox.Fill(CharToCode('r'));
        SleepMs(5);
        Notification n;
        EXPECT_FALSE(engine.notifications.Pop(n)) << "posted after StopKeyerTimer returned";
        EXPECT_EQ(engine.ring.RingCount(), 0u);
        EXPECT_EQ(engine.keyer.TickCount(), ticks) << "a tick ran after the timer was killed";
        EXPECT_FALSE(engine.mailbox.NextCodeEmpty()) << "a code was taken after the stop";
        std::uint8_t code;
        engine.mailbox.Take(code);
    }
}

// Every new tick length re-creates the timer (holding the speed arrows makes dozens). The thread
// stays, and with it the real-time grant that a broker such as RealtimeKit counts against a quota.
TEST(KeyerRealtime, RecreatedTimerKeepsItsThreadUntilStopped) {
    SimPortBus bus(1 << 10);
    ThreadTickDriver driver;
    Engine engine(bus, driver);
    ASSERT_THAT(engine.timer.StartKeyerTimer(), ::testing::ElementsAre());
    const pid_t tid = driver.ThreadId();
    ASSERT_NE(tid, 0);
    for (const int periodMs : {1, 3, 2, 5, 1}) {
        ASSERT_TRUE(engine.timer.RecreateKeyerTimer(periodMs));
        EXPECT_EQ(driver.ThreadId(), tid) << periodMs << " ms";
        const std::uint64_t start = engine.keyer.TickCount();
        for (int i = 0; i < 2000 && engine.keyer.TickCount() < start + 3; ++i) SleepMs(1);
        EXPECT_GE(engine.keyer.TickCount(), start + 3) << periodMs << " ms";
    }
    engine.timer.StopKeyerTimer();
    EXPECT_EQ(driver.ThreadId(), 0);
    EXPECT_FALSE(std::filesystem::exists("/proc/self/task/" + std::to_string(tid)))
        << "the thread ends with the timer";
}

TEST(KeyerRealtime, AKeptThreadThatLostItsPriorityAsksAgain) {
    SimPortBus bus(1 << 10);
    ThreadTickDriver driver;
    Engine engine(bus, driver);
    ASSERT_THAT(engine.timer.StartKeyerTimer(), ::testing::ElementsAre());
    if (!driver.Scheduling().IsRealtime()) GTEST_SKIP() << "SCHED_FIFO is not granted here";
    const pid_t tid = driver.ThreadId();
    sched_param ordinary{};
    ASSERT_EQ(sched_setscheduler(tid, SCHED_OTHER, &ordinary), 0);  // as RealtimeKit demotes
    ASSERT_TRUE(engine.timer.RecreateKeyerTimer(1));
    EXPECT_EQ(driver.ThreadId(), tid);
    EXPECT_EQ(sched_getscheduler(tid) & ~SCHED_RESET_ON_FORK, SCHED_FIFO);
    engine.timer.StopKeyerTimer();
}

TEST(KeyerRealtime, ThreadDriverReportsCapabilities) {
    ThreadTickDriver driver;
    EXPECT_GE(driver.SmallestPeriodMs(), 1);
    EXPECT_TRUE(driver.BeginResolution());
    driver.EndResolution();
    EXPECT_EQ(driver.RealtimeGranted(), -1);

    SimPortBus bus(1 << 10);
    Engine engine(bus, driver);
    EXPECT_EQ(driver.Start(0, engine.keyer), 0u);
    const std::uint32_t id = driver.Start(1, engine.keyer);
    ASSERT_NE(id, 0u);
    for (int i = 0; i < 2000 && engine.keyer.TickCount() < 3; ++i) SleepMs(1);
    driver.Kill(id);
    EXPECT_GE(engine.keyer.TickCount(), 3u);
    EXPECT_NE(driver.RealtimeGranted(), -1);
    EXPECT_GE(driver.Stats().ticks.load() + driver.Stats().sleptTicks.load(), 3u);
    driver.Kill(id);  // unknown id: nothing happens
}

// A wake that lands after the timer thread's wait ended on the heartbeat's timeout, before the
// thread reads the wake word, still makes it plan again: a code handed over then is keyed.
TEST(KeyerRealtime, AWakeBetweenTheTimeoutAndTheReadIsNotLost) {
    struct LineOnBeat final : TickHeartbeat {
        bool Beat(std::int64_t) noexcept override { return true; }  // wakes every kBeatNs
        void Rest() noexcept override {}
    } beat;
    struct Hand {
        Engine* engine = nullptr;
        std::atomic<int> armed{0};
    } hand;
    SimPortBus bus(1 << 16);
    ThreadTickDriver driver;
    driver.SetHeartbeat(&beat);
    driver.SetAfterWait({[](void* context) {
                             auto* h = static_cast<Hand*>(context);
                             int armed = 1;
                             if (h->armed.compare_exchange_strong(armed, 2)) {
                                 h->engine->HandOver(CharToCode('e'));
                             }
                         },
                         &hand});
    Engine engine(bus, driver);
    hand.engine = &engine;
    engine.portSettings.KeyPortNumber = 5;
    engine.keyerSettings.DotTicks = 3;
    engine.keyerSettings.DashTicks = 9;
    ASSERT_THAT(engine.timer.StartKeyerTimer(), ::testing::ElementsAre());
    // Idle past the word space: the keyer sleeps until an input, the beat wakes it.
    for (int i = 0; i < 5000 && engine.ring.RingCount() == 0; ++i) SleepMs(1);
    ASSERT_EQ(engine.ring.RingCount(), 1u);
    hand.armed = 1;
    bool keyed = false;
    for (int i = 0; i < 5000 && !keyed; ++i) {
        SleepMs(1);
        const auto last = bus.LastValue(0x378);
        keyed = last && (*last & 0x01) != 0;
    }
    EXPECT_EQ(hand.armed.load(), 2);
    EXPECT_TRUE(keyed) << "the code handed over with the wake was never keyed";
    engine.timer.StopKeyerTimer();
}

}  // namespace
}  // namespace telkey
