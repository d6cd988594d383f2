// The real telkey program takes its devices from the settings file's own section at start-up,
// with no command-line option, and a command-line option still overrides the file for the run.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "bus/bus_test_support.h"
#include "support/scratch_dir.h"
#include "support/telkey_process.h"

namespace telkey {
namespace {

using namespace std::chrono_literals;

std::string Telkey() {
    return std::string(TELKEY_BINARY_DIR) + "/telkey";
}

class TelkeyDevices : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::access(Telkey().c_str(), X_OK), 0) << "build the telkey program first";
        ASSERT_EQ(::mkdir(work.c_str(), 0755), 0);
        test::WriteBytes(work + "/Telkey.ini", "[Qor_Cw]\nKeyPortNumber=1\n[Devices]\nCOM1=" +
                                                   dir / "ttyUSB-from-file" + "\nSpeaker=none\n");
    }

    // Starts telkey with `args`, waits until its output holds `expected` (or the bound ends),
    // ends it and returns the output.
    std::string Run(const std::vector<std::string>& args, const std::string& expected) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::chdir(work.c_str()) != 0) ::_exit(126);
            std::FILE* out = std::freopen(log.c_str(), "w", stdout);
            if (out == nullptr || ::dup2(STDOUT_FILENO, STDERR_FILENO) < 0) ::_exit(126);
            std::vector<char*> argv{const_cast<char*>("telkey")};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(Telkey().c_str(), argv.data());
            ::_exit(127);
        }
        test::WaitUntil([&] { return test::ReadBytes(log).find(expected) != std::string::npos; },
                        20s);
        ::kill(pid, SIGTERM);
        int status = 0;
        if (!test::WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 10s)) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        }
        return test::ReadBytes(log);
    }

    test::ScratchBus bus;
    test::ScratchDir dir;
    std::string work = dir / "work";
    std::string log = dir / "telkey.log";
    test::ScopedEnv common{"TELKEY_COMMON_DIR", dir / "common"};
    test::ScopedEnv platform{"QT_QPA_PLATFORM", "offscreen"};
};

TEST_F(TelkeyDevices, TheSettingsFileNamesTheDevicesWithoutAnyOption) {
    const std::string output = Run({}, "ttyUSB-from-file");
    EXPECT_NE(output.find("COM1: " + dir / "ttyUSB-from-file" + " does not exist"),
              std::string::npos)
        << output;
}

TEST_F(TelkeyDevices, TheCommandLineOverridesTheFileForTheRun) {
    const std::string output = Run({"--com1=" + dir / "ttyUSB-from-line"}, "ttyUSB-from-line");
    EXPECT_NE(output.find("COM1: " + dir / "ttyUSB-from-line"), std::string::npos) << output;
    EXPECT_EQ(output.find("ttyUSB-from-file"), std::string::npos) << output;
    // Nothing was saved: the file still names its own device.
    EXPECT_NE(test::ReadBytes(work + "/Telkey.ini").find("ttyUSB-from-file"), std::string::npos);
}

// Started elsewhere with --settings-dir, as the menu entry starts it: the devices come from the
// Telkey.ini of that directory.
TEST(TelkeySettingsDirectory, KeysTheDeviceItsSettingsFileNames) {
    for (const test::KeyedPort port : {test::KeyedPort::Serial, test::KeyedPort::Parallel}) {
        SCOPED_TRACE(test::Name(port));
        test::KeyingTelkey telkey(port, TELKEY_BINARY_DIR, TELKEY_FAKE_PORTS);
        telkey.NameDeviceInSettings();
        ASSERT_EQ(telkey.Start(), "");
        EXPECT_EQ(telkey.KeyDown(20s), "") << telkey.Log();
    }
}

}  // namespace
}  // namespace telkey
