// The command line: port options, help and version, and clear errors for what is not understood.
#include "app/command_line.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/scratch_dir.h"

namespace telkey {
namespace {

bool Parse(std::vector<std::string> args, CommandLine& line, std::string& error) {
    return ParseCommandLine(args, line, error);
}

TEST(CommandLine, NoArgumentsMeansNoHardware) {
    CommandLine line;
    std::string error;
    ASSERT_TRUE(Parse({}, line, error));
    EXPECT_EQ(line.ports.ports, "devices");  // with no device mapped: none, plus the sidetone
    EXPECT_FALSE(line.help);
    EXPECT_FALSE(line.version);
    EXPECT_TRUE(line.others.empty());
}

TEST(CommandLine, PortOptionsAreTaken) {
    CommandLine line;
    std::string error;
    ASSERT_TRUE(Parse({"--ports=sim", "--port-trace=/tmp/trace.txt"}, line, error)) << error;
    EXPECT_EQ(line.ports.ports, "sim");
    EXPECT_EQ(line.ports.portTrace, "/tmp/trace.txt");
    ASSERT_TRUE(Parse({"--ports=devices", "--com1=/dev/ttyUSB0"}, line, error)) << error;
    EXPECT_EQ(line.ports.com[0], "/dev/ttyUSB0");
}

TEST(CommandLine, HelpAndVersion) {
    CommandLine line;
    std::string error;
    ASSERT_TRUE(Parse({"--help", "--version"}, line, error));
    EXPECT_TRUE(line.help);
    EXPECT_TRUE(line.version);
    EXPECT_EQ(VersionText(), "Telkey 0.20\n");
    const std::string usage = UsageText("telkey");
    EXPECT_EQ(usage.rfind("Usage: telkey", 0), 0u);
    for (const char* option : {"--ports=", "--port-trace=", "--help", "--version"}) {
        EXPECT_NE(usage.find(option), std::string::npos) << option;
    }
}

TEST(CommandLine, UnknownOptionIsAnError) {
    CommandLine line;
    std::string error;
    EXPECT_FALSE(Parse({"--ports=sim", "--speed=60"}, line, error));
    EXPECT_EQ(error, "unknown option '--speed=60'");
    error.clear();
    EXPECT_FALSE(Parse({"--ports"}, line, error));
    EXPECT_NE(error.find("--ports"), std::string::npos);
}

// "--com1 /dev/ttyUSB0" is how most programs take a value; Telkey's options want it after '='.
TEST(CommandLine, ValueGivenWithoutEqualsSignIsNamed) {
    const struct {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{"--com1", "/dev/ttyUSB0"}, "--com1 needs =DEVICE, as in --com1=/dev/ttyUSB0"},
        {{"--lpt3"}, "--lpt3 needs =DEVICE"},
        {{"--port-trace", "--ports=sim"}, "--port-trace needs =FILE"},
        {{"--speaker", "audio"}, "--speaker needs =OUTPUT, as in --speaker=audio"},
        {{"--cwdaemon-bind", "::1"}, "--cwdaemon-bind needs =ADDRESS, as in --cwdaemon-bind=::1"},
        {{"--com5", "/dev/ttyUSB0"}, "unknown option '--com5'"},
    };
    for (const auto& c : cases) {
        CommandLine line;
        std::string error;
        EXPECT_FALSE(Parse(c.args, line, error)) << c.args[0];
        EXPECT_EQ(error, c.error);
    }
}

TEST(CommandLine, BadPortValueIsAnError) {
    CommandLine line;
    std::string error;
    EXPECT_FALSE(Parse({"--ports=serial"}, line, error));
    EXPECT_NE(error.find("--ports=serial"), std::string::npos);
    error.clear();
    EXPECT_FALSE(Parse({"--port-trace="}, line, error));
    EXPECT_FALSE(error.empty());
}

TEST(CommandLine, OtherArgumentsAreLeftForTheToolkit) {
    CommandLine line;
    std::string error;
    ASSERT_TRUE(Parse({"-platform", "offscreen", "--ports=sim"}, line, error));
    EXPECT_EQ(line.others, (std::vector<std::string>{"-platform", "offscreen"}));
    EXPECT_EQ(line.ports.ports, "sim");
}

// Started from the desktop, Telkey keeps its settings in the user's configuration directory.
TEST(CommandLine, SettingsDirectory) {
    CommandLine line;
    std::string error;
    ASSERT_TRUE(Parse({}, line, error));
    EXPECT_EQ(line.settingsDir, "");  // the working directory as started
    ASSERT_TRUE(Parse({"--settings-dir=/srv/contest"}, line, error)) << error;
    EXPECT_EQ(line.settingsDir, "/srv/contest");
    {
        test::ScopedEnv config("XDG_CONFIG_HOME", "/cfg");
        ASSERT_TRUE(Parse({"--settings-dir"}, line, error)) << error;
        EXPECT_EQ(line.settingsDir, "/cfg/telkey");
    }
    {
        // A relative XDG_CONFIG_HOME is not valid and is ignored.
        test::ScopedEnv config("XDG_CONFIG_HOME", "cfg");
        test::ScopedEnv home("HOME", "/home/op");
        ASSERT_TRUE(Parse({"--settings-dir"}, line, error)) << error;
        EXPECT_EQ(line.settingsDir, "/home/op/.config/telkey");
    }
    EXPECT_FALSE(Parse({"--settings-dir="}, line, error));
    EXPECT_NE(error.find("--settings-dir"), std::string::npos);
    EXPECT_NE(UsageText("telkey").find("--settings-dir"), std::string::npos);
}

class SettingsDirectoryEntry : public ::testing::Test {
  protected:
    ~SettingsDirectoryEntry() override { std::filesystem::current_path(started); }
    std::filesystem::path started = std::filesystem::current_path();
    test::ScratchDir dir;
};

TEST_F(SettingsDirectoryEntry, MissingDirectoriesAreCreatedPrivate) {
    std::string error;
    ASSERT_TRUE(EnterSettingsDirectory(dir / "config/telkey", error)) << error;
    EXPECT_EQ(std::filesystem::current_path(), std::filesystem::path(dir / "config/telkey"));
    struct stat st {};
    ASSERT_EQ(::stat((dir / "config").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // An existing directory is simply entered.
    ASSERT_TRUE(EnterSettingsDirectory(dir.Path(), error)) << error;
    EXPECT_EQ(std::filesystem::current_path(), std::filesystem::path(dir.Path()));
}

TEST_F(SettingsDirectoryEntry, AFileInTheWayIsAnError) {
    test::WriteBytes(dir / "plain", "");
    const auto before = std::filesystem::current_path();
    std::string error;
    EXPECT_FALSE(EnterSettingsDirectory(dir / "plain/telkey", error));
    EXPECT_NE(error.find(dir / "plain/telkey"), std::string::npos) << error;
    EXPECT_EQ(std::filesystem::current_path(), before);
}

}  // namespace
}  // namespace telkey

namespace telkey {
namespace {

// The rig's options: what they set, and the error for each bad one.
TEST(CommandLine, RigOptions) {
    const struct {
        std::vector<std::string> args;
        std::string error;  // part of it; empty when taken
        rig::PttVia ptt = rig::PttVia::Line;
        rig::KeyVia key = rig::KeyVia::Line;
        std::string target = {};  // RigTarget::Describe()
        int baud = 0;
    } cases[] = {
        {{"--ptt=both", "--key=rig", "--rig=shack:4533"},
         "",
         rig::PttVia::Both,
         rig::KeyVia::Rig,
         "rigctld at shack:4533"},
        {{"--rig-model=3073", "--rig-port=/dev/ttyUSB0"},
         "",
         rig::PttVia::Line,
         rig::KeyVia::Line,
         "rig model 3073 on /dev/ttyUSB0"},
        {{"--rig-model=3073", "--rig-port=/dev/ttyUSB0", "--rig-baud=19200"},
         "",
         rig::PttVia::Line,
         rig::KeyVia::Line,
         "rig model 3073 on /dev/ttyUSB0",
         19200},
        {{"--rig-baud=fast", "--rig-model=1", "--rig-port=/dev/ttyS0"},
         "speed in baud",
         {},
         {},
         {}},
        {{"--rig-baud=9600"}, "give --rig-model=N and --rig-port=DEV", {}, {}, {}},
        {{"--ptt=cat"}, "--ptt=cat: PTT goes by line, rig or both", {}, {}, {}},
        {{"--rig=shack:99999"}, "no usable port", {}, {}, {}},
        {{"--rig-model=abc", "--rig-port=/dev/ttyUSB0"}, "Hamlib's model number", {}, {}, {}},
        {{"--rig-model=3073"}, "--rig-model needs --rig-port=DEV", {}, {}, {}},
        {{"--rig=shack:4532", "--rig-model=1", "--rig-port=/dev/ttyS0"},
         "give one of them",
         {},
         {},
         {}},
        {{"--ptt", "rig"}, "--ptt needs =line, rig or both, as in --ptt=rig", {}, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front());
        CommandLine line;
        std::string error;
        const bool taken = ParseCommandLine(c.args, line, error);
        EXPECT_EQ(taken, c.error.empty()) << error;
        if (!c.error.empty()) {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
            continue;
        }
        const rig::RigChoice choice = rig::MergeRigChoice(line.rig, rig::RigChoice{});
        EXPECT_EQ(choice.ptt, c.ptt);
        EXPECT_EQ(choice.key, c.key);
        EXPECT_EQ(choice.target.Describe(), c.target);
        EXPECT_EQ(choice.target.baud, c.baud);
    }
}

}  // namespace
}  // namespace telkey
