// A fresh simulated machine bound as the platform for each test, with the
// log folder's parent present, and scenarios run on one as text.
#pragma once

#include "platform/sim/SimMachine.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace tdu::test {

inline constexpr wchar_t kLogPath[] = L"C:\\Users\\Public\\Tavrin Secure\\Logging\\TavrinDriverUtil.log";

struct LogEntry {
    std::string source;  // "TDriverOperator.cpp"
    std::string message; // with its line feeds as written ("\n", not CR LF)
};

// The normal lines of a log file's bytes, in order; banners are skipped.
std::vector<LogEntry> parseLog(const std::string& bytes);
std::vector<std::string> logMessagesOf(const platform::sim::SimMachine& machine);

// A fresh machine bound as the platform for one table row, with the log
// folder's parent present; the platform bound before comes back at the end.
class FreshMachine {
public:
    FreshMachine();
    ~FreshMachine();
    FreshMachine(const FreshMachine&) = delete;
    FreshMachine& operator=(const FreshMachine&) = delete;

    platform::sim::SimMachine machine;

private:
    platform::Platform previous_;
};

// Whether every handle, key and stream a run acquired is back, once the
// process has let go of what it holds for its whole life (the log's folders).
::testing::AssertionResult nothingLeftOpen(platform::sim::SimMachine& machine);

// A test on a fresh machine that must give back every handle, key and
// stream it acquired.
class SimTest : public ::testing::Test, public FreshMachine {
protected:
    void TearDown() override;
    [[nodiscard]] std::string logBytes() const { return sim.readFile(kLogPath).value_or(""); }

    platform::sim::SimMachine& sim = machine;
};

// Text between the rows' ASCII and the machine's wide names.
using platform::sim::narrow;
inline std::wstring wide(std::string_view text) {
    return {text.begin(), text.end()};
}

// Log messages against a text block of one message a line (a trailing "\n"
// stands for a line feed of the message): all of them in this order, or with
// `inOrder` these in this order with others between; in both, a line "!m"
// says m is nowhere.
::testing::AssertionResult logMatches(const std::vector<std::string>& messages, const std::string& block,
                                      bool inOrder = false);

// Scenarios as text, each on a fresh machine (the format is described in
// SimTest.cpp). With rows, the table is a template run once per row: "{1}"
// and on stand for a row's "|"-separated cells, a ";" in a cell for a new line.
void runScenarios(const std::string& table, const std::string& rows = "");
// One scenario's set-up lines (";" or a line feed between them) on a
// machine, and one "> " line run on the bound machine: its exit code.
void setUpLines(platform::sim::SimMachine& machine, const std::string& lines);
int runLine(const std::string& line);
// The template of a scenario in one row: name | set-up | command line | exit
// code | log | views.
inline constexpr char kRow[] = "== {1}\n{2}\n> {3}\n= {4}\n{5}\n{6}\n";

} // namespace tdu::test
