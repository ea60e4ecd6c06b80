// A fresh simulated machine bound as the platform for each test, with the
// log folder's parent present, and scenarios run on one as text.
#pragma once

#include "platform/sim/SimMachine.h"
#include "tests/FreshMachine.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tdu::test {

inline constexpr wchar_t kLogPath[] = L"C:\\Users\\Public\\Tavrin Secure\\Logging\\TavrinDriverUtil.log";

// The messages of a log file (the run's log unless another is named), in order; banners are skipped.
std::vector<std::string> logMessagesOf(const platform::sim::SimMachine& machine,
                                       const std::wstring& path = kLogPath);

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

// Log messages against a block of expected ones, one a line (a trailing "\\n" stands for a message's line
// feed, a leading "!" for a message that is nowhere): these in this order with others between, or with
// `whole` all of them.
::testing::AssertionResult logMatches(const std::vector<std::string>& messages, const std::string& block,
                                      bool whole = false);

// Text with the names the store gave its packages ("oem3.inf") as rows give them, or with `toStore` the
// other way: a package from the drivers folder by its sub-folder ("<tvrnva_virtual>"), any other by its
// INF's file name ("<tvrnns.inf>"). A name the store gave twice is its latest package's.
std::string rowNames(const platform::sim::SimMachine& machine, std::string text, bool toStore = false);

// Scenarios, each on a fresh machine, read by tests/Scenario.h as the end-to-end ones are:
//   == NAME             starts one
//   use NAME            the lines of the fragment of that name, in its place
//   + FACT              planted before the runs below it (the facts are listed in SimTest.cpp, at setUp)
//   > ARGS => CODE      a run and its exit code (a scenario's runs follow each other on its machine): a
//                       command line after the program's name, or "@Operation args" for one operator call
//   ? VIEW: VALUE       checked after the runs above it (the views are listed in SimTest.cpp, at view)
//   = whole log         the messages below are the whole log, not only those that tell the case apart
//   !MESSAGE            a message the log holds nowhere
//   any other line      a message of the log; all of them in this order, others may come between
//   ... TEXT            the line before goes on, a space and TEXT
//   # TEXT              a comment
// The fragments come first, so that the text ends the call. A failure is reported at the source line of
// the fact it is about: the text must start on the line of the call, as in `runScenarios({}, R"(`; its
// lines are counted from `line` by `step`.
using Fragments = std::map<std::string, std::string, std::less<>>;
void runScenarios(const Fragments& fragments, std::string_view text, const char* file = __builtin_FILE(),
                  int line = __builtin_LINE(), int step = 1);
// One scenario built from a table row's cells, where each row is a call: every failure is reported at the
// line of the row.
inline void runRow(std::string_view scenario, const char* file = __builtin_FILE(),
                   int line = __builtin_LINE()) {
    runScenarios({}, scenario, file, line, 0);
}

// Planted facts ("+ " before each optional; ";" or a line feed between them) on a machine: false, with the
// test reported skipped, when the host cannot plant one. One run line (without its exit code) on the bound
// machine: its exit code.
bool setUpLines(platform::sim::SimMachine& machine, const std::string& lines);
int runLine(const std::string& line);

} // namespace tdu::test
