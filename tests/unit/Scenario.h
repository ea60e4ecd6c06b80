// Rows as text, for the tests whose set-ups scenario lines cannot say: a
// line "* cell | cell | ...", the first cell naming the row, the last the log
// messages it expects, in order, separated by ";" ("3* m" is m three times; a
// last "..." lets others come between). A message ending in "\n" ends in a
// line feed. Lines not starting with "* " are not read.
#pragma once

#include "service/ServiceHandler.h"
#include "tests/unit/SimTest.h"

#include <cctype>

namespace tdu::test {

// The parts of `text`, trimmed; none when it is empty.
inline std::vector<std::string> split(std::string_view text, std::string_view separator) {
    std::vector<std::string> parts;
    for (std::size_t start = 0, end = text.empty() ? std::string_view::npos : 0;
         end != std::string_view::npos; start = end + separator.size()) {
        end = text.find(separator, start);
        std::string part(text.substr(start, end == std::string_view::npos ? end : end - start));
        part.erase(0, part.find_first_not_of(' '));
        parts.push_back(part.erase(part.find_last_not_of(' ') + 1));
    }
    return parts;
}

struct Row {
    std::vector<std::string> cells;
    std::string log; // one message a line, as logMatches reads them
    bool inOrder = false;
    // A cell, its surrounding quotes taken off ("" for a cell not written).
    [[nodiscard]] std::string operator[](std::size_t i) const {
        const std::string cell = i < cells.size() ? cells[i] : "";
        return cell.size() > 1 && cell.front() == '"' && cell.back() == '"' ? cell.substr(1, cell.size() - 2)
                                                                            : cell;
    }
};

// The rows of `text`, each placeholder replaced (in the order given) first.
inline std::vector<Row> rows(std::string text,
                             const std::vector<std::pair<std::string, std::string>>& placeholders = {}) {
    for (const auto& [from, to] : placeholders) {
        for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
            text.replace(at, from.size(), to);
        }
    }
    std::vector<Row> out;
    for (const std::string& line : split(text, "\n")) {
        if (line.starts_with("* ")) {
            Row& row = out.emplace_back();
            row.cells = split(line.substr(2), "|");
            for (const std::string& message : split(row.cells.back(), ";")) {
                const auto star = message.find("* ");
                const bool repeated = star != std::string::npos && star > 0 &&
                                      std::isdigit(static_cast<unsigned char>(message[0])) != 0;
                for (unsigned long i = repeated ? std::stoul(message) : 1; i > 0 && message != "..."; --i) {
                    row.log += (repeated ? message.substr(star + 2) : message) + "\n";
                }
                row.inOrder |= message == "...";
            }
        }
    }
    return out;
}

// A fresh machine for one row, its failures traced to the row's name: at the
// end the log is the row's, and every handle, key and stream it handed out is back.
struct RowMachine : FreshMachine {
    explicit RowMachine(const Row& row) : row_(row), trace_(__FILE__, __LINE__, row[0]) {}
    ~RowMachine() {
        ServiceHandler::getInstance().disconnect();
        EXPECT_TRUE(logMatches(logMessagesOf(machine), row_.log, !row_.inOrder));
        EXPECT_TRUE(nothingLeftOpen(machine));
    }

private:
    const Row& row_;
    ::testing::ScopedTrace trace_;
};

} // namespace tdu::test
