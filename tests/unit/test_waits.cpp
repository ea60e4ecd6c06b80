// Operations that wait on others: a service's stop, the network configuration's write lock, and the
// installation handshake between two runs.
#include "tests/unit/SimTest.h"

#include "operator/TDriverOperator.h"
#include "platform/sim/SimNetConfig.h"
#include "platform/sim/SimServices.h"
#include "service/ServiceHandler.h"

#include <algorithm>

namespace tdu::test {
namespace {

std::string joined(const std::vector<std::string>& items, const std::string& separator) {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : separator) + item;
    }
    return text;
}

struct Service {
    std::string name{};
    std::string needs{}; // the service it depends on
    char state = 'R';    // R running, P stop-pending, S stopped
    std::uint32_t hint = 0;
    std::optional<std::uint64_t> after = 0; // how long a stop takes; 0 within the control
    std::uint32_t refuseStop = 0;           // the error the stop control, or the deletion, fails with
    std::uint32_t refuseDelete = 0;
};
constexpr std::nullopt_t kNever = std::nullopt; // a stop that never ends

struct StopRow {
    std::vector<Service> services{};
    std::string faults{};         // planted facts
    std::uint32_t wrapsAfter = 0; // the tick count wraps this many ms after the start
    // In turn: init (as "tvrnns"), init-none (an empty name), stop, remove, or stop-fails and remove-fails
    // for a step that answers false.
    std::string steps{};
    std::uint64_t ms = 0; // virtual time taken
    std::string states{}; // each service's after, R, P or S ("+del": marked for deletion), or gone
    std::string stops{};  // the services whose stop control was accepted
    int pending = 0;      // how many "'tvrnns' Service Stop Pending." the log starts with
    std::string log{};    // the rest of the log, whole
};

constexpr std::string_view kStates = " S?PR"; // by their values: stopped, stop-pending, running

void stopAndDelete(const std::string& name, const StopRow& row, const char* file = __builtin_FILE(),
                   int line = __builtin_LINE()) {
    const ::testing::ScopedTrace trace(file, line, name);
    FreshMachine m;
    platform::sim::SimServices& services = m.machine.services();
    for (const Service& service : row.services) {
        platform::sim::SimServiceSetup setup;
        setup.name = wide(service.name);
        setup.dependsOn =
            service.needs.empty() ? std::vector<std::wstring>{} : std::vector{wide(service.needs)};
        setup.state = static_cast<std::uint32_t>(kStates.find(service.state));
        setup.waitHint = service.hint;
        setup.stopAfterMs = service.after;
        setup.refuseStop = service.refuseStop;
        setup.refuseDelete = service.refuseDelete;
        services.addService(setup);
    }
    if (row.wrapsAfter != 0) {
        m.machine.setTickCountAtStart(static_cast<std::uint32_t>(0x1'0000'0000ULL - row.wrapsAfter));
    }
    setUpLines(m.machine, row.faults);
    std::vector<std::string> steps;
    {
        ServiceHandler handler;
        std::istringstream words(row.steps);
        for (std::string step; words >> step;) {
            const bool init = step.starts_with("init");
            if (init) {
                handler.init(step == "init" ? L"tvrnns" : L"");
            }
            const bool done = !init && (step.starts_with("stop") ? handler.stop() : handler.remove());
            steps.push_back(init ? step : step.substr(0, step.find('-')) + (done ? "" : "-fails"));
        }
    }
    EXPECT_EQ(joined(steps, " "), row.steps);
    EXPECT_EQ(m.machine.nowMs(), row.ms);
    std::vector<std::string> states;
    for (const Service& service : row.services) {
        const std::wstring named = wide(service.name);
        states.push_back(
            (services.exists(named) ? std::string(1, kStates.at(services.state(named))) : "gone") +
            (services.markedForDelete(named) ? "+del" : ""));
    }
    EXPECT_EQ(joined(states, " "), row.states);
    std::vector<std::string> stops;
    std::ranges::transform(services.stopsAccepted(), std::back_inserter(stops), narrow);
    EXPECT_EQ(joined(stops, " "), row.stops);
    std::string log;
    for (int i = 0; i < row.pending; ++i) {
        log += "'tvrnns' Service Stop Pending.\n";
    }
    EXPECT_TRUE(logMatches(logMessagesOf(m.machine), log + row.log, true));
    EXPECT_TRUE(nothingLeftOpen(m.machine));
}

// A dependant that stops a second after the control, and one that takes no time.
const std::vector<Service> kSlowClient{{.name = "tvrnns", .hint = 1000, .after = 2500},
                                       {.name = "client", .needs = "tvrnns", .hint = 500, .after = 1000}};
const std::vector<Service> kQuickClient{{.name = "tvrnns", .hint = 1000},
                                        {.name = "client", .needs = "tvrnns", .hint = 100, .after = 1000}};

const std::string kGone = "'tvrnns' Service stopped successfully\n'tvrnns' Service deleted successfully";

TEST(Services, StopAndDelete) {
    // clang-format off
    stopAndDelete("missing: neither step finds it", {.services = {}, .steps = "init stop-fails remove-fails",
        .states = "", .log = "OpenService failed (1060)\nOpenService failed (1060)"});
    stopAndDelete("stopped already: no control", {.services = {{.name = "tvrnns", .state = 'S'}},
        .steps = "init stop", .states = "S", .log = "'tvrnns' Service is already stopped."});
    stopAndDelete("stop-pending: polled at a tenth of its hint", {.services = {{.name = "tvrnns",
        .state = 'P', .hint = 50000, .after = 12000}}, .steps = "init stop", .ms = 15000, .states = "S",
        .pending = 3, .log = "'tvrnns' Service is already stopped."});
    stopAndDelete("polls of at least 1 s", {.services = {{.name = "tvrnns", .state = 'P', .hint = 5000,
        .after = 2500}}, .steps = "init stop", .ms = 3000, .states = "S", .pending = 3,
        .log = "'tvrnns' Service is already stopped."});
    stopAndDelete("polls of at most 10 s", {.services = {{.name = "tvrnns", .state = 'P', .hint = 200000,
        .after = 25000}}, .steps = "init stop", .ms = 30000, .states = "S", .pending = 3,
        .log = "'tvrnns' Service is already stopped."});
    stopAndDelete("polls of a tenth, unrounded", {.services = {{.name = "tvrnns", .state = 'P', .hint = 19990,
        .after = 4000}}, .steps = "init stop", .ms = 5997, .states = "S", .pending = 3,
        .log = "'tvrnns' Service is already stopped."});
    stopAndDelete("30 s is not yet more than 30 s", {.services = {{.name = "tvrnns", .state = 'P',
        .hint = 5000, .after = kNever}}, .steps = "init stop-fails", .ms = 31000, .states = "P",
        .pending = 31, .log = "Service stop timed out for 'tvrnns'"});
    stopAndDelete("the last poll overshoots the budget", {.services = {{.name = "tvrnns", .state = 'P',
        .hint = 200000, .after = kNever}}, .steps = "init stop-fails", .ms = 40000, .states = "P",
        .pending = 4, .log = "Service stop timed out for 'tvrnns'"});
    stopAndDelete("the tick count wraps meanwhile", {.services = {{.name = "tvrnns", .state = 'P',
        .hint = 5000, .after = kNever}}, .wrapsAfter = 10000, .steps = "init stop-fails", .ms = 31000,
        .states = "P", .pending = 31, .log = "Service stop timed out for 'tvrnns'"});
    stopAndDelete("a pending poll fails", {.services = {{.name = "tvrnns", .state = 'P', .hint = 5000,
        .after = kNever}}, .faults = "+ fail QueryServiceStatusEx 2 5", .steps = "init stop-fails",
        .ms = 1000, .states = "P", .pending = 1, .log = "QueryServiceStatusEx failed (5)"});
    stopAndDelete("stopped within the control", {.services = {{.name = "tvrnns"}}, .steps = "init stop",
        .states = "S", .stops = "tvrnns",
        .log = "There are no dependent services\n'tvrnns' Service stopped successfully"});
    stopAndDelete("after the control the hint is slept as given", {.services = {{.name = "tvrnns",
        .hint = 3000, .after = 7000}}, .steps = "init stop", .ms = 9000, .states = "S", .stops = "tvrnns",
        .log = "There are no dependent services\n'tvrnns' Service stopped successfully"});
    stopAndDelete("one sleep past the budget, then stopped", {.services = {{.name = "tvrnns", .hint = 45000,
        .after = 40000}}, .steps = "init stop", .ms = 45000, .states = "S", .stops = "tvrnns",
        .log = "There are no dependent services\n'tvrnns' Service stopped successfully"});
    stopAndDelete("never stops, long hints", {.services = {{.name = "tvrnns", .hint = 20000,
        .after = kNever}}, .steps = "init stop-fails", .ms = 40000, .states = "P", .stops = "tvrnns",
        .log = "There are no dependent services\nWait timed out"});
    stopAndDelete("never stops, short hints", {.services = {{.name = "tvrnns", .hint = 1000,
        .after = kNever}}, .steps = "init stop-fails", .ms = 31000, .states = "P", .stops = "tvrnns",
        .log = "There are no dependent services\nWait timed out"});
    stopAndDelete("stop control refused", {.services = {{.name = "tvrnns", .refuseStop = 1052}},
        .steps = "init stop-fails", .states = "R",
        .log = "There are no dependent services\nControlService failed (1052)"});
    stopAndDelete("dependants first, as listed; only those waited for are reported", {
         .services = {{.name = "tvrnns", .hint = 1000, .after = 500}, {.name = "client", .needs = "tvrnns",
        .hint = 2000, .after = 3000}, {.name = "agent", .needs = "client", .hint = 700}, {.name = "idle",
        .needs = "tvrnns"}, {.name = "off", .needs = "tvrnns", .state = 'S'}}, .steps = "init stop",
        .ms = 5000, .states = "S S S S S", .stops = "agent client idle tvrnns",
        .log = "Service 'client' stopped successfully\n'tvrnns' Service stopped successfully"});
    stopAndDelete("a dependant cannot be opened", {.services = kQuickClient,
        .faults = "+ fail OpenServiceW 2 5", .steps = "init stop-fails", .states = "R R",
        .log = "OpenService failed for dependent service 'client' with error (5)\n"
        "ControlService failed (1051)"});
    stopAndDelete("a dependant refuses the stop", {.services = {{.name = "tvrnns",
        .hint = 1000}, {.name = "client", .needs = "tvrnns", .hint = 100, .after = 1000, .refuseStop = 1052}},
        .steps = "init stop-fails", .states = "R R",
        .log = "ControlService failed for dependent services (1052)\nControlService failed (1051)"});
    stopAndDelete("a dependant's status fails", {.services = kQuickClient,
        .faults = "+ fail QueryServiceStatusEx 2 6", .steps = "init stop-fails", .ms = 100, .states = "R P",
        .stops = "client", .log = "QueryServiceStatusEx failed (6)\nControlService failed (1051)"});
    stopAndDelete("the dependants' size query fails", {.services = kQuickClient,
        .faults = "+ fail EnumDependentServicesW 1 5", .steps = "init stop-fails", .states = "R R",
        .log = "Unexpected error (5)\nControlService failed (1051)"});
    stopAndDelete("the dependants' listing fails", {.services = kQuickClient,
        .faults = "+ fail EnumDependentServicesW 2 5", .steps = "init stop-fails", .states = "R R",
        .log = "EnumDependentServices failed (5)\nControlService failed (1051)"});
    stopAndDelete("no heap for the listing", {.services = kQuickClient, .faults = "+ fail HeapAlloc 1 8",
        .steps = "init stop-fails", .states = "R R",
        .log = "Heap allocation failed for dependencies\nControlService failed (1051)"});
    stopAndDelete("dependants share one budget", {.services = {{.name = "tvrnns", .hint = 4000,
        .after = kNever}, {.name = "slow", .needs = "tvrnns", .hint = 25000,
        .after = 20000}, {.name = "stuck", .needs = "tvrnns", .hint = 10000, .after = kNever}},
        .steps = "init stop-fails", .ms = 35000, .states = "R S P", .stops = "slow stuck",
        .log = "Service 'slow' stopped successfully\nTimed out\nControlService failed (1051)"});
    stopAndDelete("the service's budget counts the dependants' time", {.services = {{.name = "tvrnns",
        .hint = 4000, .after = kNever}, {.name = "slow", .needs = "tvrnns", .hint = 25000, .after = 1000}},
        .steps = "init stop-fails", .ms = 33000, .states = "P S", .stops = "slow tvrnns",
        .log = "Service 'slow' stopped successfully\nWait timed out"});
    stopAndDelete("a lost report of a stopped dependant", {.services = kSlowClient,
        .faults = "+ fail QueryServiceStatusEx 3 1234", .steps = "init stop remove", .ms = 4000,
        .states = "gone S", .stops = "client tvrnns", .log = "QueryServiceStatusEx failed (1234)\n" + kGone});
    stopAndDelete("the wait after the control fails", {.services = kSlowClient,
        .faults = "+ fail QueryServiceStatusEx 4 1234", .steps = "init stop-fails remove", .ms = 2000,
        .states = "P+del S", .stops = "client tvrnns",
        .log = "Service 'client' stopped successfully\nQueryServiceStatusEx failed (1234)\n"
        "'tvrnns' Service deleted successfully"});
    stopAndDelete("the first status query fails", {.services = kSlowClient,
        .faults = "+ fail QueryServiceStatusEx 1 1234", .steps = "init stop-fails remove",
        .states = "R+del R",
        .log = "QueryServiceStatusEx failed (1234)\n'tvrnns' Service deleted successfully"});
    stopAndDelete("a failed close goes unreported", {.services = kSlowClient,
        .faults = "+ fail CloseServiceHandle 1 1234", .steps = "init stop remove", .ms = 4000,
        .states = "gone S", .stops = "client tvrnns",
        .log = "Service 'client' stopped successfully\n" + kGone});
    stopAndDelete("no name, no connection", {.services = {{.name = "tvrnns", .state = 'S'}},
        .steps = "init-none stop-fails remove-fails", .states = "S",
        .log = "Service name is empty\nSCManager is NULL\nSCManager is NULL"});
    stopAndDelete("no name keeps the earlier one", {.services = {{.name = "tvrnns", .state = 'S'}},
        .steps = "init init-none stop remove", .states = "gone",
        .log = "Service name is empty\n'tvrnns' Service is already stopped.\n"
        "'tvrnns' Service deleted successfully"});
    stopAndDelete("a failed connection, its close failing too, leaves none", {.services = {{.name = "tvrnns",
        .state = 'S'}}, .faults = "+ fail OpenSCManagerW 3 5\n+ fail CloseServiceHandle 3 6",
        .steps = "init init stop init stop-fails remove-fails", .states = "S",
        .log = "'tvrnns' Service is already stopped.\nOpenSCManager failed (5)\nSCManager is NULL\n"
        "SCManager is NULL"});
    stopAndDelete("deletion refused", {.services = {{.name = "tvrnns", .state = 'S', .refuseDelete = 5}},
        .steps = "init remove-fails", .states = "S", .log = "DeleteService failed (5)"});
    stopAndDelete("a running service is only marked", {.services = {{.name = "tvrnns"}},
        .steps = "init remove", .states = "R+del", .log = "'tvrnns' Service deleted successfully"});
    stopAndDelete("marked once, gone when stopped", {.services = {{.name = "tvrnns"}},
        .steps = "init remove remove-fails stop", .states = "gone", .stops = "tvrnns",
        .log = "'tvrnns' Service deleted successfully\nDeleteService failed (1072)\n"
        "There are no dependent services\n'tvrnns' Service stopped successfully"});
    // clang-format on
}

// Another client's lock, COM's state and the network components there before: service, trans (installed
// as a transport), referenced (by ms_server and ms_pacer), "lock [holder]" (another client holds the write
// lock), "release T" (it lets go at T), sta / mta (COM already initialised). A null component id goes to
// the reinstall itself. Refusals come before any platform call; accepted words are folded to capitals.
struct NetRow {
    std::string action{};
    std::string component = "tvrnns";
    std::string before{}; // a line each
    std::string faults{}; // planted facts
    int result = 0;
    bool installed = false;               // the component, after
    int applies = 0;                      // Apply calls
    std::uint64_t ms = 0;                 // virtual time taken
    std::optional<std::string> journal{}; // the network configuration's calls, a line each
    std::string log{};                    // whole
};

// The journal's recurring parts.
const std::string kCom = "CoInitializeEx 0x6\n";
const std::string kCreated = kCom + "CoCreateInstance CNetCfg INetCfg 0x17\n";
const std::string kLockInterface = kCreated + "QueryInterface INetCfg INetCfgLock\n";
const std::string kLocked = kLockInterface + "AcquireWriteLock 15000 DevInstSrv(setupapi)\n";
const std::string kInitialised = kLocked + "Initialize\n";
const std::string kTearDown =
    "Uninitialize\nReleaseWriteLock\nRelease INetCfgLock\nRelease INetCfg\nCoUninitialize\n";
const std::string kNothing;
// The log's.
const std::string kAdding = "Command received to add net Service\n";
const std::string kRemoving = "Command received to remove net Service\n";
const std::string kSucceeded = "Add/Remove of net service:tvrnns Succeeded\n";
const std::string kFailed = "Add/Remove of net service:tvrnns Failed\n";
const std::string kSays = "TavrinDriverOperator::HrReinstallNetService(\"tvrnns\",\"Tavrin Secure, LLC\","
                          "\"Tavrin Secure\",\"Tavrin Secure\"): ";
const std::string kObo =
    R"(oboToken={OBO_SOFTWARE, "Tavrin Secure, LLC", "Tavrin Secure", "Tavrin Secure", 0})";
const std::string kRemovingIt = "Removing component tvrnns " + kObo + "\\n\n";
const std::string kInstallingIt = kSays + "Installing component tvrnns " + kObo + "\\n\n";

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
            platform::netcfg().CoInitializeEx(step == "sta" ? platform::kCoinitApartmentThreaded : 0);
        }
    }
    setUpLines(m.machine, row.faults);
    DriverOperation record;
    record.netServiceAction = wide(row.action);
    record.componentName = wide(row.component);
    EXPECT_EQ(row.component == "null"
                  ? TavrinDriverOperator().HrReinstallNetService(nullptr, L"a", L"b", L"c", true)
                  : TavrinDriverOperator().AddRemoveNetService(record),
              row.result);
    const auto& journal = net.journal();
    EXPECT_EQ(net.installed(L"tvrnns"), row.installed);
    EXPECT_EQ(std::ranges::count(journal, "Apply"), row.applies);
    EXPECT_EQ(m.machine.nowMs(), row.ms);
    if (row.journal) {
        EXPECT_EQ(joined(journal, "\n") + (journal.empty() ? "" : "\n"), *row.journal);
    }
    EXPECT_EQ(net.writeLockHolder(), heldBy.value_or(L""));
    EXPECT_EQ(net.writeLockHeld(), heldBy.has_value());
    EXPECT_EQ(net.abandonedObjects(), 0U);
    EXPECT_EQ(net.comInitBalance(), row.before == "sta" || row.before == "mta" ? 1 : 0);
    EXPECT_TRUE(logMatches(logMessagesOf(m.machine), row.log, true));
    ServiceHandler::getInstance().disconnect();
    EXPECT_TRUE(nothingLeftOpen(m.machine));
}

TEST(NetService, AddAndRemove) {
    // clang-format off
    netService("no action", {.action = "", .component = "", .result = 2, .journal = kNothing,
        .log = "Parameters are missing\n"});
    netService("no component", {.action = "ADD", .component = "", .result = 2, .journal = kNothing,
        .log = "Component Name is missing\n"});
    netService("a trailing space", {.action = "ADD ", .result = 2, .journal = kNothing,
        .log = "Incorrect Value for net servc\n"});
    netService("a leading space", {.action = " add", .result = 2, .journal = kNothing,
        .log = "Incorrect Value for net servc\n"});
    netService("another word", {.action = "INSTALL", .result = 2, .journal = kNothing,
        .log = "Incorrect Value for net servc\n"});
    netService("a letter outside ASCII", {.action = "ädd", .result = 2, .journal = kNothing,
        .log = "Incorrect Value for net servc\n"});
    netService("remove of a missing component", {.action = "Remove", .journal = kInitialised +
        "FindComponent tvrnns\n" + kTearDown, .log = kRemoving + kSays +
        "Failed to find component. HRESULT=0x1\\n\n" + kSucceeded});
    netService("add of a missing component installs it", {.action = "aDd", .installed = true, .applies = 1,
        .journal = kInitialised + "FindComponent tvrnns\nQueryNetCfgClass NETSERVICE INetCfgClass\n"
        "QueryInterface INetCfgClass INetCfgClassSetup\n"
        "Install tvrnns {3, null, Tavrin Secure, LLC, Tavrin Secure, Tavrin Secure, 0} 0x2 0 null null\n"
        "Apply\nRelease INetCfgComponent\nRelease INetCfgClassSetup\nRelease INetCfgClass\n" + kTearDown,
        .log = kAdding + kSays + "Failed to find component. HRESULT=0x1\\n\n" + kInstallingIt + kSucceeded});
    netService("removal asks for the class the component reports", {.action = "REMOVE", .before = "trans",
        .applies = 1, .journal = kInitialised +
        "FindComponent tvrnns\nGetClassGuid tvrnns\nQueryNetCfgClass NETTRANS INetCfgClass\n"
        "QueryInterface INetCfgClass INetCfgClassSetup\n"
        "DeInstall tvrnns {3, null, Tavrin Secure, LLC, Tavrin Secure, Tavrin Secure, 0}\nApply\n"
        "Release INetCfgClassSetup\nRelease INetCfgClass\nRelease INetCfgComponent\n" + kTearDown,
        .log = kRemoving + kRemovingIt + kSucceeded});
    netService("add of an installed component reinstalls it under one lock", {.action = "ADD",
        .before = "service", .installed = true, .applies = 2, .journal = kInitialised +
        "FindComponent tvrnns\nGetClassGuid tvrnns\nQueryNetCfgClass NETSERVICE INetCfgClass\n"
        "QueryInterface INetCfgClass INetCfgClassSetup\n"
        "DeInstall tvrnns {3, null, Tavrin Secure, LLC, Tavrin Secure, Tavrin Secure, 0}\nApply\n"
        "Release INetCfgClassSetup\nRelease INetCfgClass\nRelease INetCfgComponent\n"
        "QueryNetCfgClass NETSERVICE INetCfgClass\nQueryInterface INetCfgClass INetCfgClassSetup\n"
        "Install tvrnns {3, null, Tavrin Secure, LLC, Tavrin Secure, Tavrin Secure, 0} 0x2 0 null null\n"
        "Apply\nRelease INetCfgComponent\nRelease INetCfgClassSetup\nRelease INetCfgClass\n" + kTearDown,
        .log = kAdding + kRemovingIt + kInstallingIt + kSucceeded});
    netService("still referenced", {.action = "REMOVE", .before = "referenced", .installed = true,
        .applies = 1, .journal = kInitialised +
        "FindComponent tvrnns\nGetClassGuid tvrnns\nQueryNetCfgClass NETSERVICE INetCfgClass\n"
        "QueryInterface INetCfgClass INetCfgClassSetup\n"
        "DeInstall tvrnns {3, null, Tavrin Secure, LLC, Tavrin Secure, Tavrin Secure, 0}\nCoTaskMemFree\n"
        "Apply\nRelease INetCfgClassSetup\nRelease INetCfgClass\nRelease INetCfgComponent\n" + kTearDown,
        .log = kRemoving + kRemovingIt + kSays +
        "The component was not removed and is still referenced by \"ms_server\"\\n\n" + kSucceeded});
    netService("the removal needs a reboot to complete", {.action = "REMOVE", .before = "service",
        .faults = "+ fail DeInstall 1 0x4a020", .applies = 1, .log = kRemoving + kRemovingIt + kSays +
        "A reboot is required to complete removal of component. HRESULT=0x4a020\\n\n" + kSucceeded});
    netService("the removal needs a reboot first", {.action = "REMOVE", .before = "service",
        .faults = "+ fail DeInstall 1 0x8004a025", .result = 2, .installed = true, .log = kRemoving +
        kRemovingIt + kSays +
        "A reboot is required.  The component was not removed. HRESULT=0x8004a025\\n\n" + kFailed});
    netService("an add goes on after that", {.action = "ADD", .before = "service",
        .faults = "+ fail DeInstall 1 0x8004a025", .installed = true, .applies = 1, .log = kAdding +
        kRemovingIt + kSays +
        "A reboot is required.  The component was not removed. HRESULT=0x8004a025\\n\n" + kInstallingIt +
        kSucceeded});
    netService("the removal fails", {.action = "REMOVE", .before = "service",
        .faults = "+ fail DeInstall 1 0x80004005", .result = 2, .installed = true, .log = kRemoving +
        kRemovingIt + kSays + "The component could not be removed. HRESULT=0x80004005\\n\n" + kFailed});
    netService("the removal's other success", {.action = "REMOVE", .before = "service",
        .faults = "+ fail DeInstall 1 1", .applies = 1, .log = kRemoving + kRemovingIt + kSucceeded});
    netService("the install needs a reboot to complete", {.action = "ADD",
        .faults = "+ fail Install 1 0x4a020", .installed = true, .applies = 1, .log = kAdding + kSays +
        "Failed to find component. HRESULT=0x1\\n\n" + kInstallingIt + kSays +
        "A reboot is required to complete re-install of component. HRESULT=0x4a020\\n\n" + kSucceeded});
    netService("the install needs a reboot first", {.action = "ADD", .faults = "+ fail Install 1 0x8004a025",
        .result = 2, .log = kAdding + kSays + "Failed to find component. HRESULT=0x1\\n\n" + kInstallingIt +
        kSays + "A reboot is required.  The component was not re-installed. HRESULT=0x8004a025\\n\n" + kFailed
        });
    netService("the install fails", {.action = "ADD", .faults = "+ fail Install 1 0x80004005", .result = 2,
        .log = kAdding + kSays + "Failed to find component. HRESULT=0x1\\n\n" + kInstallingIt + kSays +
        "The component could not be re-installed. HRESULT=0x80004005\\n\n" + kFailed});
    netService("the install's other success", {.action = "ADD", .faults = "+ fail Install 1 1",
        .installed = true, .applies = 1, .log = kAdding + kSays +
        "Failed to find component. HRESULT=0x1\\n\n" + kInstallingIt + kSucceeded});
    netService("the removal's Apply asks for a reboot", {.action = "ADD", .before = "service",
        .faults = "+ fail Apply 1 0x4a020", .installed = true, .applies = 2, .log = kAdding + kRemovingIt +
        kSays + "A reboot is required to apply the new configuration. HRESULT=0x4a020\\n\n" + kInstallingIt +
        kSucceeded});
    netService("the removal's Apply fails, the add goes on", {.action = "ADD", .before = "service",
        .faults = "+ fail Apply 1 0x80004005", .installed = true, .applies = 2, .log = kAdding + kRemovingIt +
        kSays + "The new configuraiton could not be applied. HRESULT=0x80004005\\n\n" + kInstallingIt +
        kSucceeded});
    netService("the removal's Apply fails", {.action = "REMOVE", .before = "service",
        .faults = "+ fail Apply 1 0x80004005", .result = 2, .installed = true, .applies = 1,
        .log = kRemoving + kRemovingIt + kSays +
        "The new configuraiton could not be applied. HRESULT=0x80004005\\n\n" + kFailed});
    netService("the install's Apply asks for a reboot", {.action = "ADD", .before = "service",
        .faults = "+ fail Apply 2 0x4a020", .installed = true, .applies = 2, .log = kAdding + kRemovingIt +
        kInstallingIt + kSays + "A reboot is required to apply the new configuration. HRESULT=0x4a020\\n\n" +
        kSucceeded});
    netService("the install's Apply fails after the removal's was written", {.action = "ADD",
        .before = "service", .faults = "+ fail Apply 2 0x80004005", .result = 2, .applies = 2,
        .log = kAdding + kRemovingIt + kInstallingIt + kSays +
        "The new configuration could not be applied. HRESULT=0x80004005\\n\n" + kFailed});
    netService("the component cannot be found", {.action = "ADD", .before = "service",
        .faults = "+ fail FindComponent 1 0x8007001f", .installed = true, .applies = 1, .log = kAdding +
        kSays + "Failed to find component. HRESULT=0x8007001f\\n\n" + kInstallingIt + kSucceeded});
    netService("its class cannot be read", {.action = "ADD", .before = "service",
        .faults = "+ fail GetClassGuid 1 0x8007001f", .installed = true, .applies = 1, .log = kAdding +
        kSays + "Failed to get component class GUID. HRESULT=0x8007001f\\n\n" + kInstallingIt + kSucceeded});
    netService("no class object for the removal", {.action = "ADD", .before = "service",
        .faults = "+ fail QueryNetCfgClass 1 0x8007001f", .installed = true, .applies = 1, .log = kAdding +
        kSays + "Failed to get NetCfgClass object. HRESULT=0x8007001f\\n\n" + kInstallingIt + kSucceeded});
    netService("no class setup for the removal", {.action = "ADD", .before = "service",
        .faults = "+ fail QueryInterface 2 0x8007001f", .installed = true, .applies = 1, .log = kAdding +
        kSays + "Failed to get NetCfgClassSetup interface. HRESULT=0x8007001f\\n\n" + kInstallingIt +
        kSucceeded});
    netService("no class object for the install", {.action = "ADD", .before = "service",
        .faults = "+ fail QueryNetCfgClass 2 0x8007001f", .result = 2, .applies = 1, .log = kAdding +
        kRemovingIt + kSays + "Failed to get NetCfgClass object. HRESULT=0x8007001f\\n\n" + kFailed});
    netService("no class setup for the install", {.action = "ADD", .before = "service",
        .faults = "+ fail QueryInterface 3 0x8007001f", .result = 2, .applies = 1, .log = kAdding +
        kRemovingIt + kSays + "Failed to get NetCfgClassSetup interface. HRESULT=0x8007001f\\n\n" + kFailed});
    netService("another client's lock, waited for once and left alone", {.action = "ADD",
        .before = "lock Tavrin Secure Agent", .result = 2, .ms = 15000, .journal = kLocked +
        "CoTaskMemFree\nRelease INetCfgLock\nRelease INetCfg\nCoUninitialize\n", .log = kAdding + kSays +
        "Failed to get NetCfgLock. Lock held by \"Tavrin Secure Agent\"\\n\n" + kFailed});
    netService("another client's lock without a description", {.action = "REMOVE", .before = "lock",
        .result = 2, .ms = 15000, .journal = kLocked +
        "Release INetCfgLock\nRelease INetCfg\nCoUninitialize\n", .log = kRemoving + kSays +
        "Failed to get NetCfgLock.\\n\n" + kFailed});
    netService("a lock released during the wait is taken", {.action = "ADD",
        .before = "lock Tavrin Secure Agent\nrelease 5000", .installed = true, .applies = 1, .ms = 5000,
        .log = kAdding + kSays + "Failed to find component. HRESULT=0x1\\n\n" + kInstallingIt + kSucceeded});
    netService("COM refused: nothing to undo", {.action = "REMOVE",
        .faults = "+ fail CoInitializeEx 1 0x8007000e", .result = 2, .journal = kCom, .log = kRemoving +
        kSays + "CoInitializeEx()->0x8007000e\\n\n" + kFailed});
    netService("no configuration object", {.action = "REMOVE",
        .faults = "+ fail CoCreateInstance 1 0x8007000e", .result = 2, .journal = kCreated +
        "CoUninitialize\n", .log = kRemoving + kSays +
        "Failed to create NetCfg object. HRESULT=0x8007000e\\n\n" + kFailed});
    netService("no lock interface", {.action = "REMOVE", .faults = "+ fail QueryInterface 1 0x8007000e",
        .result = 2, .journal = kLockInterface + "Release INetCfg\nCoUninitialize\n", .log = kRemoving +
        kSays + "Failed to get NetCfgLock interface. HRESULT=0x8007000e\\n\n" + kFailed});
    netService("the lock fails", {.action = "REMOVE", .faults = "+ fail AcquireWriteLock 1 0x8007000e",
        .result = 2, .journal = kLocked + "Release INetCfgLock\nRelease INetCfg\nCoUninitialize\n",
        .log = kRemoving + kSays + "AcquireWriteLock() failed HRESULT=0x8007000e\\n\n" + kFailed});
    netService("the initialisation fails", {.action = "REMOVE", .faults = "+ fail Initialize 1 0x8007000e",
        .result = 2, .journal = kInitialised +
        "ReleaseWriteLock\nRelease INetCfgLock\nRelease INetCfg\nCoUninitialize\n", .log = kRemoving + kSays +
        "Failed to initialize NetCfg. HRESULT=0x8007000e\\n\n" + kFailed});
    netService("COM already initialised in this apartment: balanced all the same", {.action = "REMOVE",
        .before = "sta", .log = kRemoving + kSays + "Failed to find component. HRESULT=0x1\\n\n" + kSucceeded
        });
    netService("a null component id, refused before any call", {.action = "ADD", .component = "null",
        .result = -2147467259, .journal = kNothing, .log = "Parameters are null\n"});
    netService("COM initialised in another apartment", {.action = "REMOVE", .before = "mta", .result = 2,
        .log = kRemoving + kSays + "CoInitializeEx()->0x80010106\\n\n" + kFailed});
    // clang-format on
}

constexpr wchar_t kMutexName[] = L"Global\\TDInstallationStartedMtx";
constexpr wchar_t kEventName[] = L"Global\\TDInstallationCompletedEvt";

int setStatus(const std::string& value) {
    DriverOperation record;
    record.installStatus = wide(value.starts_with('"') ? value.substr(1, value.size() - 2) : value);
    return TavrinDriverOperator().setStatus(record);
}

// Steps: a /setstatus value run here (quoted when it has blanks), "as P" (this process is P), "holds P" /
// "event P" / "signalled P" (P created the mutex / the event / the event signalled, with default
// security), "account P SID" (P runs as that account; LocalSystem otherwise), "end T P" / "start T P" (at
// T, process P runs /setstatus 1 / 0, which must give 0), "advance N", or a planted fault.
struct StatusRow {
    std::vector<std::string> steps{};
    std::string results{}; // of the runs here
    std::uint64_t ms = 0;  // virtual time at the end
    std::string left{};    // the named objects left
    std::string log{};     // whole
};

const std::string kBegin = "Set status from command line is: 0\nTSAC Installation Started\n";
const std::string kStart = kBegin + "Started installation of the drivers\n";
const std::string kEnd = "Set status from command line is: 1\nTSAC Installation Ended\n";
const std::string kSet = kEnd + "Successfully set event for install completion\n";
const std::string kWoke = "Installation of the drivers completed Successfully\n";
const std::string kNoWait = kBegin + "Not waiting: ";
const std::string kNoSet = kEnd + "Not signalling: ";
const std::string kUserMutex =
    "Global\\TDInstallationStartedMtx belongs to S-1-5-21-1-2-3-1001, not to the installer\n";
const std::string kUserEvent =
    "Global\\TDInstallationCompletedEvt belongs to S-1-5-21-1-2-3-1001, not to the installer\n";
const std::string kUnreadMutex =
    "Global\\TDInstallationStartedMtx belongs to an owner that cannot be read, not to the installer\n";

void handshake(const std::string& name, const StatusRow& row, const char* file = __builtin_FILE(),
               int line = __builtin_LINE()) {
    const ::testing::ScopedTrace trace(file, line, name);
    FreshMachine m;
    std::vector<std::uint32_t> others;
    std::string results;
    for (const std::string& step : row.steps) {
        std::vector<std::string> w;
        std::istringstream words(step);
        for (std::string word; words >> word;) {
            w.push_back(word);
        }
        const auto n = [&w](std::size_t i) { return static_cast<std::uint32_t>(std::stoul(w.at(i))); };
        if (w[0] == "end" || w[0] == "start") {
            others.push_back(n(2));
            m.machine.at(n(1), [&m, pid = n(2), value = w[0] == "end" ? "1" : "0"] {
                m.machine.asProcess(pid, [value] { EXPECT_EQ(setStatus(value), 0); });
            });
        } else if (w[0] == "holds" || w[0] == "event" || w[0] == "signalled") {
            others.push_back(n(1));
            m.machine.asProcess(n(1), [what = w[0]] {
                (void)(what == "holds"
                           ? platform::sys().CreateMutexW(L"", true, kMutexName)
                           : platform::sys().CreateEventW(L"", true, what == "signalled", kEventName));
            });
        } else if (w[0] == "account") {
            m.machine.setProcessUser(n(1), wide(w.at(2)));
        } else if (w[0] == "as" || w[0] == "advance") {
            w[0] == "as" ? m.machine.setCurrentProcess(n(1)) : m.machine.advance(n(1));
        } else if (w[0] == "fail") {
            setUpLines(m.machine, step);
        } else {
            results += (results.empty() ? "" : " ") + std::to_string(setStatus(step));
        }
    }
    EXPECT_EQ(results, row.results);
    EXPECT_EQ(m.machine.nowMs(), row.ms);
    EXPECT_EQ(std::string(m.machine.namedObjectExists(kMutexName) ? " mutex" : "") +
                  (m.machine.namedObjectExists(kEventName) ? " event" : ""),
              row.left.empty() ? "" : " " + row.left);
    EXPECT_TRUE(logMatches(logMessagesOf(m.machine), row.log, true));
    for (const std::uint32_t pid : others) {
        m.machine.endProcess(pid);
    }
    ServiceHandler::getInstance().disconnect();
    EXPECT_TRUE(nothingLeftOpen(m.machine));
}

TEST(Status, Handshake) {
    // clang-format off
    handshake("start, then an end within the limit", {.steps = {"as 100", "end 5000 200", "0"},
        .results = "0", .ms = 5000, .log = kStart + kEnd + "Successfully set event for install completion\n" +
        kWoke + "Released Installation started event\n"});
    handshake("a start without an end gives up after ten minutes", {.steps = {"0"}, .results = "0",
        .ms = 600000, .log = kStart + "Installation continued even after 600 seconds\n"});
    handshake("an end after the limit is too late", {.steps = {"end 600001 200", "0", "advance 1"},
        .results = "0", .ms = 600001, .log = kStart + "Installation continued even after 600 seconds\n" +
        kEnd + "No Installation is in progress, failed to acquire install start event\n"});
    handshake("an end without a start", {.steps = {"1"}, .results = "0", .log = kEnd +
        "No Installation is in progress, failed to acquire install start event\n"});
    handshake("the mutex cannot be created", {.steps = {"fail CreateMutexW 0 5", "0"}, .results = "0",
        .log = kBegin + "Create Mutex failed at Start of Installation: 5\n"});
    handshake("the event cannot be created", {.steps = {"fail CreateEventW 0 6", "0"}, .results = "0",
        .log = kBegin + "Create Event failed at Completion of the Installation: 6\n"});
    handshake("the wait fails", {.steps = {"fail WaitForSingleObject 0 6", "0"}, .results = "0",
        .log = kStart + "WaitForObject failed with error: 4294967295\n"});
    handshake("a failed release is only logged", {.steps = {"end 10 200", "fail ReleaseMutex 1 288", "0"},
        .results = "0", .ms = 10, .log = kStart + kEnd + "Successfully set event for install completion\n" +
        kWoke + "Failed to Release Installation started event with last Error:288\n"});
    handshake("the ending run cannot open the event: the start waits out its limit", {
        .steps = {"as 100", "end 1 200", "fail OpenEventW 0 2", "0"}, .results = "0", .ms = 600000,
        .log = kStart + kEnd + "Failed to open event for install completion: 2\n" +
        "Installation continued even after 600 seconds\n"});
    handshake("the ending run cannot set it", {.steps = {"as 100", "end 1 200", "fail SetEvent 0 6", "0"},
        .results = "0", .ms = 600000, .log = kStart + kEnd +
        "Failed to set event for install completion: 6\n" + "Installation continued even after 600 seconds\n"
        });
    handshake("an end between the two creations finds no event", {.steps = {"holds 100", "1"}, .results = "0",
        .left = "mutex", .log = kEnd + "Failed to open event for install completion: 2\n"});
    handshake("an end before the wait is not lost; the late starter cannot release", {
        .steps = {"holds 100", "event 100", "1", "as 300", "0"}, .results = "0 0", .left = "mutex event",
        .log = kEnd + "Successfully set event for install completion\n" + kStart + kWoke +
        "Failed to Release Installation started event with last Error:288\n"});
    handshake("a second starter waits on the same event; the end wakes both", {
        .steps = {"as 100", "start 1000 101", "end 2000 200", "0"}, .results = "0", .ms = 2000,
        .log = kStart + kStart + kEnd + "Successfully set event for install completion\n" + kWoke +
        "Failed to Release Installation started event with last Error:288\n" + kWoke +
        "Released Installation started event\n"});
    handshake("two ends after one start", {
        .steps = {"as 100", "end 100 200", "end 200 201", "0", "advance 500"}, .results = "0", .ms = 600,
        .log = kStart + kEnd + "Successfully set event for install completion\n" + kWoke +
        "Released Installation started event\n" + kEnd +
        "No Installation is in progress, failed to acquire install start event\n"});
    handshake("invalid values touch nothing", {.steps = {"00", "2", "true", "\" 1\"", "\"\"", "5", "\"1 \""},
        .results = "2 2 2 2 2 2 2", .log = "Invalid argument passed to /setstatus parameter\n"
        "Invalid argument passed to /setstatus parameter\n"
        "Invalid argument passed to /setstatus parameter\n"
        "Invalid argument passed to /setstatus parameter\n"
        "Invalid argument passed to /setstatus parameter\n"
        "Invalid argument passed to /setstatus parameter\n"
        "Invalid argument passed to /setstatus parameter\n"});
    handshake("a user's held mutex: no wait", {.steps = {"account 6 S-1-5-21-1-2-3-1001", "holds 6", "0"},
        .results = "0", .left = "mutex", .log = kNoWait + kUserMutex});
    handshake("a user's signalled event: no wait", {
        .steps = {"account 6 S-1-5-21-1-2-3-1001", "signalled 6", "0"}, .results = "0", .left = "event",
        .log = kNoWait + kUserEvent});
    handshake("a user's mutex: no signal", {
        .steps = {"account 6 S-1-5-21-1-2-3-1001", "holds 6", "event 100", "1"}, .results = "0",
        .left = "mutex event", .log = kNoSet + kUserMutex});
    handshake("a user's event: not set", {
        .steps = {"holds 100", "account 6 S-1-5-21-1-2-3-1001", "event 6", "1"}, .results = "0",
        .left = "mutex event", .log = kNoSet + kUserEvent});
    handshake("its own account", {
        .steps = {"account 1 S-1-5-21-1-2-3-1001", "holds 1", "event 1", "account 4242 S-1-5-21-1-2-3-1001",
                  "1"},
        .results = "0", .left = "mutex event", .log = kSet});
    handshake("Administrators' objects", {.steps = {"account 1 S-1-5-32-544", "holds 1", "event 1", "1"},
        .results = "0", .left = "mutex event", .log = kSet});
    handshake("an owner unread", {.steps = {"holds 1", "event 1", "fail GetSecurityInfo 3 5", "1"},
        .results = "0", .left = "mutex event", .log = kNoSet + kUnreadMutex});
    // clang-format on
}

// Both objects a start creates are owned by Administrators, all access for SYSTEM and Administrators,
// waiting only for everyone else.
TEST(Status, TheStartCreatesTheObjectsAsTheInstallersOwn) {
    FreshMachine m;
    std::optional<std::wstring> mutex;
    std::optional<std::wstring> event;
    m.machine.onCall("WaitForSingleObject", 1, [&] {
        mutex = m.machine.namedObjectSecurity(kMutexName);
        event = m.machine.namedObjectSecurity(kEventName);
    });
    m.machine.at(10, [&m] { m.machine.asProcess(200, [] { EXPECT_EQ(setStatus("1"), 0); }); });
    EXPECT_EQ(setStatus("0"), 0);
    EXPECT_EQ(mutex, std::wstring(L"O:BAD:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x100000;;;WD)"));
    EXPECT_EQ(event, std::wstring(L"O:BAD:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x100000;;;WD)"));
    EXPECT_TRUE(
        logMatches(logMessagesOf(m.machine),
                   "Successfully set event for install completion\nReleased Installation started event"));
    m.machine.endProcess(200);
}

} // namespace
} // namespace tdu::test
