// The station's devices in the settings file's own section, and the command line over them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/scratch_dir.h"
#include "ui/profile_devices.h"

namespace telkey::test {
namespace {

using ::testing::HasSubstr;

class ProfileDevicesTest : public ::testing::Test {
  protected:
    ScratchDir dir;
    std::string name = dir / "Telkey.ini";
};

TEST_F(ProfileDevicesTest, AFileWithoutTheSectionMapsNothing) {
    WriteBytes(name, "[Qor_Cw]\r\nKeyPortNumber=1\r\n");
    const DevicesConfig read = ReadDeviceChoices(ProfileFile(name));
    for (const auto& com : read.com) EXPECT_TRUE(com.empty());
    for (const auto& lpt : read.lpt) EXPECT_TRUE(lpt.empty());
    EXPECT_TRUE(read.gameport.empty());
    EXPECT_TRUE(read.speaker.empty());
    EXPECT_EQ(read.volume, kFullVolume);
    const PortBusOptions merged = MergeDeviceChoices(PortBusOptions{}, read);
    EXPECT_TRUE(merged.com[0].empty());
    EXPECT_EQ(merged.ports, "devices");
}

TEST_F(ProfileDevicesTest, WrittenChoicesReadBackAndOtherSectionsStayByteForByte) {
    const std::string before = "; my station\r\n[Qor_Cw]\r\nKeyPortNumber=1\r\n";
    WriteBytes(name, before);
    DevicesConfig choices;
    choices.com[0] = "/dev/serial/by-id/usb-FTDI-if00-port0";
    choices.comShared[0] = true;
    choices.com[2] = "/dev/ttyACM0";
    choices.lpt[1] = "/dev/parport0";
    choices.gameport = "/dev/input/by-id/usb-Paddle-event-kbd";
    choices.paddleKeys = "Z,X";
    choices.speaker = "pcspkr";
    choices.volume = 35;
    ProfileFile file(name);
    WriteDeviceChoices(file, choices);
    const std::string after = ReadBytes(name);
    EXPECT_EQ(after.substr(0, before.size()), before);
    EXPECT_THAT(after, HasSubstr("[Devices]\r\nCOM1=/dev/serial/by-id/usb-FTDI-if00-port0\r\n"));

    const DevicesConfig read = ReadDeviceChoices(ProfileFile(name));
    EXPECT_EQ(read.com, choices.com);
    EXPECT_EQ(read.comShared, choices.comShared);
    EXPECT_EQ(read.lpt, choices.lpt);
    EXPECT_EQ(read.gameport, choices.gameport);
    EXPECT_EQ(read.paddleKeys, "Z,X");
    EXPECT_EQ(read.speaker, "pcspkr");
    EXPECT_EQ(read.volume, 35);
}

TEST_F(ProfileDevicesTest, ValuesThatCannotBeUsedAreLeftOutRatherThanStoppingTheStart) {
    WriteBytes(name, "[Devices]\nPaddleKeys=NOSUCHKEY\nSpeaker=loud\nVolume=250\nCOM2Shared=x\n");
    const DevicesConfig read = ReadDeviceChoices(ProfileFile(name));
    EXPECT_TRUE(read.paddleKeys.empty());
    EXPECT_TRUE(read.speaker.empty());
    EXPECT_EQ(read.volume, kFullVolume);
    EXPECT_FALSE(read.comShared[1]);
}

TEST_F(ProfileDevicesTest, TheCommandLineWinsForThisRunWhereItNamesADevice) {
    DevicesConfig file;
    file.com[0] = "/dev/ttyUSB0";
    file.comShared[0] = true;
    file.com[1] = "/dev/ttyUSB1";
    file.gameport = "/dev/input/event5";
    file.paddleKeys = "Z,X";
    file.speaker = "pcspkr";
    PortBusOptions line;
    line.com[0] = "/dev/ttyUSB7";
    line.gameport = "/dev/input/event9";
    line.speaker = "none";
    const PortBusOptions merged = MergeDeviceChoices(line, file);
    EXPECT_EQ(merged.com[0], "/dev/ttyUSB7");
    EXPECT_FALSE(merged.comShared[0]);
    EXPECT_EQ(merged.com[1], "/dev/ttyUSB1");  // not named on the command line
    EXPECT_EQ(merged.gameport, "/dev/input/event9");
    EXPECT_TRUE(merged.paddleKeys.empty());  // the file's keys were for the file's adapter
    EXPECT_EQ(merged.speaker, "none");
}

}  // namespace
}  // namespace telkey::test

namespace telkey::test {
namespace {

// The rig's keys read back as written; a value that cannot be used keeps its default, and the
// command line wins over the file.
TEST_F(ProfileDevicesTest, RigChoiceReadsBackAndTheCommandLineWins) {
    rig::RigChoice written;
    written.ptt = rig::PttVia::Both;
    written.key = rig::KeyVia::Rig;
    written.target = {rig::RigTarget::Kind::Serial, "", 0, 3073, "/dev/ttyUSB1", 19200};
    ProfileFile file(name);
    WriteRigChoice(file, written);
    const rig::RigChoice read = ReadRigChoice(ProfileFile(name));
    EXPECT_EQ(read.ptt, written.ptt);
    EXPECT_EQ(read.key, written.key);
    EXPECT_EQ(read.target.Describe(), "rig model 3073 on /dev/ttyUSB1");
    EXPECT_EQ(read.target.baud, 19200);

    WriteBytes(name, "[Devices]\r\nRigPtt=cat\r\nRigKey=rig\r\nRigctld=shack:x\r\n");
    const rig::RigChoice bad = ReadRigChoice(ProfileFile(name));
    EXPECT_EQ(bad.ptt, rig::PttVia::Line);
    EXPECT_EQ(bad.target.Describe(), "rigctld at localhost:4532");
    rig::RigOptions line;
    line.ptt = rig::PttVia::Both;
    EXPECT_EQ(rig::MergeRigChoice(line, bad).ptt, rig::PttVia::Both);
    EXPECT_EQ(rig::MergeRigChoice(line, bad).key, rig::KeyVia::Rig);
}

}  // namespace
}  // namespace telkey::test
