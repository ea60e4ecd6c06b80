#include "tests/unit/Scenario.h"

#include "platform/sim/SimServices.h"

namespace tdu::test {
namespace {

// Rows: services | faults | steps | virtual ms taken | each service's state after | stops accepted.
// A service is "name[>needed] state waitHint stopAfterMs|- [refuseStop [refuseDelete]]", state R, P or S.
// Faults: scenario set-up lines ("fail call nth error"), or "ticks N" for a tick count that wraps N ms
// after the start.
// Steps: n init("tvrnns"), e init(""), S/s stop() true/false, R/r remove() true/false.
constexpr char kRows[] = R"(
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
    for (const Row& row : rows(kRows)) {
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
        if (row[2].starts_with("ticks ")) { // a tick count that wraps this many ms after the start
            m.machine.setTickCountAtStart(
                static_cast<std::uint32_t>(0x1'0000'0000ULL - std::stoull(row[2].substr(6))));
        } else {
            setUpLines(m.machine, row[2]);
        }
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

// The bundle deletes the net service only once it has stopped: a deletion of
// a running one would mark it, and it would go behind the bundle's back.
TEST(Services, TheBundleDeletesTheNetServiceOnlyWhenItStopped) {
    runScenarios(kRow, "a refused stop|service tvrnns 1052|@UnInstallTavrinDrivers tvrnns 1|0 ...|Stopping "
                       "'tvrnns' service|? services: tvrnns");
}

} // namespace
} // namespace tdu::test
