// Holding the outputs from another thread (a signal handler's) while the keyer keys flat out:
// once the keyer has started a tick after the hold, nothing it writes keys the transmitter, and
// after a resume it keys again.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "backends/port_bus_sim.h"
#include "engine/engine.h"
#include "engine/manual_tick_driver.h"
#include "engine/morse_tables.h"

namespace telkey {
namespace {

#if defined(__SANITIZE_THREAD__)
constexpr int kHolds = 50;
#else
constexpr int kHolds = 100;
#endif
constexpr std::uint16_t kLpt1 = 0x378;
constexpr std::uint8_t kKeyAndTx = 0x03;

TEST(PortsHoldStress, NothingKeysOnceTheKeyerHasSeenTheHold) {
    SimPortBus bus(1 << 12);
    ManualTickDriver driver;
    Engine engine(bus, driver);
    engine.ResetHandover();
    engine.keyerSettings.DotTicks = 1;
    engine.keyerSettings.DashTicks = 3;
    engine.keyerSettings.TickMs = 1;
    engine.portSettings.KeyPortNumber = 5;
    engine.flags.Transmitting = 1;

    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> ticks{0};
    std::thread keyer([&] {
        while (!stop.load()) {
            engine.mailbox.Fill(CharToCode('M'));
            engine.keyer.KeyerTick();
            ticks.fetch_add(1);
        }
    });
    int keyedAfterResume = 0;
    for (int i = 0; i < kHolds; ++i) {
        engine.ports.Hold();
        // Two ticks later the keyer has run a whole tick that began after the hold.
        const std::uint64_t seen = ticks.load();
        while (ticks.load() < seen + 2) std::this_thread::yield();
        bus.Clear();
        const std::uint64_t now = ticks.load();
        while (ticks.load() < now + 10) std::this_thread::yield();
        for (const PortWrite& w : bus.WritesTo(kLpt1)) {
            if ((w.value & kKeyAndTx) != 0) {
                ADD_FAILURE() << "keyed while held: " << int{w.value};
                break;
            }
        }
        engine.ports.Resume();
        bus.Clear();
        const std::uint64_t resumed = ticks.load();
        while (ticks.load() < resumed + 10) std::this_thread::yield();
        for (const PortWrite& w : bus.WritesTo(kLpt1)) {
            keyedAfterResume += (w.value & kKeyAndTx) == kKeyAndTx;
        }
    }
    stop.store(true);
    keyer.join();
    EXPECT_GT(keyedAfterResume, kHolds / 2);
}

}  // namespace
}  // namespace telkey
