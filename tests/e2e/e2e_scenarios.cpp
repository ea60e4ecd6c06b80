// The real program under Wine, as scenarios: each a machine of its own, its lines read in turn.
//   + FACT                       planted now (WineHarness.h)
//   > [PROGRAM.exe] ARGS => CODE a run of the program under test (or a Windows tool) and its full exit code
//   ? FACT                       checked after the run
//   any other line               the run's log, one record a line (see logMatches); none: not compared
//   ... TEXT                     the line before goes on, after one blank
// The native unit tests hold every path against the simulated machine; these hold what only a real platform
// answers: the command line as a process gets it, the registry views, the installer engine, the driver
// store, devices, services and COM. Where Wine answers otherwise than Windows, the comment above the
// scenario says so once.
#include "WineHarness.h"

#include <gtest/gtest.h>

#include <iomanip>
#include <optional>

namespace tdu::e2e {
namespace {

// What an install of the whole set leaves, however many came before.
const std::string kSetInstalled = R"(
    ? file $inf\tvrnvamgr.inf
    ? file $inf\tvrnva.inf
    ? file $inf\SplitDNSFilter.inf
    ? file $inf\DERAzo.inf
    ? $product32 : tvrnvamgr = REG_SZ tvrnvamgr.inf
    ? $product32 : tvrnva = REG_SZ tvrnva.inf
    ? $product32 : SplitDNSFilter = REG_SZ SplitDNSFilter.inf
    ? $product32 : DERAzo = REG_SZ DERAzo.inf
    ? $enum\TVRNVAMGR\0000 : HardwareID = REG_MULTI_SZ tvrnvamgr\0\0
    ? $services\DERAzo : Group = REG_SZ FSFilter Activity Monitor
    ? file $sys\DERAzo.sys
    ? HKLM\Software\TavrinSecure\SplitDNSFilter : Installed = REG_DWORD 0x1
    ? key $services\SplitDNSFilter
    ? file $sys\SplitDNSFilter.sys)";

void run(const std::string& scenario) {
    WineMachine machine;
    machine.plant("dir " + std::string(kVendorFolder)); // the program makes only the last folder of its log
    std::optional<::testing::ScopedTrace> step;
    std::string log;
    std::string after;
    const auto check = [&] {
        if (!log.empty()) {
            EXPECT_TRUE(logMatches(lastRun(machine.readFile(kLogFile)), log));
        }
        machine.expect(after);
        log = after = "";
    };
    std::istringstream lines(expand(scenario));
    std::string joined;
    for (std::string line; std::getline(lines >> std::ws, line);) {
        joined += line.starts_with("... ") ? line.substr(3) : (joined.empty() ? "" : "\n") + line;
    }
    std::istringstream script(joined);
    for (std::string line; std::getline(script >> std::ws, line);) {
        if (line.starts_with("+ ")) {
            machine.plant(line.substr(2));
        } else if (line.starts_with("? ")) {
            after += line.substr(2) + "\n";
        } else if (line.starts_with("> ")) {
            check();
            step.emplace(__FILE__, __LINE__, line);
            const auto code = line.rfind(" => ");
            std::istringstream words(line.substr(1, code - 1)); // blanks part words, quotes group them
            std::vector<std::string> args;
            for (std::string word; words >> std::quoted(word, '"', '\x01');) {
                args.push_back(word);
            }
            const bool tool = !args.empty() && args.front().ends_with(".exe");
            EXPECT_EQ(machine.run({args.begin() + (tool ? 1 : 0), args.end()}, tool ? args.front() : ""),
                      std::stoul(line.substr(code + 4), nullptr, 0));
        } else if (!line.starts_with('#')) {
            log += line + "\n";
        }
    }
    check();
}

TEST(Scenarios, CommandLines) {
    run(R"(
        > => 0xFFFFFFFF
        <banner>
        main| Command Line Received: ''
        parse| Insufficient Parameters.
        parse| <help>
        main| Failed to parse Command Line params.
        > /disableCustomActions "" => 2
        <banner>
        main| Command Line Received: '/disableCustomActions ""'
        op| Command received to disable custom actions
        op| Product Code is empty
        > /disableDifx ALL => 0xFFFFFFFF
        <banner>
        main| Command Line Received: '/disableDifx ALL'
        op| Command received to disable Difx custom actions
        difx| Searching Product: 'ALL' ...
        difx| Failed to find Product: 'ALL', Error: 87)");
}

// Wine publishes a package under its own INF name (Windows: oemN.inf); SetupDiSetClassInstallParamsW fails
// without an error code, so a device cannot be removed.
TEST(Scenarios, OnePackage) {
    run(R"(
        + drivers
        > /install "$drivers\x64Drivers\tvrnvamgr\tvrnvamgr.inf" /component tvrnvamgr => 0
        ? file $inf\tvrnvamgr.inf
        ? !key $enum\TVRNVAMGR\0000
        # The second publication meets the package in the store: no failure.
        > /install "$drivers\x64Drivers\tvrnvamgr\tvrnvamgr.inf" /component tvrnvamgr => 0
        <banner>
        main| Command Line Received: '/install "$drivers\x64Drivers\tvrnvamgr\tvrnvamgr.inf" /component
        ... tvrnvamgr'
        op| Command received to install a driver
        op| Successfully copied driver to driver store, output oem: $inf\tvrnvamgr.inf
        op| Successfully set registry: tvrnvamgr
        # The named package goes first, so the component's is gone already: its value stays.
        > /uninstall NOTADEVICEDRIVER /oeminf tvrnvamgr.inf /component tvrnvamgr => 0
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
        op| Tried to delete 'C:\windows\System32\Drivers\tvrnvamgr.sys' one more time, but failed with
        ... Error:-1
        op| DeleteDriverFile Failed.
        ? !file $inf\tvrnvamgr.inf
        ? $product32 : tvrnvamgr = REG_SZ tvrnvamgr.inf
        > /install "$drivers\x64Drivers\tvrnvamgr\tvrnvamgr.inf" /hardwareid tvrnvamgr /component
        ... tvrnvamgr => 0
        <banner>
        main| Command Line Received: '/install "$drivers\x64Drivers\tvrnvamgr\tvrnvamgr.inf" /hardwareid
        ... tvrnvamgr /component tvrnvamgr'
        op| Command received to install a driver
        op| Successfully copied driver to driver store, output oem: $inf\tvrnvamgr.inf
        op| Successfully set registry: tvrnvamgr
        op| Hardware ID: tvrnvamgr
        op| Adding a device without instance id
        op| Device: tvrnvamgr added successfully.
        op| Device: tvrnvamgr updated Successfully.
        ? file $inf\tvrnvamgr.inf
        ? $product32 : tvrnvamgr = REG_SZ tvrnvamgr.inf
        ? !key $product
        ? $enum\TVRNVAMGR\0000 : HardwareID = REG_MULTI_SZ tvrnvamgr\0\0
        ? file $sys\tvrnvamgr.sys
        > /uninstall tvrnvamgr /component tvrnvamgr => 0
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
        op| 'C:\windows\System32\Drivers\tvrnvamgr.sys' deleted successfully
        ? key $enum\TVRNVAMGR\0000
        ? !file $inf\tvrnvamgr.inf
        ? $product32 : tvrnvamgr = -
        ? !file $sys\tvrnvamgr.sys
        # The device key carries "&" for the id's backslash; the property keeps the id as given.
        > /install "$drivers\x64Drivers\tvrnva\tvrnva.inf" /hardwareid
        ... {FE36527A-8C07-4854-8AF7-BF40E7DF52F7}\TVRNVA /component tvrnva => 0
        ? $enum\{FE36527A-8C07-4854-8AF7-BF40E7DF52F7}&TVRNVA\0000 : HardwareID = REG_MULTI_SZ
        ... {FE36527A-8C07-4854-8AF7-BF40E7DF52F7}\TVRNVA\0\0
        ? $product32 : tvrnva = REG_SZ tvrnva.inf
        > /install "$drivers\x64Drivers\tvrnvamgr\tvrnvamgr.inf" /hardwareid tvrnvamgr /instid
        ... ROOT\SYSTEM\0042 => 0
        ? key $enum\SYSTEM\0042
        > /install "$drivers\x64Drivers\tvrnvamgr\tvrnvamgr.inf" /hardwareid tvrnvamgr /instid
        ... ROOT\SYSTEM\0042 => 0xE0000207
        <banner>
        main| Command Line Received: '/install "$drivers\x64Drivers\tvrnvamgr\tvrnvamgr.inf" /hardwareid
        ... tvrnvamgr /instid ROOT\SYSTEM\0042'
        op| Command received to install a driver
        op| Successfully copied driver to driver store, output oem: $inf\tvrnvamgr.inf
        op| Hardware ID: tvrnvamgr
        op| Instance ID: ROOT\SYSTEM\0042
        op| Adding a device with instance id
        op| SetupDiCreateDeviceInfo()-> failed with last Error: 3758096903
        op| AddDevice()-> failed)");
}

// Wine: INetCfg has no FindComponent (E_NOTIMPL) after COM, the object, its lock and Initialize succeeded;
// SetupDiSetClassInstallParamsW fails, so the manager's device stays and each full install adds one; the
// driver-store listing has no date or version and a forward slash; EnumDependentServicesW always answers
// none; SetupUninstallOEMInfW leaves the .pnf.
TEST(Scenarios, DriverSet) {
    run(R"(
        + drivers
        > sc.exe create tvrnns binpath= "$tools\tdlaunch.exe /service" => 0
        > sc.exe start tvrnns => 0
        + file $inf\INFCACHE.1
        > /installdrivers 1 => 0
        ...
        op| Command received to install all Tavrin Drivers
        op| Uninstall Tavrin Drivers before installing it
        op| Stopping 'tvrnns' service
        svc| There are no dependent services
        svc| 'tvrnns' Service stopped successfully
        svc| 'tvrnns' Service deleted successfully
        op| TavrinDriverOperator::HrReinstallNetService("tvrnns","Tavrin Secure, LLC","Tavrin
        ... Secure","Tavrin Secure"): Failed to find component. HRESULT=0x80004001⏎
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
        op| Installing DERAzo service via InstallHinfSectionW: DefaultInstall.NTamd64 128
        ... $drivers\x64Drivers\DERAzo\DERAzo.inf
        op| Listing Driver Infs after all drivers are installed
        op| C:/windows/inf\tvrnvamgr.inf 01/01/1601 0.0.0.0 tvrnvamgr⏎
        ? $product32 : DriverType = REG_SZ ethernet
        ? !key $enum\TVRNVAMGR\0001
        ? file $sys\tvrnvamgr.sys
        ? !key $services\tvrnns
        ? !file $inf\INFCACHE.1)" +
        kSetInstalled + R"(
        # The second install takes the first one off before it puts the set on again.
        > /installdrivers 1 => 0
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
        op| InstallDriver succeeded for DERAzo
        ? key $enum\TVRNVAMGR\0001)" +
        kSetInstalled + R"(
        # The value and the other options of /uninstalldrivers are not consulted. The net service's residues
        # go: its packages' folders, its DIFx record and its service key.
        + file C:\windows\system32\DRVSTORE\tvrnns_1a2b\tvrnns.inf
        + file C:\windows\system32\DRVSTORE\tvrnns_1a2b\tvrnns.sys
        + file C:\windows\system32\DRVSTORE\tvrnns_kept\extra.txt
        + file C:\windows\system32\DRVSTORE\tvrnns_file
        > reg.exe add HKLM\Software\$components\{9AC1F0E9-DE2F-4b2d-910C-65CAEE9153D9}\Sub /v v /d x /f
        ... /reg:64 => 0
        > reg.exe add $services\tvrnns /v Start /t REG_DWORD /d 3 /f /reg:64 => 0
        > /uninstalldrivers 0 /component tvrnva => 0
        ...
        op| Command received to un-install all Tavrin Drivers
        op| RemoveDirectory Failed for 'tvrnns_kept' with Error:145
        op| Successfully deleted at the end: SOFTWARE\$components\{9AC1F0E9-DE2F-4b2d-910C-65CAEE9153D9}
        op| UninstallDriver succeeded for tvrnva
        op| UninstallDriver succeeded for DERAzo
        ? !file $inf\tvrnvamgr.inf
        ? !file $inf\tvrnva.inf
        ? !file $inf\SplitDNSFilter.inf
        ? !file $inf\DERAzo.inf
        ? $product32 : tvrnvamgr = -
        ? $product32 : tvrnva = -
        ? $product32 : SplitDNSFilter = -
        ? $product32 : DERAzo = -
        ? $product32 : DriverType = REG_SZ ethernet
        ? !key $services\DERAzo
        ? !key $services\SplitDNSFilter
        ? HKLM\Software\TavrinSecure\SplitDNSFilter : Installed = -
        ? !file $sys\SplitDNSFilter.sys
        ? key $enum\TVRNVAMGR\0001
        ? !dir C:\windows\system32\DRVSTORE\tvrnns_1a2b
        ? file C:\windows\system32\DRVSTORE\tvrnns_kept\extra.txt
        ? file C:\windows\system32\DRVSTORE\tvrnns_file
        ? !key HKLM\Software\$components\{9AC1F0E9-DE2F-4b2d-910C-65CAEE9153D9}
        ? !key $services\tvrnns)");
}

// Wine's SetupUninstallOEMInfW deletes whatever file the name leads to from its INF folder: a path-like name
// recorded in the product key, or given with /oeminf, must not reach it; nor a path-like component the
// drivers folder.
TEST(Scenarios, PathLikeNames) {
    run(R"(
        + file C:\windows\victim.txt
        + file C:\windows\victim.inf
        + file C:\windows\victim.sys
        > reg.exe add $product32 /v tvrnns /d ..\victim.txt /f /reg:64 => 0
        > /uninstall NOTADEVICEDRIVER /component tvrnns => 0
        <banner>
        main| Command Line Received: '/uninstall NOTADEVICEDRIVER /component tvrnns'
        op| Command received to uninstall a driver
        op| Hardware id passed is: NOTADEVICEDRIVER, so skipped removing device.
        op| Uninstalling OEM for component:tvrnns -> ..\victim.txt
        op| Invalid OEM Inf name: ..\victim.txt
        op| Uninstallation of OEM INf: ..\victim.txt Failed.
        op| Attempting to delete 'C:\windows\System32\Drivers\tvrnns.sys'
        op| DeleteFile Failed for C:\windows\System32\Drivers\tvrnns.sys with last Error:2
        op| Tried to delete 'C:\windows\System32\Drivers\tvrnns.sys' one more time, but failed with Error:-1
        op| DeleteDriverFile Failed.
        ? file C:\windows\victim.txt
        ? $product32 : tvrnns = REG_SZ ..\victim.txt
        > /uninstall NOTADEVICEDRIVER /oeminf ..\victim.inf /component ..\..\victim => 0
        <banner>
        main| Command Line Received: '/uninstall NOTADEVICEDRIVER /oeminf ..\victim.inf /component
        ... ..\..\victim'
        op| Command received to uninstall a driver
        op| Hardware id passed is: NOTADEVICEDRIVER, so skipped removing device.
        op| Invalid OEM Inf name: ..\victim.inf
        op| Uninstallation of OEM: ..\victim.inf Failed.
        op| Invalid Component name: ..\..\victim
        op| DeleteDriverFile Failed.
        ? file C:\windows\victim.inf
        ? file C:\windows\victim.sys)");
}

// PUBLIC and ProgramFiles(x86) missing from the environment: ExpandEnvironmentStringsW leaves them as
// written, and the working folder holds a tree under those very names. Nothing is logged or installed from
// it; the Windows folder's own expansions still work, so only the drivers folder fails.
TEST(Scenarios, StrippedEnvironment) {
    run(R"(
        + drivers C:\planted\%PROGRAMFILES(X86)%\Tavrin Secure\TavrinDrivers
        + dir C:\planted\%PUBLIC%\Tavrin Secure
        + unset PUBLIC ProgramFiles(x86)
        + cwd C:\planted
        > /installdrivers 1 => 2
        ? !dir C:\planted\%PUBLIC%\Tavrin Secure\Logging
        ? !dir C:\users\Public\Tavrin Secure\Logging
        ? !file $inf\tvrnvamgr.inf
        ? !file $inf\tvrnva.inf
        ? !file $inf\SplitDNSFilter.inf
        ? !file $inf\DERAzo.inf
        ? !key $enum\TVRNVAMGR\0000
        ? !key $services\DERAzo
        ? !key $services\SplitDNSFilter
        ? !file $sys\DERAzo.sys
        ? !file $sys\SplitDNSFilter.sys
        ? !key $product32)");
}

} // namespace
} // namespace tdu::e2e
