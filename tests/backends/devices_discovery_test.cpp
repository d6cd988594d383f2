// Finding the station's devices, and what keeps one from being used, in the operator's words.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "backends/devices_discovery.h"
#include "support/scratch_dir.h"
#include "support/station_tree.h"

namespace telkey::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::UnorderedElementsAre;

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

TEST_F(DiscoveryTest, ListsTheBuiltInSerialPortsThatHaveAUart) {
    // The kernel makes ttyS nodes for ports that are not there; their UART type is 0.
    const struct {
        const char* name;
        const char* uart;
        bool listed;
    } ports[] = {{"ttyS0", "0", false}, {"ttyS1", "4", true}, {"ttyS2", nullptr, false}};
    for (const auto& port : ports) {
        std::ofstream(dir / ("dev/" + std::string(port.name)));
        if (port.uart == nullptr) continue;
        const std::string sys = dir / ("sys/class/tty/" + std::string(port.name));
        std::filesystem::create_directories(sys);
        std::ofstream(sys + "/type") << port.uart << "\n";
    }
    EXPECT_THAT(Paths(FindSerialDevices(tree.roots)),
                ElementsAre(tree.ftdi, tree.second, tree.acm, dir / "dev/ttyS1"));
}

TEST_F(DiscoveryTest, TellsWhichProgramHoldsADeviceThroughAnyOfItsNames) {
    tree.Holds("ttyUSB0", 4242, "rigctld");
    EXPECT_THAT(ProgramsHolding(tree.ftdi, tree.roots), ElementsAre("rigctld (pid 4242)"));
    EXPECT_TRUE(ProgramsHolding(tree.second, tree.roots).empty());
}

TEST_F(DiscoveryTest, LeavesOutTelkeyItselfAndTheProcessesItStarted) {
    const int self = static_cast<int>(::getpid());
    const struct {
        int pid;
        const char* name;
        int parent;
    } holders[] = {{4242, "rigctld", 1},
                   {4243, "telkey-guardian", self},  // Telkey's own guardian, whatever its name
                   {self, "telkey", 1},
                   {4244, "flrig", 4242}};
    for (const auto& h : holders) tree.Holds("ttyUSB0", h.pid, h.name, h.parent);
    EXPECT_THAT(ProgramsHolding(tree.ftdi, tree.roots),
                UnorderedElementsAre("rigctld (pid 4242)", "flrig (pid 4244)"));
}

TEST_F(DiscoveryTest, AChildOfThisProcessHoldingTheDeviceIsNotAnotherProgram) {
    const std::string node = dir / "dev/ttyUSB0";
    const int fd = ::open(node.c_str(), O_RDONLY);  // inherited by the child
    ASSERT_GE(fd, 0);
    const char* argv[] = {"sleep", "30", nullptr};
    pid_t child = -1;
    ASSERT_EQ(::posix_spawnp(&child, "sleep", nullptr, nullptr, const_cast<char**>(argv), environ),
              0);
    ::close(fd);
    const std::vector<std::string> holders = ProgramsHolding(node, DeviceRoots{});
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(holders.empty()) << holders.front();
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

struct OwnerCase {
    DeviceKind kind;
    gid_t gid;
    mode_t mode;
    bool groupHelps;
};

class DeviceOwnerTest : public DiscoveryTest, public ::testing::WithParamInterface<OwnerCase> {};

TEST_P(DeviceOwnerTest, AdvisesAGroupOnlyWhereJoiningItHelps) {
    const OwnerCase& c = GetParam();
    const int dev = c.kind == DeviceKind::Serial ? tree.ftdiDev : tree.paddleDev;
    const std::string path = c.kind == DeviceKind::Serial ? tree.ftdi : tree.paddle;
    layer.SetOpenError(dev, -EACCES);
    layer.SetOwner(dev, 0, c.gid, c.mode);
    const std::string message = Check(c.kind, path).message;
    if (c.groupHelps) {
        const group* g = ::getgrgid(c.gid);
        ASSERT_NE(g, nullptr);
        EXPECT_THAT(message, HasSubstr(std::string("sudo usermod -aG ") + g->gr_name));
    } else {
        EXPECT_THAT(message, Not(HasSubstr("usermod")));
        EXPECT_THAT(message, HasSubstr("belongs to root"));
        EXPECT_THAT(message, HasSubstr("udev rule"));
        EXPECT_THAT(message, HasSubstr("/usr/share/doc/telkey/docs/hardware.md"));
    }
}

INSTANTIATE_TEST_SUITE_P(Owners, DeviceOwnerTest,
                         ::testing::Values(OwnerCase{DeviceKind::Serial, 0, 0600, false},
                                           OwnerCase{DeviceKind::Serial, 20, 0640, false},
                                           OwnerCase{DeviceKind::Serial, 20, 0660, true},
                                           OwnerCase{DeviceKind::Input, 0, 0660, false},
                                           OwnerCase{DeviceKind::Input, 20, 0640, true}));

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
