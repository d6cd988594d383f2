// The command line: port options, help and version, and clear errors for what is not understood.
#include "app/command_line.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace telkey
