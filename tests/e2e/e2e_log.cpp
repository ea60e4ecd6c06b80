// The real program's processes under Wine: the command line as a process gets it, and several instances at
// once sharing the log, one writer at a time, as an installer may start them, before and across its rotation.
#include "WineHarness.h"

#include <ctime>
#include <fstream>
#include <future>
#include <map>

namespace tdu::e2e {
namespace {

constexpr unsigned kInstances = 8;
// Each record of the run, once from each instance.
const std::map<std::string, unsigned> kEveryInstancesRun{
    {"<banner>", kInstances},
    {"main| Command Line Received: '/setprocessortype 1'", kInstances},
    {"op| Command received to set processor type in registry", kInstances},
    {"op| Processor Architecture is: Processor_X64", kInstances},
    {"op| Successfully set registry: Processor_X64", kInstances},
    {"op| Saved Processor Architecture to Registry: Processor_X64", kInstances},
};

// All instances at once: how often each record arrived over every log file (reading fails on a torn line),
// a record of more than 200 characters shown by its length.
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
            counts[line.size() > 200 ? line.substr(0, 12) + std::to_string(line.size()) : line] += 1;
        }
    }
    return counts;
}

TEST(Processes, TheCommandLineIsLoggedAsTheProcessGetsIt) {
    WineMachine machine;
    fs::create_directories(machine.hostPath(kVendorFolder)); // the program makes only the last folder
    // The full 32-bit code crosses the process; an empty argument reaches the parser as a value (a dropped
    // one would leave too few: -1).
    EXPECT_EQ(machine.run({}), 0xFFFFFFFFU);
    EXPECT_EQ(machine.run({"/disableCustomActions", ""}), 2U);
    EXPECT_TRUE(logMatches(records(machine.read(kLogFile)), R"(...
        main| Command Line Received: ''
        main| Command Line Received: '/disableCustomActions ""')"));
}

TEST(Processes, InstancesShareTheLogAndItsRotation) {
    WineMachine machine;
    fs::create_directories(machine.hostPath(kLogFolder));
    // Every line of every instance arrives, whole. (Wine alone does not append atomically for them: without
    // their lock some lines were lost or torn.)
    EXPECT_EQ(runAll(machine), kEveryInstancesRun);

    // All find the log past 5 MiB at once. The first to take the writers' lock renames it to the backup of
    // its second; each that waited meanwhile finds another file at the log's name and writes into that:
    // no line and no backup is lost.
    std::ofstream(machine.hostPath(kLogFile), std::ios::binary)
        << "[2026/12/05 10:00:00] [Filler.cpp(1)] | " + std::string(5'242'880, 'f') + "\r\n";
    const std::time_t rotated = std::time(nullptr);
    auto withFiller = kEveryInstancesRun;
    withFiller["Filler.cpp| 5242892"] = 1;
    EXPECT_EQ(runAll(machine), withFiller);
    const auto names = machine.list(kLogFolder);
    ASSERT_GE(names.size(), 2U);
    EXPECT_LE(names.size(), static_cast<std::size_t>(std::time(nullptr) - rotated) + 3);
    for (std::size_t i = 0; i + 1 < names.size(); ++i) { // each backup named after its second
        EXPECT_TRUE(like(names[i], "BK_########_######_TavrinDriverUtil.log")) << names[i];
    }
    EXPECT_EQ(names.back(), "TavrinDriverUtil.log");
    EXPECT_LE(machine.read(kLogFile).size(), 5'242'880U);
}

} // namespace
} // namespace tdu::e2e
