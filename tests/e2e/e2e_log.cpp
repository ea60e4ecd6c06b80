// The log file as real processes leave it under Wine, in one machine: its folder, a planted hard link, its
// bytes, and several instances at once sharing it without a lock of their own, as an installer may start
// them, before and across its rotation.
#include "WineHarness.h"

#include <gtest/gtest.h>

#include <ctime>
#include <future>
#include <iomanip>
#include <map>
#include <regex>

namespace tdu::e2e {
namespace {

constexpr unsigned kInstances = 8;
constexpr std::size_t kRotationThreshold = 5'242'880;
const std::string kProcessorRun = R"(
    <banner>
    main| Command Line Received: '/setprocessortype 1'
    op| Command received to set processor type in registry
    op| Processor Architecture is: Processor_X64
    op| Successfully set registry: Processor_X64
    op| Saved Processor Architecture to Registry: Processor_X64
)";

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

// Records per text in each log file; reading fails on a torn or mixed line.
std::map<std::string, unsigned> counts(WineMachine& machine) {
    std::map<std::string, unsigned> counts;
    for (const std::string& name : machine.listDir(kLogFolder)) {
        for (const std::string& line : records(machine.readFile(std::string(kLogFolder) + "\\" + name))) {
            counts[line.starts_with("Filler.cpp") ? "filler" : line] += 1;
        }
    }
    return counts;
}

void runAll(WineMachine& machine) {
    std::vector<std::future<std::uint32_t>> runs;
    for (unsigned i = 0; i < kInstances; ++i) {
        runs.push_back(std::async(std::launch::async, [&] {
            return machine.run({"/setprocessortype", "1"});
        }));
    }
    for (auto& run : runs) {
        EXPECT_EQ(run.get(), 0U); // no exception escaped a failed open or rename
    }
}

TEST(Log, FolderHardLinkBytesAndInstancesTogether) {
    WineMachine machine;
    // Logging never stops a run: without its parent the log folder cannot be made.
    EXPECT_EQ(machine.run({"/component", "tvrnva"}), 2U);
    machine.expect("!dir " + std::string(kVendorFolder));

    // A second name of another file planted at the log's name gets nothing written into that file: the
    // run goes on without its log. (Wine makes no junctions or symbolic links of its own; the simulated
    // machine's tests plant those.)
    machine.writeFile(R"(C:\windows\system32\victim.dll)", "MZ victim");
    fs::create_directories(machine.hostPath(kLogFolder));
    fs::create_hard_link(machine.hostPath(R"(C:\windows\system32\victim.dll)"), machine.hostPath(kLogFile));
    EXPECT_EQ(machine.run({"/setprocessortype", "1"}), 0U);
    EXPECT_EQ(machine.readFile(R"(C:\windows\system32\victim.dll)"), "MZ victim");
    EXPECT_EQ(machine.listDir(kLogFolder), std::vector<std::string>{"TavrinDriverUtil.log"});
    machine.expect(R"($product32 : Processor_X64 = REG_DWORD 0x1
                      !key $product)");
    fs::remove(machine.hostPath(kLogFile));

    // A first run starts the file; the next run's banner follows the last line.
    const std::time_t from = std::time(nullptr);
    EXPECT_EQ(machine.run({"/setprocessortype", "1"}), 0U);
    const std::string first = machine.readFile(kLogFile);
    EXPECT_EQ(machine.run({"/component", "tvrnva"}), 2U);
    const std::string both = machine.readFile(kLogFile);
    EXPECT_EQ(both.substr(0, first.size()), first);
    EXPECT_TRUE(logMatches(records(both), kProcessorRun + R"(<banner>
        main| Command Line Received: '/component tvrnva'
        op| Invalid Operation Code)"));
    const std::regex stamp(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2})");
    for (auto it = std::sregex_iterator(both.begin(), both.end(), stamp); it != std::sregex_iterator();
         ++it) {
        expectStampWithin(it->str(), "%Y/%m/%d %H:%M:%S", from);
    }
    fs::remove(machine.hostPath(kLogFile));

    // Instances share the log for appending: every line of every instance arrives whole. Wine appends
    // at the size it last saw, not atomically as Windows does, so two equal lines written at one moment
    // may land on one place: two of the 48 may go that way (a refused share loses a third of them).
    runAll(machine);
    int lost = 6 * kInstances;
    for (const auto& [line, count] : counts(machine)) {
        EXPECT_NE(kProcessorRun.find("    " + line + "\n"), std::string::npos) << line;
        EXPECT_LE(count, kInstances) << line;
        lost -= static_cast<int>(count);
    }
    EXPECT_LE(lost, 2);
    fs::remove(machine.hostPath(kLogFile));

    // All find the log past 5 MiB at once. Each that still sees it large renames it to the backup of its
    // second; a later rename in the same second replaces the earlier backup: the only way a line may be lost.
    const std::string filler = "[2026/12/05 10:00:00] [Filler.cpp(1)] | " + std::string(200, 'f') + "\r\n";
    std::string big;
    while (big.size() <= kRotationThreshold) {
        big += filler;
    }
    machine.writeFile(kLogFile, big);
    const std::time_t rotated = std::time(nullptr);
    const auto started = std::chrono::steady_clock::now();
    runAll(machine);
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
    const auto names = machine.listDir(kLogFolder);
    ASSERT_GE(names.size(), 2U);
    for (std::size_t i = 0; i + 1 < names.size(); ++i) { // each backup named after its local second
        ASSERT_TRUE(std::regex_match(names[i], std::regex(R"(BK_\d{8}_\d{6}_TavrinDriverUtil\.log)")))
            << names[i];
        expectStampWithin(names[i].substr(3, 15), "%Y%m%d_%H%M%S", rotated);
    }
    EXPECT_LE(names.size(), static_cast<std::size_t>(seconds.count()) + 3);
    EXPECT_EQ(names.back(), "TavrinDriverUtil.log");
    EXPECT_LE(machine.readFile(kLogFile).size(), kRotationThreshold);
    unsigned lines = 0;
    for (const auto& [line, count] : counts(machine)) {
        lines += line == "filler" ? 0 : count;
    }
    EXPECT_LE(lines, kInstances * 6);
}

} // namespace
} // namespace tdu::e2e
