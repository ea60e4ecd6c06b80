// The README's command reference against the parser's option table: the help in the log is cut short, so
// the reference is the only full list. Every option the parser accepts has exactly one row, the commands
// in the table of commands and the modifiers in the table of options, and no row names anything else.
#include "app/TDCmdParser.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>

namespace tdu::test {
namespace {

// The option each row of the table under a "### " heading of the command reference starts with
// ("| `/name ...`"), once a row; a row that names none shows as a name the parser does not have.
std::multiset<std::string> optionsUnder(const std::string& readme, const std::string& heading) {
    const std::size_t section = readme.find("\n## Command reference\n");
    const std::size_t table = readme.find("\n### " + heading + "\n", section);
    EXPECT_LT(table, readme.find("\n## ", section + 1)) << "no \"### " << heading << "\" in the reference";
    std::istringstream lines(readme.substr(std::min(table, readme.size()) + 1));
    std::multiset<std::string> rows;
    std::string line;
    std::getline(lines, line); // the heading itself
    while (std::getline(lines, line) && !line.starts_with("#")) {
        if (line.starts_with("| `")) {
            rows.insert(line.substr(4, line.find_first_of(" `", 4) - 4));
        }
    }
    return rows;
}

std::multiset<std::string> parserOptions(bool commands) {
    std::multiset<std::string> names;
    for (const OptionRow& option : TDCmdLineParser::options()) {
        if ((option.command != OperationCode::None) == commands) {
            const std::wstring_view name(option.name);
            names.emplace(name.begin(), name.end());
        }
    }
    return names;
}

TEST(Readme, CommandReferenceListsEveryOptionOfTheParserOnce) {
    std::ifstream file(TDU_README, std::ios::binary);
    ASSERT_TRUE(file) << "cannot read " << TDU_README;
    const std::string readme{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    EXPECT_EQ(optionsUnder(readme, "Commands"), parserOptions(true));
    EXPECT_EQ(optionsUnder(readme, "Options"), parserOptions(false));
}

} // namespace
} // namespace tdu::test
