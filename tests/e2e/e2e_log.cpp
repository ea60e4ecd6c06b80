// The log file as real processes leave it under Wine, in one machine: its folder, a planted hard link,
// several instances at once sharing it, one writer at a time, as an installer may start them, before and
// across its rotation, and another program holding the writers' lock.
#include "WineHarness.h"

#include <ctime>
#include <future>
#include <iomanip>
#include <map>
#include <thread>

namespace tdu::e2e {
namespace {

constexpr unsigned kInstances = 8;
const std::vector<std::string> kProcessorRun{
    "<banner>",
    "main| Command Line Received: '/setprocessortype 1'",
    "op| Command received to set processor type in registry",
    "op| Processor Architecture is: Processor_X64",
    "op| Successfully set registry: Processor_X64",
    "op| Saved Processor Architecture to Registry: Processor_X64",
};

// Wine takes the local time from the host's zone: the program's stamps (in the text, of this shape) fall
// inside the host's view of the run.
void expectStampsWithin(const std::string& text, const std::string& shape, const char* format,
                        std::time_t from) {
    for (std::size_t at = 0; at + shape.size() <= text.size(); ++at) {
        if (!like(text.substr(at, shape.size()), shape)) {
            continue;
        }
        std::tm parts{};
        std::istringstream(text.substr(at, shape.size())) >> std::get_time(&parts, format);
        parts.tm_isdst = -1;
        EXPECT_GE(std::mktime(&parts), from - 1) << text.substr(at, shape.size());
        EXPECT_LE(std::mktime(&parts), std::time(nullptr) + 1) << text.substr(at, shape.size());
    }
}

// Each record of the run arrived once from each instance, and the others as often as given. A record that
// arrived from none, while records nobody expects did, is a message changed or missing, not lines lost:
// the failure says which.
void expectEveryInstancesRun(const std::map<std::string, unsigned>& arrived,
                             std::map<std::string, unsigned> expected = {},
                             const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    const ::testing::ScopedTrace at(file, line, "the records of all instances");
    for (const std::string& record : kProcessorRun) {
        expected[record] = kInstances;
    }
    std::string unexpected;
    for (const auto& [record, count] : arrived) {
        unexpected += expected.contains(record) ? "" : "\n  " + record;
    }
    for (const auto& [record, count] : expected) {
        const auto found = arrived.find(record);
        if (found == arrived.end()) {
            ADD_FAILURE() << "nothing wrote \"" << record
                          << "\": a message changed or is missing; records nobody expects:" << unexpected;
        } else {
            EXPECT_EQ(found->second, count) << "lines lost or repeated: " << record;
        }
    }
    EXPECT_EQ(unexpected, "") << "records nobody expects";
}

// All instances at once; then the records per text over every log file (reading fails on a torn line).
std::map<std::string, unsigned> runAll(WineMachine& machine) {
    std::vector<std::future<std::uint32_t>> runs;
    for (unsigned i = 0; i < kInstances; ++i) {
        runs.push_back(std::async(std::launch::async, [&] {
            return machine.run({"/setprocessortype", "1"});
        }));
    }
    for (auto& run : runs) {
        EXPECT_EQ(run.get(), 0U); // no exception escaped a failed open or rename
    }
    std::map<std::string, unsigned> counts;
    for (const std::string& name : machine.list(kLogFolder)) {
        for (const std::string& line : records(machine.read(kLogFolder + "\\" + name))) {
            counts[line] += 1;
        }
    }
    return counts;
}

TEST(Log, FolderHardLinkAndInstancesTogether) {
    WineMachine machine;
    // Logging never stops a run: without its parent the log folder cannot be made.
    EXPECT_EQ(machine.run({"/component", "tvrnva"}), 2U);
    machine.expect("!dir " + kVendorFolder);

    // A second name of another file planted at the log's name gets nothing written into that file: the
    // run goes on without its log. (Wine makes no junctions or symbolic links of its own; the simulated
    // machine's tests plant those.)
    machine.write(R"(C:\windows\system32\victim.dll)", "MZ victim");
    fs::create_directories(machine.hostPath(kLogFolder));
    fs::create_hard_link(machine.hostPath(R"(C:\windows\system32\victim.dll)"), machine.hostPath(kLogFile));
    EXPECT_EQ(machine.run({"/setprocessortype", "1"}), 0U);
    EXPECT_EQ(machine.read(R"(C:\windows\system32\victim.dll)"), "MZ victim");
    EXPECT_EQ(machine.list(kLogFolder), std::vector<std::string>{"TavrinDriverUtil.log"});
    machine.expect(R"($product32 : Processor_X64 = REG_DWORD 0x1
                      !key $product)");
    fs::remove(machine.hostPath(kLogFile));

    // Instances share the log, one writer at a time: every line of every instance arrives, whole. (Wine
    // alone does not append atomically for them: without their lock some lines were lost or torn.)
    const std::time_t from = std::time(nullptr);
    expectEveryInstancesRun(runAll(machine));
    expectStampsWithin(machine.read(kLogFile), "####/##/## ##:##:##", "%Y/%m/%d %H:%M:%S", from);

    // All find the log past 5 MiB at once. The first to take the writers' lock renames it to the backup of
    // its second; each that waited meanwhile finds another file at the log's name and writes into that:
    // no line and no backup is lost.
    machine.write(kLogFile,
                  "[2026/12/05 10:00:00] [Filler.cpp(1)] | " + std::string(5'242'880, 'f') + "\r\n");
    const std::time_t rotated = std::time(nullptr);
    const std::string filler = "Filler.cpp| " + std::string(5'242'880, 'f');
    expectEveryInstancesRun(runAll(machine), {{filler, 1}});
    const auto names = machine.list(kLogFolder);
    ASSERT_GE(names.size(), 2U);
    EXPECT_LE(names.size(), static_cast<std::size_t>(std::time(nullptr) - rotated) + 3);
    for (std::size_t i = 0; i + 1 < names.size(); ++i) { // each backup named after its local second
        EXPECT_TRUE(like(names[i], "BK_########_######_TavrinDriverUtil.log")) << names[i];
        expectStampsWithin(names[i], "########_######", "%Y%m%d_%H%M%S", rotated);
    }
    EXPECT_EQ(names.back(), "TavrinDriverUtil.log");
    EXPECT_LE(machine.read(kLogFile).size(), 5'242'880U);
}

// Another program holds the writers' lock, through a handle that may only read, for longer than a run
// lasts: the run waits about a second once and writes every line (rather than waiting a second for each
// and losing it). A run without the holder, just before and past the prefix's first start, is the measure.
TEST(Log, AHolderOfTheLockDelaysARunOnce) {
    WineMachine machine;
    machine.plant("dir " + kVendorFolder);
    const auto timedRun = [&machine] {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(machine.run({"/setprocessortype", "1"}), 0U);
        return std::chrono::steady_clock::now() - start;
    };
    timedRun();
    const auto alone = timedRun();
    const std::string ready = R"(C:\lock-held)";
    auto holder = std::async(std::launch::async, [&] {
        return machine.run({"/lock", kLogFile, ready, "15000"}, expand("$tools") + R"(\tdlaunch.exe)");
    });
    for (int tries = 0; tries < 300 && !fs::exists(machine.hostPath(ready)); ++tries) {
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(fs::exists(machine.hostPath(ready))) << "the holder never took the lock";
    const auto held = timedRun();
    std::vector<std::string> threeRuns;
    for (int run = 0; run < 3; ++run) {
        threeRuns.insert(threeRuns.end(), kProcessorRun.begin(), kProcessorRun.end());
    }
    EXPECT_EQ(records(machine.read(kLogFile)), threeRuns);
    EXPECT_LE(held - alone, 4s) << "a run of six lines waited more than once";
    EXPECT_EQ(holder.get(), 0U);
}

} // namespace
} // namespace tdu::e2e
