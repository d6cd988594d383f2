// Paddle reads, key and TX writes and the PC speaker, as bytes on the simulated port space.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/handover.h"
#include "engine/ports.h"
#include "keyer_fixture.h"

namespace telkey::test {
namespace {

using ::testing::ElementsAre;

class PortsTest : public ::testing::Test {
  protected:
    std::vector<std::pair<std::uint16_t, std::uint8_t>> Writes() const {
        std::vector<std::pair<std::uint16_t, std::uint8_t>> out;
        for (const PortWrite& w : bus.Writes()) out.push_back({w.port, w.value});
        return out;
    }

    SimPortBus bus{1 << 12};
    PortSettings settings;
    SharedFlags flags;
    Ports ports{bus, settings, flags};
};

using W = std::pair<std::uint16_t, std::uint8_t>;

TEST_F(PortsTest, ParallelKeyPortWithAllMask) {
    settings.KeyPortNumber = 5;
    settings.AllMask = 0x80;
    ports.InitPorts();
    EXPECT_THAT(Writes(), ElementsAre(W{0x378, 0x80}));

    flags.Transmitting = 1;
    ports.SetKey(1);
    flags.Transmitting = 0;
    ports.SetKey(0);
    ports.SetTx(1);
    ports.SetTx(0);
    EXPECT_THAT(Writes(), ElementsAre(W{0x378, 0x80}, W{0x378, 0x83}, W{0x378, 0x80},
                                      W{0x378, 0x82}, W{0x378, 0x80}));
}

TEST_F(PortsTest, SetTxKeepsTheKeyLineAsSetKeyLeftIt) {
    settings.KeyPortNumber = 6;
    flags.Transmitting = 0;
    ports.SetTx(1);
    flags.Transmitting = 1;
    ports.SetTx(0);
    flags.Transmitting = 0;
    ports.SetKey(1);
    ports.SetTx(1);
    ports.SetTx(0);
    ports.SetKey(0);
    ports.SetTx(1);
    EXPECT_THAT(Writes(),
                ElementsAre(W{0x278, 0x02}, W{0x278, 0x00}, W{0x278, 0x01}, W{0x278, 0x03},
                            W{0x278, 0x01}, W{0x278, 0x00}, W{0x278, 0x02}));
}

TEST_F(PortsTest, SerialKeyPortStartupOnlyReads) {
    settings.KeyPortNumber = 1;
    ports.InitPorts();
    EXPECT_EQ(bus.ReadCount(0x3F8), 1u);
    EXPECT_EQ(bus.WriteCount(), 0u);
}

TEST_F(PortsTest, KeyPortTable) {
    const std::uint16_t startup[] = {0, 0x3F8, 0x2F8, 0x3E8, 0x2E8, 0x378, 0x278, 0x3BC};
    const std::uint16_t output[] = {0, 0x3FC, 0x2FC, 0x3EC, 0x2EC, 0x378, 0x278, 0x3BC};
    for (int n = 0; n <= 7; ++n) {
        EXPECT_EQ(KeyPortStartupAddress(n), startup[n]) << n;
        EXPECT_EQ(KeyPortOutputRegister(n), output[n]) << n;
    }
    EXPECT_EQ(KeyPortOutputRegister(8), 0);
    EXPECT_EQ(KeyPortOutputRegister(-1), 0);
}

TEST_F(PortsTest, NoKeyPortWritesNothingButSpeakerAndPaddlesWork) {
    for (int number : {0, 8, -3, 1000}) {
        settings.KeyPortNumber = number;
        ports.InitPorts();
        ports.SetKey(1);
        ports.SetKey(0);
        ports.SetTx(1);
    }
    EXPECT_EQ(bus.WriteCount(), 0u);
    EXPECT_EQ(bus.ReadCount(0x3F8) + bus.ReadCount(0x378), 0u);

    settings.UseSpeaker = 1;
    ports.SetKey(1);
    EXPECT_TRUE(ports.SpeakerSounding());
    bus.SetInput(0x201, 0xEF);
    EXPECT_EQ(ports.ReadDotPaddle(), 1);
}

TEST_F(PortsTest, SpeakerSequenceOnKeyDownAndUp) {
    settings.UseSpeaker = 1;
    settings.ToneDivisor = 1193;  // 0x04A9
    bus.SetInput(0x61, 0x30);
    ports.SetKey(1);
    EXPECT_THAT(Writes(), ElementsAre(W{0x43, 0xB6}, W{0x42, 0xA9}, W{0x42, 0x04}, W{0x61, 0x33}));
    EXPECT_EQ(bus.ReadCount(0x61), 1u);
    EXPECT_TRUE(ports.SpeakerSounding());

    bus.Clear();
    bus.SetInput(0x61, 0x33);
    ports.SetKey(0);
    EXPECT_THAT(Writes(), ElementsAre(W{0x61, 0x30}));
    EXPECT_FALSE(ports.SpeakerSounding());

    bus.Clear();
    ports.SetKey(0);  // already silent: the gate is left alone
    EXPECT_EQ(bus.WriteCount(), 0u);
}

TEST_F(PortsTest, NewToneTakesEffectAtNextKeyDown) {
    settings.UseSpeaker = 1;
    settings.ToneDivisor = ToneDivisor(2000);
    ports.SetKey(1);
    EXPECT_THAT(bus.ValuesWrittenTo(0x42), ElementsAre(597 & 0xFF, 597 >> 8));
}

TEST_F(PortsTest, SpeakerOffDuringElementStillSilencesAtKeyUp) {
    settings.UseSpeaker = 1;
    ports.SetKey(1);
    settings.UseSpeaker = 0;
    bus.Clear();
    bus.SetInput(0x61, 0xFF);
    ports.SetKey(0);
    EXPECT_THAT(Writes(), ElementsAre(W{0x61, 0xFC}));
    EXPECT_FALSE(ports.SpeakerSounding());
    bus.Clear();
    ports.SetKey(1);
    EXPECT_EQ(bus.WriteCount(), 0u) << "no tone with UseSpeaker off";
}

TEST_F(PortsTest, PaddleMasks) {
    // Defaults: game port buttons read 0 when pressed.
    bus.SetInput(0x201, 0xFF);
    EXPECT_EQ(ports.ReadDotPaddle(), 0);
    EXPECT_EQ(ports.ReadDashPaddle(), 0);
    bus.SetInput(0x201, 0xCF);
    EXPECT_EQ(ports.ReadDotPaddle(), 1);
    EXPECT_EQ(ports.ReadDashPaddle(), 1);

    // DotXorMask 0: a contact that pulls bit 4 high reads closed.
    settings.DotXorMask = 0x00;
    bus.SetInput(0x201, 0x10);
    EXPECT_EQ(ports.ReadDotPaddle(), 1);
    bus.SetInput(0x201, 0x00);
    EXPECT_EQ(ports.ReadDotPaddle(), 0);
}

TEST_F(PortsTest, DotPortZeroReadsOpen) {
    settings.DotPort = 0;
    settings.DotXorMask = 0xFF;
    settings.DotAndMask = 0xFF;
    bus.SetInput(0, 0x00);
    EXPECT_EQ(ports.ReadDotPaddle(), 0);
    EXPECT_EQ(bus.ReadCount(0), 0u) << "port 0 is not read";
    settings.DashPort = 0;
    EXPECT_EQ(ports.ReadDashPaddle(), 0);
}

TEST(ToneDivisorTest, RoundedDivisorAndUnusableTones) {
    EXPECT_EQ(ToneDivisor(1000), 1193);
    EXPECT_EQ(ToneDivisor(2000), 597);
    EXPECT_EQ(ToneDivisor(19), 62799);
    EXPECT_EQ(ToneDivisor(1193180), 1);
    // No usable 16-bit divisor (or a divide by zero): the default tone.
    for (int tone : {0, 5, -3, 18, -2147483647 - 1}) EXPECT_EQ(ToneDivisor(tone), 1193) << tone;
}

// Through the keyer: the first idle tick follows the start-up read with the output register.
class KeyerPortsTest : public KeyerFixture {};

TEST_F(KeyerPortsTest, SerialPortFirstIdleTickWritesAllMask) {
    engine.portSettings.KeyPortNumber = 1;
    engine.portSettings.AllMask = 0x40;
    engine.ports.InitPorts();
    EXPECT_EQ(bus.ReadCount(0x3F8), 1u);
    EXPECT_EQ(bus.WriteCount(), 0u);
    Tick();
    EXPECT_THAT(bus.ValuesWrittenTo(0x3FC), ElementsAre(0x40));
}

TEST_F(KeyerPortsTest, KeyedLetterOnParallelPortWithAllMask) {
    engine.portSettings.AllMask = 0x80;
    engine.keyerSettings.PaddleDelay = 0;  // no PTT lead
    engine.ports.InitPorts();
    engine.flags.Transmitting = 1;
    engine.mailbox.Fill(0x02);  // e
    Tick(20);
    engine.flags.Transmitting = 0;
    Tick(10);
    // Start-up, idle with TX, the key-down with TX, and the key-up while receiving.
    EXPECT_THAT(bus.ValuesWrittenTo(kLpt1), ElementsAre(0x80, 0x82, 0x83, 0x80));
}

TEST_F(KeyerPortsTest, SpeakerSoundsExactlyWhileKeyIsDown) {
    engine.portSettings.UseSpeaker = 1;
    bus.SetInput(0x61, 0x00);
    engine.mailbox.Fill(0x03);  // t: one dash
    Tick(20);
    EXPECT_TRUE(engine.ports.SpeakerSounding());
    engine.portSettings.UseSpeaker = 0;  // switched off during the dash
    Tick(100);
    EXPECT_FALSE(engine.ports.SpeakerSounding());
    EXPECT_THAT(bus.ValuesWrittenTo(0x61), ElementsAre(0x03, 0x00));
}

}  // namespace
}  // namespace telkey::test
