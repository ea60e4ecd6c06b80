// The driver set as a whole: install-all, uninstall-all and reinstall.
#include "tests/unit/SimTest.h"

namespace tdu::test {
namespace {

// A reinstall names a mode and a reinstallable component, checked in that order.
TEST(Bundle, Scenarios) {
    runScenarios(
        kRow,
        R"txt(install-all on an empty machine|drivers|/installdrivers 1|0 ...|Command received to install all Tavrin Drivers;Uninstall Tavrin Drivers before installing it;Stopping 'tvrnns' service;AddRemoveNetService succeeded for tvrnns;UninstallDriver succeeded for tvrnns;Cleaning TVRNNS Residuals;UninstallDriver succeeded for tvrnva;UninstallDriver succeeded for tvrnvamgr;UnInstallSplitDnsFilter succeeded for SplitDNSFilter;Stopping 'DERAzo' service;Service stop failed or service doesn't exist, attempting remove anyway;UninstallDriver succeeded for DERAzo;Listing Driver Infs;Listing Driver Infs;Listing Driver Infs;Removing Inf Cache;Removing INF Cache;InstallDriver succeeded for tvrnvamgr;Installing TVRNVA from: '{drivers}tvrnva';InstallDriver succeeded for tvrnva;InstallSplitDnsFilter succeeded for SplitDNSFilter;InstallDriver succeeded for DERAzo;Installing DERAzo service via InstallHinfSectionW: DefaultInstall.NTamd64 128 {drivers}DERAzo\DERAzo.inf;Listing Driver Infs after all drivers are installed|? packages: <DERAzo> <SplitDNSFilter> <tvrnva> <tvrnvamgr>;? values: DERAzo=<DERAzo> DriverType=ethernet SplitDNSFilter=<SplitDNSFilter> tvrnva=<tvrnva> tvrnvamgr=<tvrnvamgr>;? devices: ROOT\TVRNVAMGR\0000;? services: DERAzo SplitDNSFilter;? value SOFTWARE\TavrinSecure\SplitDNSFilter Installed: #1;? sections: DefaultUnInstall 128 {drivers}SplitDNSFilter\SplitDNSFilter.inf, DefaultInstall 128 {drivers}SplitDNSFilter\SplitDNSFilter.inf, DefaultInstall.NTamd64 128 {drivers}DERAzo\DERAzo.inf
install-all over an earlier install replaces it|drivers;run /installdrivers 1;service tvrnns;net tvrnns;stage NetService tvrnns;stage Net tvrnna_mp;file C:\Windows\INF\INFCACHE.1|/installdrivers 1|0 ...|Stopping 'tvrnns' service;AddRemoveNetService succeeded for tvrnns;Uninstalling OEM for component:tvrnva -> <tvrnva>;Device: tvrnvamgr removed successfully.;Stopping 'DERAzo' service;Service stopped, now removing;There are 2 oemInfs to be cleaned;UninstallDriver succeeded for tvrnns(<tvrnns.inf>);UninstallDriver succeeded for tvrnna_mp(<tvrnna_mp.inf>);Removing Inf Cache;InstallDriver succeeded for tvrnvamgr;Listing Driver Infs after all drivers are installed|? packages: <DERAzo> <SplitDNSFilter> <tvrnva> <tvrnvamgr>;? values: DERAzo=<DERAzo> DriverType=ethernet SplitDNSFilter=<SplitDNSFilter> tvrnva=<tvrnva> tvrnvamgr=<tvrnvamgr>;? devices: ROOT\TVRNVAMGR\0000;? services: DERAzo SplitDNSFilter;? net:;? file C:\Windows\INF\INFCACHE.1: absent;? value SOFTWARE\TavrinSecure\SplitDNSFilter Installed: #1
uninstall-all takes the whole set off, whatever else the line holds|drivers;run /installdrivers 1;stage NetService tvrnns|/uninstalldrivers 0 /component tvrnva|0 ...|There are 1 oemInfs to be cleaned|? packages:;? values: DriverType=ethernet;? devices:;? services:;? value SOFTWARE\TavrinSecure\SplitDNSFilter Installed:
packages installed in a folder too long for their INF paths are logged, the sequence goes on|env PROGRAMFILES(X86) C:\{p*210};inf "C:\{p*210}\Tavrin Secure\TavrinDrivers\x64Drivers\tvrnvamgr\tvrnvamgr.inf" Net tvrnvamgr;inf "C:\{p*210}\Tavrin Secure\TavrinDrivers\x64Drivers\tvrnva\tvrnva.inf" Net {adapter};file "C:\{p*210}\Tavrin Secure\TavrinDrivers\x64Drivers\SplitDNSFilter\SplitDNSFilter.inf" [Version];file "C:\{p*210}\Tavrin Secure\TavrinDrivers\x64Drivers\DERAzo\DERAzo.inf" [Version]|/installdrivers 1|0 ...|InstallDriver Failed for: tvrnvamgr with return: 2;InstallDriver Failed for: tvrnva with return: 2;InstallDriver failed for SplitDNSFilter;InstallSplitDnsFilter succeeded for SplitDNSFilter;InstallDriver Failed for: DERAzo with return: 2;Installing DERAzo service via InstallHinfSectionW: DefaultInstall.NTamd64 128 C:\{p*210}\Tavrin Secure\TavrinDrivers\x64Drivers\DERAzo\DERAzo.inf|? values:
a failed flavour write is logged|drivers;fail RegSetValueExW 2 5|@InstallTavrinDrivers tvrnva|0 ...|InstallDriver succeeded for tvrnva;Failed to set registry for DriverType|? values: tvrnva=<tvrnva>
listing and cache failures are only logged|drivers;windir "";fail GetWindowsDirectoryW 0 5|/installdrivers 1|0 ...|RemoveINFCACHE Failed with error: 1603|? packages: <DERAzo> <SplitDNSFilter> <tvrnva> <tvrnvamgr>
the sweep takes every staged package of the product, and only those|stage NetService tvrnns;stage NetService tvrnna;stage Net tvrnna_mp;stage Net somebody_else|/uninstalldrivers 1|0 ...|There are 3 oemInfs to be cleaned;UninstallDriver succeeded for tvrnns(<tvrnns.inf>);UninstallDriver succeeded for tvrnna(<tvrnna.inf>);UninstallDriver succeeded for tvrnna_mp(<tvrnna_mp.inf>)|? packages: <somebody_else.inf>
a restart a removed device asks for is logged, the sequence goes on|drivers;device ROOT\NET\0000 tvrnvamgr 0x100|/uninstalldrivers 1|0 ...|UninstallDriver succeeded for tvrnva;Reboot will be required for uninstallation of driver to complete.;UninstallDriver Failed for: tvrnvamgr with return: 3010;UnInstallSplitDnsFilter succeeded for SplitDNSFilter|? devices:
the monitor's service is removed even when it will not stop|drivers;service DERAzo 1052|@UnInstallTavrinDrivers DERAzo|0 ...|Stopping 'DERAzo' service;Service stop failed or service doesn't exist, attempting remove anyway;UninstallDriver succeeded for DERAzo|? services: DERAzo*
a broken-off filter section keeps its package|drivers;run /installdrivers 1;throw InstallHinfSectionW 1|@UnInstallTavrinDrivers SplitDNSFilter|0 ...|UnInstallSplitDnsFilter Failed for: SplitDNSFilter with return: 1603|? values: DERAzo=<DERAzo> DriverType=ethernet SplitDNSFilter=<SplitDNSFilter> tvrnva=<tvrnva> tvrnvamgr=<tvrnvamgr>;? packages: <DERAzo> <SplitDNSFilter> <tvrnva> <tvrnvamgr>
the net service in full mode: stopped and gone|service tvrnns 0;net tvrnns;reg {product} tvrnns oem9.inf;file C:\Windows\System32\DRVSTORE\tvrnns_1\tvrnns.inf|@UnInstallTavrinDrivers tvrnns 1|0 ...|Stopping 'tvrnns' service;Hardware id passed is: NOTADEVICEDRIVER, so skipped removing device.;Cleaning TVRNNS Residuals|? services: ;? net: ;? dir C:\Windows\System32\DRVSTORE:
a refused stop keeps the net service|service tvrnns 1052;net tvrnns;reg {product} tvrnns oem9.inf;file C:\Windows\System32\DRVSTORE\tvrnns_1\tvrnns.inf|@UnInstallTavrinDrivers tvrnns 1|0 ...|Stopping 'tvrnns' service;Hardware id passed is: NOTADEVICEDRIVER, so skipped removing device.;Cleaning TVRNNS Residuals|? services: tvrnns;? net: ;? dir C:\Windows\System32\DRVSTORE:
store-only mode leaves the net service and its service|service tvrnns 0;net tvrnns;reg {product} tvrnns oem9.inf;file C:\Windows\System32\DRVSTORE\tvrnns_1\tvrnns.inf|@UnInstallTavrinDrivers tvrnns 0|0 ...|!Stopping 'tvrnns' service;Hardware id passed is: NOTADEVICEDRIVER, so skipped removing device.;Cleaning TVRNNS Residuals|? services: tvrnns;? net: tvrnns;? dir C:\Windows\System32\DRVSTORE:
install-all without tvrnvamgr|drivers tvrnvamgr|/installdrivers 1|0 ...|{drivers}tvrnvamgr\tvrnvamgr.inf does not exists;!InstallDriver succeeded for tvrnvamgr|? packages: <DERAzo> <SplitDNSFilter> <tvrnva>;? services: DERAzo SplitDNSFilter;? devices: 
install-all without tvrnva|drivers tvrnva|/installdrivers 1|0 ...|{drivers}tvrnva\tvrnva.inf does not exists;!InstallDriver succeeded for tvrnva|? packages: <DERAzo> <SplitDNSFilter> <tvrnvamgr>;? services: DERAzo SplitDNSFilter;? devices: ROOT\TVRNVAMGR\0000
install-all without SplitDNSFilter|drivers SplitDNSFilter|/installdrivers 1|0 ...|{drivers}SplitDNSFilter\SplitDNSFilter.inf does not exists;{drivers}SplitDNSFilter\SplitDNSFilter.inf does not exists;!InstallDriver succeeded for SplitDNSFilter|? packages: <DERAzo> <tvrnva> <tvrnvamgr>;? services: DERAzo;? devices: ROOT\TVRNVAMGR\0000
install-all without DERAzo|drivers DERAzo|/installdrivers 1|0 ...|{drivers}DERAzo\DERAzo.inf does not exist;{drivers}DERAzo\DERAzo.inf does not exist;!InstallDriver succeeded for DERAzo|? packages: <SplitDNSFilter> <tvrnva> <tvrnvamgr>;? services: SplitDNSFilter;? devices: ROOT\TVRNVAMGR\0000
a drivers folder too long: install of one component|drivers;run /installdrivers 1;stage NetService tvrnns;env PROGRAMFILES(X86) C:\{x*250}|@InstallTavrinDrivers tvrnva|2 ...|ExpandEnvironmentStrings failed with last Error: 122;!InstallDriver succeeded for tvrnva|? services: DERAzo SplitDNSFilter;? packages: <DERAzo> <SplitDNSFilter> <tvrnns.inf> <tvrnva> <tvrnvamgr>
the drivers folder not expanded: the platform's error|drivers;run /installdrivers 1;fail ExpandEnvironmentStringsW 2 203|@InstallTavrinDrivers tvrnva|2 ...|ExpandEnvironmentStrings failed with last Error: 203;!InstallDriver succeeded for tvrnva|
a drivers folder too long: uninstall of the filter|drivers;run /installdrivers 1;stage NetService tvrnns;env PROGRAMFILES(X86) C:\{x*250}|@UnInstallTavrinDrivers SplitDNSFilter|2 ...|ExpandEnvironmentStrings failed with last Error: 122;!InstallDriver succeeded for tvrnva|? services: DERAzo SplitDNSFilter;? packages: <DERAzo> <SplitDNSFilter> <tvrnns.inf> <tvrnva> <tvrnvamgr>
a drivers folder too long: uninstall of the monitor skipped, result unchanged|drivers;run /installdrivers 1;stage NetService tvrnns;env PROGRAMFILES(X86) C:\{x*250}|@UnInstallTavrinDrivers DERAzo|0 ...|ExpandEnvironmentStrings failed with last Error: 122;!InstallDriver succeeded for tvrnva;!Stopping 'DERAzo' service|? services: DERAzo SplitDNSFilter;? packages: <DERAzo> <SplitDNSFilter> <tvrnns.inf> <tvrnva> <tvrnvamgr>
PROGRAMFILES(X86) missing: install-all installs nothing from the working folder|env PROGRAMFILES(X86);inf "%PROGRAMFILES(X86)%\Tavrin Secure\TavrinDrivers\x64Drivers\tvrnvamgr\tvrnvamgr.inf" Net tvrnvamgr;file "%PROGRAMFILES(X86)%\Tavrin Secure\TavrinDrivers\x64Drivers\DERAzo\DERAzo.inf" [Version]|/installdrivers 1|2 ...|ExpandEnvironmentStrings failed with last Error: 203;Removing Inf Cache;ExpandEnvironmentStrings failed with last Error: 203;!Stopping 'DERAzo' service;!InstallDriver succeeded for tvrnvamgr|? packages:;? sections:;? devices:
PROGRAMFILES(X86) missing: the monitor's uninstall skipped, result unchanged|env PROGRAMFILES(X86);service DERAzo;file "%PROGRAMFILES(X86)%\Tavrin Secure\TavrinDrivers\x64Drivers\DERAzo\DERAzo.inf" [Version]|@UnInstallTavrinDrivers DERAzo|0|ExpandEnvironmentStrings failed with last Error: 203|? services: DERAzo
a relative PROGRAMFILES(X86): a reinstall of the filter ends with 2|env PROGRAMFILES(X86) "Program Files (x86)";file "Program Files (x86)\Tavrin Secure\TavrinDrivers\x64Drivers\SplitDNSFilter\SplitDNSFilter.inf" [Version]|/reinstall 1 /component SplitDNSFilter|2|Command received to reinstall a driver component;ExpandEnvironmentStrings failed with last Error: 203;UnInstallTavrinDrivers Failed for component: SplitDNSFilter|? sections:
install-all: nothing installed|drivers;run /installdrivers 1;stage NetService tvrnns;env PROGRAMFILES(X86) C:\{x*250}|/installdrivers 1|2 ...|ExpandEnvironmentStrings failed with last Error: 122;!InstallDriver succeeded for tvrnva|? services: DERAzo SplitDNSFilter;? packages: <DERAzo> <SplitDNSFilter> <tvrnns.inf>
uninstall-all: the filter's step ends it, no monitor, no sweep|drivers;run /installdrivers 1;stage NetService tvrnns;env PROGRAMFILES(X86) C:\{x*250}|/uninstalldrivers 1|2 ...|ExpandEnvironmentStrings failed with last Error: 122;!Stopping 'DERAzo' service|? services: DERAzo SplitDNSFilter;? packages: <DERAzo> <SplitDNSFilter> <tvrnns.inf>
install of the adapter alone|drivers|@InstallTavrinDrivers tvrnva|0 ...|Uninstall Tavrin Drivers before installing it;InstallDriver succeeded for tvrnva;!Listing Driver Infs;!Removing Inf Cache;!Stopping 'tvrnns' service;!InstallDriver succeeded for tvrnvamgr;!Listing Driver Infs after all drivers are installed|? packages: <tvrnva>
install of the net service: nothing|drivers|@InstallTavrinDrivers tvrnns|0|Uninstall Tavrin Drivers before installing it|? packages:
uninstall of a name in another case: nothing|drivers|@UnInstallTavrinDrivers TVRNVA|0||
uninstall of the monitor alone|drivers|@UnInstallTavrinDrivers DERAzo|0 ...|UninstallDriver succeeded for DERAzo;!Stopping 'tvrnns' service;!UninstallDriver succeeded for tvrnva;!Listing Driver Infs|
a failed uninstall half ends a reinstall|drivers;run /installdrivers 1;env PROGRAMFILES(X86) C:\{x*250}|/reinstall 1 /component SplitDNSFilter|2|Command received to reinstall a driver component;ExpandEnvironmentStrings failed with last Error: 122;UnInstallTavrinDrivers Failed for component: SplitDNSFilter|? packages: <DERAzo> <SplitDNSFilter> <tvrnva> <tvrnvamgr>
a failed install half ends a reinstall|drivers;run /installdrivers 1;env PROGRAMFILES(X86) C:\{x*250}|/reinstall 2 /component tvrnva|2 ...|UninstallDriver succeeded for tvrnva;Uninstall Tavrin Drivers before installing it;ExpandEnvironmentStrings failed with last Error: 122;InstallTavrinDrivers Failed for component: tvrnva|? packages: <DERAzo> <SplitDNSFilter> <tvrnvamgr>
/reinstall 3 /component tvrnva|drivers|/reinstall 3 /component tvrnva|2|Command received to reinstall a driver component;Invalid argument passed to /reinstall parameter|? packages:
/reinstall 12 /component tvrnva|drivers|/reinstall 12 /component tvrnva|2|Command received to reinstall a driver component;Invalid argument passed to /reinstall parameter|? packages:
/reinstall "" /component tvrnva|drivers|/reinstall "" /component tvrnva|2|Command received to reinstall a driver component;Invalid argument passed to /reinstall parameter|? packages:
/reinstall 3|drivers|/reinstall 3|2|Command received to reinstall a driver component;Invalid argument passed to /reinstall parameter|? packages:
/reinstall 0 /component DERAzo|drivers|/reinstall 0 /component DERAzo|2|Command received to reinstall a driver component;Invalid argument passed to /reinstall parameter|? packages:
/reinstall 1|drivers|/reinstall 1|2|Command received to reinstall a driver component;Component name is missing|? packages:
/reinstall 2 /component DERAzo|drivers|/reinstall 2 /component DERAzo|2|Command received to reinstall a driver component;Invalid Component name: DERAzo|? packages:
/reinstall 2 /component TVRNVA|drivers|/reinstall 2 /component TVRNVA|2|Command received to reinstall a driver component;Invalid Component name: TVRNVA|? packages:
/reinstall 1 /component tvrnna|drivers|/reinstall 1 /component tvrnna|2|Command received to reinstall a driver component;Invalid Component name: tvrnna|? packages:)txt");
}

// Where the adapter's package comes from, and the flavour recorded after: a
// command-line "virtual" always wins; else what an earlier install stored in
// the 32-bit view decides, compared in ASCII case only.
TEST(Bundle, DriverType) {
    runScenarios(R"txt(
== {1}
drivers {4}
{3}
> /installdrivers 1 {2}
= 0 ...
{6}
Installing TVRNVA from: '{drivers}{5}'
{8}
? value {product} DriverType: {7}
)txt",
                 R"txt(no preference: ethernet||||tvrnva||ethernet|InstallDriver succeeded for tvrnva
command-line virtual|/drivertype VIRTUAL|||tvrnva_virtual|Driver Type is passed from Command Line|virtual|InstallDriver succeeded for tvrnva
stored virtual||reg {product} DriverType virtual{0}||tvrnva_virtual|DriverType Read from the registry|virtual|InstallDriver succeeded for tvrnva
a stored virtual outweighs a command-line ethernet|/drivertype ethernet|reg {product} DriverType Virtual{0}||tvrnva_virtual|DriverType Read from the registry|virtual|InstallDriver succeeded for tvrnva
stored ethernet||reg {product} DriverType ethernet||tvrnva|DriverType Read from the registry|ethernet|InstallDriver succeeded for tvrnva
virtual wanted, only the ethernet folder there|/drivertype virtual||tvrnva_virtual|tvrnva_virtual|Driver Type is passed from Command Line||{drivers}tvrnva_virtual\tvrnva.inf does not exists
a command-line virtual outweighs a stored ethernet|/drivertype virtual|reg {product} DriverType ethernet||tvrnva_virtual|Driver Type is passed from Command Line|virtual|InstallDriver succeeded for tvrnva
"virtual " is not virtual|/drivertype "virtual "|||tvrnva|Driver Type is passed from Command Line|ethernet|InstallDriver succeeded for tvrnva
stored virtual without its NUL||reg {product} DriverType virtual||tvrnva_virtual|DriverType Read from the registry|virtual|InstallDriver succeeded for tvrnva
stored virtualx||reg {product} DriverType virtualx||tvrnva|DriverType Read from the registry|ethernet|InstallDriver succeeded for tvrnva
virtual in the 64-bit view only||reg SOFTWARE\TavrinSecure\TavrinDrivers DriverType virtual||tvrnva|!DriverType Read from the registry|ethernet|InstallDriver succeeded for tvrnva)txt");
}

// A reinstall takes off and puts back the named component only; a failure
// of either half ends it with 2.
TEST(Bundle, Reinstall) {
    runScenarios(
        R"txt(
== /reinstall {1} /component {2}
drivers
run /installdrivers 1
net tvrnns
device ROOT\NET\0042 {adapter}
> /reinstall {1} /component {2}
= 0 ...
Command received to reinstall a driver component
{3}
!Listing Driver Infs
? devices: {4}ROOT\TVRNVAMGR\0000
? net: {5}
? services: DERAzo SplitDNSFilter
? values: DERAzo=<DERAzo> DriverType=ethernet SplitDNSFilter=<SplitDNSFilter> tvrnva=<tvrnva> tvrnvamgr=<tvrnvamgr>
? packages: <DERAzo> <SplitDNSFilter> <tvrnva> <tvrnvamgr>
)txt",
        R"txt(1|tvrnva|Uninstalling OEM for component:tvrnva -> <tvrnva>;UninstallDriver succeeded for tvrnva;Uninstall Tavrin Drivers before installing it;Installing TVRNVA from: '{drivers}tvrnva';InstallDriver succeeded for tvrnva|ROOT\NET\0042 |tvrnns
2|tvrnva|Device: {adapter} removed successfully.;UninstallDriver succeeded for tvrnva;InstallDriver succeeded for tvrnva||tvrnns
1|tvrnvamgr|UninstallDriver succeeded for tvrnvamgr;InstallDriver succeeded for tvrnvamgr;!Hardware ID: tvrnvamgr|ROOT\NET\0042 |tvrnns
2|tvrnvamgr|Device: tvrnvamgr removed successfully.;UninstallDriver succeeded for tvrnvamgr;Hardware ID: tvrnvamgr;InstallDriver succeeded for tvrnvamgr|ROOT\NET\0042 |tvrnns
1|tvrnns|!Stopping 'tvrnns' service;UninstallDriver succeeded for tvrnns;Cleaning TVRNNS Residuals|ROOT\NET\0042 |tvrnns
2|tvrnns|Stopping 'tvrnns' service;AddRemoveNetService succeeded for tvrnns;UninstallDriver succeeded for tvrnns|ROOT\NET\0042 |
1|SplitDNSFilter|UnInstallSplitDnsFilter succeeded for SplitDNSFilter;InstallSplitDnsFilter succeeded for SplitDNSFilter|ROOT\NET\0042 |tvrnns
2|SplitDNSFilter|UnInstallSplitDnsFilter succeeded for SplitDNSFilter;InstallSplitDnsFilter succeeded for SplitDNSFilter|ROOT\NET\0042 |tvrnns
)txt");
}

} // namespace
} // namespace tdu::test
