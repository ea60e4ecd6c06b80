#include "tests/unit/SimTest.h"

#include "operator/TDriverOperator.h"
#include "platform/DeviceSetup.h"

#include <map>
#include <set>

namespace tdu::test {
namespace {

using platform::sim::SimDevice;
using platform::sim::SimRegValue;

constexpr wchar_t kDriversFolder[] = L"C:\\Windows\\System32\\Drivers\\";

SimDevice device(std::wstring instanceId, std::optional<std::vector<std::wstring>> ids,
                 std::uint32_t flags = 0, bool present = true) {
    return SimDevice{std::move(instanceId), platform::kGuidDevClassNet, std::move(ids), present, flags, L""};
}

class DeviceUninstallTest : public SimTest {
protected:
    // A published package as a component's earlier install left it.
    std::wstring publish(const wchar_t* component, const std::string& content) {
        const std::wstring source = std::wstring(L"C:\\src\\") + component + L".inf";
        sim.writeFile(source, content);
        std::wstring published;
        platform::dev().SetupCopyOEMInfW(source, platform::kSpostPath, 0, published, 260);
        const std::wstring name = published.substr(published.find_last_of(L'\\') + 1);
        sim.regSetValue(kProductKey32, component,
                        SimRegValue{platform::kRegSz, platform::RegData::text(name).bytes});
        return name;
    }
    void driverFile(const wchar_t* component) {
        sim.writeFile(std::wstring(kDriversFolder) + component + L".sys", "MZ");
    }
    static DriverOperation uninstall(std::wstring hardwareId, std::wstring component = L"",
                                     std::wstring oem = L"") {
        DriverOperation record;
        record.operationCode = OperationCode::Uninstall;
        record.hardwareId = std::move(hardwareId);
        record.componentName = std::move(component);
        record.oemInfName = std::move(oem);
        return record;
    }
    void clearLog() const { std::filesystem::remove(sim.hostPath(kLogPath)); }

    TavrinDriverOperator op;
};

TEST_F(DeviceUninstallTest, ANonDeviceComponentLosesPackageValueAndFile) {
    const std::wstring oem = publish(L"tvrnns", "[Version]\nClass=NetService\n");
    driverFile(L"tvrnns");
    sim.addDevice(device(L"ROOT\\X\\0000", std::vector<std::wstring>{L"NOTADEVICEDRIVER"}));
    EXPECT_EQ(op.UninstallDriver(uninstall(L"NOTADEVICEDRIVER", L"tvrnns")), 0);
    EXPECT_TRUE(sim.publishedPackages().empty());
    EXPECT_FALSE(sim.regValue(kProductKey32, L"tvrnns").has_value());
    EXPECT_EQ(sim.devices().size(), 1U); // the reserved id removes no device
    const std::string file = "C:\\Windows\\System32\\Drivers\\tvrnns.sys";
    EXPECT_EQ(
        logMessages(),
        (std::vector<std::string>{
            "Hardware id passed is: NOTADEVICEDRIVER, so skipped removing device.",
            "Uninstalling OEM for component:tvrnns -> " + narrow(oem),
            "Removed OEM: " + narrow(oem) + " successfully.", "Successfully deleted registry value: tvrnns",
            "Attempting to delete '" + file + "'", "'" + file + "' deleted successfully"}));
}

TEST_F(DeviceUninstallTest, TheReservedIdIsCaseSensitive) {
    sim.addDevice(device(L"ROOT\\X\\0000", std::vector<std::wstring>{L"NOTADEVICEDRIVER"}));
    EXPECT_EQ(op.UninstallDriver(uninstall(L"notadevicedriver")), 0);
    EXPECT_TRUE(sim.devices().empty());
    EXPECT_EQ(logMessages(), (std::vector<std::string>{"finished searching",
                                                       "Device: notadevicedriver removed successfully."}));
}

TEST_F(DeviceUninstallTest, TwiceInARow) {
    publish(L"tvrnvamgr", "[Version]\nClass=System\n");
    driverFile(L"tvrnvamgr");
    EXPECT_EQ(op.UninstallDriver(uninstall(L"", L"tvrnvamgr")), 0);
    clearLog();
    EXPECT_EQ(op.UninstallDriver(uninstall(L"", L"tvrnvamgr")), 0);
    const std::string file = "C:\\Windows\\System32\\Drivers\\tvrnvamgr.sys";
    EXPECT_EQ(logMessages(), (std::vector<std::string>{"Attempting to delete '" + file + "'",
                                                       "DeleteFile Failed for " + file + " with last Error:2",
                                                       "Tried to delete '" + file +
                                                           "' one more time, but failed with Error:-1",
                                                       "DeleteDriverFile Failed."}));
}

TEST_F(DeviceUninstallTest, TheStoredValueGoesOnlyWithItsPackage) {
    const std::wstring oem = publish(L"tvrnva", "[Version]\nClass=Net\n");
    driverFile(L"tvrnva");
    sim.failCall("SetupUninstallOEMInfW", 1, 5);
    EXPECT_EQ(op.UninstallDriver(uninstall(L"", L"tvrnva")), 0);
    EXPECT_TRUE(sim.regValue(kProductKey32, L"tvrnva").has_value());
    const auto messages = logMessages();
    ASSERT_GE(messages.size(), 3U);
    EXPECT_EQ(messages[1], "Failed to remove OEM: " + narrow(oem));
    EXPECT_EQ(messages[2], "Uninstallation of OEM INf: " + narrow(oem) + " Failed.");
    EXPECT_EQ(messages.back(), "'C:\\Windows\\System32\\Drivers\\tvrnva.sys' deleted successfully");
}

TEST_F(DeviceUninstallTest, ARestartRequestSurvivesLaterFailures) {
    sim.addDevice(
        device(L"ROOT\\NET\\0000", std::vector<std::wstring>{L"tvrnvamgr"}, platform::kDiNeedReboot));
    EXPECT_EQ(op.UninstallDriver(uninstall(L"tvrnvamgr", L"tvrnvamgr", L"oem99.inf")), 3010);
    EXPECT_EQ(logMessages(),
              (std::vector<std::string>{
                  "finished searching", "Device: tvrnvamgr removed successfully.",
                  "Failed to remove OEM: oem99.inf", "Uninstallation of OEM: oem99.inf Failed.",
                  "Attempting to delete 'C:\\Windows\\System32\\Drivers\\tvrnvamgr.sys'",
                  "DeleteFile Failed for C:\\Windows\\System32\\Drivers\\tvrnvamgr.sys with last Error:2",
                  "Tried to delete 'C:\\Windows\\System32\\Drivers\\tvrnvamgr.sys' one more time, but "
                  "failed with Error:-1",
                  "DeleteDriverFile Failed.",
                  "Reboot will be required for uninstallation of driver to complete."}));
}

TEST_F(DeviceUninstallTest, DeviceRemoval) {
    const std::wstring id = L"{FE36527A-8C07-4854-8AF7-BF40E7DF52F7}\\TVRNVA";
    struct Case {
        const char* name;
        std::vector<SimDevice> devices;
        bool nullReboot;
        std::vector<std::wstring> remaining;
        std::uint32_t reboot;
        std::vector<std::string> messages;
    };
    const Case cases[] = {
        {"nothing carries the id",
         {device(L"ROOT\\A\\0000", std::vector<std::wstring>{L"other"})},
         false,
         {L"ROOT\\A\\0000"},
         7,
         {"finished searching"}},
        {"second id, other case",
         {device(L"ROOT\\A\\0000",
                 std::vector<std::wstring>{L"first", L"{fe36527a-8c07-4854-8af7-bf40e7df52f7}\\tvrnva"})},
         false,
         {},
         7,
         {"finished searching"}},
        {"a prefix does not match",
         {device(L"ROOT\\A\\0000",
                 std::vector<std::wstring>{L"{FE36527A-8C07-4854-8AF7-BF40E7DF52F7}\\TVRNVA2"})},
         false,
         {L"ROOT\\A\\0000"},
         7,
         {"finished searching"}},
        {"two devices, present or not, one asks for a restart",
         {device(L"ROOT\\A\\0000", std::vector<std::wstring>{id}),
          device(L"PCI\\B\\0001", std::vector<std::wstring>{id}, platform::kDiNeedRestart, false)},
         false,
         {},
         1,
         {"finished searching"}},
        {"no reboot pointer",
         {device(L"ROOT\\A\\0000", std::vector<std::wstring>{id}, platform::kDiNeedRestart)},
         true,
         {},
         7,
         {"finished searching"}},
        {"devices without ids are logged and skipped",
         {device(L"ROOT\\A\\0000", std::nullopt), device(L"ROOT\\B\\0000", std::vector<std::wstring>{id}),
          device(L"ROOT\\C\\0000", std::nullopt)},
         false,
         {L"ROOT\\A\\0000", L"ROOT\\C\\0000"},
         7,
         {"SetupDiGetDeviceRegistryProperty failed with last Error: 13",
          "SetupDiGetDeviceRegistryProperty failed with last Error: 13", "finished searching"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FreshMachine fresh;
        for (const SimDevice& d : c.devices) {
            fresh.machine.addDevice(d);
        }
        std::uint32_t reboot = 7; // only ever set to 1, never cleared
        EXPECT_EQ(op.RemoveDevices(id, c.nullReboot ? nullptr : &reboot), 0U);
        EXPECT_EQ(reboot, c.reboot);
        std::vector<std::wstring> remaining;
        for (const SimDevice& d : fresh.machine.devices()) {
            remaining.push_back(d.instanceId);
        }
        EXPECT_EQ(remaining, c.remaining);
        EXPECT_EQ(logMessagesOf(fresh.machine), c.messages);
        EXPECT_EQ(fresh.machine.openHandleCount(), 0U);
    }
}

TEST_F(DeviceUninstallTest, RemovalFailures) {
    struct Case {
        const char* call;
        unsigned nth;
        std::uint32_t result;
        std::vector<std::string> messages;
        std::size_t remaining;
    };
    const Case cases[] = {
        {"SetupDiGetClassDevsExW",
         1,
         1234,
         {"SetupDiCreateDeviceInfoList() failed with last Error: 1234"},
         2},
        {"SetupDiEnumDeviceInfo", 2, 1234, {"failed to get device info with last error: 1234"}, 1},
        {"SetupDiSetClassInstallParamsW",
         1,
         0,
         {"SetupDiSetClassInstallParams failed with last Error: 1234", "finished searching"},
         1},
        {"SetupDiCallClassInstaller",
         2,
         0,
         {"SetupDiCallClassInstaller failed with last Error: 1234", "finished searching"},
         1},
        {"SetupDiGetDeviceInstallParamsW",
         1,
         0,
         {"SetupDiGetDeviceInstallParams failed with last Error: 1234", "finished searching"},
         0},
        // The size query's result is not examined: the read then has no room and fails on its own.
        {"SetupDiGetDeviceRegistryPropertyW",
         1,
         0,
         {"SetupDiGetDeviceRegistryProperty failed with last Error: 122", "finished searching"},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.call) + " #" + std::to_string(c.nth));
        FreshMachine fresh;
        fresh.machine.addDevice(
            device(L"ROOT\\A\\0000", std::vector<std::wstring>{L"hw"}, platform::kDiNeedReboot));
        fresh.machine.addDevice(device(L"ROOT\\B\\0000", std::vector<std::wstring>{L"hw"}));
        fresh.machine.failCall(c.call, c.nth, 1234);
        std::uint32_t reboot = 0;
        EXPECT_EQ(op.RemoveDevices(L"hw", &reboot), c.result);
        EXPECT_EQ(logMessagesOf(fresh.machine), c.messages);
        EXPECT_EQ(fresh.machine.devices().size(), c.remaining);
        EXPECT_EQ(fresh.machine.openHandleCount(), 0U);
    }
}

TEST_F(DeviceUninstallTest, DriverFileFolderThatDoesNotFitIsNeverCut) {
    sim.setEnvironment(L"WINDIR", L"C:\\" + std::wstring(240, L'w'));
    EXPECT_FALSE(op.DeleteDriverFile(L"tvrnva"));
    EXPECT_EQ(logMessages(),
              std::vector<std::string>{"ExpandEnvironmentStrings Failed for 'WINDIR' with last Error:122"});
    EXPECT_EQ(sim.callCount("DeleteFileW"), 0U);
}

TEST_F(DeviceUninstallTest, DriverFileSecondAttempt) {
    driverFile(L"tvrnva");
    sim.failCall("DeleteFileW", 1, 5);
    EXPECT_TRUE(op.DeleteDriverFile(L"tvrnva"));
    EXPECT_FALSE(sim.readFile(L"C:\\Windows\\System32\\Drivers\\tvrnva.sys").has_value());
    EXPECT_EQ(logMessages().back(), "'C:\\Windows\\System32\\Drivers\\tvrnva.sys' deleted successfully");
}

// Every failable call of an install followed by an uninstall, failed once:
// no crash, nothing leaked, the failure logged where it matters, results
// within what the operations can answer.
TEST_F(DeviceUninstallTest, FaultSweep) {
    const std::wstring hw = L"{FE36527A-8C07-4854-8AF7-BF40E7DF52F7}\\TVRNVA";
    auto scenario = [&](platform::sim::SimMachine& machine, int& installed, int& removed) {
        machine.writeFile(L"C:\\d\\tvrnva.inf",
                          "[Version]\nClass=Net\n[Manufacturer]\nM=Models\n[Models]\nA=I, " + narrow(hw) +
                              "\n");
        machine.writeFile(L"C:\\Windows\\System32\\Drivers\\tvrnva.sys", "MZ");
        DriverOperation record;
        record.infPath = L"C:\\d\\tvrnva.inf";
        record.hardwareId = hw;
        record.componentName = L"tvrnva";
        record.startDevice = L"YES";
        TavrinDriverOperator o;
        installed = o.InstallDriver(record);
        record.oemInfName = L"oem7.inf";
        removed = o.UninstallDriver(record);
    };
    std::vector<std::string> trace;
    {
        FreshMachine clean;
        int installed = -1;
        int removed = -1;
        scenario(clean.machine, installed, removed);
        ASSERT_EQ(installed, 0);
        ASSERT_EQ(removed, 0);
        trace = clean.machine.callTrace();
    }
    // Calls whose failure the operations do not report by design, and the
    // lines of those reported without their code.
    const std::set<std::string> silent{"ExpandEnvironmentStringsW",
                                       "CreateDirectoryW",
                                       "exists",
                                       "file_size",
                                       "rename",
                                       "OpenAppendStream",
                                       "GetFileAttributesW",
                                       "GetFileInformationByHandle",
                                       "WriteStream",
                                       "K32GetModuleFileNameExW",
                                       "RegFlushKey",
                                       "RegOpenKeyExW",
                                       "RegQueryValueExW",
                                       "SetupDiGetDeviceRegistryPropertyW",
                                       "SetupDiDestroyDeviceInfoList #2"};
    const std::map<std::string, std::string> reported{{"RegCreateKeyExW", "Failed to create reg: tvrnva"},
                                                      {"RegSetValueExW", "Failed to set reg: tvrnva"},
                                                      {"SetupUninstallOEMInfW", "Failed to remove OEM: "}};
    std::map<std::string, unsigned> seen;
    unsigned pairs = 0;
    for (const std::string& call : trace) {
        const unsigned nth = ++seen[call];
        SCOPED_TRACE(call + " #" + std::to_string(nth));
        FreshMachine fresh;
        fresh.machine.failCall(call, nth, 4321);
        int installed = -1;
        int removed = -1;
        scenario(fresh.machine, installed, removed);
        ++pairs;
        EXPECT_TRUE(installed == 0 || installed == 4321) << installed;
        EXPECT_EQ(removed, 0);
        EXPECT_EQ(fresh.machine.openHandleCount(), 0U) << fresh.machine.openHandleReport();
        if (!silent.contains(call) && !silent.contains(call + " #" + std::to_string(nth))) {
            const auto line = reported.find(call);
            const std::string text = fresh.machine.readFile(kLogPath).value_or("");
            EXPECT_NE(text.find(line == reported.end() ? "4321" : line->second), std::string::npos);
        }
    }
    EXPECT_GT(pairs, 30U);
}

} // namespace
} // namespace tdu::test
