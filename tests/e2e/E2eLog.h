// The program's log as records, and the one check of a run's log against a text block: one record a
// line, "<banner>" or "unit| message", the units shortened (main, parse, op, svc, difx), a line feed
// inside a message written as ⏎ and the help text, checked to be cut at 1022 characters, as <help>.
// The block is the whole run unless its first line is "...": then its lines come in this order with
// others between them, and a line "!<record>" is logged nowhere.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tdu::e2e {

inline constexpr std::string_view kVendorFolder = R"(C:\users\Public\Tavrin Secure)";
inline constexpr std::string_view kLogFolder = R"(C:\users\Public\Tavrin Secure\Logging)";
inline constexpr std::string_view kLogFile = R"(C:\users\Public\Tavrin Secure\Logging\TavrinDriverUtil.log)";
inline constexpr std::size_t kRotationThreshold = 5'242'880;
inline const std::string kTimestamp = R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2})";

// Three empty lines, 96 stars, the start line, 96 stars; the banner's timestamp is its first group.
inline std::string bannerPattern(const std::string& program) {
    const std::string stars = R"(\*{96})";
    return "\r\n\r\n\r\n" + stars + "\r\nStarted " + program + R"(\(pid:\d+\) at: \[ ()" + kTimestamp +
           R"() \])" + "\r\n" + stars + "\r\n";
}

struct Record {
    bool banner = false;
    std::string unit;
    std::string message; // each CR LF of the file read back as a line feed
};

// Splits a log into banners and lines; every byte belongs to one, and no CR or LF stands alone. A
// message runs to the CR LF that the next record (or the end) follows, so it may hold line feeds.
inline std::vector<Record> parseLog(std::string_view text) {
    static const std::regex banner(bannerPattern("[^\r\n]*"));
    static const std::regex head(R"(\[)" + kTimestamp + R"(\] \[([^\]\r\n]+)\(\d+\)\] \| )");
    const auto at = [&](std::size_t offset, const std::regex& pattern, std::cmatch& match) {
        return std::regex_search(text.data() + offset, text.data() + text.size(), match, pattern,
                                 std::regex_constants::match_continuous);
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((text[i] == '\n') != (i > 0 && text[i - 1] == '\r') ||
            (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))) {
            throw std::runtime_error("a lone CR or LF at offset " + std::to_string(i));
        }
    }
    std::vector<Record> records;
    std::cmatch match;
    for (std::size_t offset = 0; offset < text.size();) {
        if (at(offset, banner, match)) {
            records.push_back({true, "", ""});
            offset += static_cast<std::size_t>(match.length(0));
            continue;
        }
        if (!at(offset, head, match)) {
            throw std::runtime_error("no log record at: " + std::string(text.substr(offset, 80)));
        }
        const std::string unit = match[1].str();
        const std::size_t start = offset + static_cast<std::size_t>(match.length(0));
        std::size_t end = text.find("\r\n", start);
        while (end != std::string_view::npos && end + 2 < text.size() && !at(end + 2, banner, match) &&
               !at(end + 2, head, match)) {
            end = text.find("\r\n", end + 2);
        }
        if (end == std::string_view::npos) {
            throw std::runtime_error("a log line without its CR LF: " + std::string(text.substr(offset, 80)));
        }
        records.push_back(
            {false, unit,
             std::regex_replace(std::string(text.substr(start, end - start)), std::regex("\r\n"), "\n")});
        offset = end + 2;
    }
    return records;
}

// The help text is longer than a message holds: the log gets its first 1022 characters.
inline bool isCutHelp(const std::string& message) {
    const std::string tail = "\nCOMMAND TO Set Install Status:\n>TavrinDriverUtil.exe /setstatus <0/1> ";
    const auto at = message.rfind(tail.substr(0, 32));
    return message.size() == 1022 &&
           message.starts_with("\nTavrin Driver Utility Help \n\nINSTALL COMMAND:\n") &&
           at != std::string::npos && tail.starts_with(message.substr(at));
}

inline std::string render(const Record& record) {
    static const std::map<std::string, std::string> tags{
        {"TavrinDriverUtil.cpp", "main"}, {"TDCmdParser.cpp", "parse"}, {"TDriverOperator.cpp", "op"},
        {"ServiceHandler.cpp", "svc"},    {"DifxHandler.cpp", "difx"},  {"CustomActionHandler.h", "ca"}};
    if (record.banner) {
        return "<banner>";
    }
    std::string line = (tags.contains(record.unit) ? tags.at(record.unit) : record.unit) + "| ";
    if (isCutHelp(record.message)) {
        return line + "<help>";
    }
    for (const char c : record.message) {
        line += c == '\n' ? std::string("⏎") : std::string(1, c);
    }
    return line;
}

inline std::vector<std::string> rendered(const std::vector<Record>& records) {
    std::vector<std::string> lines;
    std::transform(records.begin(), records.end(), std::back_inserter(lines), render);
    return lines;
}

// The records of the last run in the text: from its banner on.
inline std::vector<std::string> lastRun(std::string_view text) {
    const auto all = rendered(parseLog(text));
    const auto banner = std::find(all.rbegin(), all.rend(), "<banner>");
    return {banner == all.rend() ? all.begin() : std::prev(banner.base()), all.end()};
}

inline ::testing::AssertionResult logMatches(const std::vector<std::string>& actual,
                                             const std::string& block) {
    std::vector<std::string> expected;
    std::istringstream lines(block);
    for (std::string line; std::getline(lines >> std::ws, line);) {
        expected.push_back(line);
    }
    auto next = actual.begin();
    const bool inOrder = !expected.empty() && expected.front() == "...";
    for (auto line = expected.begin() + (inOrder ? 1 : 0); inOrder && line != expected.end(); ++line) {
        if (line->starts_with('!')) {
            if (std::find(actual.begin(), actual.end(), line->substr(1)) != actual.end()) {
                return ::testing::AssertionFailure() << "logged: " << line->substr(1);
            }
            continue;
        }
        next = std::find(next, actual.end(), *line);
        if (next++ == actual.end()) {
            return ::testing::AssertionFailure() << "missing, or out of order: " << *line;
        }
    }
    if (inOrder || actual == expected) {
        return ::testing::AssertionSuccess();
    }
    auto failure = ::testing::AssertionFailure() << "the run logged:";
    for (const auto& line : actual) {
        failure << "\n    " << line;
    }
    return failure;
}

} // namespace tdu::e2e
