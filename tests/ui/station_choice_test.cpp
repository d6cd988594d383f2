// What the station dialog shows, worked out from the settings words and the devices, and the
// settings and devices a choice gives.
#include <gtest/gtest.h>

#include "ui/station_choice.h"

namespace telkey::test {
namespace {

StationState Defaults() {
    StationState s;
    s.settings = ReadStationSettings(PortSettings{});
    return s;
}

TEST(StationChoice, DefaultsAreNoKeyPortAGamePortPaddleAndNoSidetone) {
    const StationChoice c = ChoiceFromState(Defaults());
    EXPECT_TRUE(c.keyDevice.empty());
    EXPECT_EQ(c.keyLine, kLineDtr);
    EXPECT_EQ(c.pttLine, kLineRts);
    EXPECT_EQ(c.paddle, PaddleChoice::Input);
    EXPECT_EQ(c.sidetone, SidetoneChoice::None);
    EXPECT_EQ(c.tone, 1000);
    // Nothing chosen, nothing changed.
    EXPECT_EQ(ApplyChoice(c, Defaults()).settings, Defaults().settings);
}

TEST(StationChoice, SerialKeyAndPaddleOnOneAdapter) {
    StationChoice c = ChoiceFromState(Defaults());
    c.keyDevice = "/dev/serial/by-id/ftdi";
    c.keyLine = kLineRts;
    c.pttLine = kNoLine;
    c.paddle = PaddleChoice::Serial;
    c.paddleDevice = c.keyDevice;
    const StationState s = ApplyChoice(c, Defaults());
    EXPECT_EQ(s.settings.KeyPortNumber, 1);
    EXPECT_EQ(s.devices.com[0], "/dev/serial/by-id/ftdi");
    EXPECT_EQ(s.settings.KeyMask, 0x02);
    EXPECT_EQ(s.settings.TxMask, 0x00);
    EXPECT_EQ(s.settings.DotPort, 0x3FE);
    EXPECT_EQ(s.settings.DashPort, 0x3FE);
    EXPECT_EQ(s.settings.DotXorMask, 0x00);
    EXPECT_EQ(s.settings.DotAndMask, 0x10);   // CTS
    EXPECT_EQ(s.settings.DashAndMask, 0x20);  // DSR
    EXPECT_TRUE(s.devices.com[1].empty());
    EXPECT_EQ(ChoiceFromState(s), c);
}

TEST(StationChoice, PaddleOnAnotherAdapterTakesAPortOfItsOwn) {
    StationChoice c = ChoiceFromState(Defaults());
    c.keyDevice = "/dev/ttyUSB0";
    c.paddle = PaddleChoice::Serial;
    c.paddleDevice = "/dev/ttyUSB1";
    c.paddleShared = true;
    const StationState s = ApplyChoice(c, Defaults());
    EXPECT_EQ(s.settings.KeyPortNumber, 1);
    EXPECT_EQ(s.devices.com[1], "/dev/ttyUSB1");
    EXPECT_TRUE(s.devices.comShared[1]);
    EXPECT_EQ(s.settings.DotPort, 0x2FE);
    EXPECT_EQ(ChoiceFromState(s), c);
}

TEST(StationChoice, ParallelKeyUsesDataLinesAndAnLptNumber) {
    StationChoice c = ChoiceFromState(Defaults());
    c.keyDevice = "/dev/parport0";
    c.keyKind = KindOfKeyDevice(c.keyDevice);
    c.keyLine = 0;
    c.pttLine = 3;
    c.paddle = PaddleChoice::None;
    const StationState s = ApplyChoice(c, Defaults());
    EXPECT_EQ(s.settings.KeyPortNumber, 5);
    EXPECT_EQ(s.devices.lpt[0], "/dev/parport0");
    EXPECT_EQ(s.settings.KeyMask, 0x01);
    EXPECT_EQ(s.settings.TxMask, 0x08);
    EXPECT_EQ(s.settings.DotPort, 0);
    EXPECT_EQ(s.settings.DashPort, 0);
    EXPECT_EQ(ChoiceFromState(s), c);
}

TEST(StationChoice, PortsNoLongerUsedAreLetGoAndOnesStillPointedAtAreKept) {
    StationState was = Defaults();
    was.settings.KeyPortNumber = 2;
    was.devices.com[1] = "/dev/ttyUSB0";
    was.devices.lpt[0] = "/dev/parport0";
    was.settings.DotPort = 0x379;  // a paddle on the parallel port's status lines
    was.settings.DashPort = 0x379;
    was.devices.gameport = "/dev/input/event5";
    StationChoice c = ChoiceFromState(was);
    EXPECT_EQ(c.paddle, PaddleChoice::Other);
    c.keyDevice.clear();
    const StationState s = ApplyChoice(c, was);
    EXPECT_EQ(s.settings.KeyPortNumber, 0);
    EXPECT_TRUE(s.devices.com[1].empty());
    EXPECT_EQ(s.devices.lpt[0], "/dev/parport0");
    EXPECT_EQ(s.settings.DotPort, 0x379);
    EXPECT_TRUE(s.devices.gameport.empty());
}

TEST(StationChoice, InputPaddleAndSidetone) {
    StationState was = Defaults();
    was.devices.speaker = "pcspkr";
    StationChoice c = ChoiceFromState(was);
    c.paddle = PaddleChoice::Input;
    c.paddleDevice = "/dev/input/by-id/paddle-event-kbd";
    c.paddleKeys = "Z,X";
    c.sidetone = SidetoneChoice::SoundCard;
    c.tone = 650;
    c.volume = 40;
    const StationState s = ApplyChoice(c, was);
    EXPECT_EQ(s.settings.DotPort, 0x201);
    EXPECT_EQ(s.settings.DotXorMask, 0xFF);
    EXPECT_EQ(s.devices.gameport, c.paddleDevice);
    EXPECT_EQ(s.devices.paddleKeys, "Z,X");
    EXPECT_EQ(s.settings.UseSpeaker, 1);
    EXPECT_EQ(s.settings.SpeakerTone, 650);
    EXPECT_TRUE(s.devices.speaker.empty());  // the sound card
    EXPECT_EQ(s.devices.volume, 40);
    c.sidetone = SidetoneChoice::PcSpeaker;
    EXPECT_EQ(ApplyChoice(c, was).devices.speaker, "pcspkr");
    c.sidetone = SidetoneChoice::None;
    const StationState quiet = ApplyChoice(c, was);
    EXPECT_EQ(quiet.settings.UseSpeaker, 0);
    EXPECT_EQ(quiet.devices.speaker, "pcspkr");  // the speaker button still knows where to go
}

}  // namespace
}  // namespace telkey::test
