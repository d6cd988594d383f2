// The file of registered names when it has been damaged: too large, zeros after a power cut,
// binary, lines that are not names. No two names may ever share an identifier.
#include "bus/bus_names.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "support/scratch_dir.h"

namespace telkey {
namespace {

constexpr std::size_t kFourMiB = 4 * 1024 * 1024;

class BusNamesTest : public ::testing::Test {
  protected:
    BusNamesTest() { ::mkdir(dir.c_str(), 0700); }

    void WriteNames(const std::string& bytes) { test::WriteBytes(dir + "/names", bytes); }
    std::string ReadNames() { return test::ReadBytes(dir + "/names"); }

    test::ScratchDir scratch;
    std::string dir = scratch / "bus";
};

TEST_F(BusNamesTest, DamagedFileIsRefusedWithItsRepairAndLeftAsItWas) {
    const std::vector<std::pair<const char*, std::string>> damaged{
        {"one long line", std::string(kFourMiB + 10, 'x')},
        {"zeros", std::string(kFourMiB + 10, '\0')},
        {"a few zeros", "BRX_CW\n" + std::string(64, '\0')},
        {"binary", "BRX_CW\n\x01\x02\xff\x7f\x1b\n"},
        {"an empty line", "BRX_CW\n\nTelkey_Message\n"},
        {"a name too long", "BRX_CW\n" + std::string(300, 'n') + "\n"},
        {"more names than identifiers",
         [] {
             std::string many;
             for (int i = 0; i <= 0x4000; ++i) many += "n" + std::to_string(i) + "\n";
             return many;
         }()},
    };
    for (const auto& [what, bytes] : damaged) {
        SCOPED_TRACE(what);
        WriteNames(bytes);
        BusNames names(dir);
        const std::uint32_t brx = names.Register("BRX_CW");
        const std::uint32_t own = names.Register("Telkey_Message");
        // Never one identifier for two names; here none at all.
        EXPECT_EQ(brx, 0u);
        EXPECT_EQ(own, 0u);
        EXPECT_NE(names.Problem().find(dir + "/names"), std::string::npos) << names.Problem();
        EXPECT_NE(names.Problem().find("Remove it while no program"), std::string::npos);
        EXPECT_EQ(ReadNames(), bytes);
        EXPECT_EQ(names.NameOf(0xC000), std::nullopt);
    }
}

// Reading and registering count the same lines: an unfinished last line is a name, and what is
// appended after it gets the next number, as every other reader sees it.
TEST_F(BusNamesTest, ReadingAndRegisteringAgreeOnTheLines) {
    WriteNames("One\nTwo");
    BusNames names(dir);
    EXPECT_EQ(names.Register("two"), 0xC001u);
    EXPECT_EQ(names.Register("Three"), 0xC002u);
    EXPECT_EQ(ReadNames(), "One\nTwo\nThree\n");
    BusNames other(dir);
    EXPECT_EQ(other.NameOf(0xC002), "Three");
    EXPECT_EQ(other.Register("THREE"), 0xC002u);
    EXPECT_TRUE(other.Problem().empty());

    // A name that could not be read back as one line is not written.
    EXPECT_EQ(names.Register(std::string("tab\there")), 0u);
    EXPECT_EQ(names.Register(std::string("nul\0x", 5)), 0u);
    EXPECT_NE(names.Problem().find("cannot be a message name"), std::string::npos);
    EXPECT_EQ(ReadNames(), "One\nTwo\nThree\n");
}

// The last identifier is given out, and no name gets one beyond it.
TEST_F(BusNamesTest, TheLastIdentifierIsGivenOutAndNoMore) {
    std::string full;
    for (std::uint32_t id = kFirstBusMessageId; id < kLastBusMessageId; ++id) {
        full += "name" + std::to_string(id) + "\n";
    }
    WriteNames(full);
    BusNames names(dir);
    EXPECT_EQ(names.Register("Last"), kLastBusMessageId);
    EXPECT_EQ(names.Register("One_too_many"), 0u);
    EXPECT_NE(names.Problem().find("every identifier"), std::string::npos) << names.Problem();
}

}  // namespace
}  // namespace telkey
