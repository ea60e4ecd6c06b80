// Operations that wait on others: a service's stop, the network configuration's write lock, and the
// installation handshake between two runs. Each row checks its effects and, of the log, the lines that
// tell its case apart.
#include "tests/unit/SimTest.h"

#include "operator/TDriverOperator.h"
#include "platform/sim/SimNetConfig.h"
#include "service/ServiceHandler.h"

namespace tdu::test {
namespace {

// A service: "+ service NAME [refused stop's error] [R|P|S] [wait hint] [stop after ms|never] [needs]". The
// handler's steps, in turn: init (as "tvrnns"), init-none (an empty name), stop, remove, or stop-fails and
// remove-fails for a step that answers false. Each row: the time taken, each service's state after, the
// services whose stop control was accepted, how many "'tvrnns' Service Stop Pending." the log holds.
const std::string kSteps = "> @ServiceHandler init ";
const std::string kStopFails = kSteps + "stop-fails => 0\n";
const std::string kNoStops = "? stops:\n? pending: 0\n";
// The service with a dependant that stops a second after the control.
const std::string kQuickClient = "+ service tvrnns 0 R 1000\n+ service client 0 R 100 1000 tvrnns\n";
const std::string kBothRunning = "? left: 0 ms\n? states tvrnns client: R R\n" + kNoStops;

TEST(Services, StopAndDelete) {
    // clang-format off
    runRow("== missing: neither step finds it\n" + kSteps + "stop-fails remove-fails => 0\n? left: 0 ms\n" +
        kNoStops + "OpenService failed (1060)\nOpenService failed (1060)");
    // A stop-pending service is polled at a tenth of its hint, at least 1 s and at most 10 s apart.
    runRow("== polls of a tenth, unrounded\n+ service tvrnns 0 P 19990 4000\n" + kSteps + "stop => 0\n"
        "? left: 5997 ms\n? states tvrnns: S\n? stops:\n? pending: 3\n'tvrnns' Service is already stopped.");
    runRow("== polls of at most 10 s; the last overshoots the budget\n+ service tvrnns 0 P 200000 never\n" +
        kStopFails + "? left: 40000 ms\n? states tvrnns: P\n? stops:\n? pending: 4\n"
        "Service stop timed out for 'tvrnns'");
    runRow("== polls of at least 1 s; 30 s is not yet more than 30 s, though the tick count wraps\n"
        "+ service tvrnns 0 P 5000 never\n+ ticks 10000\n" + kStopFails + "? left: 31000 ms\n"
        "? states tvrnns: P\n? stops:\n? pending: 31");
    runRow("== a pending poll fails\n+ service tvrnns 0 P 5000 never\n+ fail QueryServiceStatusEx 2 5\n" +
        kStopFails + "? left: 1000 ms\n? states tvrnns: P\n? stops:\n? pending: 1\n"
        "QueryServiceStatusEx failed (5)");
    runRow("== one sleep past the budget, then stopped\n+ service tvrnns 0 R 45000 40000\n" + kSteps +
        "stop => 0\n? left: 45000 ms\n? states tvrnns: S\n? stops: tvrnns\n? pending: 0\n"
        "'tvrnns' Service stopped successfully\n!Wait timed out");
    runRow("== stop control refused\n+ service tvrnns 1052 R 0\n" + kStopFails + "? left: 0 ms\n"
        "? states tvrnns: R\n" + kNoStops + "There are no dependent services\nControlService failed (1052)");
    runRow("== dependants first, as listed; only those waited for are reported\n"
        "+ service tvrnns 0 R 1000 500\n+ service client 0 R 2000 3000 tvrnns\n"
        "+ service agent 0 R 700 0 client\n+ service idle 0 R 0 0 tvrnns\n+ service off 0 S 0 0 tvrnns\n" +
        kSteps + "stop => 0\n? left: 5000 ms\n? states tvrnns client agent idle off: S S S S S\n"
        "? stops: agent client idle tvrnns\n? pending: 0\n"
        "Service 'client' stopped successfully\n'tvrnns' Service stopped successfully\n"
        "!Service 'agent' stopped successfully\n!Service 'idle' stopped successfully");
    // A dependant's failure is logged, and the service's own stop control is sent all the same (one
    // call site, shown once).
    runRow("== a dependant unopened; the dependants' listing or heap failing; their size query failing\n" +
        kQuickClient + "+ fail OpenServiceW 2 5\n" + kStopFails + "+ fail EnumDependentServicesW 2 5\n" +
        kStopFails + "+ fail HeapAlloc 1 8\n" + kStopFails + "+ fail EnumDependentServicesW 1 5\n" +
        kStopFails + kBothRunning + "OpenService failed for dependent service 'client' with error (5)\n"
        "EnumDependentServices failed (5)\nHeap allocation failed for dependencies\nUnexpected error (5)\n"
        "ControlService failed (1051)");
    runRow("== a dependant refuses the stop\n+ service tvrnns 0 R 1000\n"
        "+ service client 1052 R 100 1000 tvrnns\n" + kStopFails + kBothRunning +
        "ControlService failed for dependent services (1052)");
    runRow("== dependants share one budget\n+ service tvrnns 0 R 4000 never\n"
        "+ service slow 0 R 25000 20000 tvrnns\n+ service stuck 0 R 10000 never tvrnns\n" + kStopFails +
        "? left: 35000 ms\n? states tvrnns slow stuck: R S P\n? stops: slow stuck\n? pending: 0\n"
        "Service 'slow' stopped successfully\nTimed out");
    runRow("== the service's budget counts the dependants' time\n+ service tvrnns 0 R 4000 never\n"
        "+ service slow 0 R 25000 1000 tvrnns\n" + kStopFails + "? left: 33000 ms\n"
        "? states tvrnns slow: P S\n? stops: slow tvrnns\n? pending: 0\nWait timed out");
    runRow("== the first status query fails\n" + kQuickClient + "+ fail QueryServiceStatusEx 1 1234\n" +
        kSteps + "stop-fails remove => 0\n? left: 0 ms\n? states tvrnns client: R+del R\n" + kNoStops +
        "QueryServiceStatusEx failed (1234)");
    runRow("== no name keeps the earlier one; a stopped service gets no control\n+ service tvrnns 0 S 0\n" +
        kSteps + "init-none stop remove => 0\n? left: 0 ms\n? states tvrnns: gone\n" + kNoStops +
        "Service name is empty\n'tvrnns' Service is already stopped.\n'tvrnns' Service deleted successfully");
    runRow("== a failed connection, its close failing too, leaves none\n+ service tvrnns 0 S 0\n"
        "+ fail OpenSCManagerW 3 5\n+ fail CloseServiceHandle 3 6\n" + kSteps +
        "init stop init stop-fails remove-fails => 0\n? left: 0 ms\n? states tvrnns: S\n" + kNoStops +
        "OpenSCManager failed (5)\nSCManager is NULL\nSCManager is NULL");
    runRow("== marked once, gone when stopped within the control\n+ service tvrnns 0 R 0\n" + kSteps +
        "remove remove-fails stop => 0\n? left: 0 ms\n? states tvrnns: gone\n? stops: tvrnns\n? pending: 0\n"
        "'tvrnns' Service deleted successfully\nDeleteService failed (1072)");
    // clang-format on
}

// Another client's lock, COM's state and the network components there before: service, trans (installed
// as a transport), referenced (by ms_server and ms_pacer), "lock [holder]" (another client holds the write
// lock), "release T" (it lets go at T), sta (COM already initialised in this apartment). A null component id
// goes to the reinstall itself. Refusals come before any platform call; accepted words are folded to
// capitals.
struct NetRow {
    std::string action = "ADD";
    std::string component = "tvrnns";
    std::string before = "service"; // a line each
    std::string faults{};           // planted facts
    int result = 0;
    bool installed = false; // the component, after
    int applies = 0;        // Apply calls
    std::uint64_t ms = 0;   // virtual time taken
    // The lock, removal and install requests: the wait, who the lock is for, the token and the flags.
    std::optional<std::string> requests{};
    bool whole = false; // the log below is all of it
    std::string log{};
};

// OBO_SOFTWARE, no component, the manufacturer, the product and the display name, not registered.
const std::string kToken = "{3, null, Tavrin Secure, LLC, Tavrin Secure, Tavrin Secure, 0}";
const std::string kLocked = "AcquireWriteLock 15000 DevInstSrv(setupapi)\n";
const std::string kRemoval = "DeInstall " + kToken + "\n";
const std::string kInstall = "Install " + kToken + " 0x2\n"; // NSF_POSTSYSINSTALL
// The log's.
const std::string kSucceeded = "Add/Remove of net service:tvrnns Succeeded\n";
const std::string kFailed = "Add/Remove of net service:tvrnns Failed\n";
const std::string kObo =
    R"(oboToken={OBO_SOFTWARE, "Tavrin Secure, LLC", "Tavrin Secure", "Tavrin Secure", 0})";
const std::string kRemovingIt = "Removing component tvrnns " + kObo + "\\n\n";
// A message of the reinstall, which names the function and repeats the request in front of its text.
std::string says(const std::string& text) {
    return "TavrinDriverOperator::HrReinstallNetService(\"tvrnns\",\"Tavrin Secure, LLC\",\"Tavrin Secure\","
           "\"Tavrin Secure\"): " +
           text + "\\n\n";
}
const std::string kInstallingIt = says("Installing component tvrnns " + kObo);
const std::string kNotFound = says("Failed to find component. HRESULT=0x1");

void netService(const std::string& name, const NetRow& row, const char* file = __builtin_FILE(),
                int line = __builtin_LINE()) {
    const ::testing::ScopedTrace trace(file, line, name);
    FreshMachine m;
    platform::sim::SimNetConfig& net = m.machine.netConfig();
    std::optional<std::wstring> heldBy;
    std::istringstream before(row.before);
    for (std::string step; std::getline(before, step);) {
        if (step == "service" || step == "trans" || step == "referenced") {
            net.addComponent(platform::sim::SimNetComponent{
                L"tvrnns",
                step == "trans" ? platform::kGuidDevClassNetTrans : platform::kGuidDevClassNetService,
                step == "referenced" ? std::vector<std::wstring>{L"ms_server", L"ms_pacer"}
                                     : std::vector<std::wstring>{}});
        } else if (step.starts_with("lock")) {
            heldBy = wide(step.substr(std::min<std::size_t>(step.size(), 5)));
            net.holdWriteLock(step == "lock" ? std::nullopt : heldBy);
        } else if (step.starts_with("release ")) {
            m.machine.at(std::stoull(step.substr(8)), [&net] { net.releaseOtherClientsLock(); });
            heldBy.reset();
        } else {
            platform::netcfg().CoInitializeEx(platform::kCoinitApartmentThreaded);
        }
    }
    if (!setUpLines(m.machine, row.faults)) {
        return;
    }
    DriverOperation record;
    record.netServiceAction = wide(row.action);
    record.componentName = wide(row.component);
    EXPECT_EQ(row.component == "null"
                  ? TavrinDriverOperator().HrReinstallNetService(nullptr, L"a", L"b", L"c", true)
                  : TavrinDriverOperator().AddRemoveNetService(record),
              row.result);
    EXPECT_EQ(net.installed(L"tvrnns"), row.installed);
    std::string requests;
    for (const std::string& request : net.requests()) {
        requests += request + "\n";
    }
    EXPECT_EQ(net.applies(), static_cast<unsigned>(row.applies));
    EXPECT_EQ(m.machine.nowMs(), row.ms);
    EXPECT_EQ(requests, row.requests.value_or(requests));
    EXPECT_EQ(net.writeLockHolder(), heldBy.value_or(L""));
    EXPECT_EQ(net.writeLockHeld(), heldBy.has_value());
    EXPECT_EQ(net.abandonedObjects(), 0U);
    EXPECT_EQ(net.comInitBalance(), row.before == "sta" ? 1 : 0);
    EXPECT_TRUE(logMatches(logMessagesOf(m.machine), row.log, row.whole));
    ServiceHandler::getInstance().disconnect();
    EXPECT_TRUE(nothingLeftOpen(m.machine));
}

TEST(NetService, AddAndRemove) {
    // clang-format off
    netService("no action", {.action = "", .component = "", .result = 2, .installed = true, .requests = "",
        .log = "Parameters are missing"});
    for (const std::string action : {"ADD ", " add", "INSTALL", "\xC3\xA4" "dd"}) {
        netService(action, {.action = action, .result = 2, .installed = true, .requests = "",
            .log = "Incorrect Value for net servc"});
    }
    netService("add of an installed component reinstalls it under one lock", {.installed = true,
        .applies = 2, .requests = kLocked + kRemoval + kInstall, .whole = true,
        .log = "Command received to add net Service\n" + kRemovingIt + kInstallingIt + kSucceeded});
    netService("remove of a missing component", {.action = "Remove", .before = "", .requests = kLocked,
        .log = "Command received to remove net Service\n" + kNotFound});
    netService("removal asks for the class the component reports", {.action = "REMOVE", .before = "trans",
        .applies = 1});
    netService("still referenced", {.action = "REMOVE", .before = "referenced", .installed = true,
        .applies = 1, .log = says("The component was not removed and is still referenced by \"ms_server\"")});
    netService("the removal needs a reboot to complete", {.action = "REMOVE",
        .faults = "+ fail DeInstall 1 0x4a020", .applies = 1,
        .log = says("A reboot is required to complete removal of component. HRESULT=0x4a020")});
    netService("the removal needs a reboot first", {.action = "REMOVE",
        .faults = "+ fail DeInstall 1 0x8004a025", .result = 2, .installed = true,
        .log = says("A reboot is required.  The component was not removed. HRESULT=0x8004a025") + kFailed});
    netService("the removal fails", {.action = "REMOVE", .faults = "+ fail DeInstall 1 0x80004005",
        .result = 2, .installed = true,
        .log = says("The component could not be removed. HRESULT=0x80004005")});
    netService("the removal's other success", {.action = "REMOVE", .faults = "+ fail DeInstall 1 1",
        .applies = 1});
    netService("the install needs a reboot to complete", {.faults = "+ fail Install 1 0x4a020",
        .installed = true, .applies = 2,
        .log = says("A reboot is required to complete re-install of component. HRESULT=0x4a020")});
    netService("the install needs a reboot first", {.faults = "+ fail Install 1 0x8004a025", .result = 2,
        .applies = 1,
        .log = says("A reboot is required.  The component was not re-installed. HRESULT=0x8004a025")});
    netService("the install fails", {.faults = "+ fail Install 1 0x80004005", .result = 2, .applies = 1,
        .log = says("The component could not be re-installed. HRESULT=0x80004005")});
    netService("the install's other success", {.faults = "+ fail Install 1 1", .installed = true,
        .applies = 2});
    netService("both Applies ask for a reboot", {.faults = "+ fail Apply 0 0x4a020", .installed = true,
        .applies = 2, .log = kRemovingIt + says("A reboot is required to apply the new configuration. "
        "HRESULT=0x4a020") + kInstallingIt + says("A reboot is required to apply the new configuration. "
        "HRESULT=0x4a020")});
    netService("the removal's Apply fails", {.action = "REMOVE", .faults = "+ fail Apply 1 0x80004005",
        .result = 2, .installed = true, .applies = 1,
        .log = says("The new configuraiton could not be applied. HRESULT=0x80004005")});
    netService("the install's Apply fails after the removal's was written", {
        .faults = "+ fail Apply 2 0x80004005", .result = 2, .applies = 2,
        .log = says("The new configuration could not be applied. HRESULT=0x80004005")});
    netService("the component cannot be found", {.faults = "+ fail FindComponent 1 0x8007001f",
        .installed = true, .applies = 1, .log = says("Failed to find component. HRESULT=0x8007001f")});
    netService("its class cannot be read", {.faults = "+ fail GetClassGuid 1 0x8007001f", .installed = true,
        .applies = 1, .log = says("Failed to get component class GUID. HRESULT=0x8007001f")});
    netService("no class object for the removal, nor for the install", {
        .faults = "+ fail QueryNetCfgClass 0 0x8007001f", .result = 2, .installed = true,
        .log = says("Failed to get NetCfgClass object. HRESULT=0x8007001f") +
        says("Failed to get NetCfgClass object. HRESULT=0x8007001f")});
    netService("no class setup for the removal: no removal tried", {
        .faults = "+ fail QueryInterface 2 0x8007001f", .installed = true, .applies = 1,
        .requests = kLocked + kInstall,
        .log = says("Failed to get NetCfgClassSetup interface. HRESULT=0x8007001f")});
    netService("no class setup for the install: no install tried", {
        .faults = "+ fail QueryInterface 3 0x8007001f", .result = 2, .applies = 1,
        .requests = kLocked + kRemoval,
        .log = kRemovingIt + says("Failed to get NetCfgClassSetup interface. HRESULT=0x8007001f")});
    netService("another client's lock, waited for once and left alone", {.before = "lock Tavrin Secure Agent",
        .result = 2, .ms = 15000,
        .log = says("Failed to get NetCfgLock. Lock held by \"Tavrin Secure Agent\"")});
    netService("another client's lock without a description", {.action = "REMOVE", .before = "lock",
        .result = 2, .ms = 15000, .log = says("Failed to get NetCfgLock.")});
    netService("a lock released during the wait is taken", {
        .before = "lock Tavrin Secure Agent\nrelease 5000", .installed = true, .applies = 1, .ms = 5000});
    // Each step taken is undone: nothing stays open, locked or initialised.
    netService("COM refused: nothing to undo", {.action = "REMOVE",
        .faults = "+ fail CoInitializeEx 1 0x8007000e", .result = 2, .installed = true,
        .log = says("CoInitializeEx()->0x8007000e")});
    netService("no configuration object", {.action = "REMOVE",
        .faults = "+ fail CoCreateInstance 1 0x8007000e", .result = 2, .installed = true,
        .log = says("Failed to create NetCfg object. HRESULT=0x8007000e")});
    netService("no lock interface", {.action = "REMOVE", .faults = "+ fail QueryInterface 1 0x8007000e",
        .result = 2, .installed = true,
        .log = says("Failed to get NetCfgLock interface. HRESULT=0x8007000e")});
    netService("the lock fails", {.action = "REMOVE", .faults = "+ fail AcquireWriteLock 1 0x8007000e",
        .result = 2, .installed = true, .log = says("AcquireWriteLock() failed HRESULT=0x8007000e")});
    netService("the initialisation fails", {.action = "REMOVE", .faults = "+ fail Initialize 1 0x8007000e",
        .result = 2, .installed = true, .log = says("Failed to initialize NetCfg. HRESULT=0x8007000e")});
    netService("COM already initialised in this apartment: balanced all the same", {.action = "REMOVE",
        .before = "sta"});
    netService("a null component id, refused before any call", {.component = "null", .result = -2147467259,
        .installed = true, .requests = "", .log = "Parameters are null"});
    // clang-format on
}

// The objects a start creates: owned by Administrators, all access for SYSTEM and Administrators, none for
// anyone else, who tell an installation in progress by the open's error alone (no handle of theirs keeps an
// object alive).
const std::string kInstallers = "O:BAD:(A;;GA;;;SY)(A;;GA;;;BA)";
// A run here that starts, or ends, an installation.
const std::string kStart = "> @setStatus 0 => 0\n";
const std::string kEnd = "> @setStatus 1 => 0\n";
const std::string kGaveUp = "Installation continued even after 600 seconds\n";
const std::string kNotInProgress = "No Installation is in progress, failed to acquire install start event\n";
const std::string kSet = "Successfully set event for install completion\n";
const std::string kWoke = "Installation of the drivers completed Successfully\n";
const std::string kReleased = "Released Installation started event\n";
const std::string kNotReleased = "Failed to Release Installation started event with last Error:288\n";
const std::string kUser = " belongs to S-1-5-21-1-2-3-1001, not to the installer\n";
const std::string kUsers = "+ account 6 S-1-5-21-1-2-3-1001\n"; // process 6 runs as a user
const std::string kLinked = " leads to \\BaseNamedObjects\\Other";
const std::string kThrough = " through a link\n";

// Each row: its set-up (the facts are listed in SimTest.cpp, at setUp), the runs here, the time and the
// objects left, and the log.
TEST(Status, Handshake) {
    // clang-format off
    runRow("== start, then an end within the limit, the objects the installer's own\n"
        "+ security 1000\n+ end 5000 200\n" + kStart + "? found: " + kInstallers + " " + kInstallers +
        "\n? left: 5000 ms\n"
        "= whole log\nSet status from command line is: 0\nTSAC Installation Started\n"
        "Started installation of the drivers\nSet status from command line is: 1\nTSAC Installation Ended\n" +
        kSet + kWoke + kReleased);
    // A start without an end gives up after ten minutes.
    runRow("== an end after the limit, or without a start, is too late\n+ end 600001 200\n" + kStart +
        "+ advance 1\n? left: 600001 ms\n= whole log\nSet status from command line is: 0\n"
        "TSAC Installation Started\nStarted installation of the drivers\n" + kGaveUp +
        "Set status from command line is: 1\nTSAC Installation Ended\n" + kNotInProgress);
    runRow("== the mutex cannot be created\n+ fail CreateMutexW 0 5\n" + kStart + "? left: 0 ms\n"
        "Create Mutex failed at Start of Installation: 5\n!Started installation of the drivers");
    runRow("== the event cannot be created\n+ fail CreateEventW 0 6\n" + kStart + "? left: 0 ms\n"
        "Create Event failed at Completion of the Installation: 6\n!Started installation of the drivers");
    runRow("== the wait fails\n+ fail WaitForSingleObject 0 6\n" + kStart + "? left: 0 ms\n"
        "WaitForObject failed with error: 4294967295");
    runRow("== the ending run cannot open the event, or it is not there yet: the start waits out its limit\n"
        "+ end 1 200\n+ fail OpenEventW 0 2\n" + kStart + "? left: 600000 ms\n"
        "Failed to open event for install completion: 2\n" + kGaveUp);
    runRow("== the ending run cannot set it\n+ end 1 200\n+ fail SetEvent 0 6\n" + kStart +
        "? left: 600000 ms\nFailed to set event for install completion: 6\n" + kGaveUp);
    runRow("== an end before the wait is not lost\n+ end WaitForSingleObject 200\n" + kStart +
        "? left: 0 ms\n" + kSet + kWoke + kReleased);
    // Set before the start made its objects, the event is an earlier installation's end.
    runRow("== an old signal kept alive is not this start's completion\n+ signalled 7\n"
        "+ end 5000 200\n" + kStart + "? left: 5000 ms event\nGlobal\\TDInstallationCompletedEvt was set "
        "before this installation: cleared, not taken as its completion\n"
        "Started installation of the drivers\n" + kSet + kWoke + kReleased);
    runRow("== an old signal that cannot be cleared\n+ signalled 7\n+ fail ResetEvent 1 5\n" + kStart +
        "? left: 0 ms event\nNot waiting: Global\\TDInstallationCompletedEvt was set before this "
        "installation and cannot be cleared: 5\n!Started installation of the drivers");
    runRow("== a second starter waits on the same event; the end wakes both\n+ start 1000 101\n"
        "+ end 2000 200\n" + kStart + "? left: 2000 ms\n" + kSet + kWoke + kNotReleased + kWoke + kReleased);
    for (const std::string value : {"00", "2", "true", "\" 1\"", "\"\"", "5", "\"1 \""}) {
        runRow("== an invalid value touches nothing: " + value + "\n> @setStatus " + value + " => 2\n"
            "? left: 0 ms\n= whole log\nInvalid argument passed to /setstatus parameter");
    }
    runRow("== a user's held mutex: no wait\n" + kUsers + "+ holds 6\n" + kStart + "? left: 0 ms mutex\n"
        "Not waiting: Global\\TDInstallationStartedMtx" + kUser);
    runRow("== a user's signalled event: no wait\n" + kUsers + "+ signalled 6\n" + kStart +
        "? left: 0 ms event\nNot waiting: Global\\TDInstallationCompletedEvt" + kUser);
    runRow("== a user's mutex: no signal\n" + kUsers + "+ holds 6\n+ event 100\n" + kEnd +
        "? left: 0 ms mutex event\nNot signalling: Global\\TDInstallationStartedMtx" + kUser);
    runRow("== a user's event: not set\n+ holds 100\n" + kUsers + "+ event 6\n" + kEnd +
        "? left: 0 ms mutex event\nNot signalling: Global\\TDInstallationCompletedEvt" + kUser + "!" + kSet);
    runRow("== its own account\n+ account 1 S-1-5-21-1-2-3-1001\n+ holds 1\n+ event 1\n"
        "+ account 4242 S-1-5-21-1-2-3-1001\n" + kEnd + "? left: 0 ms mutex event\n" + kSet);
    runRow("== a link at the mutex's name: no signal\n+ linked 7 mutex\n" + kEnd + "? left: 0 ms\n"
        "Not signalling: Global\\TDInstallationStartedMtx" + kLinked + "Mtx" + kThrough);
    runRow("== a name unread\n+ fail NtQueryObjectName 1 5\n" + kStart + "? left: 0 ms\n"
        "Not waiting: Global\\TDInstallationStartedMtx has a name that cannot be read: 5");
    runRow("== an owner unread\n+ holds 1\n+ event 1\n+ fail GetSecurityInfo 4 5\n" + kEnd +
        "? left: 0 ms mutex event\nNot signalling: Global\\TDInstallationStartedMtx "
        "belongs to an owner that cannot be read, not to the installer");
    // clang-format on
}

} // namespace
} // namespace tdu::test
