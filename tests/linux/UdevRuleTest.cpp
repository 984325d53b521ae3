// The udev rule must open exactly the Ka's node to the desktop user. udev matches
// ATTR{units} as a shell glob against the attribute with its trailing line feed removed;
// the kernel writes it in lower-case hex.
#include <fnmatch.h>
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> RuleLines() {
    std::ifstream file(KA_SOURCE_DIR "/packaging/70-ka-firmware-updater.rules");
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line.front() != '#') {
            lines.push_back(line);
        }
    }
    return lines;
}

TEST(UdevRuleTest, GivesSeatAccessToTheKaNodeOnly) {
    std::vector<std::string> granting;
    for (const auto& line : RuleLines()) {
        EXPECT_EQ(line.find("MODE"), std::string::npos) << line;
        EXPECT_EQ(line.find("GROUP"), std::string::npos) << line;
        if (line.find("TAG+=\"uaccess\"") != std::string::npos) {
            granting.push_back(line);
        }
    }
    ASSERT_EQ(granting.size(), 1u);
    const std::string& rule = granting.front();
    EXPECT_NE(rule.find("SUBSYSTEM==\"firewire\""), std::string::npos);

    std::smatch match;
    ASSERT_TRUE(std::regex_search(rule, match, std::regex(R"re(ATTR\{units\}=="([^"]*)")re")));
    const std::string pattern = match[1];
    auto matches = [&](const char* units) { return fnmatch(pattern.c_str(), units, 0) == 0; };
    EXPECT_TRUE(matches("0x000a27:0x000011"));
    EXPECT_TRUE(matches("0x00a02d:0x010001 0x000a27:0x000011"));
    EXPECT_TRUE(matches("0x000a27:0x000011 0x000a27:0x000012"));
    EXPECT_FALSE(matches("0x000a27:0x000012"));
    EXPECT_FALSE(matches("0x000a28:0x000011"));
    EXPECT_FALSE(matches("0x00a02d:0x010001"));
    EXPECT_FALSE(matches(""));
}

}  // namespace
