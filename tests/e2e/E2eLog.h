// What the end-to-end tests share: the program's log as records, the log
// and product-key locations, and a fixture with a machine of its own.
#pragma once

#include "WineHarness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <ostream>
#include <regex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tdu::e2e {

inline constexpr std::string_view kVendorFolder = R"(C:\users\Public\Tavrin Secure)";
inline constexpr std::string_view kLogFolder = R"(C:\users\Public\Tavrin Secure\Logging)";
inline constexpr std::string_view kLogFile = R"(C:\users\Public\Tavrin Secure\Logging\TavrinDriverUtil.log)";
inline const std::string kProductKey = R"(HKLM\Software\TavrinSecure\TavrinDrivers)";
// Where the product key of a 64-bit process's 32-bit registry view lies, seen from the native view.
inline const std::string kProductKeyIn32BitView = R"(HKLM\Software\Wow6432Node\TavrinSecure\TavrinDrivers)";

inline constexpr std::uint32_t kParseFailure = 0xFFFFFFFF; // -1 from wWinMain, as the system reports it
inline constexpr std::uint32_t kRefused = 2;
inline constexpr std::uint32_t kSuccess = 0;
inline constexpr std::size_t kRotationThreshold = 5'242'880;
inline constexpr std::size_t kLongestMessage = 1022;

inline constexpr std::string_view kEntryUnit = "TavrinDriverUtil.cpp";
inline constexpr std::string_view kParserUnit = "TDCmdParser.cpp";
inline constexpr std::string_view kOperatorUnit = "TDriverOperator.cpp";
inline constexpr std::string_view kHelpStart =
    "\nTavrin Driver Utility Help \n\nINSTALL COMMAND:\n>TavrinDriverUtil.exe /install";
inline constexpr std::string_view kBannerMark = "<banner>";
inline constexpr std::string_view kHelpMark = "<help>";

// ---- reading the log -------------------------------------------------------------------------------------

inline const std::string kTimestamp = R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2})";

// The banner that opens each run: three empty lines, 96 stars, the start line, 96 stars. The banner's
// timestamp is its first group.
inline std::string bannerPattern(const std::string& programPattern) {
    const std::string stars = R"(\*{96})";
    return "\r\n\r\n\r\n" + stars + "\r\nStarted " + programPattern + R"(\(pid:\d+\) at: \[ ()" + kTimestamp +
           R"() \])" + "\r\n" + stars + "\r\n";
}

inline std::string literalPattern(const std::string& text) {
    return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

inline const std::regex kAnyBanner(bannerPattern("[^\r\n]*"));
// A normal line up to its message; the unit is the first group.
inline const std::regex kLineHead(R"(\[)" + kTimestamp + R"(\] \[([^\]\r\n]+)\(\d+\)\] \| )");

struct Record {
    bool banner = false;
    std::string unit;
    std::string message; // as formatted: each CR LF of the file read back as "\n"
};

inline bool matchesAt(std::string_view text, std::size_t at, const std::regex& pattern,
                      std::cmatch* match = nullptr) {
    std::cmatch local;
    return std::regex_search(text.data() + at, text.data() + text.size(), match ? *match : local, pattern,
                             std::regex_constants::match_continuous);
}

inline bool recordStartsAt(std::string_view text, std::size_t at) {
    return at == text.size() || matchesAt(text, at, kAnyBanner) || matchesAt(text, at, kLineHead);
}

inline std::string crlfToLf(std::string_view text) {
    return std::regex_replace(std::string(text), std::regex("\r\n"), "\n");
}

// Splits a log into its banners and lines; every byte must belong to one of them. A line's message runs
// to the first CR LF that the next record (or the end of the file) follows, so messages may hold newlines.
inline std::vector<Record> parseLog(std::string_view text) {
    std::vector<Record> records;
    std::size_t at = 0;
    while (at < text.size()) {
        std::cmatch match;
        if (matchesAt(text, at, kAnyBanner, &match)) {
            records.push_back({true, "", ""});
            at += static_cast<std::size_t>(match.length(0));
            continue;
        }
        if (!matchesAt(text, at, kLineHead, &match)) {
            throw std::runtime_error("no log record at offset " + std::to_string(at) + ": '" +
                                     std::string(text.substr(at, 80)) + "'");
        }
        const std::size_t messageStart = at + static_cast<std::size_t>(match.length(0));
        std::size_t end = text.find("\r\n", messageStart);
        while (end != std::string_view::npos && !recordStartsAt(text, end + 2)) {
            end = text.find("\r\n", end + 1);
        }
        if (end == std::string_view::npos) {
            throw std::runtime_error("log line without its CR LF at offset " + std::to_string(at));
        }
        records.push_back({false, match[1].str(), crlfToLf(text.substr(messageStart, end - messageStart))});
        at = end + 2;
    }
    return records;
}

inline bool isHelp(const Record& record) {
    return !record.banner && record.message.rfind(kHelpStart, 0) == 0;
}

// One text per record, for comparing whole sequences: "<banner>", or "unit | message" with the help text
// (checked on its own) shortened to "<help>".
inline std::vector<std::string> summarize(const std::vector<Record>& records) {
    std::vector<std::string> summary;
    for (const auto& record : records) {
        if (record.banner) {
            summary.emplace_back(kBannerMark);
        } else {
            summary.push_back(record.unit + " | " +
                              (isHelp(record) ? std::string(kHelpMark) : record.message));
        }
    }
    return summary;
}

inline std::string entry(std::string_view unit, std::string_view message) {
    return std::string(unit) + " | " + std::string(message);
}

inline std::string received(std::string_view commandLine) {
    return entry(kEntryUnit, "Command Line Received: '" + std::string(commandLine) + "'");
}

// The expected lines appear in this order, other lines in between.
inline ::testing::AssertionResult inOrder(const std::vector<std::string>& lines,
                                          const std::vector<std::string>& expected) {
    auto at = lines.begin();
    for (const std::string& line : expected) {
        at = std::find(at, lines.end(), line);
        if (at == lines.end()) {
            return ::testing::AssertionFailure() << "missing, or out of order: " << line;
        }
        ++at;
    }
    return ::testing::AssertionSuccess();
}

// The file is written in text mode: every line feed reaches it as CR LF, and no CR stands alone.
inline void expectCrLfOnly(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << "bare LF at offset " << i;
        } else if (text[i] == '\r') {
            ASSERT_TRUE(i + 1 < text.size() && text[i + 1] == '\n') << "bare CR at offset " << i;
        }
    }
}

// The help text is longer than one log message holds: the log receives its first 1022 characters, which
// end inside the line of the /setstatus command.
inline void expectCutHelp(const std::vector<Record>& records) {
    const auto help = std::find_if(records.begin(), records.end(), isHelp);
    ASSERT_NE(help, records.end()) << "no help text in the log";
    const std::string& message = help->message;
    EXPECT_EQ(message.size(), kLongestMessage);
    const auto lastBreak = message.rfind('\n');
    const auto previousBreak = message.rfind('\n', lastBreak - 1);
    EXPECT_EQ(message.substr(previousBreak + 1, lastBreak - previousBreak - 1),
              "COMMAND TO Set Install Status:");
    const std::string_view setStatusLine = ">TavrinDriverUtil.exe /setstatus <0/1> ";
    EXPECT_EQ(setStatusLine.substr(0, message.size() - lastBreak - 1), message.substr(lastBreak + 1));
}

// ---- fixture --------------------------------------------------------------------------------------------

class ProgramTest : public ::testing::Test {
protected:
    // The program creates only the last folder of the log path.
    void createVendorFolder() { machine.mkdirs(kVendorFolder); }

    std::vector<Record> log() {
        const std::string text = machine.readFile(kLogFile);
        expectCrLfOnly(text);
        return parseLog(text);
    }

    bool logHas(std::string_view message) {
        return machine.exists(kLogFile) && machine.readFile(kLogFile).find(message) != std::string::npos;
    }

    WineMachine machine;
};

// Table rows are named: the name labels the test and stands for the row in failure messages.
template <typename Case>
concept NamedCase = requires(const Case& row) {
    { row.name } -> std::convertible_to<std::string>;
};

template <NamedCase Case> std::ostream& operator<<(std::ostream& out, const Case& row) {
    return out << row.name;
}

template <NamedCase Case> std::string caseName(const ::testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

} // namespace tdu::e2e
