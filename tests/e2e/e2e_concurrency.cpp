// Several instances of the program at once, as an installer may start them:
// they share the log file without a lock of their own.
#include "E2eLog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace tdu::e2e {
namespace {

constexpr int kInstances = 8;
const std::vector<std::string> kRunLines{
    received("/setprocessortype 1"),
    entry(kOperatorUnit, "Command received to set processor type in registry"),
    entry(kOperatorUnit, "Processor Architecture is: Processor_X64"),
    entry(kOperatorUnit, "Successfully set registry: Processor_X64"),
    entry(kOperatorUnit, "Saved Processor Architecture to Registry: Processor_X64"),
};

class Concurrency : public ProgramTest {
protected:
    void SetUp() override { createVendorFolder(); }
    std::vector<std::uint32_t> runAll() {
        std::vector<BackgroundRun> runs;
        for (int i = 0; i < kInstances; ++i) {
            runs.push_back(machine.start({"/setprocessortype", "1"}));
        }
        std::vector<std::uint32_t> results;
        for (BackgroundRun& run : runs) {
            results.push_back(run.wait());
        }
        return results;
    }
    // Records per text in a log file; parsing fails on a torn or mixed line.
    std::map<std::string, int> countsIn(std::string_view windowsPath) {
        const std::string text = machine.readFile(windowsPath);
        expectCrLfOnly(text);
        std::map<std::string, int> counts;
        for (const std::string& line : summarize(parseLog(text))) {
            ++counts[line];
        }
        return counts;
    }
};

// Wine does not refuse a second opener of the log (Windows does, and drops
// the colliding line), so here every line of every instance arrives whole.
TEST_F(Concurrency, EightInstancesWriteWholeLines) {
    for (const std::uint32_t result : runAll()) {
        EXPECT_EQ(result, kSuccess);
    }
    const std::map<std::string, int> counts = countsIn(kLogFile);
    EXPECT_EQ(counts.at(std::string(kBannerMark)), kInstances);
    int lines = 0;
    for (const std::string& line : kRunLines) {
        EXPECT_EQ(counts.at(line), kInstances) << line;
    }
    for (const auto& [line, count] : counts) {
        lines += count;
    }
    EXPECT_EQ(lines, kInstances * static_cast<int>(kRunLines.size() + 1)) << "a line nobody wrote";
}

// All instances find the log past 5 MiB at once. Each that still sees it
// large renames it to the backup of its second; two renames in one second
// give one name, and the later replaces the earlier: that is the only way a
// line may be lost. Every file left is whole.
TEST_F(Concurrency, EightInstancesRotateTogether) {
    const std::string filler = "[2026/12/05 10:00:00] [Filler.cpp(1)] | " + std::string(200, 'f') + "\r\n";
    std::string big;
    while (big.size() <= kRotationThreshold) {
        big += filler;
    }
    machine.mkdirs(kLogFolder);
    machine.writeFile(kLogFile, big);

    const auto started = std::chrono::steady_clock::now();
    for (const std::uint32_t result : runAll()) {
        EXPECT_EQ(result, kSuccess); // no exception escaped a failed rename
    }
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
    std::vector<std::string> backups;
    int lines = 0;
    for (const std::string& name : machine.listDir(kLogFolder)) {
        const std::string path = std::string(kLogFolder) + "\\" + name;
        if (name == "TavrinDriverUtil.log") {
            EXPECT_LE(machine.readFile(path).size(), kRotationThreshold);
        } else {
            ASSERT_TRUE(std::regex_match(name, std::regex(R"(BK_\d{8}_\d{6}_TavrinDriverUtil\.log)")))
                << name;
            backups.push_back(name);
        }
        for (const auto& [line, count] : countsIn(path)) {
            lines += line.rfind("Filler.cpp", 0) == 0 ? 0 : count;
        }
    }
    // At most one backup per second the runs spanned: a later rotation in
    // the same second replaces the earlier backup.
    ASSERT_FALSE(backups.empty());
    EXPECT_LE(backups.size(), static_cast<std::size_t>(seconds.count()) + 2);
    EXPECT_LE(lines, kInstances * static_cast<int>(kRunLines.size() + 1));
}

} // namespace
} // namespace tdu::e2e
