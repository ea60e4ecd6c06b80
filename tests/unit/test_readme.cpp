// The README's command reference against the parser's option table: the help in the log is cut short, so
// the reference is the only full list. Every option the parser accepts has exactly one row, the commands
// in the table of commands and the modifiers in the table of options, and no row names anything else.
#include "app/TDCmdParser.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>

namespace tdu::test {
namespace {

// The rows of the table under a "### " heading of the command reference: the option each row starts with
// ("| `/name ...`"), and how many rows name it.
std::map<std::string, int> optionsUnder(const std::string& readme, const std::string& heading) {
    const std::size_t section = readme.find("\n## Command reference\n");
    const std::size_t end = readme.find("\n## ", section + 1);
    const std::size_t table = readme.find("\n### " + heading + "\n", section);
    std::map<std::string, int> rows;
    if (section == std::string::npos || table == std::string::npos || table > end) {
        ADD_FAILURE() << "README.md has no \"### " << heading << "\" under \"## Command reference\"";
        return rows;
    }
    std::istringstream lines(readme.substr(table + 1, end - table - 1));
    std::string line;
    std::getline(lines, line); // the heading itself
    const std::regex row(R"(\| `/([A-Za-z]+)[ `].*)");
    for (std::smatch match; std::getline(lines, line) && !line.starts_with("### ");) {
        if (std::regex_match(line, match, row)) {
            rows[match[1].str()] += 1;
        } else {
            EXPECT_TRUE(line.empty() || !line.starts_with("| `")) << "a row that names no option: " << line;
        }
    }
    return rows;
}

std::map<std::string, int> parserOptions(bool commands) {
    std::map<std::string, int> names;
    for (const OptionRow& option : TDCmdLineParser::options()) {
        if ((option.command != OperationCode::None) == commands) {
            const std::wstring name(option.name);
            names[std::string(name.begin(), name.end())] = 1;
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
