// The station's serial ports beyond keying: a paddle whose lines are waited for rather than
// polled, a port shared with a rig-control program, and devices changed while the keyer runs.
#include <chrono>
#include <thread>

#include "tests/backends/devices_fixture.h"

namespace telkey::test {
namespace {

using namespace std::chrono_literals;

// Waits (bounded) for a condition another thread brings about.
template <class Condition>
bool Eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

constexpr std::uint16_t kCom1Status = 0x3FE;
constexpr std::uint8_t kCts = 0x10;

class SerialPaddleTest : public DevicesFixture {
  protected:
    void Start(bool driverCanWait) {
        com = layer.AddSerial("/dev/ttyUSB0");
        layer.Lines(com).noModemWait = !driverCanWait;
        DevicesConfig config = Config();
        config.com[0] = "/dev/ttyUSB0";
        Build(config);
        (void)bus->in(kCom1Status);  // a paddle reads the status register
        bus->Com(1)->StartStatusPoller();
    }
    FakeLines& Lines() { return layer.Lines(com); }
    int com = -1;
};

TEST_F(SerialPaddleTest, StatusThreadSleepsUntilALineChanges) {
    Start(true);
    ASSERT_TRUE(Eventually([&] { return Lines().modemWaiters.load() == 1; }));
    EXPECT_TRUE(bus->Com(1)->WaitsForChanges());
    const int reads = Lines().statusReads.load();

    layer.SetModemInputs(com, TIOCM_CTS);
    ASSERT_TRUE(Eventually([&] { return (bus->in(kCom1Status)&kCts) != 0; }));
    ASSERT_TRUE(Eventually([&] { return Lines().modemWaiters.load() == 1; }));
    // One look at the lines per change, none in between.
    EXPECT_EQ(Lines().statusReads.load() - reads, 1);
    EXPECT_EQ(Lines().modemWaits.load(), 2);

    layer.SetModemInputs(com, 0);
    ASSERT_TRUE(Eventually([&] { return (bus->in(kCom1Status)&kCts) == 0; }));
}

TEST_F(SerialPaddleTest, DriverThatCannotWaitIsPolled) {
    Start(false);
    ASSERT_TRUE(Eventually([&] { return Lines().statusReads.load() > 5; }));
    EXPECT_FALSE(bus->Com(1)->WaitsForChanges());
    layer.SetModemInputs(com, TIOCM_CTS);
    EXPECT_TRUE(Eventually([&] { return (bus->in(kCom1Status)&kCts) != 0; }));
}

TEST_F(SerialPaddleTest, StoppingEndsAWaitThatNoLineWillEnd) {
    Start(true);
    ASSERT_TRUE(Eventually([&] { return Lines().modemWaiters.load() == 1; }));
    bus->Com(1)->StopStatusPoller();
    EXPECT_EQ(Lines().modemWaiters.load(), 0);
    EXPECT_FALSE(bus->Com(1)->WaitsForChanges());
}

TEST_F(SerialPaddleTest, UnpluggedAdapterEndsTheWaitAndIsDropped) {
    Start(true);
    ASSERT_TRUE(Eventually([&] { return Lines().modemWaiters.load() == 1; }));
    layer.Unplug(com);
    ASSERT_TRUE(Eventually([&] { return Lines().modemWaiters.load() == 0; }));
    bus->Monitor(0);
    EXPECT_FALSE(bus->Com(1)->IsOpen());
    EXPECT_EQ(bus->in(kCom1Status)&kCts, 0);
}

TEST_F(DevicesFixture, SharedPortLeavesTheOtherProgramsLinesAndLockAlone) {
    const int rig = layer.AddSerial("/dev/ttyUSB0");
    DevicesConfig config = Config();
    config.com[0] = "/dev/ttyUSB0";
    config.comShared[0] = true;
    layer.SetModemOutputsElsewhere(rig, kRts);  // the rig-control program holds RTS
    Build(config);
    EXPECT_FALSE(layer.Lines(rig).exclusive.load());
    const int changesAtOpen = layer.Lines(rig).lineChanges.load();

    settings().KeyPortNumber = 1;
    settings().KeyMask = 0x01;  // DTR
    settings().TxMask = 0x00;
    ports().SetKey(1);
    EXPECT_EQ(layer.Tiocm(rig) & (kDtr | kRts), kDtr | kRts);
    ports().SetKey(0);
    EXPECT_EQ(layer.Tiocm(rig) & (kDtr | kRts), kRts);
    // Only DTR was touched: on, then off.
    EXPECT_EQ(layer.Lines(rig).lineChanges.load() - changesAtOpen, 2);
    bus.reset();  // ending releases Telkey's own line only
    EXPECT_EQ(layer.Tiocm(rig) & (kDtr | kRts), kRts);
}

TEST_F(DevicesFixture, AnExclusivePortIsLockedAndItsLinesDropped) {
    const int dev = layer.AddSerial("/dev/ttyUSB0");
    DevicesConfig config = Config();
    config.com[0] = "/dev/ttyUSB0";
    Build(config);
    EXPECT_TRUE(layer.Lines(dev).exclusive.load());
    EXPECT_EQ(layer.Tiocm(dev) & (kDtr | kRts), 0);
}

TEST_F(DevicesFixture, DevicesChangedWhileKeyingReleaseTheOldAndKeyTheNew) {
    const int a = layer.AddSerial("/dev/ttyUSB0");
    const int b = layer.AddSerial("/dev/ttyUSB1");
    const int lpt = layer.AddParallel("/dev/parport0");
    DevicesConfig config = Config();
    config.com[0] = "/dev/ttyUSB0";
    Build(config);
    settings().KeyPortNumber = 1;
    engine->flags.Transmitting = 1;
    ports().SetKey(1);
    ASSERT_EQ(layer.Tiocm(a) & (kDtr | kRts), kDtr | kRts);

    DevicesConfig next = config;
    next.com[0] = "/dev/ttyUSB1";
    next.lpt[0] = "/dev/parport0";
    bus->SetDevices(next, warnings);
    EXPECT_TRUE(warnings.empty());
    EXPECT_EQ(layer.Tiocm(a) & (kDtr | kRts), 0);  // released at once
    EXPECT_EQ(bus->Devices().com[0], "/dev/ttyUSB1");
    EXPECT_TRUE(bus->DeviceOpen("/dev/ttyUSB1"));
    EXPECT_TRUE(bus->DeviceOpen("/dev/parport0"));
    EXPECT_FALSE(bus->DeviceOpen("/dev/ttyUSB0"));
    ports().SetKey(1);
    EXPECT_EQ(layer.Tiocm(b) & (kDtr | kRts), kDtr | kRts);
    settings().KeyPortNumber = 5;
    ports().SetKey(1);
    EXPECT_EQ(layer.Lines(lpt).data.load(), 0x03);

    // The old adapter is closed two monitor rounds later.
    const int open = layer.OpenDescriptors();
    bus->Monitor(0);
    EXPECT_EQ(layer.OpenDescriptors(), open);
    bus->Monitor(kMsNs);
    EXPECT_EQ(layer.OpenDescriptors(), open - 1);

    // An adapter that moves to another port is closed at once, so that it opens there.
    DevicesConfig moved = next;
    moved.com[0].clear();
    moved.com[1] = "/dev/ttyUSB1";
    bus->SetDevices(moved, warnings);
    EXPECT_TRUE(bus->Com(2)->IsOpen());
    EXPECT_EQ(bus->Com(1), nullptr);
}

TEST_F(DevicesFixture, ChangingTheGamePortLetsGoOfTheOldAdapter) {
    const int first = layer.AddInput("/dev/input/event5", {KEY_LEFTCTRL, KEY_RIGHTCTRL});
    const int second = layer.AddInput("/dev/input/event6", {KEY_Z, KEY_X});
    DevicesConfig config = Config();
    config.gameport = "/dev/input/event5";
    Build(config);
    ASSERT_TRUE(layer.Grabbed(first));
    DevicesConfig next = config;
    next.gameport = "/dev/input/event6";
    next.paddleKeys = "Z,X";
    bus->SetDevices(next, warnings);
    EXPECT_FALSE(layer.Grabbed(first));
    EXPECT_TRUE(layer.Grabbed(second));
    layer.PressKey(second, KEY_Z, true);
    bus->GamePort()->Service(0, 0);
    EXPECT_EQ(bus->in(0x201) & 0x30, 0x20);  // button 1 (dot) pressed reads low
}

}  // namespace
}  // namespace telkey::test
