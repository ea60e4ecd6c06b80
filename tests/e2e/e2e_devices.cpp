// One driver package at a time under Wine: /install and /uninstall against
// Wine's real SetupAPI, driver store and device tree, with our sample
// packages laid out as the installer lays them out.
#include "E2eLog.h"
#include "WineHarness.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace tdu::e2e {
namespace {

const std::string kDrivers = R"(C:\Program Files (x86)\Tavrin Secure\TavrinDrivers)";
const std::string kManagerInf = kDrivers + R"(\x64Drivers\tvrnvamgr\tvrnvamgr.inf)";
const std::string kAdapterInf = kDrivers + R"(\x64Drivers\tvrnva\tvrnva.inf)";
const std::string kAdapterId = R"({FE36527A-8C07-4854-8AF7-BF40E7DF52F7}\TVRNVA)";
// Wine publishes a package under its own file name; Windows would name it oemN.inf.
const std::string kPublishedManager = R"(C:\windows\inf\tvrnvamgr.inf)";
const std::string kManagerDevice = R"(HKLM\System\CurrentControlSet\Enum\ROOT\TVRNVAMGR\0000)";
const std::string kManagerSys = R"(C:\windows\system32\drivers\tvrnvamgr.sys)";
constexpr std::uint32_t kDevinstAlreadyExists = 0xE0000207;

std::string op(std::string_view message) {
    return entry(kOperatorUnit, message);
}

class Devices : public ProgramTest {
protected:
    Devices() {
        createVendorFolder();
        machine.mkdirs(kDrivers);
        std::filesystem::copy(TDU_SAMPLES_DIR, machine.hostPath(kDrivers),
                              std::filesystem::copy_options::recursive);
    }
    std::uint32_t install(std::vector<std::string> extra) {
        std::vector<std::string> args{"/install", kManagerInf};
        args.insert(args.end(), extra.begin(), extra.end());
        return machine.run(args);
    }
    // The log of the last run only: from its banner on.
    std::vector<std::string> lastRun() {
        const std::vector<std::string> all = summarize(log());
        const auto banner = std::find(all.rbegin(), all.rend(), std::string(kBannerMark));
        return {banner.base(), all.end()};
    }
    std::optional<std::string> stored(const std::string& component) {
        return machine.regQuery(kProductKeyIn32BitView, component);
    }
};

TEST_F(Devices, InstallPublishesRecordsAndCreatesTheDevice) {
    EXPECT_EQ(install({"/hardwareid", "tvrnvamgr", "/component", "tvrnvamgr"}), kSuccess);
    EXPECT_EQ(lastRun(),
              (std::vector<std::string>{
                  received("/install \"" + kManagerInf + "\" /hardwareid tvrnvamgr /component tvrnvamgr"),
                  op("Command received to install a driver"),
                  op("Successfully copied driver to driver store, output oem: " + kPublishedManager),
                  op("Successfully set registry: tvrnvamgr"), op("Hardware ID: tvrnvamgr"),
                  op("Adding a device without instance id"), op("Device: tvrnvamgr added successfully."),
                  op("Device: tvrnvamgr updated Successfully.")}));
    EXPECT_TRUE(machine.exists(kPublishedManager));
    EXPECT_EQ(machine.regQueryValue(kProductKeyIn32BitView, "tvrnvamgr"),
              (RegValue{"REG_SZ", "tvrnvamgr.inf"}));
    EXPECT_FALSE(machine.regKeyExists(kProductKey)); // the 32-bit view only
    EXPECT_EQ(machine.regQuery(kManagerDevice, "HardwareID"), "tvrnvamgr");
    EXPECT_TRUE(machine.exists(kManagerSys)); // the INF's own install ran on the new device
}

TEST_F(Devices, AnAdapterWithoutInstanceIdGetsAGeneratedOne) {
    EXPECT_EQ(machine.run({"/install", kAdapterInf, "/hardwareid", kAdapterId, "/component", "tvrnva"}),
              kSuccess);
    // The device name carries "&" for the backslash; the property keeps the id as given.
    const std::string device =
        R"(HKLM\System\CurrentControlSet\Enum\ROOT\{FE36527A-8C07-4854-8AF7-BF40E7DF52F7}&TVRNVA\0000)";
    EXPECT_EQ(machine.regQueryValue(device, "HardwareID"), (RegValue{"REG_MULTI_SZ", kAdapterId}));
    EXPECT_EQ(stored("tvrnva"), "tvrnva.inf");
}

TEST_F(Devices, AStoreOnlyInstallTwiceKeepsOnePackage) {
    for (int run = 0; run < 2; ++run) {
        EXPECT_EQ(install({"/component", "tvrnvamgr"}), kSuccess);
        // The second publication meets the package already in the store: no failure line.
        EXPECT_EQ(lastRun(),
                  (std::vector<std::string>{
                      received("/install \"" + kManagerInf + "\" /component tvrnvamgr"),
                      op("Command received to install a driver"),
                      op("Successfully copied driver to driver store, output oem: " + kPublishedManager),
                      op("Successfully set registry: tvrnvamgr")}));
    }
    EXPECT_FALSE(machine.regKeyExists(kManagerDevice));
    const auto infs = machine.listDir(R"(C:\windows\inf)");
    EXPECT_EQ(std::count(infs.begin(), infs.end(), "tvrnvamgr.inf"), 1);
}

TEST_F(Devices, AnInstanceIdThatExistsIsRefused) {
    const std::vector<std::string> args{"/hardwareid", "tvrnvamgr", "/instid", R"(ROOT\SYSTEM\0042)"};
    EXPECT_EQ(install(args), kSuccess);
    EXPECT_TRUE(machine.regKeyExists(R"(HKLM\System\CurrentControlSet\Enum\ROOT\SYSTEM\0042)"));
    EXPECT_EQ(install(args), kDevinstAlreadyExists);
    const auto run = lastRun();
    ASSERT_GE(run.size(), 2U);
    EXPECT_EQ(run[run.size() - 2], op("SetupDiCreateDeviceInfo()-> failed with last Error: 3758096903"));
    EXPECT_EQ(run.back(), op("AddDevice()-> failed"));
}

TEST_F(Devices, UninstallTakesOffThePackageTheComponentStored) {
    ASSERT_EQ(install({"/hardwareid", "tvrnvamgr", "/component", "tvrnvamgr"}), kSuccess);
    EXPECT_EQ(machine.run({"/uninstall", "tvrnvamgr", "/component", "tvrnvamgr"}), kSuccess);
    const std::string sys = R"(C:\windows\System32\Drivers\tvrnvamgr.sys)";
    // Wine: SetupDiSetClassInstallParamsW fails without setting an error, so
    // the device stays. Windows removes it here.
    EXPECT_EQ(lastRun(),
              (std::vector<std::string>{
                  received("/uninstall tvrnvamgr /component tvrnvamgr"),
                  op("Command received to uninstall a driver"),
                  op("SetupDiSetClassInstallParams failed with last Error: 0"), op("finished searching"),
                  op("Device: tvrnvamgr removed successfully."),
                  op("Uninstalling OEM for component:tvrnvamgr -> tvrnvamgr.inf"),
                  op("Removed OEM: tvrnvamgr.inf successfully."),
                  op("Successfully deleted registry value: tvrnvamgr"),
                  op("Attempting to delete '" + sys + "'"), op("'" + sys + "' deleted successfully")}));
    EXPECT_TRUE(machine.regKeyExists(kManagerDevice));
    EXPECT_FALSE(machine.exists(kPublishedManager));
    EXPECT_FALSE(stored("tvrnvamgr").has_value());
    EXPECT_FALSE(machine.exists(kManagerSys));
}

TEST_F(Devices, UninstallByPublishedNameAndForANonDeviceComponent) {
    ASSERT_EQ(install({"/component", "tvrnvamgr"}), kSuccess);
    EXPECT_EQ(machine.run(
                  {"/uninstall", "NOTADEVICEDRIVER", "/oeminf", "tvrnvamgr.inf", "/component", "tvrnvamgr"}),
              kSuccess);
    const std::string sys = R"(C:\windows\System32\Drivers\tvrnvamgr.sys)";
    // The named package goes first, so the component's stored one is gone
    // already: its value stays for a later run.
    EXPECT_EQ(
        lastRun(),
        (std::vector<std::string>{
            received("/uninstall NOTADEVICEDRIVER /oeminf tvrnvamgr.inf /component tvrnvamgr"),
            op("Command received to uninstall a driver"),
            op("Hardware id passed is: NOTADEVICEDRIVER, so skipped removing device."),
            op("Removed OEM: tvrnvamgr.inf successfully."),
            op("Uninstalling OEM for component:tvrnvamgr -> tvrnvamgr.inf"),
            op("Failed to remove OEM: tvrnvamgr.inf"), op("Uninstallation of OEM INf: tvrnvamgr.inf Failed."),
            op("Attempting to delete '" + sys + "'"),
            op("DeleteFile Failed for " + sys + " with last Error:2"),
            op("Tried to delete '" + sys + "' one more time, but failed with Error:-1"),
            op("DeleteDriverFile Failed.")}));
    EXPECT_FALSE(machine.exists(kPublishedManager));
    EXPECT_EQ(stored("tvrnvamgr"), "tvrnvamgr.inf");
}

TEST_F(Devices, AMissingInfStillCreatesTheDevice) {
    EXPECT_EQ(machine.run({"/install", R"(C:\missing\none.inf)", "/hardwareid", "tvrnvamgr"}), kSuccess);
    // Wine's UpdateDriverForPlugAndPlayDevicesW reports success for an INF
    // that does not exist; Windows fails with its file-not-found code, which
    // then becomes the exit code.
    EXPECT_EQ(
        lastRun(),
        (std::vector<std::string>{
            received(R"(/install C:\missing\none.inf /hardwareid tvrnvamgr)"),
            op("Command received to install a driver"), op(R"(Inf Path does not exist: C:\missing\none.inf)"),
            op("Hardware ID: tvrnvamgr"), op("Adding a device without instance id"),
            op("Device: tvrnvamgr added successfully."), op("Device: tvrnvamgr updated Successfully.")}));
    EXPECT_TRUE(machine.regKeyExists(kManagerDevice));
}

} // namespace
} // namespace tdu::e2e
