// The manual page keeps up with the program: every option that --help shows is described there.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>

#include "app/command_line.h"

namespace telkey {
namespace {

// The page's text with roff's escaped minus signs as plain ones.
std::string ManualPage(const std::string& name) {
    std::ifstream in(std::string(TELKEY_SOURCE_DIR) + "/man/" + name);
    std::string text(std::istreambuf_iterator<char>(in), {});
    for (std::size_t pos = 0; (pos = text.find("\\-", pos)) != std::string::npos;) {
        text.erase(pos, 1);
    }
    return text;
}

TEST(ManualPage, DescribesEveryOptionOfTheHelp) {
    const std::string page = ManualPage("telkey.1");
    ASSERT_FALSE(page.empty());
    const std::string usage = UsageText("telkey");
    std::set<std::string> options;
    const std::regex option("--[a-z0-9-]+");
    for (auto it = std::sregex_iterator(usage.begin(), usage.end(), option);
         it != std::sregex_iterator(); ++it) {
        options.insert(it->str());
    }
    EXPECT_GE(options.size(), 10u);
    for (const std::string& name : options) {
        EXPECT_NE(page.find(name), std::string::npos) << name << " is not in telkey.1";
    }
}

}  // namespace
}  // namespace telkey
