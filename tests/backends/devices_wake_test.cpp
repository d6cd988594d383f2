// A keyer asleep in Idle is woken by every input it has, and looks again on its next tick: the
// window's hand-over, transmit, a setting, a stop, a station test, and a paddle edge on a serial
// port or an input device, told by the devices backend's own threads.
#include <linux/input.h>

#include <functional>

#include "engine/morse_tables.h"

#include "tests/backends/devices_fixture.h"

namespace telkey::test {
namespace {

constexpr char kPaddlePath[] = "/dev/input/event7";
constexpr std::uint16_t kCom1Status = 0x3FE;
constexpr std::uint8_t kCts = 0x10;

class DevicesWake : public DevicesFixture {
  protected:
    void SetUp() override {
        com = layer.AddSerial("/dev/ttyS0");
        stick = layer.AddInput(kPaddlePath, {BTN_TRIGGER, BTN_THUMB});
        DevicesConfig config = Config();
        config.threads = true;
        config.com[0] = "/dev/ttyS0";
        config.gameport = kPaddlePath;
        Build(config);
        link = std::make_unique<InputWakeLink>(*bus, engine->keyer.WakeSignal());
        // Dot on COM1's CTS, dash on the game port's second button.
        settings().DotPort = kCom1Status;
        settings().DotXorMask = 0;
        settings().DotAndMask = kCts;
        ASSERT_THAT(engine->timer.StartKeyerTimer(), ::testing::ElementsAre());
        driver.SetSleeping(true);
        driver.Tick();  // the first read of the status register starts its thread
        ASSERT_TRUE(Eventually([&] { return bus->Com(1)->WaitsForChanges(); }));
    }
    void TearDown() override { link.reset(); }

    // Waits, boundedly, for something another thread does.
    static bool Eventually(const std::function<bool()>& done) {
        for (int i = 0; i < 5000 && !done(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return done();
    }

    // Ticks until the keyer sleeps through them; false when it never does.
    bool Asleep() {
        for (int i = 0; i < 1000; ++i) {
            const std::uint64_t run = driver.TicksRun();
            driver.Tick(10);
            if (driver.TicksRun() == run) return true;
        }
        return false;
    }

    int com = 0;
    int stick = 0;
    std::unique_ptr<InputWakeLink> link;
};

struct Source {
    const char* name;
    std::function<void()> act;
};

TEST_F(DevicesWake, EveryInputWakesTheKeyerForItsNextTick) {
    Engine& e = *engine;
    const Source sources[] = {
        {"a code handed over", [&] { e.HandOver(CodeWordSpace); }},
        {"transmit on",
         [&] {
             e.flags.Transmitting.store(1);
             e.ports.SetTx(1);
         }},
        {"transmit off",
         [&] {
             e.flags.Transmitting.store(0);
             e.SwitchTxOff();
         }},
        {"a setting",
         [&] {
             e.keyerSettings.SilenceLen.store(e.keyerSettings.SilenceLen.load() + 1);
             e.WakeKeyerOnChange();
         }},
        {"a stop", [&] { e.StopSending(); }},
        {"a station test", [&] { e.ports.StartTest(TestLine::Key); }},
        {"the end of the test", [&] { e.ports.EndTests(); }},
        {"a serial paddle edge", [&] { layer.SetModemInputs(com, TIOCM_CTS); }},
        {"its release", [&] { layer.SetModemInputs(com, 0); }},
        {"an input-device paddle edge", [&] { layer.PressKey(stick, BTN_THUMB, true); }},
        {"its release", [&] { layer.PressKey(stick, BTN_THUMB, false); }},
    };
    for (const Source& source : sources) {
        SCOPED_TRACE(source.name);
        ASSERT_TRUE(Asleep());
        const std::uint32_t seen = engine->keyer.WakeSignal().Seen();
        source.act();
        ASSERT_TRUE(Eventually([&] { return engine->keyer.WakeSignal().Seen() != seen; }));
        const std::uint64_t wakes = driver.Wakes();
        driver.Tick();
        EXPECT_EQ(driver.Wakes(), wakes + 1);
    }
}

// Untouched, the serial paddle's status thread and the input device's thread wait for a change
// without ever waking on their own.
TEST_F(DevicesWake, UntouchedPaddlesLeaveTheirThreadsAsleep) {
    FakeLines& serial = layer.Lines(com);
    FakeLines& input = layer.Lines(stick);
    ASSERT_TRUE(Eventually([&] { return input.readWaits.load() > 0; }));
    const int modemWaits = serial.modemWaits.load();
    const int readWaits = input.readWaits.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(serial.modemWaits.load(), modemWaits);
    EXPECT_EQ(input.readWaits.load(), readWaits);
}

}  // namespace
}  // namespace telkey::test
