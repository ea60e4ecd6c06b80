#include "tests/unit/Scenario.h"

#include "operator/TDriverOperator.h"
#include "platform/sim/SimNetConfig.h"

#include <algorithm>

namespace tdu::test {
namespace {

using platform::sim::SimNetComponent;

// Refusals come before any platform call; accepted words are folded to capitals first.
// Rows: action | component | result | first message.
constexpr char kRequests[] = R"(
* "" | "" | 2 | Parameters are missing
* ADD | "" | 2 | Component Name is missing
* "ADD " | tvrnns | 2 | Incorrect Value for net servc
* " add" | tvrnns | 2 | Incorrect Value for net servc
* INSTALL | tvrnns | 2 | Incorrect Value for net servc
* ädd | tvrnns | 2 | Incorrect Value for net servc
* aDd | tvrnns | 0 | Command received to add net Service
* Remove | tvrnns | 0 | Command received to remove net Service
)";

// Rows: action | set-up | faults | result | installed after | Apply calls | virtual ms | journal (""
// unchecked). Set-up: service, trans (installed as a transport), referenced (by ms_server and ms_pacer),
// "lock [holder]" (another client holds the write lock), "release T" (it lets go at T), sta / mta (COM
// already initialised). The log is what comes between the received line and the outcome; "> text" is a
// message of the reinstall, with its prefix and line feed; "removing" and "installing" the two phases' own
// messages.
constexpr char kRows[] = R"(
* remove of a missing component | REMOVE | | | 0 | no | 0 | 0 | $SETUP; FindComponent tvrnns; $TEARDOWN
> Failed to find component. HRESULT=0x1\n
* add of a missing component installs it | ADD | | | 0 | yes | 1 | 0 | $SETUP; FindComponent tvrnns; $INSTALL; $TEARDOWN
> Failed to find component. HRESULT=0x1\n | $I
* removal asks for the class the component reports | REMOVE | trans | | 0 | no | 1 | 0 | $SETUP; $REMOVE(NETTRANS); $TEARDOWN
$R
* add of an installed component reinstalls it under one lock | ADD | service | | 0 | yes | 2 | 0 | $SETUP; $REMOVE(NETSERVICE); $INSTALL; $TEARDOWN
$R | $I
* still referenced | REMOVE | referenced | | 0 | yes | 1 | 0 |
$R | > The component was not removed and is still referenced by "ms_server"\n
* the removal needs a reboot to complete | REMOVE | service | DeInstall 1 0x4a020 | 0 | no | 1 | 0 |
$R | > A reboot is required to complete removal of component. HRESULT=0x4a020\n
* the removal needs a reboot first | REMOVE | service | DeInstall 1 0x8004a025 | 2 | yes | 0 | 0 |
$R | > A reboot is required.  The component was not removed. HRESULT=0x8004a025\n
* an add goes on after that | ADD | service | DeInstall 1 0x8004a025 | 0 | yes | 1 | 0 |
$R | > A reboot is required.  The component was not removed. HRESULT=0x8004a025\n | $I
* the removal fails | REMOVE | service | DeInstall 1 0x80004005 | 2 | yes | 0 | 0 |
$R | > The component could not be removed. HRESULT=0x80004005\n
* the removal's other success | REMOVE | service | DeInstall 1 1 | 0 | no | 1 | 0 |
$R
* the install needs a reboot to complete | ADD | | Install 1 0x4a020 | 0 | yes | 1 | 0 |
> Failed to find component. HRESULT=0x1\n | $I
> A reboot is required to complete re-install of component. HRESULT=0x4a020\n
* the install needs a reboot first | ADD | | Install 1 0x8004a025 | 2 | no | 0 | 0 |
> Failed to find component. HRESULT=0x1\n | $I
> A reboot is required.  The component was not re-installed. HRESULT=0x8004a025\n
* the install fails | ADD | | Install 1 0x80004005 | 2 | no | 0 | 0 |
> Failed to find component. HRESULT=0x1\n | $I
> The component could not be re-installed. HRESULT=0x80004005\n
* the install's other success | ADD | | Install 1 1 | 0 | yes | 1 | 0 |
> Failed to find component. HRESULT=0x1\n | $I
* the removal's Apply asks for a reboot | ADD | service | Apply 1 0x4a020 | 0 | yes | 2 | 0 |
$R | > A reboot is required to apply the new configuration. HRESULT=0x4a020\n | $I
* the removal's Apply fails, the add goes on | ADD | service | Apply 1 0x80004005 | 0 | yes | 2 | 0 |
$R | > The new configuraiton could not be applied. HRESULT=0x80004005\n | $I
* the removal's Apply fails | REMOVE | service | Apply 1 0x80004005 | 2 | yes | 1 | 0 |
$R | > The new configuraiton could not be applied. HRESULT=0x80004005\n
* the install's Apply asks for a reboot | ADD | service | Apply 2 0x4a020 | 0 | yes | 2 | 0 |
$R | $I | > A reboot is required to apply the new configuration. HRESULT=0x4a020\n
* the install's Apply fails after the removal's was written | ADD | service | Apply 2 0x80004005 | 2 | no | 2 | 0 |
$R | $I | > The new configuration could not be applied. HRESULT=0x80004005\n
* the component cannot be found | ADD | service | FindComponent 1 0x8007001f | 0 | yes | 1 | 0 |
> Failed to find component. HRESULT=0x8007001f\n | $I
* its class cannot be read | ADD | service | GetClassGuid 1 0x8007001f | 0 | yes | 1 | 0 |
> Failed to get component class GUID. HRESULT=0x8007001f\n | $I
* no class object for the removal | ADD | service | QueryNetCfgClass 1 0x8007001f | 0 | yes | 1 | 0 |
> Failed to get NetCfgClass object. HRESULT=0x8007001f\n | $I
* no class setup for the removal | ADD | service | QueryInterface 2 0x8007001f | 0 | yes | 1 | 0 |
> Failed to get NetCfgClassSetup interface. HRESULT=0x8007001f\n | $I
* no class object for the install | ADD | service | QueryNetCfgClass 2 0x8007001f | 2 | no | 1 | 0 |
$R | > Failed to get NetCfgClass object. HRESULT=0x8007001f\n
* no class setup for the install | ADD | service | QueryInterface 3 0x8007001f | 2 | no | 1 | 0 |
$R | > Failed to get NetCfgClassSetup interface. HRESULT=0x8007001f\n
* another client's lock, waited for once and left alone | ADD | lock Tavrin Secure Agent | | 2 | no | 0 | 15000 | $SETUP4; CoTaskMemFree; Release INetCfgLock; Release INetCfg; CoUninitialize
> Failed to get NetCfgLock. Lock held by "Tavrin Secure Agent"\n
* another client's lock without a description | REMOVE | lock | | 2 | no | 0 | 15000 | $SETUP4; Release INetCfgLock; Release INetCfg; CoUninitialize
> Failed to get NetCfgLock.\n
* a lock released during the wait is taken | ADD | lock Tavrin Secure Agent; release 5000 | | 0 | yes | 1 | 5000 |
> Failed to find component. HRESULT=0x1\n | $I
* COM refused: nothing to undo | REMOVE | | CoInitializeEx 1 0x8007000e | 2 | no | 0 | 0 | $SETUP1
> CoInitializeEx()->0x8007000e\n
* no configuration object | REMOVE | | CoCreateInstance 1 0x8007000e | 2 | no | 0 | 0 | $SETUP2; CoUninitialize
> Failed to create NetCfg object. HRESULT=0x8007000e\n
* no lock interface | REMOVE | | QueryInterface 1 0x8007000e | 2 | no | 0 | 0 | $SETUP3; Release INetCfg; CoUninitialize
> Failed to get NetCfgLock interface. HRESULT=0x8007000e\n
* the lock fails | REMOVE | | AcquireWriteLock 1 0x8007000e | 2 | no | 0 | 0 | $SETUP4; Release INetCfgLock; Release INetCfg; CoUninitialize
> AcquireWriteLock() failed HRESULT=0x8007000e\n
* the initialisation fails | REMOVE | | Initialize 1 0x8007000e | 2 | no | 0 | 0 | $SETUP; ReleaseWriteLock; Release INetCfgLock; Release INetCfg; CoUninitialize
> Failed to initialize NetCfg. HRESULT=0x8007000e\n
* COM already initialised in this apartment: balanced all the same | REMOVE | sta | | 0 | no | 0 | 0 |
> Failed to find component. HRESULT=0x1\n
* COM initialised in another apartment | REMOVE | mta | | 2 | no | 0 | 0 |
> CoInitializeEx()->0x80010106\n
)";

// The journal's blocks, their entries separated by "; ".
std::vector<std::pair<std::string, std::string>> placeholders() {
    const std::string token = "{3, null, Tavrin Secure, LLC, Tavrin Secure, Tavrin Secure, 0}";
    const std::vector<std::string> setUp{"CoInitializeEx 0x6", "CoCreateInstance CNetCfg INetCfg 0x17",
                                         "QueryInterface INetCfg INetCfgLock",
                                         "AcquireWriteLock 15000 DevInstSrv(setupapi)", "Initialize"};
    std::vector<std::pair<std::string, std::string>> table;
    std::string steps;
    for (std::size_t i = 0; i < setUp.size(); ++i) {
        steps += (i == 0 ? "" : "; ") + setUp[i];
        table.emplace(table.begin(), "$SETUP" + std::to_string(i + 1), steps);
    }
    table.emplace_back("$SETUP", steps);
    for (const char* kind : {"NETTRANS", "NETSERVICE"}) {
        table.emplace_back(
            "$REMOVE(" + std::string(kind) + ")",
            "FindComponent tvrnns; GetClassGuid tvrnns; QueryNetCfgClass " + std::string(kind) +
                " INetCfgClass; QueryInterface INetCfgClass INetCfgClassSetup; DeInstall tvrnns " + token +
                "; Apply; Release INetCfgClassSetup; Release INetCfgClass; Release INetCfgComponent");
    }
    const std::string obo =
        R"(oboToken={OBO_SOFTWARE, "Tavrin Secure, LLC", "Tavrin Secure", "Tavrin Secure", 0})";
    const std::string prefix =
        R"(TavrinDriverOperator::HrReinstallNetService("tvrnns","Tavrin Secure, LLC","Tavrin Secure","Tavrin Secure"): )";
    table.insert(table.end(),
                 {{"$INSTALL", "QueryNetCfgClass NETSERVICE INetCfgClass; QueryInterface INetCfgClass "
                               "INetCfgClassSetup; Install tvrnns " +
                                   token +
                                   " 0x2 0 null null; Apply; Release INetCfgComponent; Release "
                                   "INetCfgClassSetup; Release INetCfgClass"},
                  {"$TEARDOWN",
                   "Uninitialize; ReleaseWriteLock; Release INetCfgLock; Release INetCfg; CoUninitialize"},
                  {"$R", "Removing component tvrnns " + obo + "\\n"},
                  {"$I", "> Installing component tvrnns " + obo + "\\n"},
                  {"\n> ", "\n" + prefix},
                  {"| > ", "| " + prefix}});
    return table;
}

int run(const std::string& action, const std::string& component = "tvrnns") {
    DriverOperation record;
    record.netServiceAction = wide(action);
    record.componentName = wide(component);
    return TavrinDriverOperator().AddRemoveNetService(record);
}

TEST(NetService, TheRequestIsCheckedFirst) {
    for (const Scenario& row : scenarios(kRequests)) {
        SCOPED_TRACE(row[0]);
        RowMachine m;
        EXPECT_EQ(run(row[0], row[1]), std::stoi(row[2]));
        EXPECT_EQ(m.log().at(0), row[3]);
        EXPECT_EQ(m.machine.netConfig().journal().empty(), row[2] == "2");
        EXPECT_EQ(m.machine.netConfig().installed(L"tvrnns"), row[3].find("add") != std::string::npos);
    }
}

TEST(NetService, AddAndRemove) {
    for (const Scenario& row : scenarios(kRows, placeholders())) {
        SCOPED_TRACE(row[0]);
        RowMachine m;
        platform::sim::SimNetConfig& net = m.machine.netConfig();
        std::optional<std::wstring> heldBy;
        for (const std::string& step : split(row[2], ';')) {
            if (step == "service" || step == "trans" || step == "referenced") {
                net.addComponent(SimNetComponent{
                    L"tvrnns",
                    step == "trans" ? platform::kGuidDevClassNetTrans : platform::kGuidDevClassNetService,
                    step == "referenced" ? std::vector<std::wstring>{L"ms_server", L"ms_pacer"}
                                         : std::vector<std::wstring>{}});
            } else if (step.starts_with("lock")) {
                heldBy = wide(trimmed(step.substr(4)));
                net.holdWriteLock(step == "lock" ? std::nullopt : heldBy);
            } else if (step.starts_with("release ")) {
                m.machine.at(std::stoull(step.substr(8)), [&net] { net.releaseOtherClientsLock(); });
                heldBy.reset();
            } else if (!step.empty()) {
                platform::netcfg().CoInitializeEx(step == "sta" ? platform::kCoinitApartmentThreaded : 0);
            }
        }
        applyFaults(m.machine, row[3]);
        EXPECT_EQ(run(row[1]), std::stoi(row[4]));
        EXPECT_EQ(net.installed(L"tvrnns"), row[5] == "yes");
        EXPECT_EQ(std::count(net.journal().begin(), net.journal().end(), "Apply"), std::stoi(row[6]));
        EXPECT_EQ(m.machine.nowMs(), std::stoull(row[7]));
        if (!row[8].empty()) {
            EXPECT_EQ(net.journal(), split(row[8], ';'));
        }
        std::vector<std::string> expected{row[1] == "ADD" ? "Command received to add net Service"
                                                          : "Command received to remove net Service"};
        expected.insert(expected.end(), row.log.begin(), row.log.end());
        expected.push_back(row[4] == "0" ? "Add/Remove of net service:tvrnns Succeeded"
                                         : "Add/Remove of net service:tvrnns Failed");
        expectLog(m.log(), expected);
        if (row[2] == "referenced") { // the referrers' text is freed before the Apply
            const auto& journal = net.journal();
            EXPECT_LT(std::find(journal.begin(), journal.end(), "CoTaskMemFree"),
                      std::find(journal.begin(), journal.end(), "Apply"));
        }
        EXPECT_EQ(net.writeLockHolder(), heldBy.value_or(L""));
        EXPECT_EQ(net.writeLockHeld(), heldBy.has_value());
        EXPECT_EQ(net.abandonedObjects(), 0U);
        EXPECT_EQ(net.comInitBalance(), row[2] == "sta" || row[2] == "mta" ? 1 : 0);
        net.releaseOtherClientsLock();
        if (net.comInitBalance() > 0) {
            platform::netcfg().CoUninitialize();
        }
    }
}

TEST(NetService, ANullComponentIdIsRefusedBeforeAnyCall) {
    RowMachine m;
    EXPECT_EQ(TavrinDriverOperator().HrReinstallNetService(nullptr, L"a", L"b", L"c", true),
              platform::kEFail);
    EXPECT_EQ(m.log(), std::vector<std::string>{"Parameters are null"});
    EXPECT_TRUE(m.machine.netConfig().journal().empty());
}

} // namespace
} // namespace tdu::test
