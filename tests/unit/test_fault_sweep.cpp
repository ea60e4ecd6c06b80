// Every operation the command line reaches, run once per platform call it
// makes with every use of that call failing: no exception escapes, nothing
// stays open (handles, keys, streams, heap blocks, interfaces, COM
// initialisations), and the result is the one a clean run gives unless the
// failing call is one whose failure the operation reports in its result.
#include "tests/unit/EarlierRelease.h"
#include "tests/unit/SimTest.h"

#include "platform/sim/SimNetConfig.h"

#include <span>

namespace tdu::test {
namespace {

using platform::sim::SimMachine;

// E_FAIL: a failure both as an HRESULT and, passed through, as an exit code.
constexpr std::uint32_t kFault = 0x80004005;
constexpr std::uint32_t kStarter = 77;

// An earlier release found through its client's version, with every listed
// action in its sequence.
void earlierRelease(SimMachine& machine) {
    machine.writeVersionedFile(
        L"C:\\Program Files (x86)\\Common Files\\Tavrin Secure\\TamUI\\Tavrin.exe",
        {.fileVersionMS = 0x0009'0001, .fileVersionLS = 0x000F'0004, .productVersionMS = 0x0009'0007});
    std::vector<platform::sim::SimSequenceRow> rows;
    for (const std::wstring_view name : kEarlierDifxActions) {
        rows.push_back({std::wstring(name), L"NOT Installed", static_cast<int>(1000 + rows.size())});
    }
    // The first code of label "9.1.15".
    machine.installProduct(L"{65BD35FD-2FDA-593A-B137-C682DE5A20C4}", L"C:\\Windows\\Installer\\3f9a1.msi",
                           rows);
}

// Another process's /setstatus 0, holding the mutex, that the run ends; its
// handles go with it after the run.
void installationInProgress(SimMachine& machine) {
    machine.asProcess(kStarter, [] {
        (void)platform::sys().CreateMutexW(L"", true, L"Global\\TDInstallationStartedMtx");
        (void)platform::sys().CreateEventW(L"", true, false, L"Global\\TDInstallationCompletedEvt");
    });
}

// A run of /setstatus 1 from another process after five seconds.
void endedLater(SimMachine& machine) {
    machine.at(5'000, [&machine] {
        machine.asProcess(88, [] { (void)runLine("/setstatus 1"); });
        machine.endProcess(88);
    });
}

struct Operation {
    int at;           // this row's line, for failures
    const char* line; // as a scenario's "> " line
    const char* setUp;
    void (*prepare)(SimMachine&);
    // The calls whose failure may change the operation's result (to the value its own rows check).
    std::string reported;
};

constexpr char kInstalled[] = "drivers;run /installdrivers 1;service tvrnns;net tvrnns";
// The network-configuration calls whose failure may change /netserv's result.
const std::string kNetConfig = "CoInitializeEx CoCreateInstance QueryInterface AcquireWriteLock Initialize "
                               "FindComponent QueryNetCfgClass DeInstall Apply GetClassGuid";

const Operation kOperations[] = {
    {__LINE__, "", "", nullptr, ""},
    // The device stage answers the error of its last failing step; the
    // update stages the package again when the publish failed.
    {__LINE__, "/install \"{drivers}tvrnvamgr\\tvrnvamgr.inf\" /hardwareid tvrnvamgr /component tvrnvamgr",
     "drivers", nullptr,
     "SetupDiClassGuidsFromNameW SetupDiCreateDeviceInfoList SetupDiCreateDeviceInfoW "
     "SetupDiSetDeviceRegistryPropertyW SetupDiCallClassInstaller SetupDiGetDeviceInstanceIdW "
     "SetupDiGetDeviceInstallParamsW SetupDiDeleteDeviceInfo SetupDiDestroyDeviceInfoList SetupCopyOEMInfW "
     "UpdateDriverForPlugAndPlayDevicesW"},
    {__LINE__, "/uninstall tvrnvamgr /component tvrnvamgr", kInstalled, nullptr, ""},
    {__LINE__, "/setprocessortype 1", "", nullptr, "RegCreateKeyExW RegSetValueExW"},
    {__LINE__, "/netserv ADD /component tvrnns", kInstalled, nullptr, kNetConfig + " Install"},
    {__LINE__, "/netserv REMOVE /component tvrnns", kInstalled, nullptr, kNetConfig},
    {__LINE__, "/installdrivers 1", kInstalled, nullptr, "ExpandEnvironmentStringsW"},
    {__LINE__, "/uninstalldrivers 1", kInstalled, nullptr, "ExpandEnvironmentStringsW"},
    {__LINE__, "/reinstall 2 /component tvrnvamgr", kInstalled, nullptr, "ExpandEnvironmentStringsW"},
    // Nothing of the install order is named, but the folder is still expanded.
    {__LINE__, "/reinstall 2 /component tvrnns", kInstalled, nullptr, "ExpandEnvironmentStringsW"},
    {__LINE__, "/reinstall 1 /component SplitDNSFilter", kInstalled, nullptr, "ExpandEnvironmentStringsW"},
    {__LINE__, "/setstatus 0", "", &endedLater, ""},
    {__LINE__, "/setstatus 1", "", &installationInProgress, ""},
    {__LINE__, "/disableDifx all", "", &earlierRelease,
     "GetFileVersionInfoSizeW GetFileVersionInfoW VerQueryValueW"},
    {__LINE__, "/disableCustomActions {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D}", "", &earlierRelease, ""},
};

// A fresh machine, prepared, with `call` failing from here on (none when
// empty). The calls the run made are added to `calls`, in first-use order.
int sweepRun(const Operation& operation, const std::string& call, std::vector<std::string>& calls) {
    FreshMachine fresh;
    if (!setUpLines(fresh.machine, operation.setUp)) {
        return 0;
    }
    if (operation.prepare != nullptr) {
        operation.prepare(fresh.machine);
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
    for (const Operation& operation : kOperations) {
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

} // namespace
} // namespace tdu::test
