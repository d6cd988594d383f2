// Transmit switched on and off, characters handed over and sending stopped on the window thread
// while the keyer keys flat out with MOX: no write shows the key down with the TX line off, and
// once the keyer has finished, the line is off. Some rounds wait for a key-down, so the race is run
// with the key down whatever the machine's speed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "backends/port_bus_sim.h"
#include "engine/engine.h"
#include "engine/manual_tick_driver.h"
#include "engine/morse_tables.h"

namespace telkey {
namespace {

constexpr int kRounds = 2000;
// Every this many rounds, transmit goes off only after the key went down.
constexpr int kKeyedEvery = 8;

TEST(TxHoldStress, TheKeyIsNeverDownWithTheTxLineOff) {
    SimPortBus bus;  // holds the writes of these rounds
    ManualTickDriver driver;
    Engine engine(bus, driver);
    engine.ResetHandover();
    engine.keyerSettings.DotTicks = 1;
    engine.keyerSettings.DashTicks = 3;
    engine.keyerSettings.TickMs = 1;
    engine.keyerSettings.MoxOn = 1;
    engine.keyerSettings.PaddleDelay = 2;
    engine.keyerSettings.RxAtSilence = 0;
    engine.portSettings.KeyPortNumber = 5;
    std::atomic<bool> stop{false};
    // The keyer thread sees its own writes: it counts the key's downs.
    std::atomic<int> keyDowns{0};
    std::thread keyer([&] {
        bool down = false;
        while (!stop.load()) {
            engine.keyer.KeyerTick();
            const bool now = (bus.LastValue(0x378).value_or(0) & 0x01) != 0;
            if (now && !down) ++keyDowns;
            down = now;
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        engine.flags.Transmitting = 1;
        engine.ports.SetTx(1);
        const int before = keyDowns.load();
        for (int j = 0; j <= i % 3; ++j) {
            while (!engine.HandOver(CharToCode('0'))) std::this_thread::yield();
        }
        if (i % kKeyedEvery == kKeyedEvery - 1) {
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (keyDowns.load() == before && std::chrono::steady_clock::now() < end) {
                std::this_thread::yield();
            }
            if (keyDowns.load() == before) {
                ADD_FAILURE() << "round " << i << ": the key never went down";
                break;
            }
        }
        if (i % 4 == 0) engine.StopSending();
        engine.flags.Transmitting = 0;
        engine.ports.SetTx(0);
    }
    stop.store(true);
    keyer.join();
    for (int i = 0; i < 100; ++i) engine.keyer.KeyerTick();
    for (const PortWrite& w : bus.Writes()) {
        if (w.value == 0x01) ADD_FAILURE() << "key down with the TX line off";
    }
    EXPECT_EQ(bus.LastValue(0x378), 0x00);
}

}  // namespace
}  // namespace telkey
