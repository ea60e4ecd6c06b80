// The example product package (examples/installer/TavrinDrivers.wxs) run by Wine's installer engine as a
// client machine meets it: an earlier release is installed whose removal would run driver actions, the
// example upgrades it, and the example is uninstalled again. wixl builds both packages here from their
// sources, with this build's TavrinDriverUtil.exe and the sample driver packages.
#include "E2eLog.h"
#include "HostTools.h"
#include "WineHarness.h"

#include "installer_db/FixedTables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iterator>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#ifndef TDU_E2E_PACKAGES_DIR
#define TDU_E2E_PACKAGES_DIR ""
#endif
#ifndef TDU_EXAMPLES_DIR
#define TDU_EXAMPLES_DIR ""
#endif

namespace tdu::e2e {
namespace {

namespace fs = std::filesystem;

const std::string kPackages = R"(C:\packages)";
const std::string kProductPackage = kPackages + R"(\TavrinDrivers.msi)";
const std::string kEarlierPackage = kPackages + R"(\earlier-release.msi)";
const std::string kInstallLog = kPackages + R"(\install.log)";
const std::string kUninstallLog = kPackages + R"(\uninstall.log)";

const std::string kProgramFiles = R"(C:\Program Files (x86)\Tavrin Secure)";
const std::string kDriversFolder = kProgramFiles + R"(\TavrinDrivers)";
const std::string kClientVendorFolder = R"(C:\Program Files (x86)\Common Files\Tavrin Secure)";
const std::string kClient = kClientVendorFolder + R"(\TamUI\Tavrin.exe)";
const std::string kInfFolder = R"(C:\windows\inf\)";
const std::string kSystemDrivers = R"(C:\windows\system32\drivers\)";
const std::string kInstallerCache = R"(C:\windows\Installer)";
const std::string kManagerDevice = R"(HKLM\System\CurrentControlSet\Enum\ROOT\TVRNVAMGR\0000)";
const std::string kServices = R"(HKLM\System\CurrentControlSet\Services\)";
const std::string kUninstallKeys = R"(HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\)";
const std::string kFilterMarkerKey = R"(HKLM\Software\TavrinSecure\SplitDNSFilter)";
const std::string kRanMarkers = R"(HKLM\Software\TavrinSecureTest\EarlierRelease\Ran)";

// Far below the 600 s that msiexec would wait if it ran /setstatus 0 synchronously.
constexpr std::chrono::seconds kMsiexecLimit{120};

// What the install publishes: the driver set and the network service's package.
const std::vector<std::string> kPublished{"tvrnvamgr", "tvrnva", "SplitDNSFilter", "DERAzo", "tvrnns"};
// The markers of the earlier release's removal actions named like its driver actions.
const std::vector<std::string> kDriverActionMarkers{"MsiUninstallDrivers", "A_RemoveVAMGR",
                                                    "A_UnInstallSplitDns", "A_RemoveTVRNNS"};
// The marker of its removal action of no list.
const std::string kBystanderMarker = "A_RemoveClientSettings";

std::string op(std::string_view message) {
    return entry(kOperatorUnit, message);
}

std::string difx(std::string_view message) {
    return entry("DifxHandler.cpp", message);
}

// The product codes the program lists for the earlier release's version label, in its order.
std::vector<std::string> codesOf(const std::wstring& label) {
    std::vector<std::string> codes;
    const auto [first, last] = productCodesByVersion.equal_range(label);
    std::transform(first, last, std::back_inserter(codes),
                   [](const auto& row) { return std::string(row.second.begin(), row.second.end()); });
    return codes;
}

// The command lines of the runs in a log, in the order they were received.
std::vector<std::string> commandLines(const std::vector<std::string>& records) {
    const std::string head = received("");
    const std::string prefix = head.substr(0, head.size() - 1);
    std::vector<std::string> lines;
    for (const std::string& record : records) {
        if (record.starts_with(prefix)) {
            lines.push_back(record.substr(prefix.size(), record.size() - prefix.size() - 1));
        }
    }
    return lines;
}

// The installer starts "/setstatus 0" without waiting for it, so its run may log its first line after
// the next action's run has begun. The other runs are synchronous: their order is the script's.
::testing::AssertionResult runsInScriptOrder(std::vector<std::string> lines,
                                             const std::string& synchronousBefore,
                                             const std::vector<std::string>& synchronous) {
    const auto started = std::find(lines.begin(), lines.end(), "/setstatus 0");
    if (started == lines.end() || std::count(lines.begin(), lines.end(), "/setstatus 0") != 1) {
        return ::testing::AssertionFailure() << "not exactly one /setstatus 0 run";
    }
    if (!synchronousBefore.empty() && std::find(lines.begin(), started, synchronousBefore) == started) {
        return ::testing::AssertionFailure() << "/setstatus 0 ran before " << synchronousBefore;
    }
    lines.erase(started);
    if (lines != synchronous) {
        ::testing::AssertionResult failure = ::testing::AssertionFailure() << "synchronous runs:";
        for (const std::string& line : lines) {
            failure << " '" << line << "'";
        }
        return failure;
    }
    return ::testing::AssertionSuccess();
}

// The handshake around the driver work: the waiting run had started when the ending run signalled it,
// woke and released its mutex.
::testing::AssertionResult handshakeCompleted(const std::vector<std::string>& records) {
    const auto count = [&](const std::string& line) {
        return std::count(records.begin(), records.end(), line);
    };
    if (count(op("Started installation of the drivers")) != 1 || count(op("TSAC Installation Ended")) != 1) {
        return ::testing::AssertionFailure() << "not one starting and one ending run";
    }
    const ::testing::AssertionResult woken =
        inOrder(records, {op("Started installation of the drivers"), op("TSAC Installation Ended"),
                          op("Installation of the drivers completed Successfully"),
                          op("Released Installation started event")});
    if (!woken) {
        return woken;
    }
    return inOrder(records,
                   {op("TSAC Installation Ended"), op("Successfully set event for install completion")});
}

// The cached copy's name is the engine's choice.
std::vector<std::string> withCachedPackageNamed(std::vector<std::string> records) {
    const std::regex cached(R"(C:\\windows\\Installer\\[^\\']+\.msi)");
    for (std::string& record : records) {
        record = std::regex_replace(record, cached, R"(C:\windows\Installer\<cached>.msi)");
    }
    return records;
}

// The results msiexec's verbose log gives for an action, in order. Wine's engine logs a deferred action
// twice: when the sequence schedules it and when the script runs it at InstallFinalize. For an EXE action
// with Return="check", 1 means the program ended with 0.
std::vector<std::string> actionResults(const std::string& msiLog, const std::string& action) {
    const std::regex ended("Action ended [0-9:]+: " + action + R"(\. Return value (\d+)\.)");
    std::vector<std::string> results;
    for (auto it = std::sregex_iterator(msiLog.begin(), msiLog.end(), ended); it != std::sregex_iterator();
         ++it) {
        results.push_back((*it)[1].str());
    }
    return results;
}

std::string loggedProperty(const std::string& msiLog, const std::string& name) {
    std::smatch match;
    const std::regex line("Property\\(S\\): " + name + " = ([^\r\n]*)");
    return std::regex_search(msiLog, match, line) ? match[1].str() : std::string("<not logged>");
}

class InstallerPackage : public ProgramTest {
protected:
    InstallerPackage() : scratch_(machine.prefix().parent_path() / "installer-package") {
        fs::create_directories(scratch_);
        machine.mkdirs(kPackages);
    }

    // wixl 0.101 finds a package's files only relative to its working folder: each package is built in a
    // folder laid out like the one it installs.
    void build(const fs::path& source, const fs::path& layout, const std::string& package,
               const std::vector<std::string>& defines) {
        std::vector<std::string> argv{"env", "-C", layout.string(), "wixl", "-a", "x64"};
        for (const std::string& define : defines) {
            argv.insert(argv.end(), {"-D", define});
        }
        argv.insert(argv.end(), {"-o", machine.hostPath(package).string(), source.string()});
        runHostTool(argv, scratch_ / ("wixl-" + layout.filename().string()));
    }

    void buildProduct() {
        const fs::path layout = scratch_ / "TavrinDrivers";
        fs::create_directories(layout);
        fs::copy(fs::path(TDU_SAMPLES_DIR) / "x64Drivers", layout / "x64Drivers",
                 fs::copy_options::recursive);
        fs::copy_file(programUnderTest(), layout / "TavrinDriverUtil.exe");
        build(fs::path(TDU_EXAMPLES_DIR) / "installer" / "TavrinDrivers.wxs", layout, kProductPackage, {});
    }

    void buildEarlierRelease(const std::string& productCode) {
        const fs::path layout = scratch_ / "TamUI";
        fs::create_directories(layout);
        fs::copy_file(clientStandIn("9.1.15"), layout / "Tavrin.exe");
        build(fs::path(TDU_E2E_PACKAGES_DIR) / "upgradable-earlier-release.wxs", layout, kEarlierPackage,
              {"ProductCode=" + productCode});
    }

    std::uint32_t msiexec(const std::vector<std::string>& args) {
        return machine.runCommand("msiexec.exe", args, kMsiexecLimit);
    }

    // The log's records from this byte on: the runs of one installer session.
    std::vector<std::string> logFrom(std::size_t offset) {
        const std::string text = machine.readFile(kLogFile).substr(offset);
        expectCrLfOnly(text);
        return summarize(parseLog(text));
    }

    std::size_t logSize() { return machine.readFile(kLogFile).size(); }

    std::optional<std::string> stored(const std::string& name) {
        return machine.regQuery(kProductKeyIn32BitView, name);
    }

    bool cachedPackages() {
        const auto names = machine.listDir(kInstallerCache);
        return std::any_of(names.begin(), names.end(),
                           [](const std::string& n) { return n.ends_with(".msi"); });
    }

    fs::path scratch_;
};

TEST_F(InstallerPackage, UpgradeFromAnEarlierReleaseThenUninstall) {
    // The fifth code of the label: /disableDifx all tries the four before it first.
    const std::vector<std::string> codes = codesOf(L"9.1.15");
    const std::string earlier = codes.at(4);
    buildEarlierRelease(earlier);
    buildProduct();

    ASSERT_EQ(msiexec({"/i", kEarlierPackage, "/qn"}), kSuccess);
    ASSERT_TRUE(machine.exists(kClient));
    ASSERT_TRUE(machine.regKeyExists(kUninstallKeys + earlier));
    // Only the new package makes the log's parent folder; the utility makes the last level alone.
    ASSERT_FALSE(machine.exists(kVendorFolder));

    ASSERT_EQ(msiexec({"/i", kProductPackage, "/qn", "/l*v", kInstallLog}), kSuccess);
    const std::string installLog = machine.readFile(kInstallLog);
    const std::string product = loggedProperty(installLog, "ProductCode");
    {
        SCOPED_TRACE("the upgrade removed the earlier release without its driver actions");
        EXPECT_EQ(loggedProperty(installLog, "WIX_UPGRADE_DETECTED"), earlier);
        EXPECT_FALSE(machine.exists(kClient));
        EXPECT_FALSE(machine.regKeyExists(kUninstallKeys + earlier));
        for (const std::string& marker : kDriverActionMarkers) {
            EXPECT_FALSE(machine.regQuery(kRanMarkers, marker)) << marker;
        }
        EXPECT_EQ(machine.regQuery(kRanMarkers, kBystanderMarker), "ran");
        // The removal came once the new install was complete, where RemoveExistingProducts is placed.
        const auto removal = installLog.find("Action start ", installLog.find("RemoveExistingProducts."));
        ASSERT_NE(removal, std::string::npos);
        EXPECT_LT(installLog.find("InstallFinalize. Return value 1."), removal);
    }
    {
        SCOPED_TRACE("the installer saw each action succeed, /netserv ADD excepted");
        EXPECT_EQ(loggedProperty(installLog, "LOGPARENTFOLDER"), R"(C:\users\Public\Tavrin Secure\)");
        for (const char* action : {"TDU_DisableDifx", "TDU_InstallDrivers", "TDU_PublishNetService"}) {
            EXPECT_EQ(actionResults(installLog, action), (std::vector<std::string>{"1", "1"})) << action;
        }
        // It ended with 2 (the log below says so); Return="ignore" hides that from the installer.
        EXPECT_EQ(actionResults(installLog, "TDU_AddNetService"), (std::vector<std::string>{"1", "1"}));
        EXPECT_TRUE(machine.regKeyExists(kUninstallKeys + product)) << product;
    }
    {
        SCOPED_TRACE("the utility's log of the installation");
        const std::vector<std::string> records = logFrom(0);
        const std::string tvrnnsInf = kDriversFolder + R"(\x64Drivers\tvrnns\tvrnns.inf)";
        EXPECT_TRUE(runsInScriptOrder(commandLines(records), "/disableDifx all",
                                      {"/disableDifx all", "/installdrivers 1",
                                       "/install \"" + tvrnnsInf + "\" /component tvrnns",
                                       "/netserv ADD /component tvrnns", "/setstatus 1"}));
        std::vector<std::string> expected{difx("Version of old Product is: 9.1.15")};
        for (std::size_t i = 0; i < 4; ++i) {
            expected.push_back(difx("Failed to find Product: '" + codes[i] + "', Error: 1605"));
        }
        const std::vector<std::string> rest{
            difx(R"(Product Found: 'C:\windows\Installer\<cached>.msi', Disabling Difx now...)"),
            difx("Commiting Successful..."),
            difx("Disabled Difx CAs Successfully for product Code: " + earlier),
            op("Command received to install all Tavrin Drivers"),
            // Wine's INetCfg has no FindComponent: the preliminary removal of the network service fails.
            op("AddRemoveNetService Failed for: tvrnns with return: 2"),
            op("InstallDriver succeeded for tvrnvamgr"),
            op("Installing TVRNVA from: '" + kDriversFolder + R"(\x64Drivers\tvrnva')"),
            op("InstallDriver succeeded for tvrnva"),
            op("InstallSplitDnsFilter succeeded for SplitDNSFilter"),
            op("InstallDriver succeeded for DERAzo"),
            op(R"(Successfully copied driver to driver store, output oem: C:\windows\inf\tvrnns.inf)"),
            op("Successfully set registry: tvrnns"),
            op("Command received to add net Service"),
            // ...nor QueryNetCfgClass: /netserv ADD ends with 2. Windows installs the service here.
            op("Add/Remove of net service:tvrnns Failed"),
            op("TSAC Installation Ended"),
        };
        expected.insert(expected.end(), rest.begin(), rest.end());
        EXPECT_TRUE(inOrder(withCachedPackageNamed(records), expected));
        EXPECT_TRUE(handshakeCompleted(records));
    }
    {
        SCOPED_TRACE("the machine after the installation");
        EXPECT_TRUE(machine.exists(kDriversFolder + R"(\TavrinDriverUtil.exe)"));
        for (const std::string& component : kPublished) {
            // Wine publishes under the INF's own name; Windows would give oemN.inf.
            EXPECT_TRUE(machine.exists(kInfFolder + component + ".inf")) << component;
            EXPECT_EQ(stored(component), component + ".inf");
        }
        EXPECT_EQ(machine.regQueryValue(kProductKeyIn32BitView, "DriverType"),
                  (RegValue{"REG_SZ", "ethernet"}));
        EXPECT_EQ(machine.regQuery(kManagerDevice, "HardwareID"), "tvrnvamgr");
        for (const char* service : {"tvrnvamgr", "SplitDNSFilter", "DERAzo"}) {
            EXPECT_TRUE(machine.regKeyExists(kServices + service)) << service;
        }
        // The network configuration would create it on Windows; Wine's cannot install the service.
        EXPECT_FALSE(machine.regKeyExists(kServices + "tvrnns"));
    }

    const std::size_t installed = logSize();
    ASSERT_EQ(msiexec({"/x", kProductPackage, "/qn", "/l*v", kUninstallLog}), kSuccess);
    {
        SCOPED_TRACE("the utility's log of the uninstall");
        const std::vector<std::string> records = logFrom(installed);
        EXPECT_TRUE(runsInScriptOrder(commandLines(records), "", {"/uninstalldrivers 1", "/setstatus 1"}));
        // Each package is found where the installer left it: the uninstall ran before RemoveFiles.
        EXPECT_TRUE(
            inOrder(records,
                    {op("Command received to un-install all Tavrin Drivers"),
                     op("Removed OEM: tvrnns.inf successfully."), op("Removed OEM: tvrnva.inf successfully."),
                     // Wine cannot remove the manager's device: see below.
                     op("SetupDiSetClassInstallParams failed with last Error: 0"),
                     op("Removed OEM: tvrnvamgr.inf successfully."),
                     op("UnInstallSplitDnsFilter succeeded for SplitDNSFilter"),
                     op("Removed OEM: SplitDNSFilter.inf successfully."),
                     entry("ServiceHandler.cpp", "'DERAzo' Service deleted successfully"),
                     op("Removed OEM: DERAzo.inf successfully."), op("TSAC Installation Ended")}));
        EXPECT_TRUE(handshakeCompleted(records));
        const std::string uninstallLog = machine.readFile(kUninstallLog);
        for (const char* action : {"TDU_UninstallStarted", "TDU_UninstallDrivers", "TDU_UninstallEnded"}) {
            EXPECT_EQ(actionResults(uninstallLog, action), (std::vector<std::string>{"1", "1"})) << action;
        }
    }
    {
        SCOPED_TRACE("the machine is clean of the product");
        EXPECT_FALSE(machine.exists(kDriversFolder));
        EXPECT_FALSE(machine.regKeyExists(kUninstallKeys + product));
        EXPECT_FALSE(cachedPackages());
        for (const std::string& component : kPublished) {
            EXPECT_FALSE(machine.exists(kInfFolder + component + ".inf")) << component;
            EXPECT_FALSE(stored(component)) << component;
        }
        for (const char* service : {"SplitDNSFilter", "DERAzo"}) {
            EXPECT_FALSE(machine.regKeyExists(kServices + service)) << service;
        }
        for (const char* file : {"tvrnvamgr.sys", "SplitDNSFilter.sys", "DERAzo.sys"}) {
            EXPECT_FALSE(machine.exists(kSystemDrivers + file)) << file;
        }
        EXPECT_FALSE(machine.regQuery(kFilterMarkerKey, "Installed"));
    }
    {
        SCOPED_TRACE("what remains, and why");
        const std::vector<std::string> vendorFolders{kProgramFiles, kClientVendorFolder};
        const struct {
            std::string what;
            std::string why;
            std::function<bool()> present;
        } leftovers[] = {
            {"the utility's log and its folders",
             "the utility writes the log; the package never installed it",
             [&] { return machine.exists(kLogFile); }},
            {"DriverType in the product key", "kept for the next install to read its flavour",
             [&] { return stored("DriverType") == "ethernet"; }},
            {"the manager's device ROOT\\TVRNVAMGR\\0000",
             "Wine's SetupDiSetClassInstallParamsW fails, so the device cannot be removed",
             [&] { return machine.regKeyExists(kManagerDevice); }},
            {"the manager's service", "made by its device's install; no step of the uninstall deletes it",
             [&] { return machine.regKeyExists(kServices + "tvrnvamgr"); }},
            {"a .pnf beside each removed .inf", "Wine's SetupUninstallOEMInfW deletes the .inf only",
             [&] {
                 return std::all_of(kPublished.begin(), kPublished.end(), [&](const std::string& component) {
                     return machine.exists(kInfFolder + component + ".pnf");
                 });
             }},
            {"the empty vendor folders in Program Files (x86) and its Common Files",
             "Wine's installer engine leaves the empty parents of removed folders",
             [&] {
                 return std::all_of(vendorFolders.begin(), vendorFolders.end(),
                                    [&](const std::string& folder) {
                                        return machine.exists(folder) && machine.listDir(folder).empty();
                                    });
             }},
            {"the marker of the earlier release's bystander action",
             "written by its removal, as it should be",
             [&] { return machine.regQuery(kRanMarkers, kBystanderMarker).has_value(); }},
        };
        for (const auto& leftover : leftovers) {
            EXPECT_TRUE(leftover.present()) << leftover.what << " (" << leftover.why << ")";
        }
    }
}

} // namespace
} // namespace tdu::e2e
