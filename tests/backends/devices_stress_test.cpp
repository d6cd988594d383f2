// The devices backend under its real threads at once: the keyer writing key bytes and reading
// the paddles, the window writing TX bytes, the monitor probing and the watchdog watching, the
// input thread taking paddle events, and the WAV writer taking tone changes. Runs clean under
// ThreadSanitizer, and the lines end up as the last write asked.
#include <linux/input.h>

#include <atomic>
#include <thread>

#include "backends/devices_wav_sink.h"
#include "support/scratch_dir.h"
#include "tests/backends/devices_fixture.h"

namespace telkey::test {
namespace {

constexpr int kRounds = 20000;

TEST(DevicesStress, KeyerWindowMonitorInputAndWriterTogether) {
    FakeDeviceLayer layer;
    const int com = layer.AddSerial("/dev/ttyUSB0");
    const int lpt = layer.AddParallel("/dev/parport0");
    const int stick = layer.AddInput("/dev/input/event7", {BTN_TRIGGER, BTN_THUMB});
    DevicesConfig config;
    config.com[0] = "/dev/ttyUSB0";
    config.lpt[0] = "/dev/parport0";
    config.gameport = "/dev/input/event7";
    config.timing.monitorPeriodNs = 1'000'000;
    config.timing.probePeriodNs = 2'000'000;
    config.timing.stallNs = 60'000'000'000;  // the watchdog watches, but must not fire here
    std::vector<std::string> warnings;
    ScratchDir dir;
    {
        DevicesPortBus bus(layer, config, warnings);
        ManualTickDriver driver;
        Engine engine(bus, driver);
        engine.keyerSettings.DotTicks = 2;
        engine.keyerSettings.DashTicks = 6;
        engine.keyerSettings.TickMs = 1;
        bus.WatchKeyer(engine.keyer, engine.portSettings);
        ASSERT_TRUE(warnings.empty());
        std::string error;
        auto wav = WavSpeakerSink::Create(
            dir / "stress.wav", [] { return MonotonicNs(); }, error);
        ASSERT_NE(wav, nullptr) << error;
        bus.SetSpeakerSink(std::move(wav));
        bus.out(0x43, 0xB6);
        bus.out(0x42, 0xA9);
        bus.out(0x42, 0x04);

        std::atomic<bool> go{false};
        std::thread keyer([&] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < kRounds; ++i) {
                bus.out(0x3FC, static_cast<std::uint8_t>(i & 1));
                bus.out(0x378, static_cast<std::uint8_t>(i & 0x81));
                bus.out(0x61, static_cast<std::uint8_t>((i & 1) ? 0x03 : 0x00));
                engine.keyer.KeyerTick();  // reads the game port's buttons
                (void)bus.in(0x3FE);
                (void)bus.in(0x379);
            }
        });
        std::thread window([&] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < kRounds; ++i) bus.out(0x3FC, static_cast<std::uint8_t>(i & 2));
        });
        std::thread paddle([&] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < kRounds / 20; ++i) {
                layer.PressKey(stick, BTN_TRIGGER, (i & 1) == 0);
                layer.SetModemInputs(com, (i & 1) ? TIOCM_CTS : 0);
            }
        });
        std::thread settingsWriter([&] {
            // The watchdog reads the masks while the window changes them.
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < kRounds / 20; ++i) {
                engine.portSettings.TxMask = static_cast<std::uint8_t>(i & 2);
            }
        });
        go.store(true);
        keyer.join();
        window.join();
        paddle.join();
        settingsWriter.join();

        // Whoever wrote last, the lines show it once that write has been carried out.
        bus.out(0x3FC, 0x03);
        EXPECT_EQ(layer.Tiocm(com) & (kDtr | kRts), kDtr | kRts);
        EXPECT_EQ(bus.Com(1)->LinesOn(), 0x03);
        bus.out(0x3FC, 0x00);
        EXPECT_EQ(layer.Tiocm(com) & (kDtr | kRts), 0);
        bus.out(0x378, 0x81);
        EXPECT_EQ(layer.Lines(lpt).data.load(), 0x81);
    }
    EXPECT_EQ(layer.OpenDescriptors(), 0);
    EXPECT_EQ(layer.Lines(lpt).data.load(), 0);
}

TEST(DevicesStress, UnplugAndReplugWhileTheKeyerWrites) {
    FakeDeviceLayer layer;
    const int com = layer.AddSerial("/dev/ttyUSB0");
    DevicesConfig config;
    config.com[0] = "/dev/ttyUSB0";
    config.timing.monitorPeriodNs = 500'000;
    config.timing.probePeriodNs = 1'000'000;
    config.timing.reopenPeriodNs = 1'000'000;
    std::vector<std::string> warnings;
    DevicesPortBus bus(layer, config, warnings);
    std::atomic<bool> done{false};
    std::thread keyer([&] {
        for (int i = 0; !done.load(); ++i) {
            bus.out(0x3FC, static_cast<std::uint8_t>(i & 3));
            (void)bus.in(0x3FE);
        }
    });
    for (int i = 0; i < 20; ++i) {
        layer.Unplug(com);
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        layer.Plug(com);
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    done.store(true);
    keyer.join();
    // Back for good: within a bounded wait the port is open again and follows the writes.
    for (int i = 0; i < 500 && !bus.Com(1)->IsOpen(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(bus.Com(1)->IsOpen());
    bus.out(0x3FC, 0x01);
    bus.out(0x3FC, 0x02);
    EXPECT_EQ(layer.Tiocm(com) & (kDtr | kRts), kRts);
}

}  // namespace
}  // namespace telkey::test
