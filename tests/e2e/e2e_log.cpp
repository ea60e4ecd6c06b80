// The log file as real processes leave it under Wine, in one machine: its folder, a planted hard link, its
// bytes, and several instances at once sharing it, one writer at a time, as an installer may start them,
// before and across its rotation.
#include "WineHarness.h"

#include <gtest/gtest.h>

#include <ctime>
#include <future>
#include <iomanip>
#include <map>
#include <regex>
#include <sstream>

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

// The records of one run of kProcessorRun.
std::vector<std::string> processorRun() {
    std::vector<std::string> lines;
    std::istringstream block(kProcessorRun);
    for (std::string line; std::getline(block, line);) {
        if (const auto start = line.find_first_not_of(' '); start != std::string::npos) {
            lines.push_back(line.substr(start));
        }
    }
    return lines;
}

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

    // Instances share the log, one writer at a time: every line of every instance arrives, whole. (Wine
    // alone does not append atomically for them: without their lock some lines were lost or torn.)
    runAll(machine);
    std::map<std::string, unsigned> arrived = counts(machine);
    for (const std::string& record : processorRun()) {
        EXPECT_EQ(arrived[record], kInstances) << record;
    }
    EXPECT_EQ(arrived.size(), 6U);
    fs::remove(machine.hostPath(kLogFile));

    // All find the log past 5 MiB at once. The first to take the writers' lock renames it to the backup of
    // its second; each that waited meanwhile finds another file at the log's name and writes into that:
    // no line and no backup is lost.
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
    arrived = counts(machine);
    EXPECT_EQ(arrived["filler"], big.size() / filler.size());
    for (const std::string& record : processorRun()) {
        EXPECT_EQ(arrived[record], kInstances) << record;
    }
}

} // namespace
} // namespace tdu::e2e
