// Transmit switched on and off, characters handed over and sending stopped on the window thread
// while the keyer keys flat out with MOX: no write shows the key down with the TX line off, and
// once the keyer has finished, the line is off.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "backends/port_bus_sim.h"
#include "engine/engine.h"
#include "engine/manual_tick_driver.h"
#include "engine/morse_tables.h"

namespace telkey {
namespace {

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
    std::thread keyer([&] {
        while (!stop.load()) engine.keyer.KeyerTick();
    });
    for (int i = 0; i < 2000; ++i) {
        engine.flags.Transmitting = 1;
        engine.ports.SetTx(1);
        for (int j = 0; j <= i % 3; ++j) {
            while (!engine.HandOver(CharToCode('0'))) std::this_thread::yield();
        }
        if (i % 4 == 0) engine.StopSending();
        engine.flags.Transmitting = 0;
        engine.ports.SetTx(0);
    }
    stop.store(true);
    keyer.join();
    for (int i = 0; i < 100; ++i) engine.keyer.KeyerTick();
    int downs = 0;
    for (const PortWrite& w : bus.Writes()) {
        downs += (w.value & 0x01) != 0;
        if (w.value == 0x01) ADD_FAILURE() << "key down with the TX line off";
    }
    EXPECT_GT(downs, 2000);
    EXPECT_EQ(bus.LastValue(0x378), 0x00);
}

}  // namespace
}  // namespace telkey
