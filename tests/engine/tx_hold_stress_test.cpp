// Transmit switched on and off, characters handed over and sending stopped on the window thread
// while the keyer keys flat out with MOX: no write ever shows the key down with the TX line off,
// and once the keyer has finished, the line is off.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "engine/engine.h"
#include "engine/manual_tick_driver.h"
#include "engine/morse_tables.h"

namespace telkey {
namespace {

#if defined(__SANITIZE_THREAD__)
constexpr int kRounds = 2000;
#else
constexpr int kRounds = 20000;
#endif
constexpr std::uint8_t kKey = 0x01;
constexpr std::uint8_t kTx = 0x02;

// Checks every write as it is made, from whichever thread.
class CheckingBus : public PortBus {
  public:
    std::uint8_t in(std::uint16_t) override { return 0xFF; }
    void out(std::uint16_t, std::uint8_t value) override {
        if ((value & kKey) != 0 && (value & kTx) == 0) hot.fetch_add(1);
        if ((value & kKey) != 0) downs.fetch_add(1);
        last.store(value);
    }
    std::atomic<int> hot{0};
    std::atomic<int> downs{0};
    std::atomic<std::uint8_t> last{0};
};

TEST(TxHoldStress, TheKeyIsNeverDownWithTheTxLineOff) {
    CheckingBus bus;
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
    for (int i = 0; i < kRounds; ++i) {
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
    EXPECT_EQ(bus.hot.load(), 0);
    EXPECT_GT(bus.downs.load(), kRounds);
    EXPECT_FALSE(engine.ports.TxLineOn());
    EXPECT_EQ(bus.last.load() & kTx, 0);
}

}  // namespace
}  // namespace telkey
