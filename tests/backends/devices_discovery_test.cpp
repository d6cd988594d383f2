// Finding the station's devices, and what keeps one from being used, in the operator's words.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>

#include "backends/devices_discovery.h"
#include "support/scratch_dir.h"
#include "support/station_tree.h"

namespace telkey::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class DiscoveryTest : public ::testing::Test {
  protected:
    std::vector<std::string> Paths(const std::vector<FoundDevice>& found) {
        std::vector<std::string> paths;
        for (const auto& f : found) paths.push_back(f.path);
        return paths;
    }
    DeviceCheck Check(DeviceKind kind, const std::string& path, bool shared = false) {
        return CheckDevice(layer, kind, path, shared, tree.roots);
    }

    ScratchDir dir;
    FakeDeviceLayer layer;
    StationTree tree{dir.Path(), layer};
};

TEST_F(DiscoveryTest, ListsStableNamesFirstAndPlainNamesOnlyWhereNoStableNamePoints) {
    const auto serial = FindSerialDevices(tree.roots);
    EXPECT_THAT(Paths(serial), ElementsAre(tree.ftdi, tree.second, tree.acm));
    EXPECT_THAT(serial[0].label, HasSubstr("(ttyUSB0)"));  // which plain name it is
    EXPECT_THAT(Paths(FindParallelDevices(tree.roots)), ElementsAre(tree.parport));
    EXPECT_THAT(Paths(FindInputDevices(tree.roots)), ElementsAre(tree.paddle));
    EXPECT_TRUE(FindSerialDevices(DeviceRoots{dir / "nothing", dir / "nothing"}).empty());
}

TEST_F(DiscoveryTest, TellsWhichProgramHoldsADeviceThroughAnyOfItsNames) {
    tree.Holds("ttyUSB0", 4242, "rigctld");
    EXPECT_THAT(ProgramsHolding(tree.ftdi, tree.roots), ElementsAre("rigctld (pid 4242)"));
    EXPECT_TRUE(ProgramsHolding(tree.second, tree.roots).empty());
}

TEST_F(DiscoveryTest, UsableDevicesHaveNoProblemAndAreLeftAsTheyWere) {
    EXPECT_EQ(Check(DeviceKind::Serial, tree.ftdi).problem, DeviceProblem::None);
    EXPECT_EQ(Check(DeviceKind::Parallel, tree.parport).problem, DeviceProblem::None);
    EXPECT_EQ(Check(DeviceKind::Input, tree.paddle).problem, DeviceProblem::None);
    EXPECT_EQ(layer.OpenDescriptors(), 0);
    EXPECT_FALSE(layer.Grabbed(tree.paddleDev));
}

struct ProblemCase {
    DeviceKind kind;
    int error;  // the open's
    DeviceProblem problem;
    const char* says;
};

class DeviceProblemTest : public DiscoveryTest,
                          public ::testing::WithParamInterface<ProblemCase> {};

TEST_P(DeviceProblemTest, SaysWhatIsWrongAndHowToFixIt) {
    const ProblemCase& c = GetParam();
    const int dev = c.kind == DeviceKind::Serial     ? tree.ftdiDev
                    : c.kind == DeviceKind::Parallel ? tree.parportDev
                                                     : tree.paddleDev;
    const std::string path = c.kind == DeviceKind::Serial     ? tree.ftdi
                             : c.kind == DeviceKind::Parallel ? tree.parport
                                                              : tree.paddle;
    layer.SetOpenError(dev, c.error);
    const DeviceCheck check = Check(c.kind, path);
    EXPECT_EQ(check.problem, c.problem);
    EXPECT_THAT(check.message, HasSubstr(path));
    EXPECT_THAT(check.message, HasSubstr(c.says));
}

INSTANTIATE_TEST_SUITE_P(
    Problems, DeviceProblemTest,
    ::testing::Values(
        ProblemCase{DeviceKind::Serial, -EACCES, DeviceProblem::NoPermission,
                    "sudo usermod -aG dialout $USER"},
        ProblemCase{DeviceKind::Parallel, -EACCES, DeviceProblem::NoPermission,
                    "sudo usermod -aG lp $USER"},
        ProblemCase{DeviceKind::Input, -EACCES, DeviceProblem::NoPermission,
                    "sudo usermod -aG input $USER"},
        ProblemCase{DeviceKind::Serial, -EBUSY, DeviceProblem::Busy, "in use by"},
        ProblemCase{DeviceKind::Parallel, -EBUSY, DeviceProblem::Busy, "in use by"},
        ProblemCase{DeviceKind::Serial, -ENOENT, DeviceProblem::Unplugged, "unplugged"},
        ProblemCase{DeviceKind::Input, -ENOENT, DeviceProblem::Unplugged, "unplugged"},
        ProblemCase{DeviceKind::Parallel, -ENOENT, DeviceProblem::Unplugged, "modprobe ppdev"}));

TEST_F(DiscoveryTest, ABusyPortNamesTheProgramAndOffersSharing) {
    tree.Holds("ttyUSB0", 777, "flrig");
    layer.SetOpenError(tree.ftdiDev, -EBUSY);
    EXPECT_THAT(Check(DeviceKind::Serial, tree.ftdi).message, HasSubstr("flrig (pid 777)"));
    // Open without a lock in another program: fine when shared, worth a word when not.
    layer.SetOpenError(tree.ftdiDev, 0);
    const DeviceCheck alone = Check(DeviceKind::Serial, tree.ftdi);
    EXPECT_EQ(alone.problem, DeviceProblem::Busy);
    EXPECT_THAT(alone.message, HasSubstr("Shared"));
    EXPECT_EQ(Check(DeviceKind::Serial, tree.ftdi, true).problem, DeviceProblem::None);
}

TEST_F(DiscoveryTest, UnpluggedAndWrongKindsOfDevice) {
    layer.Unplug(tree.secondDev);
    EXPECT_EQ(Check(DeviceKind::Serial, tree.second).problem, DeviceProblem::Unplugged);
    const std::string text = dir / "notes.txt";
    layer.AddText(text, "hello");
    const DeviceCheck notSerial = Check(DeviceKind::Serial, text);
    EXPECT_EQ(notSerial.problem, DeviceProblem::NotModemLines);
    EXPECT_THAT(notSerial.message, HasSubstr("not a serial port with modem lines"));
    EXPECT_EQ(Check(DeviceKind::Parallel, tree.ftdi).problem, DeviceProblem::NotParallel);
    EXPECT_EQ(Check(DeviceKind::Input, tree.parport).problem, DeviceProblem::NotInput);
    layer.SetGrabbedElsewhere(tree.paddleDev, true);
    EXPECT_EQ(Check(DeviceKind::Input, tree.paddle).problem, DeviceProblem::Busy);
}

}  // namespace
}  // namespace telkey::test
