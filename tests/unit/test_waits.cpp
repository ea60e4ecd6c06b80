// Operations that wait on others: a service's stop, the network configuration's
// write lock, and the installation handshake between two runs.
#include "tests/unit/Scenario.h"

#include "operator/TDriverOperator.h"
#include "platform/sim/SimNetConfig.h"
#include "platform/sim/SimServices.h"

#include <algorithm>

namespace tdu::test {
namespace {

// Rows: services | faults | steps | virtual ms taken | each service's state after | stops accepted.
// A service is "name[>needed] state waitHint stopAfterMs|- [refuseStop [refuseDelete]]", state R, P or S.
// Faults: scenario set-up lines ("fail call nth error"), or "ticks N" for a tick count that wraps N ms
// after the start.
// Steps: n init("tvrnns"), e init(""), S/s stop() true/false, R/r remove() true/false.
constexpr char kServiceRows[] = R"(
* missing: neither step finds it | | | nsr | 0 | | | 2* OpenService failed (1060)
* stopped already: no control | tvrnns S 0 0 | | nS | 0 | S | | 'tvrnns' Service is already stopped.
* stop-pending: polled at a tenth of its hint | tvrnns P 50000 12000 | | nS | 15000 | S | | 3* 'tvrnns' Service Stop Pending.; 'tvrnns' Service is already stopped.
* polls of at least 1 s | tvrnns P 5000 2500 | | nS | 3000 | S | | 3* 'tvrnns' Service Stop Pending.; 'tvrnns' Service is already stopped.
* polls of at most 10 s | tvrnns P 200000 25000 | | nS | 30000 | S | | 3* 'tvrnns' Service Stop Pending.; 'tvrnns' Service is already stopped.
* polls of a tenth, unrounded | tvrnns P 19990 4000 | | nS | 5997 | S | | 3* 'tvrnns' Service Stop Pending.; 'tvrnns' Service is already stopped.
* 30 s is not yet more than 30 s | tvrnns P 5000 - | | ns | 31000 | P | | 31* 'tvrnns' Service Stop Pending.; Service stop timed out for 'tvrnns'
* the last poll overshoots the budget | tvrnns P 200000 - | | ns | 40000 | P | | 4* 'tvrnns' Service Stop Pending.; Service stop timed out for 'tvrnns'
* the tick count wraps meanwhile | tvrnns P 5000 - | ticks 10000 | ns | 31000 | P | | 31* 'tvrnns' Service Stop Pending.; Service stop timed out for 'tvrnns'
* a pending poll fails | tvrnns P 5000 - | fail QueryServiceStatusEx 2 5 | ns | 1000 | P | | 'tvrnns' Service Stop Pending.; QueryServiceStatusEx failed (5)
* stopped within the control | tvrnns R 0 0 | | nS | 0 | S | tvrnns | There are no dependent services; 'tvrnns' Service stopped successfully
* after the control the hint is slept as given | tvrnns R 3000 7000 | | nS | 9000 | S | tvrnns | There are no dependent services; 'tvrnns' Service stopped successfully
* one sleep past the budget, then stopped | tvrnns R 45000 40000 | | nS | 45000 | S | tvrnns | There are no dependent services; 'tvrnns' Service stopped successfully
* never stops, long hints | tvrnns R 20000 - | | ns | 40000 | P | tvrnns | There are no dependent services; Wait timed out
* never stops, short hints | tvrnns R 1000 - | | ns | 31000 | P | tvrnns | There are no dependent services; Wait timed out
* stop control refused | tvrnns R 0 0 1052 | | ns | 0 | R | | There are no dependent services; ControlService failed (1052)
* dependants first, as listed; only those waited for are reported | tvrnns R 1000 500, client>tvrnns R 2000 3000, agent>client R 700 0, idle>tvrnns R 0 0, off>tvrnns S 0 0 | | nS | 5000 | S S S S S | agent client idle tvrnns | Service 'client' stopped successfully; 'tvrnns' Service stopped successfully
* a dependant cannot be opened | tvrnns R 1000 0, client>tvrnns R 100 1000 | fail OpenServiceW 2 5 | ns | 0 | R R | | OpenService failed for dependent service 'client' with error (5); ControlService failed (1051)
* a dependant refuses the stop | tvrnns R 1000 0, client>tvrnns R 100 1000 1052 | | ns | 0 | R R | | ControlService failed for dependent services (1052); ControlService failed (1051)
* a dependant's status fails | tvrnns R 1000 0, client>tvrnns R 100 1000 | fail QueryServiceStatusEx 2 6 | ns | 100 | R P | client | QueryServiceStatusEx failed (6); ControlService failed (1051)
* the dependants' size query fails | tvrnns R 1000 0, client>tvrnns R 100 1000 | fail EnumDependentServicesW 1 5 | ns | 0 | R R | | Unexpected error (5); ControlService failed (1051)
* the dependants' listing fails | tvrnns R 1000 0, client>tvrnns R 100 1000 | fail EnumDependentServicesW 2 5 | ns | 0 | R R | | EnumDependentServices failed (5); ControlService failed (1051)
* no heap for the listing | tvrnns R 1000 0, client>tvrnns R 100 1000 | fail HeapAlloc 1 8 | ns | 0 | R R | | Heap allocation failed for dependencies; ControlService failed (1051)
* dependants share one budget | tvrnns R 4000 -, slow>tvrnns R 25000 20000, stuck>tvrnns R 10000 - | | ns | 35000 | R S P | slow stuck | Service 'slow' stopped successfully; Timed out; ControlService failed (1051)
* the service's budget counts the dependants' time | tvrnns R 4000 -, slow>tvrnns R 25000 1000 | | ns | 33000 | P S | slow tvrnns | Service 'slow' stopped successfully; Wait timed out
* a lost report of a stopped dependant | tvrnns R 1000 2500, client>tvrnns R 500 1000 | fail QueryServiceStatusEx 3 1234 | nSR | 4000 | gone S | client tvrnns | QueryServiceStatusEx failed (1234); 'tvrnns' Service stopped successfully; 'tvrnns' Service deleted successfully
* the wait after the control fails | tvrnns R 1000 2500, client>tvrnns R 500 1000 | fail QueryServiceStatusEx 4 1234 | nsR | 2000 | P+del S | client tvrnns | Service 'client' stopped successfully; QueryServiceStatusEx failed (1234); 'tvrnns' Service deleted successfully
* the first status query fails | tvrnns R 1000 2500, client>tvrnns R 500 1000 | fail QueryServiceStatusEx 1 1234 | nsR | 0 | R+del R | | QueryServiceStatusEx failed (1234); 'tvrnns' Service deleted successfully
* a failed close goes unreported | tvrnns R 1000 2500, client>tvrnns R 500 1000 | fail CloseServiceHandle 1 1234 | nSR | 4000 | gone S | client tvrnns | Service 'client' stopped successfully; 'tvrnns' Service stopped successfully; 'tvrnns' Service deleted successfully
* no name, no connection | tvrnns S 0 0 | | esr | 0 | S | | Service name is empty; 2* SCManager is NULL
* no name keeps the earlier one | tvrnns S 0 0 | | neSR | 0 | gone | | Service name is empty; 'tvrnns' Service is already stopped.; 'tvrnns' Service deleted successfully
* a failed connection, its close failing too, leaves none | tvrnns S 0 0 | fail OpenSCManagerW 3 5; fail CloseServiceHandle 3 6 | nnSnsr | 0 | S | | 'tvrnns' Service is already stopped.; OpenSCManager failed (5); 2* SCManager is NULL
* deletion refused | tvrnns S 0 0 0 5 | | nr | 0 | S | | DeleteService failed (5)
* a running service is only marked | tvrnns R 0 0 | | nR | 0 | R+del | | 'tvrnns' Service deleted successfully
* marked once, gone when stopped | tvrnns R 0 0 | | nRrS | 0 | gone | tvrnns | 'tvrnns' Service deleted successfully; DeleteService failed (1072); There are no dependent services; 'tvrnns' Service stopped successfully
)";

void add(std::string& list, const std::string& item) {
    list += (list.empty() ? "" : " ") + item;
}

constexpr std::string_view kStates = " S?PR"; // by their values: stopped, stop-pending, running

TEST(Services, StopAndDelete) {
    for (const Row& row : rows(kServiceRows)) {
        RowMachine m(row);
        platform::sim::SimServices& services = m.machine.services();
        std::vector<std::wstring> names;
        for (const std::string& described : split(row[1], ",")) {
            std::istringstream in(described);
            std::string name, state, after;
            platform::sim::SimServiceSetup setup;
            in >> name >> state >> setup.waitHint >> after >> setup.refuseStop >> setup.refuseDelete;
            if (const auto needs = name.find('>'); needs != std::string::npos) {
                setup.dependsOn = {wide(name.substr(needs + 1))};
                name.resize(needs);
            }
            names.push_back(setup.name = wide(name));
            setup.state = static_cast<std::uint32_t>(kStates.find(state));
            setup.stopAfterMs =
                after == "-" ? std::nullopt : std::optional<std::uint64_t>(std::stoull(after));
            services.addService(setup);
        }
        row[2].starts_with("ticks ") ? m.machine.setTickCountAtStart(static_cast<std::uint32_t>(
                                           0x1'0000'0000ULL - std::stoull(row[2].substr(6))))
                                     : setUpLines(m.machine, row[2]);
        std::string steps, states, stops;
        ServiceHandler handler;
        for (const char step : row[3]) {
            steps += step == 'n' || step == 'e'   ? (handler.init(step == 'n' ? L"tvrnns" : L""), step)
                     : step == 'S' || step == 's' ? (handler.stop() ? 'S' : 's')
                                                  : (handler.remove() ? 'R' : 'r');
        }
        EXPECT_EQ(steps, row[3]);
        EXPECT_EQ(m.machine.nowMs(), std::stoull(row[4]));
        for (const std::wstring& name : names) {
            add(states, services.exists(name) ? std::string(1, kStates.at(services.state(name))) : "gone");
            states += services.markedForDelete(name) ? "+del" : "";
        }
        for (const std::wstring& name : services.stopsAccepted()) {
            add(stops, narrow(name));
        }
        EXPECT_EQ(states, row[5]);
        EXPECT_EQ(stops, row[6]);
    }
}

// Rows: action | component ("null": a null id, to the reinstall itself) | set-up | faults (scenario lines) |
// result, installed after, Apply calls, virtual ms | journal ("" unchecked, "-" empty) | log. Set-up:
// service, trans (installed as a transport), referenced (by ms_server and ms_pacer), "lock [holder]" (another
// client holds the write lock), "release T" (it lets go at T), sta / mta (COM already initialised). In the
// log "> text" is a message of the reinstall, with its prefix and line feed. Refusals come before any
// platform call; accepted words are folded to capitals.
constexpr char kNetRows[] = R"(
* no action | "" | "" | | | 2 no 0 0 | - | Parameters are missing
* no component | ADD | "" | | | 2 no 0 0 | - | Component Name is missing
* a trailing space | "ADD " | tvrnns | | | 2 no 0 0 | - | Incorrect Value for net servc
* a leading space | " add" | tvrnns | | | 2 no 0 0 | - | Incorrect Value for net servc
* another word | INSTALL | tvrnns | | | 2 no 0 0 | - | Incorrect Value for net servc
* a letter outside ASCII | ädd | tvrnns | | | 2 no 0 0 | - | Incorrect Value for net servc
* remove of a missing component | Remove | tvrnns | | | 0 no 0 0 | $SETUP5; FindComponent tvrnns; $TEARDOWN | $REMOVING; > Failed to find component. HRESULT=0x1\n; $OK
* add of a missing component installs it | aDd | tvrnns | | | 0 yes 1 0 | $SETUP5; FindComponent tvrnns; QueryNetCfgClass NETSERVICE INetCfgClass; QueryInterface INetCfgClass INetCfgClassSetup; Install tvrnns $TOKEN 0x2 0 null null; Apply; Release INetCfgComponent; Release INetCfgClassSetup; Release INetCfgClass; $TEARDOWN | $ADDING; > Failed to find component. HRESULT=0x1\n; $I; $OK
* removal asks for the class the component reports | REMOVE | tvrnns | trans | | 0 no 1 0 | $SETUP5; FindComponent tvrnns; GetClassGuid tvrnns; QueryNetCfgClass NETTRANS INetCfgClass; QueryInterface INetCfgClass INetCfgClassSetup; DeInstall tvrnns $TOKEN; Apply; Release INetCfgClassSetup; Release INetCfgClass; Release INetCfgComponent; $TEARDOWN | $REMOVING; $R; $OK
* add of an installed component reinstalls it under one lock | ADD | tvrnns | service | | 0 yes 2 0 | $SETUP5; FindComponent tvrnns; GetClassGuid tvrnns; QueryNetCfgClass NETSERVICE INetCfgClass; QueryInterface INetCfgClass INetCfgClassSetup; DeInstall tvrnns $TOKEN; Apply; Release INetCfgClassSetup; Release INetCfgClass; Release INetCfgComponent; QueryNetCfgClass NETSERVICE INetCfgClass; QueryInterface INetCfgClass INetCfgClassSetup; Install tvrnns $TOKEN 0x2 0 null null; Apply; Release INetCfgComponent; Release INetCfgClassSetup; Release INetCfgClass; $TEARDOWN | $ADDING; $R; $I; $OK
* still referenced | REMOVE | tvrnns | referenced | | 0 yes 1 0 | $SETUP5; FindComponent tvrnns; GetClassGuid tvrnns; QueryNetCfgClass NETSERVICE INetCfgClass; QueryInterface INetCfgClass INetCfgClassSetup; DeInstall tvrnns $TOKEN; CoTaskMemFree; Apply; Release INetCfgClassSetup; Release INetCfgClass; Release INetCfgComponent; $TEARDOWN | $REMOVING; $R; > The component was not removed and is still referenced by "ms_server"\n; $OK
* the removal needs a reboot to complete | REMOVE | tvrnns | service | fail DeInstall 1 0x4a020 | 0 no 1 0 | | $REMOVING; $R; > A reboot is required to complete removal of component. HRESULT=0x4a020\n; $OK
* the removal needs a reboot first | REMOVE | tvrnns | service | fail DeInstall 1 0x8004a025 | 2 yes 0 0 | | $REMOVING; $R; > A reboot is required.  The component was not removed. HRESULT=0x8004a025\n; $FAILED
* an add goes on after that | ADD | tvrnns | service | fail DeInstall 1 0x8004a025 | 0 yes 1 0 | | $ADDING; $R; > A reboot is required.  The component was not removed. HRESULT=0x8004a025\n; $I; $OK
* the removal fails | REMOVE | tvrnns | service | fail DeInstall 1 0x80004005 | 2 yes 0 0 | | $REMOVING; $R; > The component could not be removed. HRESULT=0x80004005\n; $FAILED
* the removal's other success | REMOVE | tvrnns | service | fail DeInstall 1 1 | 0 no 1 0 | | $REMOVING; $R; $OK
* the install needs a reboot to complete | ADD | tvrnns | | fail Install 1 0x4a020 | 0 yes 1 0 | | $ADDING; > Failed to find component. HRESULT=0x1\n; $I; > A reboot is required to complete re-install of component. HRESULT=0x4a020\n; $OK
* the install needs a reboot first | ADD | tvrnns | | fail Install 1 0x8004a025 | 2 no 0 0 | | $ADDING; > Failed to find component. HRESULT=0x1\n; $I; > A reboot is required.  The component was not re-installed. HRESULT=0x8004a025\n; $FAILED
* the install fails | ADD | tvrnns | | fail Install 1 0x80004005 | 2 no 0 0 | | $ADDING; > Failed to find component. HRESULT=0x1\n; $I; > The component could not be re-installed. HRESULT=0x80004005\n; $FAILED
* the install's other success | ADD | tvrnns | | fail Install 1 1 | 0 yes 1 0 | | $ADDING; > Failed to find component. HRESULT=0x1\n; $I; $OK
* the removal's Apply asks for a reboot | ADD | tvrnns | service | fail Apply 1 0x4a020 | 0 yes 2 0 | | $ADDING; $R; > A reboot is required to apply the new configuration. HRESULT=0x4a020\n; $I; $OK
* the removal's Apply fails, the add goes on | ADD | tvrnns | service | fail Apply 1 0x80004005 | 0 yes 2 0 | | $ADDING; $R; > The new configuraiton could not be applied. HRESULT=0x80004005\n; $I; $OK
* the removal's Apply fails | REMOVE | tvrnns | service | fail Apply 1 0x80004005 | 2 yes 1 0 | | $REMOVING; $R; > The new configuraiton could not be applied. HRESULT=0x80004005\n; $FAILED
* the install's Apply asks for a reboot | ADD | tvrnns | service | fail Apply 2 0x4a020 | 0 yes 2 0 | | $ADDING; $R; $I; > A reboot is required to apply the new configuration. HRESULT=0x4a020\n; $OK
* the install's Apply fails after the removal's was written | ADD | tvrnns | service | fail Apply 2 0x80004005 | 2 no 2 0 | | $ADDING; $R; $I; > The new configuration could not be applied. HRESULT=0x80004005\n; $FAILED
* the component cannot be found | ADD | tvrnns | service | fail FindComponent 1 0x8007001f | 0 yes 1 0 | | $ADDING; > Failed to find component. HRESULT=0x8007001f\n; $I; $OK
* its class cannot be read | ADD | tvrnns | service | fail GetClassGuid 1 0x8007001f | 0 yes 1 0 | | $ADDING; > Failed to get component class GUID. HRESULT=0x8007001f\n; $I; $OK
* no class object for the removal | ADD | tvrnns | service | fail QueryNetCfgClass 1 0x8007001f | 0 yes 1 0 | | $ADDING; > Failed to get NetCfgClass object. HRESULT=0x8007001f\n; $I; $OK
* no class setup for the removal | ADD | tvrnns | service | fail QueryInterface 2 0x8007001f | 0 yes 1 0 | | $ADDING; > Failed to get NetCfgClassSetup interface. HRESULT=0x8007001f\n; $I; $OK
* no class object for the install | ADD | tvrnns | service | fail QueryNetCfgClass 2 0x8007001f | 2 no 1 0 | | $ADDING; $R; > Failed to get NetCfgClass object. HRESULT=0x8007001f\n; $FAILED
* no class setup for the install | ADD | tvrnns | service | fail QueryInterface 3 0x8007001f | 2 no 1 0 | | $ADDING; $R; > Failed to get NetCfgClassSetup interface. HRESULT=0x8007001f\n; $FAILED
* another client's lock, waited for once and left alone | ADD | tvrnns | lock Tavrin Secure Agent | | 2 no 0 15000 | $SETUP4; CoTaskMemFree; Release INetCfgLock; Release INetCfg; CoUninitialize | $ADDING; > Failed to get NetCfgLock. Lock held by "Tavrin Secure Agent"\n; $FAILED
* another client's lock without a description | REMOVE | tvrnns | lock | | 2 no 0 15000 | $SETUP4; Release INetCfgLock; Release INetCfg; CoUninitialize | $REMOVING; > Failed to get NetCfgLock.\n; $FAILED
* a lock released during the wait is taken | ADD | tvrnns | lock Tavrin Secure Agent; release 5000 | | 0 yes 1 5000 | | $ADDING; > Failed to find component. HRESULT=0x1\n; $I; $OK
* COM refused: nothing to undo | REMOVE | tvrnns | | fail CoInitializeEx 1 0x8007000e | 2 no 0 0 | $SETUP1 | $REMOVING; > CoInitializeEx()->0x8007000e\n; $FAILED
* no configuration object | REMOVE | tvrnns | | fail CoCreateInstance 1 0x8007000e | 2 no 0 0 | $SETUP2; CoUninitialize | $REMOVING; > Failed to create NetCfg object. HRESULT=0x8007000e\n; $FAILED
* no lock interface | REMOVE | tvrnns | | fail QueryInterface 1 0x8007000e | 2 no 0 0 | $SETUP3; Release INetCfg; CoUninitialize | $REMOVING; > Failed to get NetCfgLock interface. HRESULT=0x8007000e\n; $FAILED
* the lock fails | REMOVE | tvrnns | | fail AcquireWriteLock 1 0x8007000e | 2 no 0 0 | $SETUP4; Release INetCfgLock; Release INetCfg; CoUninitialize | $REMOVING; > AcquireWriteLock() failed HRESULT=0x8007000e\n; $FAILED
* the initialisation fails | REMOVE | tvrnns | | fail Initialize 1 0x8007000e | 2 no 0 0 | $SETUP5; ReleaseWriteLock; Release INetCfgLock; Release INetCfg; CoUninitialize | $REMOVING; > Failed to initialize NetCfg. HRESULT=0x8007000e\n; $FAILED
* COM already initialised in this apartment: balanced all the same | REMOVE | tvrnns | sta | | 0 no 0 0 | | $REMOVING; > Failed to find component. HRESULT=0x1\n; $OK
* a null component id, refused before any call | ADD | null | | | -2147467259 no 0 0 | - | Parameters are null
* COM initialised in another apartment | REMOVE | tvrnns | mta | | 2 no 0 0 | | $REMOVING; > CoInitializeEx()->0x80010106\n; $FAILED)";

// The log's and the journal's recurring parts, replaced in this order.
const std::vector<std::pair<std::string, std::string>> kParts{
    {"$ADDING", "Command received to add net Service"},
    {"$REMOVING", "Command received to remove net Service"},
    {"$OK", "Add/Remove of net service:tvrnns Succeeded"},
    {"$FAILED", "Add/Remove of net service:tvrnns Failed"},
    {"$SETUP5", "$SETUP4; Initialize"},
    {"$SETUP4", "$SETUP3; AcquireWriteLock 15000 DevInstSrv(setupapi)"},
    {"$SETUP3", "$SETUP2; QueryInterface INetCfg INetCfgLock"},
    {"$SETUP2", "$SETUP1; CoCreateInstance CNetCfg INetCfg 0x17"},
    {"$SETUP1", "CoInitializeEx 0x6"},
    {"$TEARDOWN", "Uninitialize; ReleaseWriteLock; Release INetCfgLock; Release INetCfg; CoUninitialize"},
    {"$R", "Removing component tvrnns $OBO\\n"},
    {"$I", "> Installing component tvrnns $OBO\\n"},
    {"; > ", "; $PREFIX"},
    {"$TOKEN", "{3, null, Tavrin Secure, LLC, Tavrin Secure, Tavrin Secure, 0}"},
    {"$OBO", R"(oboToken={OBO_SOFTWARE, "Tavrin Secure, LLC", "Tavrin Secure", "Tavrin Secure", 0})"},
    {"$PREFIX",
     R"(TavrinDriverOperator::HrReinstallNetService("tvrnns","Tavrin Secure, LLC","Tavrin Secure","Tavrin Secure"): )"}};

TEST(NetService, AddAndRemove) {
    for (const Row& row : rows(kNetRows, kParts)) {
        RowMachine m(row);
        platform::sim::SimNetConfig& net = m.machine.netConfig();
        std::optional<std::wstring> heldBy;
        for (const std::string& step : split(row[3], ";")) {
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
        setUpLines(m.machine, row[4]);
        DriverOperation record;
        record.netServiceAction = wide(row[1]);
        record.componentName = wide(row[2]);
        const int result = row[2] == "null"
                               ? TavrinDriverOperator().HrReinstallNetService(nullptr, L"a", L"b", L"c", true)
                               : TavrinDriverOperator().AddRemoveNetService(record);
        const auto& journal = net.journal();
        EXPECT_EQ(std::to_string(result) + (net.installed(L"tvrnns") ? " yes " : " no ") +
                      std::to_string(std::ranges::count(journal, "Apply")) + " " +
                      std::to_string(m.machine.nowMs()),
                  row[5]);
        if (!row[6].empty()) {
            EXPECT_EQ(journal, row[6] == "-" ? std::vector<std::string>{} : split(row[6], ";"));
        }
        EXPECT_EQ(net.writeLockHolder(), heldBy.value_or(L""));
        EXPECT_EQ(net.writeLockHeld(), heldBy.has_value());
        EXPECT_EQ(net.abandonedObjects(), 0U);
        EXPECT_EQ(net.comInitBalance(), row[3] == "sta" || row[3] == "mta" ? 1 : 0);
    }
}

// Rows: steps | the runs' results | virtual ms at the end | named objects left. Steps, ';'-separated: a
// /setstatus value run here (quoted when it has spaces), "as P" (this process is P), "holds P" / "event P" /
// "signalled P" (P created the mutex / the event / the event signalled, with default security), "account P
// SID" (P runs as that account; LocalSystem otherwise), "end T P" / "start T P" (at T, process P runs
// /setstatus 1 / 0, which must give 0), "advance N", or "fail call nth error". $USER is an ordinary
// user's account, who may create objects under Global\ too.
constexpr char kStatusRows[] = R"(
* start, then an end within the limit | as 100; end 5000 200; 0 | 0 | 5000 | | $START; $END; Successfully set event for install completion; $WOKE; Released Installation started event
* a start without an end gives up after ten minutes | 0 | 0 | 600000 | | $START; Installation continued even after 600 seconds
* an end after the limit is too late | end 600001 200; 0; advance 1 | 0 | 600001 | | $START; Installation continued even after 600 seconds; $END; No Installation is in progress, failed to acquire install start event
* an end without a start | 1 | 0 | 0 | | $END; No Installation is in progress, failed to acquire install start event
* the mutex cannot be created | fail CreateMutexW 0 5; 0 | 0 | 0 | | $BEGIN; Create Mutex failed at Start of Installation: 5
* the event cannot be created | fail CreateEventW 0 6; 0 | 0 | 0 | | $BEGIN; Create Event failed at Completion of the Installation: 6
* the wait fails | fail WaitForSingleObject 0 6; 0 | 0 | 0 | | $START; WaitForObject failed with error: 4294967295
* a failed release is only logged | end 10 200; fail ReleaseMutex 1 288; 0 | 0 | 10 | | $START; $END; Successfully set event for install completion; $WOKE; Failed to Release Installation started event with last Error:288
* the ending run cannot open the event: the start waits out its limit | as 100; end 1 200; fail OpenEventW 0 2; 0 | 0 | 600000 | | $START; $END; Failed to open event for install completion: 2; Installation continued even after 600 seconds
* the ending run cannot set it | as 100; end 1 200; fail SetEvent 0 6; 0 | 0 | 600000 | | $START; $END; Failed to set event for install completion: 6; Installation continued even after 600 seconds
* an end between the two creations finds no event | holds 100; 1 | 0 | 0 | mutex | $END; Failed to open event for install completion: 2
* an end before the wait is not lost; the late starter cannot release | holds 100; event 100; 1; as 300; 0 | 0 0 | 0 | mutex event | $END; Successfully set event for install completion; $START; $WOKE; Failed to Release Installation started event with last Error:288
* a second starter waits on the same event; the end wakes both | as 100; start 1000 101; end 2000 200; 0 | 0 | 2000 | | $START; $START; $END; Successfully set event for install completion; $WOKE; Failed to Release Installation started event with last Error:288; $WOKE; Released Installation started event
* two ends after one start | as 100; end 100 200; end 200 201; 0; advance 500 | 0 | 600 | | $START; $END; Successfully set event for install completion; $WOKE; Released Installation started event; $END; No Installation is in progress, failed to acquire install start event
* invalid values touch nothing | 00; 2; true; " 1"; ""; 5; "1 " | 2 2 2 2 2 2 2 | 0 | | 7* Invalid argument passed to /setstatus parameter
* a user's held mutex: no wait | account 6 $USER; holds 6; 0 | 0 | 0 | mutex | $NOWAIT $UMTX
* a user's signalled event: no wait | account 6 $USER; signalled 6; 0 | 0 | 0 | event | $NOWAIT $UEVT
* a user's mutex: no signal | account 6 $USER; holds 6; event 100; 1 | 0 | 0 | mutex event | $NOSET $UMTX
* a user's event: not set | holds 100; account 6 $USER; event 6; 1 | 0 | 0 | mutex event | $NOSET $UEVT
* its own account | account 1 $USER; holds 1; event 1; account 4242 $USER; 1 | 0 | 0 | mutex event | $SET
* Administrators' objects | account 1 S-1-5-32-544; holds 1; event 1; 1 | 0 | 0 | mutex event | $SET
* an owner unread | holds 1; event 1; fail GetSecurityInfo 3 5; 1 | 0 | 0 | mutex event | $NOSET $NOMTX
)";

constexpr wchar_t kMutexName[] = L"Global\\TDInstallationStartedMtx";
constexpr wchar_t kEventName[] = L"Global\\TDInstallationCompletedEvt";

int setStatus(const std::string& value) {
    DriverOperation record;
    record.installStatus = wide(value.starts_with('"') ? value.substr(1, value.size() - 2) : value);
    return TavrinDriverOperator().setStatus(record);
}

TEST(Status, Handshake) {
    for (const Row& row :
         rows(kStatusRows,
              {{"$NOWAIT", "$BEGIN; Not waiting:"},
               {"$NOSET", "$END; Not signalling:"},
               {"$SET", "$END; Successfully set event for install completion"},
               {"$UMTX", "Global\\TDInstallationStartedMtx belongs to $USER, not to the installer"},
               {"$UEVT", "Global\\TDInstallationCompletedEvt belongs to $USER, not to the installer"},
               {"$NOMTX",
                "Global\\TDInstallationStartedMtx belongs to an owner that cannot be read, not to the "
                "installer"},
               {"$USER", "S-1-5-21-1-2-3-1001"},
               {"$START", "$BEGIN; Started installation of the drivers"},
               {"$BEGIN", "Set status from command line is: 0; TSAC Installation Started"},
               {"$END", "Set status from command line is: 1; TSAC Installation Ended"},
               {"$WOKE", "Installation of the drivers completed Successfully"}})) {
        RowMachine m(row);
        std::vector<std::uint32_t> others;
        std::string results;
        for (const std::string& step : split(row[1], ";")) {
            const std::vector<std::string> w = split(step, " ");
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
        EXPECT_EQ(results, row[2]);
        EXPECT_EQ(m.machine.nowMs(), std::stoull(row[3]));
        EXPECT_EQ(std::string(m.machine.namedObjectExists(kMutexName) ? " mutex" : "") +
                      (m.machine.namedObjectExists(kEventName) ? " event" : ""),
                  row[4].empty() ? "" : " " + row[4]);
        for (const std::uint32_t pid : others) {
            m.machine.endProcess(pid);
        }
    }
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
