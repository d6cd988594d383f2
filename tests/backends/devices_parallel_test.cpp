// LPT ports on ppdev nodes: data register writes with PPWDATA, status reads with PPRSTATUS.
#include "tests/backends/devices_fixture.h"

namespace telkey::test {
namespace {

using ::testing::HasSubstr;

class ParallelTest : public DevicesFixture {
  protected:
    void SetUp() override {
        lpt1 = layer.AddParallel("/dev/parport0");
        layer.Lines(lpt1).data = 0xFF;  // what the last user left on the lines
        DevicesConfig config = Config();
        config.lpt[0] = "/dev/parport0";
        Build(config);
        settings().KeyPortNumber = 5;
    }
    int Data() { return layer.Lines(lpt1).data.load(); }

    int lpt1 = -1;
};

TEST_F(ParallelTest, ClaimingThePortClearsTheDataLines) {
    EXPECT_TRUE(warnings.empty());
    EXPECT_EQ(Data(), 0x00);
}

TEST_F(ParallelTest, AllMaskAtStartUpAndKeyAndTxOnTopOfIt) {
    settings().AllMask = 0x80;
    ports().InitPorts();
    EXPECT_EQ(Data(), 0x80);
    engine->flags.Transmitting = 1;
    ports().SetKey(1);
    EXPECT_EQ(Data(), 0x83);
    engine->flags.Transmitting = 0;
    ports().SetKey(0);
    EXPECT_EQ(Data(), 0x80);
    EXPECT_EQ(bus->in(0x378), 0x80);
}

TEST_F(ParallelTest, StatusRegisterComesFromTheDevice) {
    layer.SetParallelStatus(lpt1, 0x5F);
    EXPECT_EQ(bus->in(0x379), 0x5F);
    // A paddle on ACK (bit 6), closed pulls it low.
    settings().DotPort = 0x379;
    settings().DotXorMask = 0xFF;
    settings().DotAndMask = 0x40;
    layer.SetParallelStatus(lpt1, 0x3F);
    EXPECT_EQ(ports().ReadDotPaddle(), 1);
    layer.SetParallelStatus(lpt1, 0x7F);
    EXPECT_EQ(ports().ReadDotPaddle(), 0);
}

TEST_F(ParallelTest, UnpluggedPortReadsOpenAndComesBack) {
    layer.Unplug(lpt1);
    EXPECT_EQ(bus->in(0x379), kStatusOpen);
    bus->Monitor(0);
    EXPECT_THAT(Notices(), HasSubstr("LPT1: /dev/parport0 has gone"));
    layer.Plug(lpt1);
    bus->Monitor(1000 * kMsNs);
    EXPECT_TRUE(bus->Lpt(1)->IsOpen());
    settings().AllMask = 0x80;
    Tick();
    EXPECT_EQ(Data(), 0x80);
}

TEST_F(DevicesFixture, ParallelPortClaimedElsewhereOrNotPermitted) {
    const int busy = layer.AddParallel("/dev/parport1");
    layer.SetClaimError(busy, -EBUSY);
    const int refused = layer.AddParallel("/dev/parport2");
    layer.SetOpenError(refused, -EACCES);
    DevicesConfig config = Config();
    config.lpt[1] = "/dev/parport1";
    config.lpt[2] = "/dev/parport2";
    Build(config);
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_THAT(warnings[0], HasSubstr("LPT2: /dev/parport1 is in use"));
    EXPECT_THAT(warnings[1], HasSubstr("LPT3: no permission to open /dev/parport2"));
    EXPECT_THAT(warnings[1], HasSubstr("lp group"));
    EXPECT_EQ(layer.OpenDescriptors(), 0);
    bus->out(0x278, 0x01);  // runs on without them
    EXPECT_EQ(bus->in(0x3BD), kStatusOpen);
}

}  // namespace
}  // namespace telkey::test
