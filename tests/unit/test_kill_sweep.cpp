// Each command that changes the driver set, killed at every platform call it
// makes, then the command that recovers run in a new process: the machine
// must end as the set-up and the recovering command alone leave it, with the
// log's last run whole and ending as that run's does. The reference is the
// recovering command alone, not the command and then the recovery: the
// promise is that a kill leaves nothing the next run does not clear, as if
// the killed run had never been.
#include "tests/unit/MachineState.h"
#include "tests/unit/SimTest.h"

#include "log/LogWriter.h"
#include "service/ServiceHandler.h"

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <regex>

namespace tdu::test {
namespace {

using platform::sim::SimMachine;

constexpr std::uint32_t kKilled = 4242; // FreshMachine's process
constexpr std::uint32_t kNext = 4343;

// What a kill the next run cannot clear leaves that a clean run does not (as
// the comparison reports it, a file's hash shown as "#"), and why. Known by
// what it leaves, not by the call it is made at, so that a line more in the
// log moves no exception; each must still be met at one point at least.
struct Known {
    std::string leaves;
    const char* reason;
};

struct Command {
    int at; // this row's line, for failures
    const char* line;
    const char* setUp;
    const char* recovery = nullptr; // the same line when none
    std::vector<Known> known = {};
};

// The whole set installed as the installer leaves it.
constexpr char kInstalled[] = "drivers;run /installdrivers 1;"
                              "run /install \"{drivers}tvrnns\\tvrnns.inf\" /component tvrnns;"
                              "run /netserv ADD /component tvrnns;service tvrnns";
constexpr char kUninstall[] = "/uninstalldrivers 1";

// A component's value is deleted only once its package left the store, and a
// package that is not there counts as a failed removal, which keeps the value:
// killed between the two, the value names a package that no run can remove.
constexpr char kValueAfterPackage[] = "its value outlives its package";
std::string staleValue(const std::string& value) {
    return "+ registry HKLM\\SOFTWARE\\Wow6432Node\\TavrinSecure\\TavrinDrivers : " + value + "\n";
}
// Each /install with /hardwareid creates a device: killed once it is
// registered, the next /install adds a second.
constexpr char kDeviceRegistered[] = "the device is registered";
// Killed between a package's publication and the record of its name, the
// install leaves a package no value names. The uninstall's store sweep takes
// the adapter's and its manager's off, so the machine converges, but the log
// then ends with that removal; the filter's and the monitor's are not swept.
constexpr char kSweptUnrecorded[] = "the sweep takes off a package the install did not record";
constexpr char kUnrecorded[] = "a package the install did not record stays";
std::string logEnds(const std::string& message) {
    return "the log's last run ends with \"" + message + "\", not \"Listing Driver Infs\"\n";
}

// Every component's value left behind, one kill point each, as the installed
// set publishes them.
const std::vector<Known> kStaleValues{{staleValue("tvrnns = 1 oem4.inf"), kValueAfterPackage},
                                      {staleValue("tvrnva = 1 oem1.inf"), kValueAfterPackage},
                                      {staleValue("tvrnvamgr = 1 oem0.inf"), kValueAfterPackage},
                                      {staleValue("SplitDNSFilter = 1 oem2.inf"), kValueAfterPackage},
                                      {staleValue("DERAzo = 1 oem3.inf"), kValueAfterPackage}};
const std::vector<Known> kStaleNetService(kStaleValues.begin(), kStaleValues.begin() + 1);
std::vector<Known> operator+(std::vector<Known> first, const std::vector<Known>& then) {
    first.insert(first.end(), then.begin(), then.end());
    return first;
}

const Command kCommands[] = {
    {.at = __LINE__, .line = "/installdrivers 1", .setUp = "drivers"},
    {.at = __LINE__,
     .line = "/installdrivers 1",
     .setUp = kInstalled,
     // tvrnns, which the set does not install again
     .known = kStaleNetService},
    // An upgrade the installer rolls back: the uninstall after a killed install.
    {.at = __LINE__,
     .line = "/installdrivers 1",
     .setUp = kInstalled,
     .recovery = kUninstall,
     .known =
         kStaleValues +
         std::vector<Known>{
             {logEnds("UninstallDriver succeeded for tvrnvamgr(oem0.inf)"), kSweptUnrecorded},
             {logEnds(
                  "UninstallDriver succeeded for {FE36527A-8C07-4854-8AF7-BF40E7DF52F7}\\TVRNVA(oem1.inf)"),
              kSweptUnrecorded},
             {"+ file /Windows/INF/<SplitDNSFilter\\SplitDNSFilter.inf> 1365 bytes #\n"
              "+ package <SplitDNSFilter\\SplitDNSFilter.inf>\n",
              kUnrecorded},
             {"+ file /Windows/INF/<DERAzo\\DERAzo.inf> 1164 bytes #\n+ package <DERAzo\\DERAzo.inf>\n",
              kUnrecorded}}},
    {.at = __LINE__, .line = kUninstall, .setUp = kInstalled, .known = kStaleValues},
    {.at = __LINE__, .line = "/reinstall 1 /component tvrnva", .setUp = kInstalled},
    {.at = __LINE__, .line = "/reinstall 2 /component tvrnva", .setUp = kInstalled},
    {.at = __LINE__, .line = "/reinstall 1 /component tvrnvamgr", .setUp = kInstalled},
    {.at = __LINE__, .line = "/reinstall 2 /component tvrnvamgr", .setUp = kInstalled},
    {.at = __LINE__, .line = "/reinstall 1 /component SplitDNSFilter", .setUp = kInstalled},
    {.at = __LINE__, .line = "/reinstall 2 /component SplitDNSFilter", .setUp = kInstalled},
    // tvrnns is only taken off, so its value is not written again.
    {.at = __LINE__,
     .line = "/reinstall 1 /component tvrnns",
     .setUp = kInstalled,
     .known = kStaleNetService},
    {.at = __LINE__,
     .line = "/reinstall 2 /component tvrnns",
     .setUp = kInstalled,
     .known = kStaleNetService},
    {.at = __LINE__,
     .line = "/install \"{drivers}tvrnvamgr\\tvrnvamgr.inf\" /hardwareid tvrnvamgr /component tvrnvamgr",
     .setUp = "drivers",
     .known = {{"+ device ROOT\\TVRNVAMGR\\0001 ids=tvrnvamgr, inf=<tvrnvamgr\\tvrnvamgr.inf> present=1 "
                "flags=0 removal=0\n",
                kDeviceRegistered}}},
    {.at = __LINE__,
     .line = "/netserv ADD /component tvrnns",
     .setUp = "drivers;run /install \"{drivers}tvrnns\\tvrnns.inf\" /component tvrnns"},
    {.at = __LINE__,
     .line = "/netserv REMOVE /component tvrnns",
     .setUp = kInstalled,
     .recovery = kUninstall},
};

// What a machine holds after a run: its state and the log's last run.
struct Outcome {
    std::vector<std::string> state;
    std::string lastRun;
};

// The recovering run, in a process of its own, and what it leaves.
Outcome recover(SimMachine& machine, const Command& command) {
    machine.setCurrentProcess(kNext);
    (void)runLine(command.recovery == nullptr ? command.line : command.recovery);
    ServiceHandler::getInstance().disconnect();
    log::resetLogPathCache();
    machine.endProcess(kNext);
    return {machineState(machine), lastRun(machine.readFile(kLogPath).value_or(""))};
}

// The calls the command makes when nothing kills it, and a digest of the
// machine's state before each: a kill there leaves that state, so two calls
// with the same digest before them are one point to run.
std::vector<std::pair<std::string, std::size_t>> callsOf(const Command& command) {
    std::vector<std::pair<std::string, std::size_t>> calls;
    FreshMachine fresh;
    setUpLines(fresh.machine, command.setUp);
    const std::size_t start = fresh.machine.callTrace().size();
    (void)runLine(command.line);
    const std::vector<std::string> made(fresh.machine.callTrace().begin() +
                                            static_cast<std::ptrdiff_t>(start),
                                        fresh.machine.callTrace().end());
    FreshMachine again;
    setUpLines(again.machine, command.setUp);
    std::map<std::string, unsigned> uses;
    for (const std::string& call : made) {
        again.machine.onCall(call, again.machine.callCount(call) + ++uses[call], [&calls, &again, call] {
            std::string state;
            for (const std::string& line : machineState(again.machine, false)) {
                state += line + "\n";
            }
            calls.emplace_back(call, std::hash<std::string>{}(state));
        });
    }
    (void)runLine(command.line);
    EXPECT_EQ(calls.size(), made.size()) << "the command's calls differ from one run to the next";
    return calls;
}

// The command killed at its kth call, then the recovery: what is left.
Outcome killedAt(const Command& command, unsigned k) {
    FreshMachine fresh;
    setUpLines(fresh.machine, command.setUp);
    fresh.machine.killAtCall(k);
    (void)runLine(command.line);
    // What the dead process still holds in memory goes with it; its closes
    // reach nothing.
    ServiceHandler::getInstance().disconnect();
    log::resetLogPathCache();
    fresh.machine.endProcess(kKilled);
    return recover(fresh.machine, command);
}

// Why the two outcomes differ; empty when they do not.
std::string difference(const Outcome& clean, const Outcome& killed) {
    std::string why = stateDiff(clean.state, killed.state);
    const std::vector<LogEntry> cleanLog = parseLog(clean.lastRun);
    const std::vector<LogEntry> killedLog = parseLog(killed.lastRun);
    if (!killed.lastRun.ends_with("\r\n") || killedLog.empty()) {
        why += "the log's last run does not end whole\n";
    } else if (cleanLog.empty() || killedLog.back().message != cleanLog.back().message) {
        why += "the log's last run ends with \"" + killedLog.back().message + "\", not \"" +
               (cleanLog.empty() ? "" : cleanLog.back().message) + "\"\n";
    }
    return why;
}

// Every point is run when TDU_KILL_SWEEP_ALL is set; otherwise one of each
// run of calls that leave the machine as it was before them.
TEST(KillSweep, TheNextRunClearsWhatAKillAtAnyCallLeaves) {
    const bool all = std::getenv("TDU_KILL_SWEEP_ALL") != nullptr;
    const auto started = std::chrono::steady_clock::now();
    unsigned points = 0;
    unsigned converging = 0;
    unsigned runs = 0;
    for (const Command& command : kCommands) {
        const ::testing::ScopedTrace trace(__FILE__, command.at, command.line);
        Outcome clean;
        {
            FreshMachine fresh;
            setUpLines(fresh.machine, command.setUp);
            clean = recover(fresh.machine, command);
        }
        const auto calls = callsOf(command);
        std::string why;
        unsigned ran = 0;
        std::vector<unsigned> met(command.known.size(), 0);
        for (unsigned k = 1; k <= calls.size(); ++k) {
            if (all || k == 1 || calls[k - 1].second != calls[k - 2].second) {
                why = difference(clean, killedAt(command, k));
                ran = k;
                ++runs;
            }
            const std::string& call = calls[k - 1].first;
            const std::string leaves = std::regex_replace(why, std::regex("#[0-9]+"), "#");
            const auto known = std::ranges::find_if(command.known, [&](const Known& exception) {
                return !why.empty() && exception.leaves == leaves;
            });
            const std::string same =
                ran == k ? "" : " (leaves what a kill at " + std::to_string(ran) + " does)";
            const std::string at = "killed at call " + std::to_string(k) + " (" + call + ")" + same;
            const char* recovery = command.recovery == nullptr ? command.line : command.recovery;
            if (known != command.known.end()) {
                ++met[static_cast<std::size_t>(known - command.known.begin())];
            } else if (!why.empty()) {
                ADD_FAILURE() << at << ", the next run (" << recovery << ") does not converge:\n" << why;
            }
            ++points;
            converging += why.empty() ? 1 : 0;
        }
        for (std::size_t i = 0; i < met.size(); ++i) {
            EXPECT_NE(met[i], 0U) << "no kill leaves this any more, no longer a known exception ("
                                  << command.known[i].reason << "):\n"
                                  << command.known[i].leaves;
        }
    }
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::cout << "killed at any of " << points << " calls, the next run converges at " << converging
              << " of them (" << runs << " kills run, " << seconds << " s)\n";
}

} // namespace
} // namespace tdu::test
