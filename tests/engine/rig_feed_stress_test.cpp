// The keyer keying flat out with the rig's keyer and PTT while the window thread switches
// transmit and stops sending and a rig thread confirms: every character taken reaches the
// bridge once and in order, and none is lost to a stop or a switch of transmit.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <thread>
#include <vector>

#include "backends/port_bus_sim.h"
#include "engine/engine.h"
#include "engine/manual_tick_driver.h"
#include "engine/morse_tables.h"

namespace telkey {
namespace {

TEST(RigFeedStress, CharactersReachTheBridgeOnceAndInOrder) {
    SimPortBus bus;
    ManualTickDriver driver;
    Engine engine(bus, driver);
    engine.ResetHandover();
    engine.keyerSettings.DotTicks = 1;
    engine.keyerSettings.DashTicks = 3;
    engine.keyerSettings.TickMs = 1;
    engine.keyerSettings.MoxOn = 1;
    engine.keyerSettings.PaddleDelay = 1;
    engine.keyerSettings.RxAtSilence = 0;
    engine.portSettings.PttRig = 1;
    engine.portSettings.KeyRig = 1;
    RigFeed& feed = engine.ports.Feed();
    feed.Listen(true);

    std::atomic<bool> stop{false};
    std::thread keyer([&] {
        while (!stop.load()) engine.keyer.KeyerTick();
    });
    // The rig thread: confirms whatever rise is on now and then.
    std::thread rigThread([&] {
        while (!stop.load()) {
            if (engine.ports.TxLineOn()) engine.ports.ConfirmTx(engine.ports.TxRises());
            std::this_thread::yield();
        }
    });
    // The bridge: woken by the feed, takes what came, in order.
    std::vector<std::uint8_t> taken;
    std::atomic<std::size_t> takenCount{0};
    std::atomic<std::uint32_t> stops{0};
    std::thread bridge([&] {
        while (!stop.load()) {
            pollfd p{feed.WakeupFd(), POLLIN, 0};
            ::poll(&p, 1, 1);
            feed.ClearWakeup();
            for (std::uint8_t code = 0; feed.TakeStarted(code);) taken.push_back(code);
            takenCount.store(taken.size());
            stops.store(feed.Stops());
        }
        for (std::uint8_t code = 0; feed.TakeStarted(code);) taken.push_back(code);
    });
    std::vector<std::uint8_t> handed;
    constexpr std::uint8_t kCodes[] = {0x05, 0x18, 0x1A, 0x0C};  // a b c d
    for (int i = 0; i < 3000; ++i) {
        engine.flags.Transmitting = 1;
        engine.ports.SetTx(1);
        const std::uint8_t code = kCodes[i % 4];
        // The feed holds what a real bridge takes in seconds; a bridge thread descheduled on a
        // busy machine must not make it overflow here.
        while (handed.size() >= takenCount.load() + RigFeed::kSize / 2) std::this_thread::yield();
        while (!engine.HandOver(code)) std::this_thread::yield();
        handed.push_back(code);
        if (i % 7 == 0 && engine.StopSending()) handed.pop_back();
        if (i % 5 == 0) {
            engine.flags.Transmitting = 0;
            engine.SwitchTxOff();
        }
    }
    // The last code is taken once the line is on and confirmed.
    engine.flags.Transmitting = 1;
    engine.ports.SetTx(1);
    while (!engine.mailbox.NextCodeEmpty()) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop.store(true);
    keyer.join();
    rigThread.join();
    bridge.join();
    EXPECT_EQ(taken, handed);
    EXPECT_GT(stops.load(), 0U);
}

}  // namespace
}  // namespace telkey
