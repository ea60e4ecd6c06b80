// The log file as real processes leave it under Wine: its bytes, its folder, its rotation, and several
// instances at once sharing it without a lock of their own, as an installer may start them.
#include "E2eLog.h"
#include "WineHarness.h"

#include <gtest/gtest.h>

#include <ctime>
#include <iomanip>
#include <map>

namespace tdu::e2e {
namespace {

const std::string kRun = "main| Command Line Received: '/component tvrnva'\nop| Invalid Operation Code";

// Wine takes the local time from the host's zone: the program's stamps fall inside the host's view of
// the run.
void expectStampWithin(const std::string& stamp, const char* format, std::time_t from) {
    std::tm parts{};
    std::istringstream(stamp) >> std::get_time(&parts, format);
    parts.tm_isdst = -1;
    const std::time_t at = std::mktime(&parts);
    EXPECT_GE(at, from - 1) << stamp;
    EXPECT_LE(at, std::time(nullptr) + 1) << stamp;
}

class Log : public ::testing::Test {
protected:
    void SetUp() override { machine.plant("dir " + std::string(kVendorFolder)); }
    WineMachine machine;
};

TEST_F(Log, FirstRunMakesTheFolderAndALaterRunAppends) {
    const std::time_t from = std::time(nullptr);
    EXPECT_EQ(machine.run({"/component", "tvrnva"}), 2U);
    const std::string first = machine.readFile(kLogFile);
    const std::string banner = bannerPattern(programUnderTest().filename().string());
    std::smatch match;
    ASSERT_TRUE(std::regex_search(
        first, match,
        std::regex(banner + R"(\[()" + kTimestamp + R"()\] \[TavrinDriverUtil\.cpp\(\d+\)\] \| )"),
        std::regex_constants::match_continuous))
        << first;
    expectStampWithin(match[1].str(), "%Y/%m/%d %H:%M:%S", from);
    expectStampWithin(match[2].str(), "%Y/%m/%d %H:%M:%S", from);
    EXPECT_TRUE(logMatches(rendered(parseLog(first)), "<banner>\n" + kRun));
    // The next run's banner follows the last line: three empty lines part the runs.
    EXPECT_EQ(machine.run({"/component", "tvrnva"}), 2U);
    const std::string both = machine.readFile(kLogFile);
    EXPECT_EQ(both.substr(0, first.size()), first);
    EXPECT_TRUE(std::regex_search(both.substr(first.size()), std::regex(banner),
                                  std::regex_constants::match_continuous));
}

// Logging never stops a run: without its parent the log folder cannot be made.
TEST(LogWithoutVendorFolder, NothingIsWrittenAndTheRunEnds) {
    WineMachine machine;
    EXPECT_EQ(machine.run({"/component", "tvrnva"}), 2U);
    machine.expect(R"(!dir C:\users\Public\Tavrin Secure)");
}

// A user who planted a second name of another file at the log's name gets nothing written into that
// file: the run goes on without its log. (Wine makes no junctions or symbolic links of its own; the
// simulated machine's tests plant those.)
TEST_F(Log, AHardLinkAtTheLogsNameIsNeverWrittenThrough) {
    machine.writeFile(R"(C:\windows\system32\victim.dll)", "MZ victim");
    std::filesystem::create_directories(machine.hostPath(kLogFolder));
    std::filesystem::create_hard_link(machine.hostPath(R"(C:\windows\system32\victim.dll)"),
                                      machine.hostPath(kLogFile));
    EXPECT_EQ(machine.run({"/setprocessortype", "1"}), 0U);
    EXPECT_EQ(machine.readFile(R"(C:\windows\system32\victim.dll)"), "MZ victim");
    EXPECT_EQ(machine.listDir(kLogFolder), std::vector<std::string>{"TavrinDriverUtil.log"});
}

constexpr unsigned kInstances = 8;
const std::string kProcessorRun = R"(main| Command Line Received: '/setprocessortype 1'
    op| Command received to set processor type in registry
    op| Processor Architecture is: Processor_X64
    op| Successfully set registry: Processor_X64
    op| Saved Processor Architecture to Registry: Processor_X64)";

class Concurrency : public Log {
protected:
    void runAll() {
        std::vector<BackgroundRun> runs;
        for (unsigned i = 0; i < kInstances; ++i) {
            runs.push_back(machine.start({"/setprocessortype", "1"}));
        }
        for (BackgroundRun& run : runs) {
            EXPECT_EQ(run.wait(), 0U); // no exception escaped a failed open or rename
        }
    }
    // Records per text in each log file; parsing fails on a torn or mixed line.
    std::map<std::string, unsigned> counts() {
        std::map<std::string, unsigned> counts;
        for (const std::string& name : machine.listDir(kLogFolder)) {
            for (const std::string& line :
                 rendered(parseLog(machine.readFile(std::string(kLogFolder) + "\\" + name)))) {
                counts[line.starts_with("Filler.cpp") ? "filler" : line] += 1;
            }
        }
        return counts;
    }
};

// Instances share the log for appending: every line of every instance arrives whole.
TEST_F(Concurrency, EightInstancesWriteWholeLines) {
    runAll();
    std::map<std::string, unsigned> expected{{"<banner>", kInstances}};
    std::istringstream lines(kProcessorRun);
    for (std::string line; std::getline(lines >> std::ws, line);) {
        expected[line] = kInstances;
    }
    EXPECT_EQ(counts(), expected);
}

// All find the log past 5 MiB at once. Each that still sees it large renames it to the backup of its
// second; a later rename in the same second replaces the earlier backup: the only way a line may be lost.
TEST_F(Concurrency, EightInstancesRotateTogether) {
    const std::string filler = "[2026/12/05 10:00:00] [Filler.cpp(1)] | " + std::string(200, 'f') + "\r\n";
    std::string big;
    while (big.size() <= kRotationThreshold) {
        big += filler;
    }
    machine.writeFile(kLogFile, big);
    const std::time_t from = std::time(nullptr);
    const auto started = std::chrono::steady_clock::now();
    runAll();
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
    const auto names = machine.listDir(kLogFolder);
    ASSERT_GE(names.size(), 2U);
    for (std::size_t i = 0; i + 1 < names.size(); ++i) { // each backup named after its local second
        ASSERT_TRUE(std::regex_match(names[i], std::regex(R"(BK_\d{8}_\d{6}_TavrinDriverUtil\.log)")))
            << names[i];
        expectStampWithin(names[i].substr(3, 15), "%Y%m%d_%H%M%S", from);
    }
    EXPECT_LE(names.size(), static_cast<std::size_t>(seconds.count()) + 3);
    EXPECT_EQ(names.back(), "TavrinDriverUtil.log");
    EXPECT_LE(machine.readFile(kLogFile).size(), kRotationThreshold);
    unsigned lines = 0;
    for (const auto& [line, count] : counts()) {
        lines += line == "filler" ? 0 : count;
    }
    EXPECT_LE(lines, kInstances * 6);
}

} // namespace
} // namespace tdu::e2e
