#include "exchange/cwdaemon_options.h"

#include <gtest/gtest.h>

#include "app/command_line.h"

namespace telkey {
namespace {

TEST(CwdaemonOptions, OffUnlessAsked) {
    CommandLine line;
    std::string error;
    ASSERT_TRUE(ParseCommandLine({"--ports=sim"}, line, error)) << error;
    EXPECT_FALSE(line.cwdaemon.enabled);
}

TEST(CwdaemonOptions, DefaultPortAndLoopbackAddress) {
    CommandLine line;
    std::string error;
    ASSERT_TRUE(ParseCommandLine({"--cwdaemon", "--ports=sim"}, line, error)) << error;
    EXPECT_TRUE(line.cwdaemon.enabled);
    EXPECT_EQ(line.cwdaemon.port, 6789);
    EXPECT_EQ(line.cwdaemon.bind, "127.0.0.1");
    EXPECT_FALSE(line.cwdaemon.allowAnyUser);
    EXPECT_EQ(line.ports.ports, "sim");

    CommandLine any;
    ASSERT_TRUE(ParseCommandLine({"--cwdaemon-allow=any"}, any, error)) << error;
    EXPECT_TRUE(any.cwdaemon.enabled);
    EXPECT_TRUE(any.cwdaemon.allowAnyUser);
}

TEST(CwdaemonOptions, PortAndBindAddress) {
    CommandLine line;
    std::string error;
    ASSERT_TRUE(ParseCommandLine({"--cwdaemon=6790", "--cwdaemon-bind=::1"}, line, error));
    EXPECT_EQ(line.cwdaemon.port, 6790);
    EXPECT_EQ(line.cwdaemon.bind, "::1");

    // The address alone turns the listener on too.
    CommandLine bindOnly;
    ASSERT_TRUE(ParseCommandLine({"--cwdaemon-bind=0.0.0.0"}, bindOnly, error));
    EXPECT_TRUE(bindOnly.cwdaemon.enabled);
    EXPECT_EQ(bindOnly.cwdaemon.port, 6789);
}

TEST(CwdaemonOptions, BadValuesAreUsageErrors) {
    for (const char* arg :
         {"--cwdaemon=", "--cwdaemon=0", "--cwdaemon=65536", "--cwdaemon=67x", "--cwdaemon=-1",
          "--cwdaemon-bind=", "--cwdaemon-bind=localhost", "--cwdaemon-bind=1.2.3", "--cwdaemons",
          "--cwdaemon-allow=", "--cwdaemon-allow=me"}) {
        CommandLine line;
        std::string error;
        EXPECT_FALSE(ParseCommandLine({arg}, line, error)) << arg;
        EXPECT_FALSE(error.empty()) << arg;
    }
}

TEST(CwdaemonOptions, LoopbackAddresses) {
    EXPECT_TRUE(IsLoopbackAddress("127.0.0.1"));
    EXPECT_TRUE(IsLoopbackAddress("127.1.2.3"));
    EXPECT_TRUE(IsLoopbackAddress("::1"));
    EXPECT_FALSE(IsLoopbackAddress("0.0.0.0"));
    EXPECT_FALSE(IsLoopbackAddress("192.168.1.2"));
    EXPECT_FALSE(IsLoopbackAddress("::"));
}

TEST(CwdaemonOptions, HelpNamesTheOptionsAndTheWarning) {
    const std::string usage = UsageText("telkey");
    EXPECT_NE(usage.find("--cwdaemon[=PORT]"), std::string::npos);
    EXPECT_NE(usage.find("--cwdaemon-bind=ADDRESS"), std::string::npos);
    EXPECT_NE(usage.find("--cwdaemon-allow=any"), std::string::npos);
    EXPECT_NE(usage.find("no authentication"), std::string::npos);
}

}  // namespace
}  // namespace telkey
