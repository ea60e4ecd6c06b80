// The whole driver set under Wine: /installdrivers, /uninstalldrivers and
// /reinstall with our sample packages laid out as the installer lays them
// out, checked against Wine's real driver store, device tree, registry and
// service manager.
#include "E2eLog.h"
#include "WineHarness.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace tdu::e2e {
namespace {

const std::string kDrivers = R"(C:\Program Files (x86)\Tavrin Secure\TavrinDrivers\x64Drivers)";
const std::string kInfFolder = R"(C:\windows\inf\)";
const std::string kEnumRoot = R"(HKLM\System\CurrentControlSet\Enum\ROOT\)";
const std::string kServices = R"(HKLM\System\CurrentControlSet\Services\)";
const std::string kFilterMarkerKey = R"(HKLM\Software\TavrinSecure\SplitDNSFilter)";
const std::string kDriversFolder = R"(C:\windows\system32\drivers\)";
const std::vector<std::string> kComponents{"tvrnvamgr", "tvrnva", "SplitDNSFilter", "DERAzo"};

std::string op(std::string_view message) {
    return entry(kOperatorUnit, message);
}

class Bundle : public ProgramTest {
protected:
    Bundle() {
        createVendorFolder();
        machine.mkdirs(kDrivers);
        std::filesystem::copy(std::filesystem::path(TDU_SAMPLES_DIR) / "x64Drivers",
                              machine.hostPath(kDrivers), std::filesystem::copy_options::recursive);
    }
    // The log of the last run only: from its banner on.
    std::vector<std::string> lastRun() {
        const std::vector<std::string> all = summarize(log());
        const auto banner = std::find(all.rbegin(), all.rend(), std::string(kBannerMark));
        return {banner.base(), all.end()};
    }
    std::optional<std::string> stored(const std::string& name) {
        return machine.regQuery(kProductKeyIn32BitView, name);
    }
    std::vector<std::string> managerDevices() {
        std::vector<std::string> found;
        for (const char* instance : {"0000", "0001", "0002", "0003", "0004"}) {
            if (machine.regKeyExists(kEnumRoot + "TVRNVAMGR\\" + instance)) {
                found.emplace_back(instance);
            }
        }
        return found;
    }

    // What an install of the whole set leaves, however many came before.
    void expectInstalled(const std::string& driverType) {
        for (const std::string& component : kComponents) {
            // Wine publishes under the INF's own name; Windows would give oemN.inf.
            EXPECT_TRUE(machine.exists(kInfFolder + component + ".inf")) << component;
            EXPECT_EQ(stored(component), component + ".inf");
        }
        EXPECT_EQ(machine.regQueryValue(kProductKeyIn32BitView, "DriverType"),
                  (RegValue{"REG_SZ", driverType}));
        EXPECT_EQ(machine.regQuery(kEnumRoot + "TVRNVAMGR\\0000", "HardwareID"), "tvrnvamgr");
        // The monitor's service comes from its DefaultInstall.NTamd64 section.
        EXPECT_EQ(machine.regQuery(kServices + "DERAzo", "Group"), "FSFilter Activity Monitor");
        EXPECT_TRUE(machine.exists(kDriversFolder + "DERAzo.sys"));
        // The filter's DefaultInstall: its registry marker, service and file.
        EXPECT_EQ(machine.regQueryValue(kFilterMarkerKey, "Installed"), (RegValue{"REG_DWORD", "0x1"}));
        EXPECT_TRUE(machine.regKeyExists(kServices + "SplitDNSFilter"));
        EXPECT_TRUE(machine.exists(kDriversFolder + "SplitDNSFilter.sys"));
    }
};

TEST_F(Bundle, InstallTwiceThenUninstall) {
    ASSERT_EQ(machine.run({"/installdrivers", "1"}), kSuccess);
    const std::string folder = kDrivers + "\\";
    EXPECT_TRUE(inOrder(
        lastRun(),
        {op("Command received to install all Tavrin Drivers"),
         op("Uninstall Tavrin Drivers before installing it"), op("Stopping 'tvrnns' service"),
         // Wine's INetCfg has no FindComponent.
         op("AddRemoveNetService Failed for: tvrnns with return: 2"),
         op("UninstallDriver succeeded for tvrnns"), op("UninstallDriver succeeded for tvrnva"),
         op("UninstallDriver succeeded for tvrnvamgr"),
         op("UnInstallSplitDnsFilter succeeded for SplitDNSFilter"), op("Stopping 'DERAzo' service"),
         op("Service stop failed or service doesn't exist, attempting remove anyway"),
         op("UninstallDriver succeeded for DERAzo"), op("Removing Inf Cache"),
         op("InstallDriver succeeded for tvrnvamgr"), op("Installing TVRNVA from: '" + folder + "tvrnva'"),
         op("InstallDriver succeeded for tvrnva"), op("InstallSplitDnsFilter succeeded for SplitDNSFilter"),
         op("InstallDriver succeeded for DERAzo"),
         op("Installing DERAzo service via InstallHinfSectionW: DefaultInstall.NTamd64 128 " + folder +
            "DERAzo\\DERAzo.inf"),
         op("Listing Driver Infs after all drivers are installed"),
         op("C:/windows/inf\\tvrnvamgr.inf 01/01/1601 0.0.0.0 tvrnvamgr\n")}));
    expectInstalled("ethernet");
    EXPECT_EQ(managerDevices(), std::vector<std::string>{"0000"});
    EXPECT_TRUE(machine.exists(kDriversFolder + "tvrnvamgr.sys")); // the device's own install ran

    // The second install takes the first one off before it puts the set on again.
    ASSERT_EQ(machine.run({"/installdrivers", "1"}), kSuccess);
    EXPECT_TRUE(inOrder(lastRun(), {op("Uninstalling OEM for component:tvrnva -> tvrnva.inf"),
                                    op("Removed OEM: tvrnva.inf successfully."),
                                    op("Uninstalling OEM for component:tvrnvamgr -> tvrnvamgr.inf"),
                                    op("UnInstallSplitDnsFilter succeeded for SplitDNSFilter"),
                                    entry("ServiceHandler.cpp", "'DERAzo' Service is already stopped."),
                                    op("Service stopped, now removing"),
                                    entry("ServiceHandler.cpp", "'DERAzo' Service deleted successfully"),
                                    op("Removed OEM: DERAzo.inf successfully."),
                                    op("InstallDriver succeeded for DERAzo")}));
    expectInstalled("ethernet");
    // Wine's SetupDiSetClassInstallParamsW fails (without an error code), so
    // the first manager device cannot be removed and a second one joins it;
    // Windows would leave exactly one.
    EXPECT_TRUE(inOrder(lastRun(), {op("SetupDiSetClassInstallParams failed with last Error: 0")}));
    EXPECT_EQ(managerDevices(), (std::vector<std::string>{"0000", "0001"}));

    // The value and the other options of /uninstalldrivers are not consulted.
    ASSERT_EQ(machine.run({"/uninstalldrivers", "0", "/component", "tvrnva"}), kSuccess);
    EXPECT_TRUE(inOrder(lastRun(), {op("Command received to un-install all Tavrin Drivers"),
                                    op("UninstallDriver succeeded for tvrnva"),
                                    op("UninstallDriver succeeded for DERAzo")}));
    for (const std::string& component : kComponents) {
        EXPECT_FALSE(machine.exists(kInfFolder + component + ".inf")) << component;
        EXPECT_FALSE(stored(component)) << component;
    }
    // DriverType stays for the next install to read.
    EXPECT_EQ(stored("DriverType"), "ethernet");
    EXPECT_FALSE(machine.regKeyExists(kServices + "DERAzo"));
    EXPECT_FALSE(machine.regKeyExists(kServices + "SplitDNSFilter"));
    EXPECT_FALSE(machine.regQuery(kFilterMarkerKey, "Installed"));
    EXPECT_FALSE(machine.exists(kDriversFolder + "SplitDNSFilter.sys"));
    // What Wine leaves behind: the manager devices (see above) and the .pnf
    // files beside each removed .inf, which SetupUninstallOEMInfW keeps.
    EXPECT_EQ(managerDevices(), (std::vector<std::string>{"0000", "0001"}));
    EXPECT_TRUE(machine.exists(kInfFolder + "tvrnvamgr.pnf"));
}

TEST_F(Bundle, TheVirtualFlavourComesFromItsOwnFolder) {
    ASSERT_EQ(machine.run({"/installdrivers", "1", "/drivertype", "virtual"}), kSuccess);
    EXPECT_TRUE(inOrder(lastRun(), {op("Installing TVRNVA from: '" + kDrivers + "\\tvrnva_virtual'"),
                                    op("InstallDriver succeeded for tvrnva")}));
    EXPECT_EQ(machine.regQueryValue(kProductKeyIn32BitView, "DriverType"), (RegValue{"REG_SZ", "virtual"}));
    // The published package is the virtual one: the same INF name, its own text.
    EXPECT_NE(machine.readFile(kInfFolder + "tvrnva.inf").find("virtual flavour"), std::string::npos);
    // The next install keeps the flavour it finds stored.
    ASSERT_EQ(machine.run({"/installdrivers", "1"}), kSuccess);
    EXPECT_TRUE(inOrder(lastRun(), {op("DriverType Read from the registry"),
                                    op("Installing TVRNVA from: '" + kDrivers + "\\tvrnva_virtual'")}));
}

TEST_F(Bundle, ReinstallOneComponentAtATime) {
    ASSERT_EQ(machine.run({"/installdrivers", "1"}), kSuccess);
    struct Step {
        std::vector<std::string> args;
        std::uint32_t result;
        std::vector<std::string> lines;
        std::vector<std::string> devices; // manager devices afterwards
    };
    const Step steps[] = {
        {{"/reinstall", "1", "/component", "tvrnva"},
         kSuccess,
         {op("Command received to reinstall a driver component"), op("Removed OEM: tvrnva.inf successfully."),
          op("UninstallDriver succeeded for tvrnva"), op("InstallDriver succeeded for tvrnva")},
         {"0000"}},
        {{"/reinstall", "2", "/component", "tvrnva"},
         kSuccess,
         {op("Device: {FE36527A-8C07-4854-8AF7-BF40E7DF52F7}\\TVRNVA removed successfully."),
          op("UninstallDriver succeeded for tvrnva"), op("InstallDriver succeeded for tvrnva")},
         {"0000"}},
        // Store only: the package is staged again without a device, and the
        // driver file the uninstall deleted stays deleted.
        {{"/reinstall", "1", "/component", "tvrnvamgr"},
         kSuccess,
         {op("Removed OEM: tvrnvamgr.inf successfully."), op("UninstallDriver succeeded for tvrnvamgr"),
          op("InstallDriver succeeded for tvrnvamgr")},
         {"0000"}},
        // Full: the device goes (Wine cannot remove it, see above) and a new one is made.
        {{"/reinstall", "2", "/component", "tvrnvamgr"},
         kSuccess,
         {op("SetupDiSetClassInstallParams failed with last Error: 0"),
          op("UninstallDriver succeeded for tvrnvamgr"), op("Hardware ID: tvrnvamgr"),
          op("InstallDriver succeeded for tvrnvamgr")},
         {"0000", "0001"}},
        {{"/reinstall", "3", "/component", "tvrnva"},
         kRefused,
         {op("Command received to reinstall a driver component"),
          op("Invalid argument passed to /reinstall parameter")},
         {"0000", "0001"}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.args[1] + " " + step.args[3]);
        EXPECT_EQ(machine.run(step.args), step.result);
        const std::vector<std::string> lines = lastRun();
        EXPECT_TRUE(inOrder(lines, step.lines));
        // A reinstall touches its own component only: no listing, no sweep.
        EXPECT_TRUE(std::find(lines.begin(), lines.end(), op("Listing Driver Infs")) == lines.end());
        EXPECT_EQ(managerDevices(), step.devices);
        expectInstalled("ethernet");
    }
}

} // namespace
} // namespace tdu::e2e
