// The real program under Wine, as rows: each scenario a machine of its own, its steps run in turn. A step
// plants facts, runs the program (or a Windows tool), and checks the full exit code, the run's log
// (E2eLog.h) and the machine's facts afterwards (WineHarness.h). The native unit tests hold every path
// against the simulated machine; these rows hold what only a real platform answers: the command line as
// a process gets it, the registry views, the driver store, devices, services, COM and the installer
// engine. Where Wine answers otherwise than Windows, the scenario says so once.
#include "E2eLog.h"
#include "WineHarness.h"

#include <gtest/gtest.h>

namespace tdu::e2e {
namespace {

struct Step {
    std::vector<std::string> args;
    std::uint32_t exit = 0;
    std::string log; // empty: not compared
    std::string after;
    std::string plant;
    std::string program; // empty: the program under test
};

struct Scenario {
    std::string name;
    std::string wine;
    bool drivers = false;
    std::vector<Step> steps;
    friend std::ostream& operator<<(std::ostream& out, const Scenario& row) { return out << row.name; }
};

const std::string kMgrInf = R"($drivers\x64Drivers\tvrnvamgr\tvrnvamgr.inf)";
const std::string kNetCfg =
    R"(op| TavrinDriverOperator::HrReinstallNetService("tvrnns","Tavrin Secure, LLC","Tavrin Secure","Tavrin Secure"): )";
// What an install of the whole set leaves, however many came before.
const std::string kSetInstalled = R"(
    file $inf\tvrnvamgr.inf
    file $inf\tvrnva.inf
    file $inf\SplitDNSFilter.inf
    file $inf\DERAzo.inf
    $product32 : tvrnvamgr = REG_SZ tvrnvamgr.inf
    $product32 : tvrnva = REG_SZ tvrnva.inf
    $product32 : SplitDNSFilter = REG_SZ SplitDNSFilter.inf
    $product32 : DERAzo = REG_SZ DERAzo.inf
    $enum\TVRNVAMGR\0000 : HardwareID = REG_MULTI_SZ tvrnvamgr
    $services\DERAzo : Group = REG_SZ FSFilter Activity Monitor
    file $sys\DERAzo.sys
    HKLM\Software\TavrinSecure\SplitDNSFilter : Installed = REG_DWORD 0x1
    key $services\SplitDNSFilter
    file $sys\SplitDNSFilter.sys)";

const Scenario kScenarios[] = {
    {"CommandLines",
     "INetCfg has no FindComponent (E_NOTIMPL): /netserv fails after COM, the object, its lock and "
     "Initialize succeeded",
     false,
     {{{},
       0xFFFFFFFF,
       R"(
          <banner>
          main| Command Line Received: ''
          parse| Insufficient Parameters.
          parse| <help>
          main| Failed to parse Command Line params.)",
       "!key $product32"},
      // A waiting command with a malformed tail must not start its wait.
      {{"/setstatus", "0", "/component"}, 0xFFFFFFFF, R"(
          <banner>
          main| Command Line Received: '/setstatus 0 /component'
          parse| Incorrect Parameters
          parse| <help>
          main| Failed to parse Command Line params.)"},
      {{"/setprocessortype", "0"},
       0,
       R"(
          <banner>
          main| Command Line Received: '/setprocessortype 0'
          op| Command received to set processor type in registry
          op| Processor Architecture is: Processor_X64
          op| Successfully set registry: Processor_X64
          op| Saved Processor Architecture to Registry: Processor_X64)",
       R"($product32 : Processor_X64 = REG_DWORD 0x1
          !key $product)"},
      {{"/setstatus", ""}, 2, R"(
          <banner>
          main| Command Line Received: '/setstatus ""'
          op| Command received to set driver install status
          op| Invalid argument passed to /setstatus parameter)"},
      {{"-netserv", "remove", "-component", "tvrnns"}, 2, R"(
          <banner>
          main| Command Line Received: '-netserv remove -component tvrnns'
          op| Command received to install TVRNNS Net Service
          op| Command received to remove net Service
          )" + kNetCfg + R"(Failed to find component. HRESULT=0x80004001⏎
          op| Add/Remove of net service:tvrnns Failed)"}}},
    {"InstallerDatabaseRefusals",
     "",
     false,
     {{{"/disableDifx", "ALL"}, 0xFFFFFFFF, R"(
          <banner>
          main| Command Line Received: '/disableDifx ALL'
          op| Command received to disable Difx custom actions
          difx| Searching Product: 'ALL' ...
          difx| Failed to find Product: 'ALL', Error: 87)"},
      {{"/disableDifx", ""}, 2, R"(
          <banner>
          main| Command Line Received: '/disableDifx ""'
          op| Command received to disable Difx custom actions
          difx| Product Code is empty)"},
      {{"/disableCustomActions", ""}, 2, R"(
          <banner>
          main| Command Line Received: '/disableCustomActions ""'
          op| Command received to disable custom actions
          op| Product Code is empty)"},
      // The label takes the product version's first field and the file version's next two.
      {.args = {"/disableDifx", "all"},
       .exit = 2,
       .log = R"(
          <banner>
          main| Command Line Received: '/disableDifx all'
          op| Command received to disable Difx custom actions
          difx| Version of old Product is: 9.1.16
          difx| Couldn't find product Code for : 9.1.16)",
       .plant =
           R"(file C:\Program Files (x86)\Common Files\Tavrin Secure\TamUI\Tavrin.exe < tavrin-9.1.16.exe)"}}},
    {"OnePackage",
     "packages are published under their own INF name (Windows: oemN.inf); SetupDiSetClassInstallParamsW "
     "fails without an error code, so a device cannot be removed",
     true,
     {{{"/install", kMgrInf, "/component", "tvrnvamgr"},
       0,
       "",
       R"(file $inf\tvrnvamgr.inf
          !key $enum\TVRNVAMGR\0000)"},
      // The second publication meets the package in the store: no failure.
      {{"/install", kMgrInf, "/component", "tvrnvamgr"}, 0, R"(
          <banner>
          main| Command Line Received: '/install "$drivers\x64Drivers\tvrnvamgr\tvrnvamgr.inf" /component tvrnvamgr'
          op| Command received to install a driver
          op| Successfully copied driver to driver store, output oem: $inf\tvrnvamgr.inf
          op| Successfully set registry: tvrnvamgr)"},
      // The named package goes first, so the component's is gone already: its value stays.
      {{"/uninstall", "NOTADEVICEDRIVER", "/oeminf", "tvrnvamgr.inf", "/component", "tvrnvamgr"},
       0,
       R"(
          <banner>
          main| Command Line Received: '/uninstall NOTADEVICEDRIVER /oeminf tvrnvamgr.inf /component tvrnvamgr'
          op| Command received to uninstall a driver
          op| Hardware id passed is: NOTADEVICEDRIVER, so skipped removing device.
          op| Removed OEM: tvrnvamgr.inf successfully.
          op| Uninstalling OEM for component:tvrnvamgr -> tvrnvamgr.inf
          op| Failed to remove OEM: tvrnvamgr.inf
          op| Uninstallation of OEM INf: tvrnvamgr.inf Failed.
          op| Attempting to delete 'C:\windows\System32\Drivers\tvrnvamgr.sys'
          op| DeleteFile Failed for C:\windows\System32\Drivers\tvrnvamgr.sys with last Error:2
          op| Tried to delete 'C:\windows\System32\Drivers\tvrnvamgr.sys' one more time, but failed with Error:-1
          op| DeleteDriverFile Failed.)",
       R"(!file $inf\tvrnvamgr.inf
          $product32 : tvrnvamgr = REG_SZ tvrnvamgr.inf)"},
      {{"/install", kMgrInf, "/hardwareid", "tvrnvamgr", "/component", "tvrnvamgr"},
       0,
       R"(
          <banner>
          main| Command Line Received: '/install "$drivers\x64Drivers\tvrnvamgr\tvrnvamgr.inf" /hardwareid tvrnvamgr /component tvrnvamgr'
          op| Command received to install a driver
          op| Successfully copied driver to driver store, output oem: $inf\tvrnvamgr.inf
          op| Successfully set registry: tvrnvamgr
          op| Hardware ID: tvrnvamgr
          op| Adding a device without instance id
          op| Device: tvrnvamgr added successfully.
          op| Device: tvrnvamgr updated Successfully.)",
       R"(file $inf\tvrnvamgr.inf
          $product32 : tvrnvamgr = REG_SZ tvrnvamgr.inf
          !key $product
          $enum\TVRNVAMGR\0000 : HardwareID = REG_MULTI_SZ tvrnvamgr
          file $sys\tvrnvamgr.sys)"},
      {{"/uninstall", "tvrnvamgr", "/component", "tvrnvamgr"},
       0,
       R"(
          <banner>
          main| Command Line Received: '/uninstall tvrnvamgr /component tvrnvamgr'
          op| Command received to uninstall a driver
          op| SetupDiSetClassInstallParams failed with last Error: 0
          op| finished searching
          op| Device: tvrnvamgr removed successfully.
          op| Uninstalling OEM for component:tvrnvamgr -> tvrnvamgr.inf
          op| Removed OEM: tvrnvamgr.inf successfully.
          op| Successfully deleted registry value: tvrnvamgr
          op| Attempting to delete 'C:\windows\System32\Drivers\tvrnvamgr.sys'
          op| 'C:\windows\System32\Drivers\tvrnvamgr.sys' deleted successfully)",
       R"(key $enum\TVRNVAMGR\0000
          !file $inf\tvrnvamgr.inf
          $product32 : tvrnvamgr = -
          !file $sys\tvrnvamgr.sys)"},
      // The device key carries "&" for the id's backslash; the property keeps the id as given.
      {{"/install", R"($drivers\x64Drivers\tvrnva\tvrnva.inf)", "/hardwareid",
        R"({FE36527A-8C07-4854-8AF7-BF40E7DF52F7}\TVRNVA)", "/component", "tvrnva"},
       0,
       "",
       R"($enum\{FE36527A-8C07-4854-8AF7-BF40E7DF52F7}&TVRNVA\0000 : HardwareID = REG_MULTI_SZ {FE36527A-8C07-4854-8AF7-BF40E7DF52F7}\TVRNVA
          $product32 : tvrnva = REG_SZ tvrnva.inf)"},
      {{"/install", kMgrInf, "/hardwareid", "tvrnvamgr", "/instid", R"(ROOT\SYSTEM\0042)"},
       0,
       "",
       R"(key $enum\SYSTEM\0042)"},
      {{"/install", kMgrInf, "/hardwareid", "tvrnvamgr", "/instid", R"(ROOT\SYSTEM\0042)"},
       0xE0000207,
       R"(
          <banner>
          main| Command Line Received: '/install "$drivers\x64Drivers\tvrnvamgr\tvrnvamgr.inf" /hardwareid tvrnvamgr /instid ROOT\SYSTEM\0042'
          op| Command received to install a driver
          op| Successfully copied driver to driver store, output oem: $inf\tvrnvamgr.inf
          op| Hardware ID: tvrnvamgr
          op| Instance ID: ROOT\SYSTEM\0042
          op| Adding a device with instance id
          op| SetupDiCreateDeviceInfo()-> failed with last Error: 3758096903
          op| AddDevice()-> failed)"}}},
    {"DriverSet",
     "INetCfg has no FindComponent; SetupDiSetClassInstallParamsW fails, so the manager's device stays and "
     "each full install adds one; the driver-store listing has no date or version and a forward slash; "
     "EnumDependentServicesW always answers none; SetupUninstallOEMInfW leaves the .pnf",
     true,
     {{.args = {"create", "tvrnns", "binpath=", R"($tools\tdtestsvc.exe 1200 300)"}, .program = "sc.exe"},
      {.args = {"start", "tvrnns"}, .program = "sc.exe"},
      {.args = {"/installdrivers", "1"},
       .log = R"(
          ...
          op| Command received to install all Tavrin Drivers
          op| Uninstall Tavrin Drivers before installing it
          op| Stopping 'tvrnns' service
          svc| There are no dependent services
          svc| 'tvrnns' Service stopped successfully
          svc| 'tvrnns' Service deleted successfully
          op| AddRemoveNetService Failed for: tvrnns with return: 2
          op| UninstallDriver succeeded for tvrnns
          op| UninstallDriver succeeded for tvrnva
          op| UninstallDriver succeeded for tvrnvamgr
          op| UnInstallSplitDnsFilter succeeded for SplitDNSFilter
          op| Stopping 'DERAzo' service
          op| Service stop failed or service doesn't exist, attempting remove anyway
          op| UninstallDriver succeeded for DERAzo
          op| Removing Inf Cache
          op| InstallDriver succeeded for tvrnvamgr
          op| Installing TVRNVA from: '$drivers\x64Drivers\tvrnva'
          op| InstallDriver succeeded for tvrnva
          op| InstallSplitDnsFilter succeeded for SplitDNSFilter
          op| InstallDriver succeeded for DERAzo
          op| Installing DERAzo service via InstallHinfSectionW: DefaultInstall.NTamd64 128 $drivers\x64Drivers\DERAzo\DERAzo.inf
          op| Listing Driver Infs after all drivers are installed
          op| C:/windows/inf\tvrnvamgr.inf 01/01/1601 0.0.0.0 tvrnvamgr⏎)",
       .after = kSetInstalled + R"(
          $product32 : DriverType = REG_SZ ethernet
          !key $enum\TVRNVAMGR\0001
          file $sys\tvrnvamgr.sys
          !key $services\tvrnns
          !file $inf\INFCACHE.1)",
       .plant = R"(file $inf\INFCACHE.1)"},
      // The second install takes the first one off before it puts the set on again.
      {.args = {"/installdrivers", "1"},
       .log = R"(
          ...
          op| Uninstalling OEM for component:tvrnva -> tvrnva.inf
          op| Removed OEM: tvrnva.inf successfully.
          op| SetupDiSetClassInstallParams failed with last Error: 0
          op| Uninstalling OEM for component:tvrnvamgr -> tvrnvamgr.inf
          op| UnInstallSplitDnsFilter succeeded for SplitDNSFilter
          svc| 'DERAzo' Service is already stopped.
          op| Service stopped, now removing
          svc| 'DERAzo' Service deleted successfully
          op| Removed OEM: DERAzo.inf successfully.
          op| InstallDriver succeeded for DERAzo)",
       .after = kSetInstalled + R"(
          key $enum\TVRNVAMGR\0001)"},
      // The value and the other options of /uninstalldrivers are not consulted. The net service's
      // residues go: its packages' folders, its DIFx record and its service key.
      {.args = {"/uninstalldrivers", "0", "/component", "tvrnva"},
       .log = R"(
          ...
          op| Command received to un-install all Tavrin Drivers
          op| RemoveDirectory Failed for 'tvrnns_kept' with Error:145
          op| Successfully deleted at the end: SOFTWARE\Microsoft\Windows\CurrentVersion\DIFxAPP\Components\{9AC1F0E9-DE2F-4b2d-910C-65CAEE9153D9}
          op| UninstallDriver succeeded for tvrnva
          op| UninstallDriver succeeded for DERAzo)",
       .after = R"(
          !file $inf\tvrnvamgr.inf
          !file $inf\tvrnva.inf
          !file $inf\SplitDNSFilter.inf
          !file $inf\DERAzo.inf
          $product32 : tvrnvamgr = -
          $product32 : tvrnva = -
          $product32 : SplitDNSFilter = -
          $product32 : DERAzo = -
          $product32 : DriverType = REG_SZ ethernet
          !key $services\DERAzo
          !key $services\SplitDNSFilter
          HKLM\Software\TavrinSecure\SplitDNSFilter : Installed = -
          !file $sys\SplitDNSFilter.sys
          key $enum\TVRNVAMGR\0001
          !dir C:\windows\System32\DRVSTORE\tvrnns_1a2b
          file C:\windows\System32\DRVSTORE\tvrnns_kept\extra.txt
          file C:\windows\System32\DRVSTORE\tvrnns_file
          !key HKLM\Software\Microsoft\Windows\CurrentVersion\DIFxAPP\Components\{9AC1F0E9-DE2F-4b2d-910C-65CAEE9153D9}
          !key $services\tvrnns)",
       .plant = R"(
          file C:\windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.inf
          file C:\windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.sys
          file C:\windows\System32\DRVSTORE\tvrnns_kept\extra.txt
          file C:\windows\System32\DRVSTORE\tvrnns_file
          HKLM\Software\Microsoft\Windows\CurrentVersion\DIFxAPP\Components\{9AC1F0E9-DE2F-4b2d-910C-65CAEE9153D9}\Sub : v = REG_SZ x
          $services\tvrnns : Start = REG_DWORD 3)"}}},
};

class Scenarios : public ::testing::TestWithParam<Scenario> {};

TEST_P(Scenarios, Run) {
    const Scenario& scenario = GetParam();
    SCOPED_TRACE("Wine: " + scenario.wine);
    WineMachine machine;
    machine.plant("dir " + std::string(kVendorFolder)); // the program makes only the last folder of its log
    if (scenario.drivers) {
        machine.stageDrivers();
    }
    for (const Step& step : scenario.steps) {
        std::vector<std::string> args;
        std::transform(step.args.begin(), step.args.end(), std::back_inserter(args), expand);
        SCOPED_TRACE(::testing::PrintToString(args));
        machine.plant(step.plant);
        EXPECT_EQ(machine.run(args, step.program), step.exit);
        if (!step.log.empty()) {
            EXPECT_TRUE(logMatches(lastRun(machine.readFile(kLogFile)), expand(step.log)));
        }
        machine.expect(step.after);
    }
}

INSTANTIATE_TEST_SUITE_P(E2e, Scenarios, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return info.param.name; });

} // namespace
} // namespace tdu::e2e
