// Devices changed while the keyer ticks and the status thread follows a paddle: no data race,
// and no line stays on at the old device.
#include <atomic>
#include <thread>

#include "tests/backends/devices_fixture.h"

namespace telkey::test {
namespace {

TEST_F(DevicesFixture, DevicesChangeWhileTheKeyerAndTheStatusThreadRun) {
    const int a = layer.AddSerial("/dev/ttyUSB0");
    const int b = layer.AddSerial("/dev/ttyUSB1");
    layer.AddInput("/dev/input/event5", {KEY_LEFTCTRL, KEY_RIGHTCTRL});
    DevicesConfig config = Config();
    config.com[0] = "/dev/ttyUSB0";
    config.threads = true;
    config.timing.monitorPeriodNs = kMsNs;
    Build(config);
    settings().KeyPortNumber = 1;
    settings().DotPort = 0x3FE;
    settings().DotXorMask = 0;
    settings().DashPort = 0x201;

    std::atomic<bool> stop{false};
    std::thread keyer([&] {
        // A keyer that keys on every other tick and reads both paddles on each.
        for (int i = 0; !stop.load(); ++i) {
            (void)ports().ReadDotPaddle();
            (void)ports().ReadDashPaddle();
            ports().SetKey(i % 2);
        }
        ports().SetKey(0);
    });
    std::thread contacts([&] {
        for (int i = 0; !stop.load(); ++i) {
            layer.SetModemInputs(i % 2 ? a : b, i % 3 ? TIOCM_CTS : 0);
            std::this_thread::yield();
        }
    });
    for (int round = 0; round < 200; ++round) {
        DevicesConfig next = config;
        next.com[0] = round % 2 ? "/dev/ttyUSB0" : "/dev/ttyUSB1";
        next.comShared[0] = round % 3 == 0;
        next.gameport = round % 4 ? "/dev/input/event5" : "";
        bus->SetDevices(next, warnings);
    }
    stop = true;
    keyer.join();
    contacts.join();
    bus->ReleaseLines();
    bus.reset();
    EXPECT_EQ(layer.Tiocm(a) & (kDtr | kRts), 0);
    EXPECT_EQ(layer.Tiocm(b) & (kDtr | kRts), 0);
    EXPECT_EQ(layer.OpenDescriptors(), 0);
}

}  // namespace
}  // namespace telkey::test
