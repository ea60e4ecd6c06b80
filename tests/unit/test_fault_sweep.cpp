// Every operation the command line reaches, run once per platform call it
// makes with every use of that call failing: no exception escapes, nothing
// stays open (handles, keys, streams, heap blocks, interfaces, COM
// initialisations), and the result is the one a clean run gives unless the
// failing call is one whose failure the operation reports in its result.
#include "tests/unit/SimTest.h"

#include "app/TavrinDriverUtil.h"
#include "installer_db/FixedTables.h"
#include "log/LogWriter.h"
#include "operator/TDriverOperator.h"
#include "platform/sim/SimNetConfig.h"
#include "platform/sim/SimServices.h"
#include "service/ServiceHandler.h"

#include <exception>
#include <iostream>

namespace tdu::test {
namespace {

using platform::sim::SimMachine;

// E_FAIL: a failure both as an HRESULT and, passed through, as an exit code.
constexpr std::uint32_t kFault = 0x80004005;
constexpr int kFaultResult = static_cast<int>(kFault);
constexpr wchar_t kClientExe[] = L"C:\\Program Files (x86)\\Common Files\\Tavrin Secure\\TamUI\\Tavrin.exe";
constexpr wchar_t kPackage[] = L"C:\\Windows\\Installer\\3f9a1.msi";

void laidOut(SimMachine& machine) {
    layOutDrivers(machine);
}

void installed(SimMachine& machine) {
    layOutDrivers(machine);
    DriverOperation request;
    TavrinDriverOperator().InstallTavrinDrivers(request, nullptr, nullptr);
    platform::sim::SimServiceSetup netService;
    netService.name = L"tvrnns";
    machine.services().addService(netService);
    platform::sim::SimNetComponent component;
    component.infId = L"tvrnns";
    machine.netConfig().addComponent(component);
}

// An earlier release found through its client's version, with every listed
// action in its sequence.
void earlierRelease(SimMachine& machine) {
    platform::FixedFileInfo version;
    version.productVersionMS = 0x0009'0007;
    version.fileVersionMS = 0x0009'0001;
    version.fileVersionLS = 0x000F'0004;
    machine.writeVersionedFile(kClientExe, version);
    std::vector<platform::sim::SimSequenceRow> rows;
    for (const std::wstring_view name : difxCustomActions) {
        rows.push_back({std::wstring(name), L"NOT Installed", static_cast<int>(1000 + rows.size())});
    }
    const auto [first, last] = productCodesByVersion.equal_range(L"9.1.15");
    for (auto code = first; code != last; ++code) {
        machine.installProduct(code->second, kPackage, rows);
    }
}

constexpr std::uint32_t kStarter = 77;

// Another process's /setstatus 0, holding the mutex, that the run ends; its
// handles go with it after the run.
void installationInProgress(SimMachine& machine) {
    machine.asProcess(kStarter, [] {
        (void)platform::sys().CreateMutexW(true, L"Global\\TDInstallationStartedMtx");
        (void)platform::sys().CreateEventW(true, false, L"Global\\TDInstallationCompletedEvt");
    });
}

// A run of /setstatus 1 from another process after five seconds.
void endedLater(SimMachine& machine) {
    machine.at(5'000, [&machine] {
        machine.asProcess(88, [] {
            DriverOperation end;
            end.installStatus = L"1";
            TavrinDriverOperator().setStatus(end);
        });
        machine.endProcess(88);
    });
}

struct Operation {
    const char* name;
    std::vector<const wchar_t*> args;
    void (*prepare)(SimMachine&);
    int clean; // the result without faults
    // Calls whose failure the operation reports in its result, with that result.
    std::map<std::string, std::set<int>> reported;
};

// Every network-configuration call fails /netserv with 2.
std::map<std::string, std::set<int>> netConfigCalls(bool add) {
    std::map<std::string, std::set<int>> calls;
    for (const char* call :
         {"CoInitializeEx", "CoCreateInstance", "QueryInterface", "AcquireWriteLock", "Initialize",
          "FindComponent", "QueryNetCfgClass", "DeInstall", "Apply", "GetClassGuid"}) {
        calls[call] = {2};
    }
    if (add) {
        calls["Install"] = {2};
    }
    return calls;
}

const std::vector<Operation>& operations() {
    static const std::wstring managerInf = std::wstring(kDrivers) + L"tvrnvamgr\\tvrnvamgr.inf";
    const std::set<int> passedThrough{kFaultResult};
    static const std::vector<Operation> table{
        {"help", {}, nullptr, -1, {}},
        {"install with a device",
         {L"/install", managerInf.c_str(), L"/hardwareid", L"tvrnvamgr", L"/component", L"tvrnvamgr"},
         &laidOut,
         0,
         // The device stage answers the error of its last failing step; the
         // update stages the package again when the publish failed.
         {{"SetupDiClassGuidsFromNameW", passedThrough},
          {"SetupDiCreateDeviceInfoList", passedThrough},
          {"SetupDiCreateDeviceInfoW", passedThrough},
          {"SetupDiSetDeviceRegistryPropertyW", passedThrough},
          {"SetupDiCallClassInstaller", passedThrough},
          {"SetupDiGetDeviceInstanceIdW", passedThrough},
          {"SetupDiGetDeviceInstallParamsW", passedThrough},
          {"SetupDiDeleteDeviceInfo", passedThrough},
          {"SetupDiDestroyDeviceInfoList", passedThrough},
          {"SetupCopyOEMInfW", passedThrough},
          {"UpdateDriverForPlugAndPlayDevicesW", passedThrough}}},
        {"uninstall", {L"/uninstall", L"tvrnvamgr", L"/component", L"tvrnvamgr"}, &installed, 0, {}},
        {"set processor type",
         {L"/setprocessortype", L"1"},
         nullptr,
         0,
         {{"RegCreateKeyExW", {2}}, {"RegSetValueExW", {2}}}},
        {"net service add",
         {L"/netserv", L"ADD", L"/component", L"tvrnns"},
         &installed,
         0,
         netConfigCalls(true)},
        {"net service remove",
         {L"/netserv", L"REMOVE", L"/component", L"tvrnns"},
         &installed,
         0,
         netConfigCalls(false)},
        {"install all", {L"/installdrivers", L"1"}, &installed, 0, {{"ExpandEnvironmentStringsW", {2}}}},
        {"uninstall all", {L"/uninstalldrivers", L"1"}, &installed, 0, {{"ExpandEnvironmentStringsW", {2}}}},
        {"reinstall the manager with its device",
         {L"/reinstall", L"2", L"/component", L"tvrnvamgr"},
         &installed,
         0,
         {{"ExpandEnvironmentStringsW", {2}}}},
        // Nothing of the install order is named, but the folder is still expanded.
        {"reinstall the net service",
         {L"/reinstall", L"2", L"/component", L"tvrnns"},
         &installed,
         0,
         {{"ExpandEnvironmentStringsW", {2}}}},
        {"reinstall the filter",
         {L"/reinstall", L"1", L"/component", L"SplitDNSFilter"},
         &installed,
         0,
         {{"ExpandEnvironmentStringsW", {2}}}},
        {"start of an installation", {L"/setstatus", L"0"}, &endedLater, 0, {}},
        {"end of an installation", {L"/setstatus", L"1"}, &installationInProgress, 0, {}},
        {"disable DIFx actions",
         {L"/disableDifx", L"all"},
         &earlierRelease,
         0,
         {{"GetFileVersionInfoSizeW", {2}}, {"GetFileVersionInfoW", {2}}, {"VerQueryValueW", {2}}}},
        {"disable custom actions",
         {L"/disableCustomActions", L"{3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D}"},
         &earlierRelease,
         0,
         {}},
    };
    return table;
}

// A fresh machine, prepared, with faults from here on; the log starts with the run.
struct SweepRun {
    explicit SweepRun(const Operation& operation) {
        if (operation.prepare != nullptr) {
            operation.prepare(fresh.machine);
        }
        ServiceHandler::getInstance().disconnect();
        std::filesystem::remove(fresh.machine.hostPath(kLogPath));
        log::resetLogPathCache();
        traceStart = fresh.machine.callTrace().size();
    }
    int operator()(const Operation& operation) {
        std::vector<const wchar_t*> argv{L"C:\\x\\TavrinDriverUtil.exe"};
        argv.insert(argv.end(), operation.args.begin(), operation.args.end());
        TDCmdLineParser parser;
        const int result =
            RunTavrinDriverUtil(L"args", static_cast<unsigned>(argv.size()), argv.data(), parser);
        ServiceHandler::getInstance().disconnect();
        fresh.machine.endProcess(kStarter);
        return result;
    }
    FreshMachine fresh;
    std::size_t traceStart = 0;
};

TEST(FaultSweep, EveryOperationSurvivesEveryFailingCall) {
    unsigned pairs = 0;
    for (const Operation& operation : operations()) {
        SCOPED_TRACE(operation.name);
        std::vector<std::string> calls;
        {
            SweepRun clean(operation);
            ASSERT_EQ(clean(operation), operation.clean);
            const auto& trace = clean.fresh.machine.callTrace();
            for (auto call = trace.begin() + static_cast<std::ptrdiff_t>(clean.traceStart);
                 call != trace.end(); ++call) {
                if (std::find(calls.begin(), calls.end(), *call) == calls.end()) {
                    calls.push_back(*call);
                }
            }
        }
        ASSERT_FALSE(calls.empty());
        for (const auto& [call, results] : operation.reported) {
            EXPECT_NE(std::find(calls.begin(), calls.end(), call), calls.end())
                << call << " is listed but never called";
        }
        for (const std::string& call : calls) {
            SCOPED_TRACE(call);
            SweepRun faulty(operation);
            faulty.fresh.machine.failCall(call, 0, kFault);
            int result = 0;
            try {
                result = faulty(operation);
            } catch (const std::exception& escaped) {
                ADD_FAILURE() << "exception escaped: " << escaped.what();
                continue;
            }
            const auto reported = operation.reported.find(call);
            if (result != operation.clean) {
                EXPECT_TRUE(reported != operation.reported.end() && reported->second.contains(result))
                    << "result " << result;
            }
            EXPECT_EQ(faulty.fresh.machine.openHandleCount(), 0U) << faulty.fresh.machine.openHandleReport();
            EXPECT_EQ(faulty.fresh.machine.netConfig().comInitBalance(), 0);
            ++pairs;
        }
    }
    std::cout << "fault sweep: " << pairs << " (operation, call) pairs over " << operations().size()
              << " operations\n";
}

} // namespace
} // namespace tdu::test
