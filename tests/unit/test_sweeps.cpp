// Two sweeps walk every platform call a command makes.
//
// The fault sweep: every operation the command line reaches, run once per
// platform call it makes with every use of that call failing: no exception
// escapes, nothing stays open (handles, keys, streams, heap blocks,
// interfaces, COM initialisations), and the result is the one a clean run
// gives unless the failing call is one whose failure the operation reports in
// its result.
//
// The kill sweep: each command that changes the driver set, killed at every
// platform call it makes, then the command that recovers run in a new process:
// the machine must end as the set-up and the recovering command alone leave
// it, with the log's last run whole and ending as that run's does. The
// reference is the recovering command alone, not the command and then the
// recovery: the promise is that a kill leaves nothing the next run does not
// clear, as if the killed run had never been.
#include "tests/Scenario.h"
#include "tests/unit/SimTest.h"

#include "log/LogWriter.h"
#include "platform/sim/SimNetConfig.h"
#include "platform/sim/SimServices.h"
#include "service/ServiceHandler.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <span>

namespace tdu::test {
namespace {

using platform::sim::SimMachine;

// E_FAIL: a failure both as an HRESULT and, passed through, as an exit code.
constexpr std::uint32_t kFault = 0x80004005;
constexpr std::uint32_t kStarter = 77; // the process that starts an installation

constexpr std::uint32_t kKilled = 4242; // FreshMachine's process
constexpr std::uint32_t kNext = 4343;

// What a run leaves on a machine, as sorted text lines that two machines can
// be compared by (what a later run finds, not how it came there): the driver
// store's packages, the device tree, services, network components, every
// registry key and value, every file but the log (path, size and a hash of
// its bytes) and every named object. Without `contents`, a file is shown by
// its size and the time it was last written instead of its bytes: cheaper,
// for telling states apart.
std::vector<std::string> machineState(SimMachine& machine, bool contents = true) {
    std::vector<std::string> lines;
    const auto add = [&lines](const std::string& kind, const std::vector<std::wstring>& names) {
        std::ranges::transform(names, std::back_inserter(lines),
                               [&](const auto& name) { return kind + narrow(name); });
    };
    add("package ", machine.publishedPackages());
    add("net ", machine.netConfig().componentIds());
    add("object ", machine.namedObjects());
    for (const platform::sim::SimDevice& device : machine.devices()) {
        std::ostringstream line;
        line << "device " << narrow(device.instanceId) << " ids=";
        for (const std::wstring& id : device.hardwareIds.value_or(std::vector<std::wstring>{})) {
            line << narrow(id) << ",";
        }
        line << " inf=" << narrow(device.driverInf) << " present=" << device.present << " flags=" << std::hex
             << device.installFlags << " removal=" << device.removalFlags;
        lines.push_back(line.str());
    }
    for (const std::wstring& name : machine.services().names()) {
        lines.push_back("service " + narrow(name) +
                        " state=" + std::to_string(machine.services().state(name)) +
                        (machine.services().markedForDelete(name) ? " marked for deletion" : ""));
    }
    for (const std::string& line : machine.registryLines()) {
        lines.push_back("registry " + line);
    }
    const std::filesystem::path drive = machine.hostPath(L"C:\\");
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it(drive, ec), end; !ec && it != end;
         it.increment(ec)) {
        // The path below the drive, spelled as found: relative() would resolve links.
        const std::string path = it->path().generic_string().substr(drive.generic_string().size());
        if (it->is_directory()) {
            lines.push_back("folder " + path);
        } else if (it->path() != machine.hostPath(kLogPath)) {
            const std::string bytes = contents ? platform::sim::readHostFile(it->path()).value_or("") : "";
            const std::string mark = contents
                                         ? std::to_string(std::hash<std::string>{}(bytes))
                                         : std::to_string(it->last_write_time(ec).time_since_epoch().count());
            lines.push_back("file " + path + " " + std::to_string(it->file_size(ec)) + " bytes #" + mark);
        }
    }
    // The store numbers packages by the order they came in, which a killed run may change without leaving
    // anything behind.
    std::ranges::transform(lines, lines.begin(),
                           [&](const std::string& line) { return rowNames(machine, line); });
    std::ranges::sort(lines);
    return lines;
}

// The whole set installed as the installer leaves it.
constexpr char kInstalled[] = "drivers;run /installdrivers 1;"
                              "run /install \"{drivers}tvrnns\\tvrnns.inf\" /component tvrnns;"
                              "run /netserv ADD /component tvrnns;service tvrnns";
constexpr char kUninstall[] = "/uninstalldrivers 1";

// A component's value is deleted only once its package left the store, and a
// package that is not there counts as a failed removal, which keeps the value:
// killed between the two, the value names a package that no run can remove.
std::string stale(const std::string& component) {
    return "+ registry HKLM\\SOFTWARE\\Wow6432Node\\TavrinSecure\\TavrinDrivers : " + component + " = 1 <" +
           component + ">\n";
}
std::string logEnds(const std::string& message) {
    return "- log's last run ends with \"Listing Driver Infs\"\n+ log's last run ends with \"" + message +
           "\"\n";
}

// What every component's value is left naming when a kill comes between the two.
const std::vector<std::string> kStale{stale("tvrnns"), stale("tvrnva"), stale("tvrnvamgr"),
                                      stale("SplitDNSFilter"), stale("DERAzo")};
// An upgrade the installer rolls back: the uninstall after a killed install.
// Killed between a package's publication and the record of its name, the
// install leaves a package no value names. The uninstall's store sweep
// takes the adapter's and its manager's off, so the machine converges, but
// the log then ends with that removal; the filter's and the monitor's are
// not swept, and stay.
const std::vector<std::string> kRolledBack = [] {
    std::vector<std::string> known = kStale;
    known.insert(
        known.end(),
        {logEnds("UninstallDriver succeeded for tvrnvamgr(<tvrnvamgr>)"),
         logEnds("UninstallDriver succeeded for {FE36527A-8C07-4854-8AF7-BF40E7DF52F7}\\TVRNVA(<tvrnva>)"),
         "+ file /Windows/INF/<SplitDNSFilter> 1365 bytes #\n+ package <SplitDNSFilter>\n",
         "+ file /Windows/INF/<DERAzo> 1164 bytes #\n+ package <DERAzo>\n"});
    return known;
}();

// The sweeps a row is run by.
enum Sweeps { kFaults = 1, kKills = 2, kBoth = 3 };

struct Row {
    int at; // this row's line, for failures
    Sweeps sweeps;
    const char* line; // as a scenario's "> " line
    const char* setUp;
    // The fault sweep's: the calls whose failure may change the result (to the value its own rows check).
    std::string reported = "";
    // The kill sweep's: the line that recovers (the same line when none), and what a kill the next run
    // cannot clear leaves that a clean run does not (as the comparison reports it, a file's hash shown as
    // "#"). Known by what it leaves, not by the call it is made at, so that a line more in the log moves no
    // exception; each must still be met at one point at least.
    const char* recovery = nullptr;
    std::vector<std::string> known = {};
};

// An earlier release, 9.1.15, found through its client's version, with every listed action in its sequence.
constexpr char kEarlier[] =
    "exe 0x00090007 0x00090001 0x000F0004;product {65BD35FD-2FDA-593A-B137-C682DE5A20C4}";
// The network-configuration calls whose failure may change /netserv's result.
const std::string kNetConfig = "CoInitializeEx CoCreateInstance QueryInterface AcquireWriteLock Initialize "
                               "FindComponent QueryNetCfgClass DeInstall Apply GetClassGuid";
constexpr char kExpand[] = "ExpandEnvironmentStringsW";

// clang-format off
const Row kRows[] = {
    {__LINE__, kFaults, "", ""},
    // The device stage answers the error of its last failing step; the update stages the package again
    // when the publish failed. Each /install with /hardwareid creates a device: killed once it is
    // registered, the next /install adds a second.
    {__LINE__, kBoth,
     "/install \"{drivers}tvrnvamgr\\tvrnvamgr.inf\" /hardwareid tvrnvamgr /component tvrnvamgr", "drivers",
     "SetupDiClassGuidsFromNameW SetupDiCreateDeviceInfoList SetupDiCreateDeviceInfoW "
     "SetupDiSetDeviceRegistryPropertyW SetupDiCallClassInstaller SetupDiGetDeviceInstanceIdW "
     "SetupDiGetDeviceInstallParamsW SetupDiDeleteDeviceInfo SetupDiDestroyDeviceInfoList SetupCopyOEMInfW "
     "UpdateDriverForPlugAndPlayDevicesW", nullptr,
     {"+ device ROOT\\TVRNVAMGR\\0001 ids=tvrnvamgr, inf=<tvrnvamgr> present=1 flags=0 removal=0\n"}},
    {__LINE__, kFaults, "/uninstall tvrnvamgr /component tvrnvamgr", kInstalled},
    {__LINE__, kFaults, "/setprocessortype 1", "", "RegCreateKeyExW RegSetValueExW"},
    {__LINE__, kFaults, "/netserv ADD /component tvrnns", kInstalled, kNetConfig + " Install"},
    {__LINE__, kKills, "/netserv ADD /component tvrnns",
     "drivers;run /install \"{drivers}tvrnns\\tvrnns.inf\" /component tvrnns"},
    {__LINE__, kBoth, "/netserv REMOVE /component tvrnns", kInstalled, kNetConfig, kUninstall},
    {__LINE__, kKills, "/installdrivers 1", "drivers"},
    // tvrnns, which the set does not install again
    {__LINE__, kBoth, "/installdrivers 1", kInstalled, kExpand, nullptr, {stale("tvrnns")}},
    // An upgrade the installer rolls back (kRolledBack).
    {__LINE__, kKills, "/installdrivers 1", kInstalled, "", kUninstall, kRolledBack},
    {__LINE__, kBoth, kUninstall, kInstalled, kExpand, nullptr, kStale},
    {__LINE__, kKills, "/reinstall 1 /component tvrnva", kInstalled},
    {__LINE__, kKills, "/reinstall 2 /component tvrnva", kInstalled},
    {__LINE__, kKills, "/reinstall 1 /component tvrnvamgr", kInstalled},
    {__LINE__, kBoth, "/reinstall 2 /component tvrnvamgr", kInstalled, kExpand},
    {__LINE__, kBoth, "/reinstall 1 /component SplitDNSFilter", kInstalled, kExpand},
    {__LINE__, kKills, "/reinstall 2 /component SplitDNSFilter", kInstalled},
    // tvrnns is only taken off, so its value is not written again; nothing of the install order is named,
    // but the folder is still expanded.
    {__LINE__, kKills, "/reinstall 1 /component tvrnns", kInstalled, "", nullptr, {stale("tvrnns")}},
    {__LINE__, kBoth, "/reinstall 2 /component tvrnns", kInstalled, kExpand, nullptr, {stale("tvrnns")}},
    // Another process (kStarter) ends the installation five seconds in.
    {__LINE__, kFaults, "/setstatus 0", "end 5000 77"},
    // Another process's /setstatus 0 (kStarter's) holds the mutex, that the run ends; its handles go with
    // it after the run.
    {__LINE__, kFaults, "/setstatus 1", "holds 77;event 77"},
    {__LINE__, kFaults, "/disableDifx all", kEarlier,
     "GetFileVersionInfoSizeW GetFileVersionInfoW VerQueryValueW"},
    {__LINE__, kFaults, "/disableCustomActions {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D}", kEarlier},
};
// clang-format on

// The rows one sweep runs.
std::vector<Row> sweptBy(Sweeps sweep) {
    std::vector<Row> rows;
    std::ranges::copy_if(kRows, std::back_inserter(rows),
                         [sweep](const Row& row) { return (row.sweeps & sweep) != 0; });
    return rows;
}

// A fresh machine, set up, with `call` failing from here on (none when
// empty). The calls the run made are added to `calls`, in first-use order.
int sweepRun(const Row& operation, const std::string& call, std::vector<std::string>& calls) {
    FreshMachine fresh;
    if (!setUpLines(fresh.machine, operation.setUp)) {
        return 0;
    }
    const std::size_t start = fresh.machine.callTrace().size();
    fresh.machine.failCall(call, 0, kFault); // none when empty
    int result = 0;
    try {
        result = runLine(operation.line);
    } catch (const std::exception& escaped) {
        ADD_FAILURE() << "exception escaped: " << escaped.what();
    }
    fresh.machine.endProcess(kStarter);
    for (const std::string& made : std::span(fresh.machine.callTrace()).subspan(start)) {
        std::ranges::count(calls, made) == 0 ? calls.push_back(made) : void();
    }
    EXPECT_TRUE(nothingLeftOpen(fresh.machine));
    EXPECT_EQ(fresh.machine.netConfig().comInitBalance(), 0);
    return result;
}

TEST(FaultSweep, EveryOperationSurvivesEveryFailingCall) {
    for (const Row& operation : sweptBy(kFaults)) {
        const ::testing::ScopedTrace trace(__FILE__, operation.at, operation.line);
        std::vector<std::string> calls;
        const int clean = sweepRun(operation, "", calls);
        if (IsSkipped()) {
            return;
        }
        ASSERT_EQ(clean, *operation.line == '\0' ? -1 : 0);
        ASSERT_FALSE(calls.empty());
        std::istringstream reported(operation.reported);
        for (std::string call; reported >> call;) {
            EXPECT_EQ(std::ranges::count(calls, call), 1) << call << " is listed but never called";
        }
        for (const std::string& call : calls) {
            SCOPED_TRACE(call);
            std::vector<std::string> ignored;
            const int result = sweepRun(operation, call, ignored);
            const bool reports = (" " + operation.reported + " ").find(" " + call + " ") != std::string::npos;
            EXPECT_TRUE(result == clean || reports) << "result " << result;
        }
    }
}

// The process ends: what it still holds in memory goes with it, its closes
// reach nothing.
void endProcess(SimMachine& machine, std::uint32_t process) {
    ServiceHandler::getInstance().disconnect();
    log::resetLogPathCache();
    machine.endProcess(process);
}

// The command killed at its kth call (none when 0), then the recovery in a
// process of its own: the machine's state and how the log's last run ends.
std::vector<std::string> killedAt(const Row& command, unsigned k) {
    FreshMachine fresh;
    SimMachine& machine = fresh.machine;
    if (!setUpLines(machine, command.setUp)) {
        return {};
    }
    if (k != 0) {
        machine.killAtCall(k);
        (void)runLine(command.line);
        endProcess(machine, kKilled);
    }
    machine.setCurrentProcess(kNext);
    (void)runLine(command.recovery == nullptr ? command.line : command.recovery);
    endProcess(machine, kNext);
    const std::string log = machine.readFile(kLogPath).value_or("");
    const std::vector<LogRecord> records = logRecords(log); // the last run's banner starts it
    std::vector<std::string> outcome = machineState(machine);
    outcome.push_back(!log.ends_with("\r\n") || records.empty() || records.back().source.empty()
                          ? "log's last run does not end whole"
                          : "log's last run ends with \"" + rowNames(machine, records.back().message) + "\"");
    std::ranges::sort(outcome);
    return outcome;
}

// The calls the command makes when nothing kills it, and a digest of the
// machine's state before each: a kill there leaves that state, so two calls
// with the same digest before them are one point to run.
std::vector<std::pair<std::string, std::size_t>> callsOf(const Row& command) {
    std::vector<std::pair<std::string, std::size_t>> calls;
    FreshMachine fresh;
    if (!setUpLines(fresh.machine, command.setUp)) {
        return {};
    }
    const std::size_t start = fresh.machine.callTrace().size();
    (void)runLine(command.line);
    const auto made = std::span(fresh.machine.callTrace()).subspan(start); // fresh stays as it is
    FreshMachine again;
    (void)setUpLines(again.machine, command.setUp); // as above
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

// Why the killed outcome differs from the clean one, a file's hash left out
// as a known exception names it; empty when they do not.
std::string difference(const std::vector<std::string>& clean, const std::vector<std::string>& killed) {
    std::vector<std::string> either;
    std::ranges::set_symmetric_difference(clean, killed, std::back_inserter(either));
    std::string why;
    for (const std::string& line : either) {
        why += (std::ranges::binary_search(clean, line) ? "- " : "+ ") + line + "\n";
    }
    for (auto at = why.find('#'); at != std::string::npos; at = why.find('#', at + 1)) {
        why.erase(at + 1, why.find_first_not_of("0123456789", at + 1) - at - 1);
    }
    return why;
}

// Every point is run when TDU_KILL_SWEEP_ALL is set; otherwise one of each
// run of calls that leave the machine as it was before them.
TEST(KillSweep, TheNextRunClearsWhatAKillAtAnyCallLeaves) {
    const bool all = std::getenv("TDU_KILL_SWEEP_ALL") != nullptr;
    unsigned points = 0;
    unsigned converging = 0;
    unsigned runs = 0;
    for (const Row& command : sweptBy(kKills)) {
        const ::testing::ScopedTrace trace(__FILE__, command.at, command.line);
        const auto clean = killedAt(command, 0);
        if (IsSkipped()) {
            return;
        }
        EXPECT_FALSE(std::ranges::binary_search(clean, "log's last run does not end whole"));
        const auto calls = callsOf(command);
        std::string why;
        unsigned ran = 0;
        std::set<std::string> met;
        for (unsigned k = 1; k <= calls.size(); ++k, ++points) {
            if (all || k == 1 || calls[k - 1].second != calls[k - 2].second) {
                why = difference(clean, killedAt(command, k));
                ran = k;
                ++runs;
            }
            if (std::ranges::find(command.known, why) != command.known.end()) {
                met.insert(why);
            }
            EXPECT_TRUE(why.empty() || met.contains(why))
                << "killed at call " << k << " (" << calls[k - 1].first << ")"
                << (ran == k ? "" : ", as at " + std::to_string(ran)) << ", the next run does not converge:\n"
                << why;
            converging += why.empty() ? 1 : 0;
        }
        for (const std::string& known : command.known) {
            EXPECT_TRUE(met.contains(known)) << "no kill leaves this any more, no longer a known exception:\n"
                                             << known;
        }
    }
    std::cout << "killed at any of " << points << " calls, the next run converges at " << converging
              << " of them (" << runs << " kills run)\n";
    // The README's figure is the one measured.
    std::ifstream file(TDU_README);
    std::string readme(std::istreambuf_iterator<char>(file), {});
    std::ranges::replace(readme, '\n', ' ');
    const std::string figure = "Killed at any of " + std::to_string(points) +
                               " calls, the next run converges at " + std::to_string(converging) + " of them";
    EXPECT_NE(readme.find(figure), std::string::npos) << "the README does not say: " << figure;
}

} // namespace
} // namespace tdu::test
