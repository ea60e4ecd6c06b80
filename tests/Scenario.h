// The scenario text and the log both test harnesses read: each harness runs the lines on its own machine
// (the simulated one, or Windows under Wine); the reading is this one.
#pragma once

#include "tests/TextShape.h"

#include <algorithm>
#include <iomanip>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tdu::test {

struct ScenarioLine {
    std::string text;
    int at; // its line in the test's source
};

// A scenario's lines, counted from `first` by `step` (0: every line is `first`): leading blanks, blank lines
// and "# " comments dropped; "... TEXT" goes on the line before, after one blank.
inline std::vector<ScenarioLine> scenarioLines(std::string_view text, int first, int step = 1) {
    std::vector<ScenarioLine> lines;
    std::istringstream in{std::string(text)};
    int at = first;
    for (std::string line; std::getline(in, line); at += step) {
        line.erase(0, line.find_first_not_of(' '));
        if (line.starts_with("... ") && !lines.empty()) {
            lines.back().text += line.substr(3);
        } else if (!line.empty() && !line.starts_with("# ")) {
            lines.push_back({line, at});
        }
    }
    return lines;
}

// A run line's words: parted at blanks, "..." quotes one with blanks, "" is empty.
inline std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string item; in >> std::quoted(item, '"', '\x01');) {
        out.push_back(item);
    }
    return out;
}

struct LogRecord {
    std::string source;  // "TDriverOperator.cpp"; empty for a run's banner
    std::string message; // its line feeds as written ("\n", not CR LF)
};

// A record's header at `at`, "[2026/12/04 04:25:34] [Source.cpp(77)] | ": its length and source, or 0.
inline std::pair<std::size_t, std::string> logHeaderAt(std::string_view text, std::size_t at) {
    const std::string_view rest = text.substr(at);
    if (!like(rest.substr(0, 23), "[####/##/## ##:##:##] [")) {
        return {0, ""};
    }
    // The source runs to the last "(" before the first "]" or line end; the line number follows.
    const std::size_t close = rest.find_first_of("]\r\n", 23);
    const std::size_t open = close == std::string_view::npos ? close : rest.rfind('(', close);
    const std::string_view number = open == std::string_view::npos ? "" : rest.substr(open, close + 4 - open);
    if (open == std::string_view::npos || open < 23 ||
        !(like(number, "(+)] | ") || like(number, "(-+)] | "))) {
        return {0, ""};
    }
    return {close + 4, std::string(rest.substr(23, open - 23))};
}

// A log's records, a run's banner among them. `strict` throws on text that is no record, a record or banner
// that does not start a line, a lone CR or LF, or a last line without its CR LF.
inline std::vector<LogRecord> logRecords(std::string_view text, bool strict = false) {
    const std::string stars(96, '*');
    const std::string bannerStart = "\r\n\r\n\r\n" + stars + "\r\n";
    const std::string bannerEnd = "\r\n" + stars + "\r\n";
    std::vector<LogRecord> records;
    const auto check = [strict, &text](bool fine, std::size_t at, const std::string& why) {
        if (strict && !fine) {
            throw std::runtime_error(why + " at: " + std::string(text.substr(at, 80)));
        }
    };
    std::size_t start = 0; // of the last record's message, or of what follows a banner
    for (std::size_t at = 0; at <= text.size(); ++at) {
        const bool banner = text.substr(at).starts_with(bannerStart);
        const auto [length, source] = banner ? std::pair<std::size_t, std::string>{} : logHeaderAt(text, at);
        if (!banner && length == 0 && at < text.size()) {
            continue;
        }
        std::string body(text.substr(start, at - start));
        const bool record = !records.empty() && !records.back().source.empty();
        check(body.empty() || record, start, "no log record");
        check(body.empty() || body.ends_with("\r\n"), start, "a last line without its CR LF");
        for (std::size_t i = 0; i < body.size(); ++i) { // a CR only before an LF, an LF only after a CR
            const bool lone = body[i] == '\r' ? body.substr(i + 1, 1) != "\n"
                                              : body[i] == '\n' && (i == 0 || body[i - 1] != '\r');
            check(!lone, start, "a lone CR or LF");
        }
        body.resize(body.size() - (body.ends_with("\r\n") ? 2 : 0));
        for (std::size_t cr = body.find("\r\n"); cr != std::string::npos; cr = body.find("\r\n", cr)) {
            body.erase(cr, 1);
        }
        record ? void(records.back().message = std::move(body)) : void();
        check(at == 0 || at == text.size() || (at >= 2 && text.substr(at - 2, 2) == "\r\n"), at,
              "not at a line start");
        if (banner) {
            const std::size_t end = text.find(bannerEnd, at + bannerStart.size());
            const std::size_t started = at + bannerStart.size();
            check(end != std::string_view::npos &&
                      like(text.substr(started, end - started),
                           "Started TavrinDriverUtil.exe(pid:+) at: [ ####/##/## ##:##:## ]"),
                  at, "no banner");
            records.push_back({"", ""});
            start = end == std::string_view::npos ? text.size() : end + bannerEnd.size();
            at = start - 1;
        } else if (length != 0) {
            records.push_back({source, ""});
            start = at + length;
            at = start - 1;
        }
    }
    return records;
}

// Log messages against expected ones (a trailing "\\n" stands for a message's line feed, a leading "!" for a
// message that is nowhere): these in this order with others between, or with `whole` all of them. The
// index of the first expected line that fails, and why.
inline std::optional<std::pair<std::size_t, std::string>>
logProblem(const std::vector<std::string>& messages, const std::vector<std::string>& expected, bool whole) {
    std::string logged;
    for (const std::string& message : messages) {
        logged +=
            "\n    " + (message.ends_with("\n") ? message.substr(0, message.size() - 1) + "\\n" : message);
    }
    auto at = messages.begin();
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const bool absent = expected[i].starts_with("!");
        std::string line = expected[i].substr(absent ? 1 : 0);
        line = line.ends_with("\\n") ? line.substr(0, line.size() - 2) + "\n" : line;
        if (absent) {
            if (std::ranges::count(messages, line) != 0) {
                return std::pair{i, "logged all the same: " + expected[i].substr(1) + "\nthe log:" + logged};
            }
            continue;
        }
        at = whole ? at : std::find(at, messages.end(), line);
        if (at == messages.end() || *at != line) {
            return std::pair{i, "missing, or out of order: " + expected[i] + "\nthe log:" + logged};
        }
        ++at;
    }
    if (whole && at != messages.end()) {
        return std::pair{expected.size(), "more lines than these\nthe log:" + logged};
    }
    return std::nullopt;
}

} // namespace tdu::test
