#include "tests/unit/SimTest.h"

#include "app/TavrinDriverUtil.h"
#include "log/LogWriter.h"
#include "operator/TDriverOperator.h"
#include "platform/DeviceSetup.h"
#include "platform/ServiceControl.h"
#include "platform/sim/SimNetConfig.h"
#include "platform/sim/SimServices.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

namespace tdu::test {
namespace {

using Strings = std::vector<std::string>;
using platform::sim::SimMachine;

constexpr char kDriversText[] = "C:\\Program Files (x86)\\Tavrin Secure\\TavrinDrivers\\x64Drivers\\";
constexpr wchar_t kAdapterIdWide[] = L"{FE36527A-8C07-4854-8AF7-BF40E7DF52F7}\\TVRNVA";
constexpr wchar_t kFilterKey[] = L"SOFTWARE\\TavrinSecure\\SplitDNSFilter";

platform::sim::SimNetComponent netComponent() {
    platform::sim::SimNetComponent component;
    component.infId = L"tvrnns";
    return component;
}

// Whether `expected` occurs in `messages` in this order, other lines between.
::testing::AssertionResult inOrder(const Strings& messages, const Strings& expected) {
    auto at = messages.begin();
    for (const std::string& line : expected) {
        at = std::find(at, messages.end(), line);
        if (at == messages.end()) {
            return ::testing::AssertionFailure() << "missing, or out of order: " << line;
        }
        ++at;
    }
    return ::testing::AssertionSuccess();
}

bool contains(const Strings& messages, const std::string& line) {
    return std::find(messages.begin(), messages.end(), line) != messages.end();
}

// The machine as a whole, as far as the driver set touches it.
struct MachineView {
    std::map<std::wstring, std::wstring> productValues; // name -> text
    std::size_t packages = 0;
    bool everyRecordedPackageStaged = true;
    unsigned managerDevices = 0;
    unsigned adapterDevices = 0;
    std::set<std::wstring> services; // of tvrnns, DERAzo, SplitDNSFilter
    bool filterMarker = false;
};

MachineView viewOf(SimMachine& machine) {
    MachineView view;
    const std::vector<std::wstring> staged = machine.publishedPackages();
    view.packages = staged.size();
    for (const wchar_t* name : {L"tvrnvamgr", L"tvrnva", L"SplitDNSFilter", L"DERAzo", L"DriverType"}) {
        if (const auto value = machine.regValue(kProductKey32, name)) {
            const std::wstring text = platform::RegData{value->bytes}.textUpToNul();
            view.productValues[name] = text;
            if (std::wstring(name) != L"DriverType" &&
                std::find(staged.begin(), staged.end(), text) == staged.end()) {
                view.everyRecordedPackageStaged = false;
            }
        }
    }
    for (const platform::sim::SimDevice& device : machine.devices()) {
        if (device.hardwareIds && device.hardwareIds->front() == L"tvrnvamgr") {
            ++view.managerDevices;
        }
        if (device.hardwareIds && device.hardwareIds->front() == kAdapterIdWide) {
            ++view.adapterDevices;
        }
    }
    auto& services = machine.services();
    for (const wchar_t* name : {L"tvrnns", L"DERAzo", L"SplitDNSFilter"}) {
        if (services.exists(name)) {
            view.services.insert(name);
        }
    }
    const auto marker = machine.regValue(kFilterKey, L"Installed");
    view.filterMarker = marker && marker->type == platform::kRegDword;
    return view;
}

class BundleTest : public SimTest {
protected:
    static int run(std::vector<const wchar_t*> args) {
        log::resetLogPathCache();
        args.insert(args.begin(), L"C:\\x\\TavrinDriverUtil.exe");
        TDCmdLineParser parser;
        return RunTavrinDriverUtil(L"args", static_cast<unsigned>(args.size()), args.data(), parser);
    }
    void clearLog() const { std::filesystem::remove(sim.hostPath(kLogPath)); }
    // Publishes a package the way an earlier install left it, on the bound machine.
    std::wstring stage(const std::string& text) { return stageOn(sim, text); }
    static std::wstring stageOn(SimMachine& machine, const std::string& text) {
        static int n = 0;
        const std::wstring source = L"C:\\earlier\\p" + std::to_wstring(++n) + L".inf";
        machine.writeFile(source, text);
        std::wstring published;
        platform::dev().SetupCopyOEMInfW(source, platform::kSpostPath, 0, published, 260);
        return published.substr(published.find_last_of(L'\\') + 1);
    }
    TavrinDriverOperator op;
};

TEST_F(BundleTest, InstallAllOnAnEmptyMachine) {
    layOutDrivers(sim);
    EXPECT_EQ(run({L"/installdrivers", L"1"}), 0);

    const Strings messages = logMessages();
    const std::string folder = kDriversText;
    EXPECT_TRUE(
        inOrder(messages, {"Command received to install all Tavrin Drivers",
                           "Uninstall Tavrin Drivers before installing it",
                           "Stopping 'tvrnns' service",
                           "AddRemoveNetService succeeded for tvrnns",
                           "UninstallDriver succeeded for tvrnns",
                           "Cleaning TVRNNS Residuals",
                           "UninstallDriver succeeded for tvrnva",
                           "UninstallDriver succeeded for tvrnvamgr",
                           "UnInstallSplitDnsFilter succeeded for SplitDNSFilter",
                           "Stopping 'DERAzo' service",
                           "Service stop failed or service doesn't exist, attempting remove anyway",
                           "UninstallDriver succeeded for DERAzo",
                           "Listing Driver Infs",
                           "Listing Driver Infs",
                           "Removing Inf Cache",
                           "InstallDriver succeeded for tvrnvamgr",
                           "Installing TVRNVA from: '" + folder + "tvrnva'",
                           "InstallDriver succeeded for tvrnva",
                           "InstallSplitDnsFilter succeeded for SplitDNSFilter",
                           "InstallDriver succeeded for DERAzo",
                           "Installing DERAzo service via InstallHinfSectionW: DefaultInstall.NTamd64 128 " +
                               folder + "DERAzo\\DERAzo.inf",
                           "Listing Driver Infs after all drivers are installed"}));
    // Nothing was staged before, so the sweep has nothing to count.
    EXPECT_FALSE(std::any_of(messages.begin(), messages.end(),
                             [](const std::string& line) { return line.starts_with("There are "); }));

    const MachineView view = viewOf(sim);
    EXPECT_EQ(view.packages, 4U);
    EXPECT_TRUE(view.everyRecordedPackageStaged);
    EXPECT_EQ(view.productValues.size(), 5U);
    EXPECT_EQ(view.productValues.at(L"DriverType"), L"ethernet");
    EXPECT_EQ(view.managerDevices, 1U);
    EXPECT_EQ(view.services, (std::set<std::wstring>{L"DERAzo", L"SplitDNSFilter"}));
    EXPECT_TRUE(view.filterMarker);
    const std::wstring wideFolder = kDrivers;
    EXPECT_EQ(sim.sectionsRun(),
              (std::vector<std::wstring>{
                  L"DefaultUnInstall 128 " + wideFolder + L"SplitDNSFilter\\SplitDNSFilter.inf",
                  L"DefaultInstall 128 " + wideFolder + L"SplitDNSFilter\\SplitDNSFilter.inf",
                  L"DefaultInstall.NTamd64 128 " + wideFolder + L"DERAzo\\DERAzo.inf"}));
}

TEST_F(BundleTest, InstallAllOverAnEarlierInstall) {
    layOutDrivers(sim);
    ASSERT_EQ(run({L"/installdrivers", L"1"}), 0);
    const MachineView first = viewOf(sim);
    // What else an earlier release left: the net service and its driver,
    // packages only the sweep knows, and the INF cache.
    platform::sim::SimServiceSetup netService;
    netService.name = L"tvrnns";
    sim.services().addService(netService);
    sim.netConfig().addComponent(netComponent());
    const std::wstring netPackage = stage(modelInf("NetService", "tvrnns"));
    const std::wstring miniport = stage(modelInf("Net", "tvrnna_mp"));
    sim.writeFile(L"C:\\Windows\\INF\\INFCACHE.1", "cache");
    clearLog();

    EXPECT_EQ(run({L"/installdrivers", L"1"}), 0);

    const Strings messages = logMessages();
    EXPECT_TRUE(inOrder(
        messages,
        {"Stopping 'tvrnns' service", "AddRemoveNetService succeeded for tvrnns",
         "Uninstalling OEM for component:tvrnva -> " + narrow(first.productValues.at(L"tvrnva")),
         "Device: tvrnvamgr removed successfully.", "Stopping 'DERAzo' service",
         "Service stopped, now removing", "There are 2 oemInfs to be cleaned",
         "UninstallDriver succeeded for tvrnns(" + narrow(netPackage) + ")",
         "UninstallDriver succeeded for tvrnna_mp(" + narrow(miniport) + ")", "Removing Inf Cache",
         "InstallDriver succeeded for tvrnvamgr", "Listing Driver Infs after all drivers are installed"}));
    const MachineView second = viewOf(sim);
    EXPECT_EQ(second.packages, 4U) << "the earlier packages are replaced, not added to";
    EXPECT_TRUE(second.everyRecordedPackageStaged);
    EXPECT_EQ(second.productValues.size(), 5U);
    EXPECT_EQ(second.managerDevices, 1U);
    EXPECT_EQ(second.services, (std::set<std::wstring>{L"DERAzo", L"SplitDNSFilter"}));
    EXPECT_FALSE(sim.netConfig().installed(L"tvrnns"));
    EXPECT_FALSE(sim.readFile(L"C:\\Windows\\INF\\INFCACHE.1"));
    EXPECT_TRUE(second.filterMarker);
}

TEST_F(BundleTest, UninstallAllTakesTheWholeSetOff) {
    layOutDrivers(sim);
    ASSERT_EQ(run({L"/installdrivers", L"1"}), 0);
    const std::wstring netPackage = stage(modelInf("NetService", "tvrnns"));
    clearLog();

    // The value and any other option are not consulted.
    EXPECT_EQ(run({L"/uninstalldrivers", L"0", L"/component", L"tvrnva"}), 0);

    const MachineView view = viewOf(sim);
    EXPECT_EQ(view.packages, 0U);
    EXPECT_EQ(view.productValues.size(), 1U) << "only DriverType stays for the next install";
    EXPECT_EQ(view.managerDevices, 0U);
    EXPECT_TRUE(view.services.empty());
    EXPECT_FALSE(view.filterMarker);
    EXPECT_TRUE(logged("There are 1 oemInfs to be cleaned"));
}

TEST_F(BundleTest, DriverTypeDecidesTheAdapterFlavour) {
    struct Case {
        const char* name;
        std::vector<const wchar_t*> extraArgs;
        const wchar_t* stored; // DriverType before the run; null: none
        std::set<std::string> missing;
        const char* folderLogged;
        std::optional<std::wstring> driverType; // afterwards
        const char* line;                       // a line the run must write
    };
    const Case cases[] = {
        {"no preference: ethernet",
         {},
         nullptr,
         {},
         "tvrnva",
         L"ethernet",
         "InstallDriver succeeded for tvrnva"},
        {"command line virtual",
         {L"/drivertype", L"VIRTUAL"},
         nullptr,
         {},
         "tvrnva_virtual",
         L"virtual",
         "Driver Type is passed from Command Line"},
        {"stored virtual",
         {},
         L"virtual",
         {},
         "tvrnva_virtual",
         L"virtual",
         "DriverType Read from the registry"},
        {"stored virtual outweighs a command-line ethernet",
         {L"/drivertype", L"ethernet"},
         L"Virtual",
         {},
         "tvrnva_virtual",
         L"virtual",
         "DriverType Read from the registry"},
        {"stored ethernet", {}, L"ethernet", {}, "tvrnva", L"ethernet", "InstallDriver succeeded for tvrnva"},
        {"virtual wanted but only the ethernet folder",
         {L"/drivertype", L"virtual"},
         nullptr,
         {"tvrnva_virtual"},
         "tvrnva_virtual",
         std::nullopt,
         "C:\\Program Files (x86)\\Tavrin Secure\\TavrinDrivers\\x64Drivers\\tvrnva_virtual\\tvrnva.inf does "
         "not exists"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FreshMachine fresh;
        layOutDrivers(fresh.machine, c.missing);
        if (c.stored != nullptr) {
            fresh.machine.regSetValue(
                kProductKey32, L"DriverType",
                {platform::kRegSz, platform::RegData::text(std::wstring(c.stored) + L'\0').bytes});
        }
        std::vector<const wchar_t*> args{L"/installdrivers", L"1"};
        args.insert(args.end(), c.extraArgs.begin(), c.extraArgs.end());
        EXPECT_EQ(run(args), 0);
        const Strings messages = logMessagesOf(fresh.machine);
        EXPECT_TRUE(contains(messages,
                             "Installing TVRNVA from: '" + std::string(kDriversText) + c.folderLogged + "'"));
        EXPECT_TRUE(contains(messages, c.line));
        const auto value = fresh.machine.regValue(kProductKey32, L"DriverType");
        if (c.driverType) {
            ASSERT_TRUE(value);
            EXPECT_EQ(platform::RegData{value->bytes}.textUpToNul(), *c.driverType);
            EXPECT_EQ(value->bytes.size(), c.driverType->size() * 2) << "written without its terminator";
        } else {
            // The preliminary uninstall does not touch DriverType; none was there.
            EXPECT_FALSE(value);
        }
    }
}

TEST_F(BundleTest, MissingComponentFoldersAreSkipped) {
    struct Case {
        std::string folder;
        std::string line;
        std::wstring productValue; // not recorded
    };
    const std::string folder = kDriversText;
    const Case cases[] = {
        {"tvrnvamgr", folder + "tvrnvamgr\\tvrnvamgr.inf does not exists", L"tvrnvamgr"},
        {"tvrnva", folder + "tvrnva\\tvrnva.inf does not exists", L"tvrnva"},
        {"SplitDNSFilter", folder + "SplitDNSFilter\\SplitDNSFilter.inf does not exists", L"SplitDNSFilter"},
        {"DERAzo", folder + "DERAzo\\DERAzo.inf does not exist", L"DERAzo"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        FreshMachine fresh;
        layOutDrivers(fresh.machine, {c.folder});
        EXPECT_EQ(run({L"/installdrivers", L"1"}), 0);
        const Strings messages = logMessagesOf(fresh.machine);
        // Once in the preliminary uninstall for the filter and the monitor,
        // once in the install for every component.
        const auto times = std::count(messages.begin(), messages.end(), c.line);
        EXPECT_EQ(times, c.folder == "SplitDNSFilter" || c.folder == "DERAzo" ? 2 : 1);
        const MachineView view = viewOf(fresh.machine);
        EXPECT_EQ(view.packages, 3U);
        EXPECT_EQ(view.productValues.count(c.productValue), 0U);
        EXPECT_EQ(view.services.count(L"DERAzo"), c.folder == "DERAzo" ? 0U : 1U);
        EXPECT_EQ(view.managerDevices, c.folder == "tvrnvamgr" ? 0U : 1U);
    }
}

// Every InstallDriver fails once the folder leaves no room for the INF path:
// each failure is logged in its own wording, the sections still run and the
// flavour is not recorded.
TEST_F(BundleTest, FailedPackageInstallsAreLoggedAndTheSequenceGoesOn) {
    // 242 characters of folder: every INF path passes 260, the folder does not.
    const std::wstring longRoot = L"C:\\" + std::wstring(210, L'p');
    sim.setEnvironment(L"PROGRAMFILES(X86)", longRoot);
    const std::wstring drivers = longRoot + L"\\Tavrin Secure\\TavrinDrivers\\x64Drivers\\";
    for (const auto& [relative, text] : packageTexts()) {
        sim.writeFile(drivers + std::wstring(relative.begin(), relative.end()), text);
    }
    EXPECT_EQ(run({L"/installdrivers", L"1"}), 0);
    const Strings messages = logMessages();
    EXPECT_TRUE(inOrder(messages, {"InstallDriver Failed for: tvrnvamgr with return: 2",
                                   "InstallDriver Failed for: tvrnva with return: 2",
                                   "InstallDriver failed for SplitDNSFilter",
                                   "InstallSplitDnsFilter succeeded for SplitDNSFilter",
                                   "InstallDriver Failed for: DERAzo with return: 2"}));
    EXPECT_FALSE(sim.regValue(kProductKey32, L"DriverType"));
    EXPECT_EQ(sim.sectionsRun().size(), 3U);
    EXPECT_EQ(sim.sectionsRun().back().rfind(L"DefaultInstall.NTamd64 128 ", 0), 0U);
    EXPECT_TRUE(sim.services().exists(L"DERAzo"));
}

TEST_F(BundleTest, AFailedDriverTypeWriteIsLogged) {
    layOutDrivers(sim);
    // The adapter's own run writes its published name first, then the flavour.
    sim.failCall("RegSetValueExW", 2, 5);
    DriverOperation request;
    const std::wstring adapter = L"tvrnva";
    EXPECT_EQ(op.InstallTavrinDrivers(request, &adapter, nullptr), 0U);
    EXPECT_TRUE(logged("InstallDriver succeeded for tvrnva"));
    EXPECT_TRUE(logged("Failed to set registry for DriverType"));
}

TEST_F(BundleTest, DriversFolderExpansionFailures) {
    // A folder that does not fit 260 characters counts as a failed expansion.
    const std::wstring tooLong = L"C:\\" + std::wstring(250, L'x');
    const std::string failed122 = "ExpandEnvironmentStrings failed with last Error: 122";
    struct Case {
        const char* name;
        bool install; // else uninstall
        const std::wstring* filter;
        unsigned expected;
    };
    const std::wstring filterName = L"SplitDNSFilter";
    const std::wstring monitorName = L"DERAzo";
    const std::wstring adapterName = L"tvrnva";
    const Case cases[] = {
        {"install-all: nothing installed", true, nullptr, 2},
        {"install of one component", true, &adapterName, 2},
        {"uninstall-all: filter step ends it, no monitor, no sweep", false, nullptr, 2},
        {"uninstall of the filter", false, &filterName, 2},
        {"uninstall of the monitor: skipped, result unchanged", false, &monitorName, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FreshMachine fresh;
        layOutDrivers(fresh.machine);
        {
            // An earlier install made with a folder that still fitted.
            DriverOperation request;
            ASSERT_EQ(op.InstallTavrinDrivers(request, nullptr, nullptr), 0U);
        }
        const std::wstring netPackage = stageOn(fresh.machine, modelInf("NetService", "tvrnns"));
        const std::size_t before = fresh.machine.publishedPackages().size();
        std::filesystem::remove(fresh.machine.hostPath(kLogPath));
        fresh.machine.setEnvironment(L"PROGRAMFILES(X86)", tooLong);
        DriverOperation request;
        const unsigned result = c.install ? op.InstallTavrinDrivers(request, c.filter, nullptr)
                                          : op.UnInstallTavrinDrivers(c.filter, nullptr);
        EXPECT_EQ(result, c.expected);
        const Strings messages = logMessagesOf(fresh.machine);
        EXPECT_TRUE(contains(messages, failed122));
        // Nothing past the failure ran: the monitor's service and the package
        // only the sweep takes are still there.
        EXPECT_TRUE(fresh.machine.services().exists(L"DERAzo"));
        const auto staged = fresh.machine.publishedPackages();
        EXPECT_EQ(std::count(staged.begin(), staged.end(), netPackage), 1);
        EXPECT_FALSE(contains(messages, "InstallDriver succeeded for tvrnva"));
        if (!c.install && c.filter == nullptr) {
            EXPECT_FALSE(contains(messages, "Stopping 'DERAzo' service"));
            EXPECT_LT(fresh.machine.publishedPackages().size(), before);
        }
        fresh.machine.setEnvironment(L"PROGRAMFILES(X86)", L"C:\\Program Files (x86)");
    }
}

// The monitor's expansion alone fails: its step is skipped, the sweep runs and
// the result stays 0. Which call that is follows from a run that fails at the
// filter's expansion: it is the next one there.
TEST_F(BundleTest, AMonitorExpansionFailureLeavesTheResult) {
    unsigned filterExpansion = 0;
    {
        FreshMachine probe;
        layOutDrivers(probe.machine, {"SplitDNSFilter"});
        probe.machine.setEnvironment(L"PROGRAMFILES(X86)", L"C:\\" + std::wstring(250, L'x'));
        EXPECT_EQ(op.UnInstallTavrinDrivers(nullptr, nullptr), 2U);
        filterExpansion = probe.machine.callCount("ExpandEnvironmentStringsW");
    }
    layOutDrivers(sim, {"SplitDNSFilter"});
    platform::sim::SimServiceSetup monitor;
    monitor.name = L"DERAzo";
    sim.services().addService(monitor);
    const std::wstring netPackage = stage(modelInf("NetService", "tvrnns"));
    sim.failCall("ExpandEnvironmentStringsW", filterExpansion + 1, 8);

    EXPECT_EQ(op.UnInstallTavrinDrivers(nullptr, nullptr), 0U);
    EXPECT_TRUE(inOrder(logMessages(), {"ExpandEnvironmentStrings failed with last Error: 8",
                                        "There are 1 oemInfs to be cleaned"}));
    EXPECT_FALSE(logged("Stopping 'DERAzo' service"));
    EXPECT_TRUE(sim.services().exists(L"DERAzo"));
    EXPECT_TRUE(sim.publishedPackages().empty());
}

TEST_F(BundleTest, ListingAndCacheFailuresAreOnlyLogged) {
    layOutDrivers(sim);
    sim.setWindowsDirectory(L"");
    sim.failCall("GetWindowsDirectoryW", 0, 5);
    EXPECT_EQ(run({L"/installdrivers", L"1"}), 0);
    EXPECT_TRUE(logged("RemoveINFCACHE Failed with error: 1603"));
    EXPECT_EQ(viewOf(sim).packages, 4U);
}

TEST_F(BundleTest, TheSweepUninstallsEveryStagedProductPackage) {
    const std::wstring a = stage(modelInf("NetService", "tvrnns"));
    const std::wstring b = stage(modelInf("NetService", "tvrnna"));
    const std::wstring c = stage(modelInf("Net", "tvrnna_mp"));
    const std::wstring unrelated = stage(modelInf("Net", "somebody_else"));
    EXPECT_EQ(op.UnInstallTavrinDrivers(nullptr, nullptr), 0U);
    EXPECT_TRUE(inOrder(logMessages(), {"There are 3 oemInfs to be cleaned",
                                        "UninstallDriver succeeded for tvrnns(" + narrow(a) + ")",
                                        "UninstallDriver succeeded for tvrnna(" + narrow(b) + ")",
                                        "UninstallDriver succeeded for tvrnna_mp(" + narrow(c) + ")"}));
    EXPECT_EQ(sim.publishedPackages(), std::vector<std::wstring>{unrelated});
}

TEST_F(BundleTest, NetServiceStepFollowsTheServiceStop) {
    struct Case {
        const char* name;
        std::uint32_t refuseStop;
        const std::uint32_t* installDevice;
        bool serviceRemains;
        bool netComponentRemains;
    };
    const std::uint32_t storeOnly = 0;
    const std::uint32_t full = 1;
    const Case cases[] = {
        {"stops and goes", 0, nullptr, false, false},
        {"full mode by flag", 0, &full, false, false},
        {"a refused stop keeps the service", 1052, nullptr, true, false},
        {"store only leaves service and net service", 0, &storeOnly, true, true},
    };
    const std::wstring filter = L"tvrnns";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FreshMachine fresh;
        platform::sim::SimServiceSetup service;
        service.name = L"tvrnns";
        service.refuseStop = c.refuseStop;
        fresh.machine.services().addService(service);
        fresh.machine.netConfig().addComponent(netComponent());
        fresh.machine.regSetValue(kProductKey32, L"tvrnns",
                                  {platform::kRegSz, platform::RegData::text(L"oem9.inf").bytes});
        fresh.machine.createDirectories(L"C:\\Windows\\System32\\DRVSTORE\\tvrnns_1");
        EXPECT_EQ(op.UnInstallTavrinDrivers(&filter, c.installDevice), 0U);
        const Strings messages = logMessagesOf(fresh.machine);
        EXPECT_EQ(fresh.machine.services().exists(L"tvrnns"), c.serviceRemains);
        EXPECT_EQ(fresh.machine.netConfig().installed(L"tvrnns"), c.netComponentRemains);
        EXPECT_EQ(contains(messages, "Stopping 'tvrnns' service"),
                  c.installDevice == nullptr || *c.installDevice == 1);
        EXPECT_TRUE(
            contains(messages, "Hardware id passed is: NOTADEVICEDRIVER, so skipped removing device."));
        EXPECT_TRUE(contains(messages, "Cleaning TVRNNS Residuals"));
        EXPECT_FALSE(fresh.machine.readFile(L"C:\\Windows\\System32\\DRVSTORE\\tvrnns_1\\x").has_value());
    }
}

TEST_F(BundleTest, TheMonitorServiceIsRemovedEvenWhenItWillNotStop) {
    layOutDrivers(sim);
    platform::sim::SimServiceSetup monitor;
    monitor.name = L"DERAzo";
    monitor.refuseStop = 1052;
    sim.services().addService(monitor);
    const std::wstring filter = L"DERAzo";
    EXPECT_EQ(op.UnInstallTavrinDrivers(&filter, nullptr), 0U);
    EXPECT_TRUE(
        inOrder(logMessages(), {"Stopping 'DERAzo' service",
                                "Service stop failed or service doesn't exist, attempting remove anyway",
                                "UninstallDriver succeeded for DERAzo"}));
    EXPECT_TRUE(sim.services().markedForDelete(L"DERAzo"));
}

TEST_F(BundleTest, AFailedFilterSectionKeepsItsPackage) {
    layOutDrivers(sim);
    DriverOperation request;
    ASSERT_EQ(op.InstallTavrinDrivers(request, nullptr, nullptr), 0U);
    clearLog();
    // A section command line that cannot be built breaks the run off (1603).
    const std::wstring filter = L"SplitDNSFilter";
    sim.throwOnCall("InstallHinfSectionW", sim.callCount("InstallHinfSectionW") + 1);
    EXPECT_EQ(op.UnInstallTavrinDrivers(&filter, nullptr), 0U);
    EXPECT_TRUE(logged("UnInstallSplitDnsFilter Failed for: SplitDNSFilter with return: 1603"));
    EXPECT_TRUE(sim.regValue(kProductKey32, L"SplitDNSFilter").has_value());
    EXPECT_EQ(sim.publishedPackages().size(), 4U);
}

TEST_F(BundleTest, FiltersMatchExactlyOneStep) {
    struct Case {
        std::wstring filter;
        bool install;
        Strings present;
        Strings absent;
    };
    const Case cases[] = {
        {L"tvrnva",
         true,
         {"Uninstall Tavrin Drivers before installing it", "InstallDriver succeeded for tvrnva"},
         {"Listing Driver Infs", "Removing Inf Cache", "Stopping 'tvrnns' service",
          "InstallDriver succeeded for tvrnvamgr", "Listing Driver Infs after all drivers are installed"}},
        {L"tvrnns",
         true,
         {"Uninstall Tavrin Drivers before installing it"},
         {"Stopping 'tvrnns' service", "Listing Driver Infs", "InstallDriver succeeded for tvrnvamgr"}},
        {L"TVRNVA", false, {}, {"UninstallDriver succeeded for tvrnva", "Listing Driver Infs"}},
        {L"DERAzo",
         false,
         {"UninstallDriver succeeded for DERAzo"},
         {"Stopping 'tvrnns' service", "UninstallDriver succeeded for tvrnva", "Listing Driver Infs"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.filter));
        FreshMachine fresh;
        layOutDrivers(fresh.machine);
        DriverOperation request;
        const unsigned result = c.install ? op.InstallTavrinDrivers(request, &c.filter, nullptr)
                                          : op.UnInstallTavrinDrivers(&c.filter, nullptr);
        EXPECT_EQ(result, 0U);
        const Strings messages = logMessagesOf(fresh.machine);
        for (const std::string& line : c.present) {
            EXPECT_TRUE(contains(messages, line)) << line;
        }
        for (const std::string& line : c.absent) {
            EXPECT_FALSE(contains(messages, line)) << line;
        }
    }
}

TEST_F(BundleTest, ReinstallRefusals) {
    struct Case {
        std::vector<const wchar_t*> args;
        std::string line;
    };
    const Case cases[] = {
        {{L"/reinstall", L"3", L"/component", L"tvrnva"}, "Invalid argument passed to /reinstall parameter"},
        {{L"/reinstall", L"12", L"/component", L"tvrnva"}, "Invalid argument passed to /reinstall parameter"},
        {{L"/reinstall", L"", L"/component", L"tvrnva"}, "Invalid argument passed to /reinstall parameter"},
        {{L"/reinstall", L"1"}, "Component name is missing"},
        {{L"/reinstall", L"2", L"/component", L"DERAzo"}, "Invalid Component name: DERAzo"},
        {{L"/reinstall", L"2", L"/component", L"TVRNVA"}, "Invalid Component name: TVRNVA"},
        {{L"/reinstall", L"1", L"/component", L"tvrnna"}, "Invalid Component name: tvrnna"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        FreshMachine fresh;
        layOutDrivers(fresh.machine);
        EXPECT_EQ(run(c.args), 2);
        const Strings messages = logMessagesOf(fresh.machine);
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages.back(), c.line);
        EXPECT_TRUE(fresh.machine.publishedPackages().empty());
    }
}

TEST_F(BundleTest, ReinstallTouchesOnlyTheNamedComponent) {
    struct Case {
        const wchar_t* mode;
        const wchar_t* component;
        Strings lines; // in this order
        unsigned managerDevices;
        bool netServiceRemains;
        std::vector<std::wstring> sections; // section names run by the reinstall
    };
    const Case cases[] = {
        {L"1",
         L"tvrnva",
         {"UninstallDriver succeeded for tvrnva", "InstallDriver succeeded for tvrnva"},
         1,
         true,
         {}},
        {L"2",
         L"tvrnva",
         {"Device: {FE36527A-8C07-4854-8AF7-BF40E7DF52F7}\\TVRNVA removed successfully.",
          "UninstallDriver succeeded for tvrnva", "InstallDriver succeeded for tvrnva"},
         1,
         true,
         {}},
        {L"1",
         L"tvrnvamgr",
         {"UninstallDriver succeeded for tvrnvamgr", "InstallDriver succeeded for tvrnvamgr"},
         1,
         true,
         {}},
        {L"2",
         L"tvrnvamgr",
         {"Device: tvrnvamgr removed successfully.", "UninstallDriver succeeded for tvrnvamgr",
          "InstallDriver succeeded for tvrnvamgr"},
         1,
         true,
         {}},
        {L"1", L"tvrnns", {"UninstallDriver succeeded for tvrnns", "Cleaning TVRNNS Residuals"}, 1, true, {}},
        {L"2",
         L"tvrnns",
         {"Stopping 'tvrnns' service", "AddRemoveNetService succeeded for tvrnns",
          "UninstallDriver succeeded for tvrnns"},
         1,
         false,
         {}},
        {L"1",
         L"SplitDNSFilter",
         {"UnInstallSplitDnsFilter succeeded for SplitDNSFilter",
          "InstallSplitDnsFilter succeeded for SplitDNSFilter"},
         1,
         true,
         {L"DefaultUnInstall", L"DefaultInstall"}},
        {L"2",
         L"SplitDNSFilter",
         {"UnInstallSplitDnsFilter succeeded for SplitDNSFilter",
          "InstallSplitDnsFilter succeeded for SplitDNSFilter"},
         1,
         true,
         {L"DefaultUnInstall", L"DefaultInstall"}},
    };
    for (const Case& c : cases) {
        const std::wstring component = c.component;
        SCOPED_TRACE(narrow(component) + " mode " + narrow(c.mode));
        FreshMachine fresh;
        layOutDrivers(fresh.machine);
        {
            DriverOperation request;
            ASSERT_EQ(op.InstallTavrinDrivers(request, nullptr, nullptr), 0U);
        }
        fresh.machine.netConfig().addComponent(netComponent());
        // The adapter the network configuration made on the manager.
        platform::sim::SimDevice adapter;
        adapter.instanceId = L"ROOT\\NET\\0042";
        adapter.classGuid = platform::kGuidDevClassNet;
        adapter.hardwareIds = std::vector<std::wstring>{kAdapterIdWide};
        fresh.machine.addDevice(adapter);
        const MachineView before = viewOf(fresh.machine);
        const std::size_t sectionsBefore = fresh.machine.sectionsRun().size();
        std::filesystem::remove(fresh.machine.hostPath(kLogPath));

        EXPECT_EQ(run({L"/reinstall", c.mode, L"/component", c.component}), 0);

        const Strings messages = logMessagesOf(fresh.machine);
        EXPECT_TRUE(inOrder(messages, c.lines));
        EXPECT_FALSE(contains(messages, "Listing Driver Infs"));
        const MachineView after = viewOf(fresh.machine);
        EXPECT_EQ(after.managerDevices, c.managerDevices);
        const bool adapterGoes = component == L"tvrnva" && std::wstring(c.mode) == L"2";
        EXPECT_EQ(after.adapterDevices, adapterGoes ? 0U : 1U);
        EXPECT_EQ(after.packages, 4U);
        EXPECT_TRUE(after.everyRecordedPackageStaged);
        EXPECT_EQ(after.services, before.services);
        EXPECT_EQ(fresh.machine.netConfig().installed(L"tvrnns"), c.netServiceRemains);
        for (const auto& [name, value] : before.productValues) {
            if (name != component) {
                EXPECT_EQ(after.productValues.at(name), value) << narrow(name);
            }
        }
        std::vector<std::wstring> sections;
        const auto ran = fresh.machine.sectionsRun();
        for (auto it = ran.begin() + static_cast<std::ptrdiff_t>(sectionsBefore); it != ran.end(); ++it) {
            sections.push_back(it->substr(0, it->find(L' ')));
        }
        EXPECT_EQ(sections, c.sections);
        // Store-only leaves the manager's device alone; full mode makes it anew.
        if (component == L"tvrnvamgr") {
            EXPECT_EQ(contains(messages, "Hardware ID: tvrnvamgr"), std::wstring(c.mode) == L"2");
        }
    }
}

} // namespace
} // namespace tdu::test
