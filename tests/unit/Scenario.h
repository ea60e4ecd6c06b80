// Scenarios as text: a row is a line "* cell | cell | ...", the first cell
// naming the case; the lines after it, up to the next row, hold the log
// messages it expects, in order, separated by " | ". In a message "\n" is a
// line feed; "3* m" is m three times; a last message "[more]" accepts any
// further messages, and one ending in "[cut]" a message that starts with the
// text before it.
#pragma once

#include "app/TavrinDriverUtil.h"
#include "service/ServiceHandler.h"
#include "tests/unit/SimTest.h"

#include <cctype>
#include <sstream>
#include <utility>

namespace tdu::test {

inline std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(' ');
    return first == std::string_view::npos
               ? ""
               : std::string(text.substr(first, text.find_last_not_of(' ') - first + 1));
}

inline std::vector<std::string> split(std::string_view text, char separator) {
    std::vector<std::string> parts;
    for (std::size_t start = 0, end = 0; end != std::string_view::npos; start = end + 1) {
        end = text.find(separator, start);
        parts.push_back(trimmed(text.substr(start, end == std::string_view::npos ? end : end - start)));
    }
    return parts;
}

inline std::wstring wide(std::string_view text) {
    return {text.begin(), text.end()};
}

inline void replaceAll(std::string& text, std::string_view from, std::string_view to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

struct Scenario {
    std::vector<std::string> cells;
    std::vector<std::string> log;
    // A cell, its surrounding quotes taken off ("" for a cell not written).
    [[nodiscard]] std::string operator[](std::size_t i) const {
        const std::string cell = i < cells.size() ? cells[i] : "";
        return cell.size() >= 2 && cell.front() == '"' && cell.back() == '"' ? cell.substr(1, cell.size() - 2)
                                                                             : cell;
    }
};

// The rows of `text`, each placeholder replaced (in the order given) first.
inline std::vector<Scenario>
scenarios(std::string text, const std::vector<std::pair<std::string, std::string>>& placeholders = {}) {
    for (const auto& [from, to] : placeholders) {
        replaceAll(text, from, to);
    }
    std::vector<Scenario> rows;
    for (std::string line : split(text, '\n')) {
        if (line.starts_with("* ")) {
            rows.push_back({split(line.substr(2), '|'), {}});
            continue;
        }
        replaceAll(line, "\\n", "\n");
        for (const std::string& message :
             rows.empty() || line.empty() ? std::vector<std::string>{} : split(line, '|')) {
            const auto star = message.find("* ");
            const bool repeated = star != std::string::npos && star > 0 &&
                                  std::isdigit(static_cast<unsigned char>(message[0])) != 0;
            rows.back().log.insert(rows.back().log.end(), repeated ? std::stoul(message) : 1U,
                                   repeated ? message.substr(star + 2) : message);
        }
    }
    return rows;
}

inline void expectLog(std::vector<std::string> actual, std::vector<std::string> expected) {
    if (!expected.empty() && expected.back() == "[more]") {
        expected.pop_back();
        actual.resize(std::min(actual.size(), expected.size()));
    }
    for (std::size_t i = 0; i < std::min(actual.size(), expected.size()); ++i) {
        if (expected[i].ends_with("[cut]") &&
            actual[i].starts_with(expected[i].substr(0, expected[i].size() - 5))) {
            actual[i] = expected[i];
        }
    }
    EXPECT_EQ(actual, expected);
}

// Faults and clock set-up: "Call nth error" (nth 0: every use; the error
// decimal or 0x...), or "ticks N" for a tick count that wraps N ms after the
// start; separated by ';'.
inline void applyFaults(platform::sim::SimMachine& machine, const std::string& spec) {
    for (const std::string& fault : split(spec, ';')) {
        std::istringstream in(fault);
        std::string call, nth, error;
        in >> call >> nth >> error;
        if (call == "ticks") {
            machine.setTickCountAtStart(
                static_cast<std::uint32_t>(0x1'0000'0000ULL - std::stoull(nth) - machine.nowMs()));
        } else if (!call.empty()) {
            machine.failCall(call, static_cast<unsigned>(std::stoul(nth)),
                             static_cast<std::uint32_t>(std::stoul(error, nullptr, 0)));
        }
    }
}

// The program's name, then the arguments of `commandLine` split at spaces,
// "" standing for an empty one.
inline std::vector<std::wstring> argsOf(const std::string& commandLine) {
    std::vector<std::wstring> args{L"C:\\x\\TavrinDriverUtil.exe"};
    std::istringstream in(commandLine);
    for (std::string arg; in >> arg;) {
        args.push_back(arg == "\"\"" ? L"" : wide(arg));
    }
    return args;
}

inline std::vector<const wchar_t*> argv(const std::vector<std::wstring>& args) {
    std::vector<const wchar_t*> pointers;
    for (const std::wstring& arg : args) {
        pointers.push_back(arg.c_str());
    }
    return pointers;
}

// The whole run flow with a fresh parser; the command line is the text as given.
inline int runFlow(const std::string& commandLine) {
    const std::vector<std::wstring> args = argsOf(commandLine);
    TDCmdLineParser parser;
    return RunTavrinDriverUtil(wide(commandLine).c_str(), static_cast<unsigned>(args.size()),
                               argv(args).data(), parser);
}

// A fresh machine for one row that must give back everything it handed out.
struct RowMachine : FreshMachine {
    RowMachine() = default;
    RowMachine(const RowMachine&) = delete;
    RowMachine& operator=(const RowMachine&) = delete;
    ~RowMachine() {
        ServiceHandler::getInstance().disconnect();
        EXPECT_EQ(machine.openHandleCount(), 0U) << machine.openHandleReport();
    }
    [[nodiscard]] std::vector<std::string> log() const { return logMessagesOf(machine); }
    [[nodiscard]] std::vector<LogEntry> entries() const {
        return parseLog(machine.readFile(kLogPath).value_or(""));
    }
};

} // namespace tdu::test
