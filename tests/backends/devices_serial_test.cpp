// COM ports on tty devices: the modem control register drives DTR and RTS, the modem status
// register reads CTS, DSR, RI and DCD; devices that are missing, refused or unplugged.
#include <fcntl.h>

#include <chrono>
#include <thread>

#include "engine/line_guard.h"
#include "tests/backends/devices_fixture.h"

namespace telkey::test {
namespace {

using ::testing::HasSubstr;

class SerialTest : public DevicesFixture {
  protected:
    void SetUp() override {
        com1 = layer.AddSerial("/dev/ttyUSB0");
        DevicesConfig config = Config();
        config.com[0] = "/dev/ttyUSB0";
        Build(config);
        settings().KeyPortNumber = 1;
    }
    int Lines() const { return layer.Tiocm(com1) & (kDtr | kRts); }

    int com1 = -1;
};

TEST_F(SerialTest, OpeningDropsTheLinesTheTtyRaisedAndTakesNoTerminal) {
    EXPECT_TRUE(warnings.empty());
    EXPECT_EQ(Lines(), 0);
    const int flags = layer.LastOpenFlags(com1);
    EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
    EXPECT_NE(flags & O_NOCTTY, 0);
    EXPECT_NE(flags & O_NONBLOCK, 0);
}

TEST_F(SerialTest, OpeningSetsHangUpOnCloseAndNothingElseOfTheTermios) {
    EXPECT_EQ(layer.Lines(com1).cflag.load(), HUPCL);
    // A port that has it already is not written to.
    const int com2 = layer.AddSerial("/dev/ttyUSB1");
    layer.Lines(com2).cflag.store(HUPCL | CS8 | CREAD | B9600);
    DevicesConfig config = Config();
    config.com[1] = "/dev/ttyUSB1";
    Build(config);
    EXPECT_EQ(layer.Lines(com2).cflag.load(), HUPCL | CS8 | CREAD | B9600);
    EXPECT_EQ(layer.Lines(com2).termiosWrites.load(), 0);
    // Without it, HUPCL is the one bit that changes.
    const int com3 = layer.AddSerial("/dev/ttyUSB2");
    layer.Lines(com3).cflag.store(CS8 | CREAD | CLOCAL);
    config.com[2] = "/dev/ttyUSB2";
    Build(config);
    EXPECT_EQ(layer.Lines(com3).cflag.load(), HUPCL | CS8 | CREAD | CLOCAL);
}

// What the backend hands to the guardian, slot by slot.
class RecordingGuard final : public LineGuard {
  public:
    void Hand(GuardedKind kind, int slot, int fd) noexcept override {
        log += "hand " + std::to_string(static_cast<int>(kind)) + " " + std::to_string(slot) +
               (fd >= 0 ? " fd;" : " none;");
    }
    void Forget(int slot) noexcept override { log += "forget " + std::to_string(slot) + ";"; }
    std::string log;
};

TEST_F(SerialTest, TheGuardianHasEveryOpenPortAndLetsGoBeforeItIsClosed) {
    layer.AddParallel("/dev/parport0");
    DevicesConfig config = Config();
    config.com[0] = "/dev/ttyUSB0";
    config.lpt[1] = "/dev/parport0";
    Build(config);
    RecordingGuard guard;
    bus->GuardLines(guard);
    // COM1 in slot 1, LPT2 in slot 6 (their KeyPortNumber).
    EXPECT_EQ(guard.log, "hand 3 1 fd;hand 4 6 fd;");
    guard.log.clear();
    layer.Unplug(com1);
    ports().SetKey(1);
    bus->Monitor(0);
    EXPECT_EQ(guard.log, "forget 1;");
    layer.Plug(com1);
    bus->Monitor(1100 * kMsNs);
    EXPECT_EQ(guard.log, "forget 1;hand 3 1 fd;");
    guard.log.clear();
    bus.reset();
    EXPECT_EQ(guard.log, "forget 1;forget 6;");
}

TEST_F(SerialTest, KeyAndTxBytesBecomeDtrAndRts) {
    // KeyMask 01 (DTR), TxMask 02 (RTS): key-down while transmitting writes 03 to 0x3FC.
    engine->flags.Transmitting = 1;
    ports().SetKey(1);
    EXPECT_EQ(Lines(), kDtr | kRts);
    EXPECT_EQ(bus->in(0x3FC), 0x03);
    // Key-up while transmitting keeps PTT.
    ports().SetKey(0);
    EXPECT_EQ(Lines(), kRts);
    // Key-up receiving: both off.
    engine->flags.Transmitting = 0;
    ports().SetKey(0);
    EXPECT_EQ(Lines(), 0);
    // Key-down receiving: the key line alone.
    ports().SetKey(1);
    EXPECT_EQ(Lines(), kDtr);
    ports().SetTx(1);  // the window's TX during an element keeps the key down
    EXPECT_EQ(Lines(), kDtr | kRts);
}

TEST_F(SerialTest, AllMaskHoldsItsLineOnAndBitsWithoutALineChangeNothing) {
    settings().KeyMask = 0x02;  // key on RTS
    settings().TxMask = 0x00;
    settings().AllMask = 0x01;  // DTR always on, e.g. to power the interface
    ports().SetKey(0);
    EXPECT_EQ(Lines(), kDtr);
    ports().SetKey(1);
    EXPECT_EQ(Lines(), kDtr | kRts);
    // OUT1, OUT2 and LOOP have no line on a tty: 0x1C on top changes nothing.
    settings().AllMask = 0x1C;
    ports().SetKey(0);
    EXPECT_EQ(Lines(), 0);
    EXPECT_EQ(layer.Tiocm(com1) & ~(kDtr | kRts), 0);
}

TEST_F(SerialTest, StartUpReadOfTheBaseRegisterTouchesNothingAndTheFirstIdleTickWritesAllMask) {
    const int changes = layer.Lines(com1).lineChanges.load();
    settings().AllMask = 0x02;
    ports().InitPorts();
    EXPECT_EQ(layer.Lines(com1).lineChanges.load(), changes);
    EXPECT_EQ(layer.Lines(com1).statusReads.load(), 0);
    Tick();
    EXPECT_EQ(Lines(), kRts);
}

TEST_F(SerialTest, IdleTicksRewritingTheSameByteDoNotTouchTheDevice) {
    Tick();
    const int changes = layer.Lines(com1).lineChanges.load();
    Tick(100);
    EXPECT_EQ(layer.Lines(com1).lineChanges.load(), changes);
}

TEST_F(SerialTest, PaddleOnCtsAndDsrReadsThroughTheMasks) {
    settings().DotPort = 0x3FE;
    settings().DotXorMask = 0x00;
    settings().DotAndMask = 0x10;
    settings().DashPort = 0x3FE;
    settings().DashXorMask = 0x00;
    settings().DashAndMask = 0x20;
    EXPECT_EQ(ports().ReadDotPaddle(), 0);
    EXPECT_EQ(ports().ReadDashPaddle(), 0);
    layer.SetModemInputs(com1, TIOCM_CTS);
    EXPECT_EQ(ports().ReadDotPaddle(), 1);
    EXPECT_EQ(ports().ReadDashPaddle(), 0);
    layer.SetModemInputs(com1, TIOCM_DSR);
    EXPECT_EQ(ports().ReadDotPaddle(), 0);
    EXPECT_EQ(ports().ReadDashPaddle(), 1);
    layer.SetModemInputs(com1, TIOCM_CTS | TIOCM_DSR | TIOCM_RI | TIOCM_CD);
    EXPECT_EQ(bus->in(0x3FE) & 0xF0, 0xF0);
}

TEST_F(SerialTest, StatusRegisterShowsTheChangesSinceTheLastRead) {
    EXPECT_EQ(bus->in(0x3FE), 0x00);
    layer.SetModemInputs(com1, TIOCM_CTS | TIOCM_RI);
    EXPECT_EQ(bus->in(0x3FE), 0x10 | 0x40 | 0x01);  // CTS, RI, delta CTS
    layer.SetModemInputs(com1, 0);
    EXPECT_EQ(bus->in(0x3FE), 0x01 | 0x04);  // delta CTS, trailing edge of RI
    EXPECT_EQ(bus->in(0x3FE), 0x00);
}

TEST_F(SerialTest, PaddleOnCtsKeysDtrThroughTheKeyer) {
    settings().DotPort = 0x3FE;
    settings().DotXorMask = 0x00;
    settings().DotAndMask = 0x10;
    settings().DashPort = 0x3FE;
    settings().DashXorMask = 0x00;
    settings().DashAndMask = 0x20;
    Tick(3);
    layer.SetModemInputs(com1, TIOCM_CTS);
    Tick(2);  // the idle tick that sees the paddle, then the dot's first tick
    EXPECT_EQ(Lines(), kDtr);
    layer.SetModemInputs(com1, 0);
    Tick(24);
    EXPECT_EQ(Lines(), kDtr);
    Tick();
    EXPECT_EQ(Lines(), 0);  // the dot lasted DotTicks
}

TEST_F(SerialTest, OtherRegistersReadHarmlessValuesAndUnmappedPortsReadFF) {
    EXPECT_EQ(bus->in(0x3FD), 0x60);  // transmitter empty
    bus->out(0x3FF, 0x5A);
    EXPECT_EQ(bus->in(0x3FF), 0x5A);  // scratch
    EXPECT_EQ(bus->in(0x2FE), 0xFF);  // COM2: no option maps it
    bus->out(0x2FC, 0x03);
    EXPECT_EQ(bus->in(0x201), 0xFF);
    EXPECT_EQ(bus->in(0x379), 0xFF);
    EXPECT_EQ(Lines(), 0);
}

TEST_F(SerialTest, UnpluggedAdapterIsNoticedAndTakenBackWhenItReturns) {
    engine->flags.Transmitting = 1;
    ports().SetTx(1);
    ASSERT_EQ(Lines(), kRts);
    layer.Unplug(com1);
    ports().SetKey(1);  // fails: the adapter is gone
    EXPECT_EQ(bus->in(0x3FE), 0x00);
    bus->Monitor(0);
    EXPECT_THAT(Notices(), HasSubstr("COM1: /dev/ttyUSB0 has gone"));
    EXPECT_FALSE(bus->Com(1)->IsOpen());
    ports().SetKey(0);          // the keyer goes on without it
    bus->Monitor(100 * kMsNs);  // the descriptor is closed one round later
    EXPECT_EQ(layer.OpenDescriptors(), 0);

    layer.Plug(com1);
    bus->Monitor(500 * kMsNs);  // too early for another try
    EXPECT_FALSE(bus->Com(1)->IsOpen());
    bus->Monitor(1100 * kMsNs);
    EXPECT_TRUE(bus->Com(1)->IsOpen());
    EXPECT_THAT(Notices(), HasSubstr("COM1: /dev/ttyUSB0 is back."));
    EXPECT_EQ(Lines(), 0);  // back with its lines down
    Tick();                 // the next idle tick puts PTT back
    EXPECT_EQ(Lines(), kRts);
}

TEST_F(SerialTest, IdleAdapterThatVanishesIsFoundByTheProbe) {
    bus->Monitor(0);
    layer.Unplug(com1);
    bus->Monitor(500 * kMsNs);
    EXPECT_TRUE(bus->Com(1)->IsOpen());  // not probed yet
    bus->Monitor(1000 * kMsNs);
    EXPECT_FALSE(bus->Com(1)->IsOpen());
}

TEST_F(DevicesFixture, SlowStatusRequestsAreTakenOffTheKeyerThread) {
    const int com = layer.AddSerial("/dev/ttyUSB0");
    layer.Lines(com).statusDelayMs = 20;
    DevicesConfig config = Config();
    config.com[0] = "/dev/ttyUSB0";
    config.threads = true;
    config.timing.monitorPeriodNs = 5 * kMsNs;
    Build(config);
    (void)bus->in(0x3FE);  // the first read asks the device; from then on a poller does
    layer.SetModemInputs(com, TIOCM_CTS);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((bus->in(0x3FE) & 0x10) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(bus->in(0x3FE) & 0x10, 0x10);
    // Two hundred reads, as a keyer reads both paddles for a hundred ticks: asked of the
    // device they would take four seconds.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 200; ++i) (void)bus->in(0x3FE);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    layer.SetModemInputs(com, 0);
    while ((bus->in(0x3FE) & 0x10) != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(bus->in(0x3FE) & 0x10, 0x00);
}

struct OpenFault {
    int error;
    const char* says;
};

class SerialOpenFaultTest : public DevicesFixture,
                            public ::testing::WithParamInterface<OpenFault> {};

TEST_P(SerialOpenFaultTest, NamesTheDeviceAndTheFixAndRunsOn) {
    const int dev = layer.AddSerial("/dev/ttyUSB3");
    layer.SetOpenError(dev, GetParam().error);
    DevicesConfig config = Config();
    config.com[1] = "/dev/ttyUSB3";
    Build(config);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_THAT(warnings[0], HasSubstr("COM2"));
    EXPECT_THAT(warnings[0], HasSubstr("/dev/ttyUSB3"));
    EXPECT_THAT(warnings[0], HasSubstr(GetParam().says));
    EXPECT_THAT(warnings[0], HasSubstr("Telkey runs on without COM2"));
    settings().KeyPortNumber = 2;
    engine->flags.Transmitting = 1;
    ports().SetKey(1);
    EXPECT_EQ(bus->in(0x2FE), 0x00);
    // Put right while Telkey runs: the port is taken up.
    layer.SetOpenError(dev, 0);
    bus->Monitor(2000 * kMsNs);
    EXPECT_TRUE(bus->Com(2)->IsOpen());
    EXPECT_THAT(Notices(), HasSubstr("COM2: /dev/ttyUSB3 is now open."));
}

INSTANTIATE_TEST_SUITE_P(Faults, SerialOpenFaultTest,
                         ::testing::Values(OpenFault{-ENOENT, "does not exist"},
                                           OpenFault{-EACCES, "dialout group"},
                                           OpenFault{-EBUSY, "in use by another program"}));

TEST_F(DevicesFixture, ANonSerialDeviceIsRefusedWithAClearMessage) {
    layer.AddParallel("/dev/parport0");
    DevicesConfig config = Config();
    config.com[0] = "/dev/parport0";
    Build(config);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_THAT(warnings[0], HasSubstr("not a serial port"));
    EXPECT_EQ(layer.OpenDescriptors(), 0);
}

TEST_F(DevicesFixture, EndingReleasesEveryLineAndClosesTheDevices) {
    const int com = layer.AddSerial("/dev/ttyUSB0");
    const int lpt = layer.AddParallel("/dev/parport0");
    DevicesConfig config = Config();
    config.com[0] = "/dev/ttyUSB0";
    config.lpt[0] = "/dev/parport0";
    Build(config);
    bus->out(0x3FC, 0x03);
    bus->out(0x378, 0x83);
    engine.reset();
    bus.reset();
    EXPECT_EQ(layer.Tiocm(com) & (kDtr | kRts), 0);
    EXPECT_EQ(layer.Lines(lpt).data.load(), 0);
    EXPECT_EQ(layer.OpenDescriptors(), 0);
}

}  // namespace
}  // namespace telkey::test
