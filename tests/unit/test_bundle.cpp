// The driver set as a whole: install-all, uninstall-all and reinstall.
#include "tests/unit/SimTest.h"

namespace tdu::test {
namespace {

const Fragments kSets{
    {"installed", "+ drivers\n+ run /installdrivers 1"},
    // The drivers folder no longer fits once expanded, after an install and with a net service staged.
    {"a long drivers folder", "+ drivers\n+ run /installdrivers 1\n+ stage NetService tvrnns\n"
                              "+ env PROGRAMFILES(X86) C:\\{x*250}"},
    {"the whole set",
     "? packages: <DERAzo> <SplitDNSFilter> <tvrnva> <tvrnvamgr>\n"
     "? values: DERAzo=<DERAzo> DriverType=ethernet SplitDNSFilter=<SplitDNSFilter> tvrnva=<tvrnva> "
     "tvrnvamgr=<tvrnvamgr>\n"
     "? devices: ROOT\\TVRNVAMGR\\0000\n"
     "? services: DERAzo SplitDNSFilter\n"
     "? value SOFTWARE\\TavrinSecure\\SplitDNSFilter Installed: #1"},
    {"a net service", "+ net tvrnns\n+ reg {product} tvrnns oem9.inf\n"
                      "+ file C:\\Windows\\System32\\DRVSTORE\\tvrnns_1\\tvrnns.inf"},
};

TEST(Bundle, InstallAndUninstallAll) {
    runScenarios(kSets, R"txt(
== install-all on an empty machine
+ drivers
> /installdrivers 1 => 0
Command received to install all Tavrin Drivers
Uninstall Tavrin Drivers before installing it
Stopping 'tvrnns' service
AddRemoveNetService succeeded for tvrnns
UninstallDriver succeeded for tvrnns
Cleaning TVRNNS Residuals
UninstallDriver succeeded for tvrnva
UninstallDriver succeeded for tvrnvamgr
UnInstallSplitDnsFilter succeeded for SplitDNSFilter
Stopping 'DERAzo' service
Service stop failed or service doesn't exist, attempting remove anyway
UninstallDriver succeeded for DERAzo
Listing Driver Infs
Listing Driver Infs
Listing Driver Infs
Removing Inf Cache
Removing INF Cache
InstallDriver succeeded for tvrnvamgr
Installing TVRNVA from: '{drivers}tvrnva'
InstallDriver succeeded for tvrnva
InstallSplitDnsFilter succeeded for SplitDNSFilter
InstallDriver succeeded for DERAzo
Installing DERAzo service via InstallHinfSectionW: DefaultInstall.NTamd64 128 {drivers}DERAzo\DERAzo.inf
Listing Driver Infs after all drivers are installed
use the whole set
? sections: DefaultUnInstall 128 {drivers}SplitDNSFilter\SplitDNSFilter.inf,
... DefaultInstall 128 {drivers}SplitDNSFilter\SplitDNSFilter.inf,
... DefaultInstall.NTamd64 128 {drivers}DERAzo\DERAzo.inf
== install-all over an earlier install replaces it; a broken-off filter section then keeps its package
use installed
+ service tvrnns
+ net tvrnns
+ stage NetService tvrnns
+ stage Net tvrnna_mp
+ file C:\Windows\INF\INFCACHE.1
> /installdrivers 1 => 0
Uninstalling OEM for component:tvrnva -> <tvrnva>
Service stopped, now removing
use the whole set
? net:
? file C:\Windows\INF\INFCACHE.1: absent
+ throw InstallHinfSectionW 1
> @UnInstallTavrinDrivers SplitDNSFilter => 0
UnInstallSplitDnsFilter Failed for: SplitDNSFilter with return: 1603
use the whole set

== uninstall-all, whatever the line holds: the set off, the product's packages swept, a refused stop kept
use installed
+ device ROOT\NET\0000 tvrnvamgr 0x100
+ service tvrnns 1052
+ net tvrnns
+ stage NetService tvrnns
+ stage NetService tvrnna
+ stage Net tvrnna_mp
+ stage Net somebody_else
> /uninstalldrivers 0 /component tvrnva => 0
Reboot will be required for uninstallation of driver to complete.
UninstallDriver Failed for: tvrnvamgr with return: 3010
UnInstallSplitDnsFilter succeeded for SplitDNSFilter
There are 3 oemInfs to be cleaned
UninstallDriver succeeded for tvrnns(<tvrnns.inf>)
UninstallDriver succeeded for tvrnna(<tvrnna.inf>)
UninstallDriver succeeded for tvrnna_mp(<tvrnna_mp.inf>)
? packages: <somebody_else.inf>
? values: DriverType=ethernet
? devices:
? services: tvrnns
? net:
? value SOFTWARE\TavrinSecure\SplitDNSFilter Installed:

== packages in a folder too long for their INF paths are logged, the sequence goes on
+ env PROGRAMFILES(X86) C:\{p*210}
+ inf "C:\{p*210}\Tavrin Secure\TavrinDrivers\x64Drivers\tvrnvamgr\tvrnvamgr.inf" Net tvrnvamgr
+ inf "C:\{p*210}\Tavrin Secure\TavrinDrivers\x64Drivers\tvrnva\tvrnva.inf" Net {adapter}
+ file "C:\{p*210}\Tavrin Secure\TavrinDrivers\x64Drivers\SplitDNSFilter\SplitDNSFilter.inf" [Version]
+ file "C:\{p*210}\Tavrin Secure\TavrinDrivers\x64Drivers\DERAzo\DERAzo.inf" [Version]
> /installdrivers 1 => 0
InstallDriver Failed for: tvrnvamgr with return: 2
InstallDriver Failed for: tvrnva with return: 2
InstallDriver failed for SplitDNSFilter
InstallSplitDnsFilter succeeded for SplitDNSFilter
InstallDriver Failed for: DERAzo with return: 2
Installing DERAzo service via InstallHinfSectionW: DefaultInstall.NTamd64 128
... C:\{p*210}\Tavrin Secure\TavrinDrivers\x64Drivers\DERAzo\DERAzo.inf
? values:

== listing, cache and flavour write failures are only logged
+ drivers
+ windir ""
+ fail GetWindowsDirectoryW 0 5
+ throw SetupDiClassGuidsFromNameW 6
+ fail RegSetValueExW 3 5
> /installdrivers 1 => 0
ListDriverInfs Failed with error: 1603
RemoveINFCACHE Failed with error: 1603
InstallDriver succeeded for tvrnva
Failed to set registry for DriverType
? packages: <DERAzo> <SplitDNSFilter> <tvrnva> <tvrnvamgr>
? values: DERAzo=<DERAzo> SplitDNSFilter=<SplitDNSFilter> tvrnva=<tvrnva> tvrnvamgr=<tvrnvamgr>

== store-only mode leaves the net service and its service
+ service tvrnns 0
use a net service
> @UnInstallTavrinDrivers tvrnns 0 => 0
!Stopping 'tvrnns' service
Hardware id passed is: NOTADEVICEDRIVER, so skipped removing device.
? services: tvrnns
? net: tvrnns
? dir C:\Windows\System32\DRVSTORE:

)txt");
}

// Install-all without one component's folder: that one is logged missing and skipped, the others go on.
void without(const std::string& component, const std::string& missing, const std::string& packages,
             const std::string& services, const std::string& devices, const char* file = __builtin_FILE(),
             int line = __builtin_LINE()) {
    runRow("== install-all without " + component + "\n+ drivers " + component +
               "\n> /installdrivers 1 => 0\n" + missing + "\n? packages: " + packages +
               "\n? services: " + services + "\n? devices: " + devices,
           file, line);
}

TEST(Bundle, InstallAllWithoutAComponent) {
    without("tvrnvamgr",
            "{drivers}tvrnvamgr\\tvrnvamgr.inf does not exists\n!InstallDriver succeeded for tvrnvamgr",
            "<DERAzo> <SplitDNSFilter> <tvrnva>", "DERAzo SplitDNSFilter", "");
    without("SplitDNSFilter",
            "{drivers}SplitDNSFilter\\SplitDNSFilter.inf does not exists\n"
            "{drivers}SplitDNSFilter\\SplitDNSFilter.inf does not exists\n"
            "!InstallSplitDnsFilter succeeded for SplitDNSFilter",
            "<DERAzo> <tvrnva> <tvrnvamgr>", "DERAzo", "ROOT\\TVRNVAMGR\\0000");
    without("DERAzo",
            "{drivers}DERAzo\\DERAzo.inf does not exist\n{drivers}DERAzo\\DERAzo.inf does not exist\n"
            "!InstallDriver succeeded for DERAzo",
            "<SplitDNSFilter> <tvrnva> <tvrnvamgr>", "SplitDNSFilter", "ROOT\\TVRNVAMGR\\0000");
}

// A drivers folder that cannot be expanded ends what needs it with 2 and touches nothing, except the
// monitor's uninstall, which is skipped with the result unchanged.
TEST(Bundle, TheDriversFolderUnexpanded) {
    runScenarios(kSets, R"txt(
== the platform's error
use installed
+ fail ExpandEnvironmentStringsW 2 5
> @InstallTavrinDrivers tvrnva => 2
ExpandEnvironmentStrings failed with last Error: 5

== install-all: nothing installed; uninstall-all: the filter's step ends it, no monitor, no sweep
use a long drivers folder
> /installdrivers 1 => 2
ExpandEnvironmentStrings failed with last Error: 122
Removing Inf Cache
ExpandEnvironmentStrings failed with last Error: 122
> /uninstalldrivers 1 => 2
ExpandEnvironmentStrings failed with last Error: 122
!Stopping 'DERAzo' service
? services: DERAzo SplitDNSFilter
? packages: <DERAzo> <SplitDNSFilter> <tvrnns.inf>

== PROGRAMFILES(X86) missing: the monitor's uninstall skipped, result unchanged
+ env PROGRAMFILES(X86)
+ service DERAzo
+ file "%PROGRAMFILES(X86)%\Tavrin Secure\TavrinDrivers\x64Drivers\DERAzo\DERAzo.inf" [Version]
> @UnInstallTavrinDrivers DERAzo => 0
ExpandEnvironmentStrings failed with last Error: 203
!Stopping 'DERAzo' service
? services: DERAzo

)txt");
}

// One component at a time; a reinstall takes off and puts back the named component only, and a failure
// of either half ends it with 2.
TEST(Bundle, OneComponent) {
    runScenarios(kSets, R"txt(
== the adapter installed alone; the monitor uninstalled alone, its service removed though it will not stop
+ drivers
+ service DERAzo 1052
> @InstallTavrinDrivers tvrnva => 0
Uninstall Tavrin Drivers before installing it
InstallDriver succeeded for tvrnva
!Listing Driver Infs
!Listing Driver Infs after all drivers are installed
? packages: <tvrnva>
> @UnInstallTavrinDrivers DERAzo => 0
UninstallDriver succeeded for DERAzo
!UninstallDriver succeeded for tvrnva
? services: DERAzo*

== install of the net service, uninstall of a name in another case: nothing
+ drivers
> @InstallTavrinDrivers tvrnns => 0
> @UnInstallTavrinDrivers TVRNVA => 0
= whole log
Uninstall Tavrin Drivers before installing it
? packages:

== a failed uninstall half ends a reinstall
use installed
+ env PROGRAMFILES(X86) C:\{x*250}
> /reinstall 1 /component SplitDNSFilter => 2
UnInstallTavrinDrivers Failed for component: SplitDNSFilter
!Uninstall Tavrin Drivers before installing it
? packages: <DERAzo> <SplitDNSFilter> <tvrnva> <tvrnvamgr>

== a failed install half ends a reinstall
use installed
+ env PROGRAMFILES(X86) C:\{x*250}
> /reinstall 2 /component tvrnva => 2
UninstallDriver succeeded for tvrnva
InstallTavrinDrivers Failed for component: tvrnva
? packages: <DERAzo> <SplitDNSFilter> <tvrnvamgr>
)txt");
}

// A reinstall after an install, with the net service and a second adapter device present: the log from
// the second message on, the net service after and the devices before the manager's (the second adapter's
// unless a full reinstall of the adapter removed it).
void reinstall(const std::string& args, const std::string& log, const std::string& net = "tvrnns",
               const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    runRow("== /reinstall " + args + "\n+ drivers\n+ run /installdrivers 1\n+ net tvrnns\n" +
               "+ device ROOT\\NET\\0042 {adapter}\n> /reinstall " + args + " => 0\n" +
               "Command received to reinstall a driver component\n" + log + "\n!Listing Driver Infs\n" +
               "? devices: " + (args == "2 /component tvrnva" ? "" : "ROOT\\NET\\0042 ") +
               "ROOT\\TVRNVAMGR\\0000\n? net: " + net + "\n" +
               kSets.at("the whole set").substr(kSets.at("the whole set").find("? services")),
           file, line);
}

TEST(Bundle, Reinstall) {
    reinstall("1 /component tvrnva",
              "Uninstalling OEM for component:tvrnva -> <tvrnva>\n"
              "UninstallDriver succeeded for tvrnva\nInstallDriver succeeded for tvrnva");
    reinstall("2 /component tvrnva",
              "Device: {adapter} removed successfully.\n"
              "UninstallDriver succeeded for tvrnva\nInstallDriver succeeded for tvrnva");
    reinstall("1 /component tvrnvamgr", "UninstallDriver succeeded for tvrnvamgr\n"
                                        "InstallDriver succeeded for tvrnvamgr\n!Hardware ID: tvrnvamgr");
    reinstall("2 /component tvrnvamgr", "Device: tvrnvamgr removed successfully.\n"
                                        "Hardware ID: tvrnvamgr\nInstallDriver succeeded for tvrnvamgr");
    reinstall("1 /component tvrnns", "!Stopping 'tvrnns' service\nCleaning TVRNNS Residuals");
    reinstall("2 /component tvrnns", "Stopping 'tvrnns' service\nAddRemoveNetService succeeded for tvrnns",
              "");
    reinstall("1 /component SplitDNSFilter", "UnInstallSplitDnsFilter succeeded for SplitDNSFilter\n"
                                             "InstallSplitDnsFilter succeeded for SplitDNSFilter");
}

// A refused reinstall: the mode is checked before the component, and nothing is installed.
void refusedReinstall(const std::string& args, const std::string& message,
                      const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    runRow("== /reinstall " + args + "\n+ drivers\n> /reinstall " + args + " => 2\n= whole log\n" +
               "Command received to reinstall a driver component\n" + message + "\n? packages:",
           file, line);
}

TEST(Bundle, RefusedReinstalls) {
    refusedReinstall("0 /component DERAzo", "Invalid argument passed to /reinstall parameter");
    refusedReinstall("1", "Component name is missing");
    refusedReinstall("2 /component DERAzo", "Invalid Component name: DERAzo");
    refusedReinstall("2 /component TVRNVA", "Invalid Component name: TVRNVA");
}

// Where the adapter's package comes from, and the flavour recorded after: a command-line "virtual" always
// wins; else what an earlier install stored in the 32-bit view decides, compared in ASCII case only.
struct TypeRow {
    std::string option{};          // on the command line
    std::string stored{};          // a planted fact
    std::string missing{};         // a folder the drivers folder lacks
    std::string from{};            // the log line that says where the type comes from
    std::string folder = "tvrnva"; // the package's folder
    std::string flavour{};         // recorded after: empty when the install failed
};

void driverType(const TypeRow& row, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    runRow("== " + row.option + " " + row.stored + "\n+ drivers " + row.missing + "\n" + row.stored +
               "\n> /installdrivers 1 " + row.option + " => 0\n" + row.from +
               "\nInstalling TVRNVA from: '{drivers}" + row.folder + "'\n" +
               (row.flavour.empty() ? "{drivers}" + row.folder + "\\tvrnva.inf does not exists\n!" : "") +
               "InstallDriver succeeded for tvrnva\n" + "? value {product} DriverType: " + row.flavour,
           file, line);
}

TEST(Bundle, DriverType) {
    const std::string told = "Driver Type is passed from Command Line";
    const std::string read = "DriverType Read from the registry";
    // clang-format off
    driverType({.option = "/drivertype VIRTUAL", .stored = "+ reg {product} DriverType ethernet",
                .from = told, .folder = "tvrnva_virtual", .flavour = "virtual"});
    driverType({.option = "/drivertype ethernet", .stored = "+ reg {product} DriverType Virtual{0}",
                .from = read, .folder = "tvrnva_virtual", .flavour = "virtual"});
    driverType({.option = "/drivertype virtual", .missing = "tvrnva_virtual", .from = told,
                .folder = "tvrnva_virtual"});
    driverType({.option = "/drivertype \"virtual \"", .from = told, .flavour = "ethernet"});
    driverType({.stored = "+ reg {product} DriverType virtualx", .from = read, .flavour = "ethernet"});
    driverType({.stored = "+ reg SOFTWARE\\TavrinSecure\\TavrinDrivers DriverType virtual",
                .from = "!" + read, .flavour = "ethernet"});
    // clang-format on
}

} // namespace
} // namespace tdu::test
