#include "tests/unit/Scenario.h"

#include "operator/TDriverOperator.h"
#include "platform/sim/SimNetConfig.h"

#include <algorithm>

namespace tdu::test {
namespace {

// Rows: action | component ("null": a null id, to the reinstall itself) | set-up | faults (scenario lines) |
// result, installed after, Apply calls, virtual ms | journal ("" unchecked, "-" empty) | log. Set-up:
// service, trans (installed as a transport), referenced (by ms_server and ms_pacer), "lock [holder]" (another
// client holds the write lock), "release T" (it lets go at T), sta / mta (COM already initialised). In the
// log "> text" is a message of the reinstall, with its prefix and line feed. Refusals come before any
// platform call; accepted words are folded to capitals.
constexpr char kRows[] = R"(
* no action | "" | "" | | | 2 no 0 0 | - | Parameters are missing
* no component | ADD | "" | | | 2 no 0 0 | - | Component Name is missing
* a trailing space | "ADD " | tvrnns | | | 2 no 0 0 | - | Incorrect Value for net servc
* a leading space | " add" | tvrnns | | | 2 no 0 0 | - | Incorrect Value for net servc
* another word | INSTALL | tvrnns | | | 2 no 0 0 | - | Incorrect Value for net servc
* a letter outside ASCII | ädd | tvrnns | | | 2 no 0 0 | - | Incorrect Value for net servc
* remove of a missing component | Remove | tvrnns | | | 0 no 0 0 | $SETUP5; FindComponent tvrnns; $TEARDOWN | $REMOVING; > Failed to find component. HRESULT=0x1\n; $OK
* add of a missing component installs it | aDd | tvrnns | | | 0 yes 1 0 | $SETUP5; FindComponent tvrnns; $INSTALL; $TEARDOWN | $ADDING; > Failed to find component. HRESULT=0x1\n; $I; $OK
* removal asks for the class the component reports | REMOVE | tvrnns | trans | | 0 no 1 0 | $SETUP5; $REMOVE(NETTRANS); $TEARDOWN | $REMOVING; $R; $OK
* add of an installed component reinstalls it under one lock | ADD | tvrnns | service | | 0 yes 2 0 | $SETUP5; $REMOVE(NETSERVICE); $INSTALL; $TEARDOWN | $ADDING; $R; $I; $OK
* still referenced | REMOVE | tvrnns | referenced | | 0 yes 1 0 | $SETUP5; $FIND NETSERVICE INetCfgClass; QueryInterface INetCfgClass INetCfgClassSetup; DeInstall tvrnns $TOKEN; CoTaskMemFree; Apply; Release INetCfgClassSetup; Release INetCfgClass; Release INetCfgComponent; $TEARDOWN | $REMOVING; $R; > The component was not removed and is still referenced by "ms_server"\n; $OK
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
    {"$REMOVE(NETTRANS)", "$FIND NETTRANS $DEINSTALL"},
    {"$REMOVE(NETSERVICE)", "$FIND NETSERVICE $DEINSTALL"},
    {"$FIND", "FindComponent tvrnns; GetClassGuid tvrnns; QueryNetCfgClass"},
    {"$DEINSTALL",
     "INetCfgClass; QueryInterface INetCfgClass INetCfgClassSetup; DeInstall tvrnns $TOKEN; Apply; "
     "Release INetCfgClassSetup; Release INetCfgClass; Release INetCfgComponent"},
    {"$INSTALL", "QueryNetCfgClass NETSERVICE INetCfgClass; QueryInterface INetCfgClass INetCfgClassSetup; "
                 "Install tvrnns $TOKEN 0x2 0 null null; Apply; Release INetCfgComponent; Release "
                 "INetCfgClassSetup; Release INetCfgClass"},
    {"$TEARDOWN", "Uninitialize; ReleaseWriteLock; Release INetCfgLock; Release INetCfg; CoUninitialize"},
    {"$R", "Removing component tvrnns $OBO\\n"},
    {"$I", "> Installing component tvrnns $OBO\\n"},
    {"; > ", "; $PREFIX"},
    {"$TOKEN", "{3, null, Tavrin Secure, LLC, Tavrin Secure, Tavrin Secure, 0}"},
    {"$OBO", R"(oboToken={OBO_SOFTWARE, "Tavrin Secure, LLC", "Tavrin Secure", "Tavrin Secure", 0})"},
    {"$PREFIX",
     R"(TavrinDriverOperator::HrReinstallNetService("tvrnns","Tavrin Secure, LLC","Tavrin Secure","Tavrin Secure"): )"}};

TEST(NetService, AddAndRemove) {
    for (const Row& row : rows(kRows, kParts)) {
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

} // namespace
} // namespace tdu::test
