#include "tests/unit/SimTest.h"

#include "operator/TDriverOperator.h"
#include "platform/DeviceSetup.h"

#include <map>

namespace tdu::test {
namespace {

using platform::sim::SimDevice;

constexpr wchar_t kAdapterId[] = L"{FE36527A-8C07-4854-8AF7-BF40E7DF52F7}\\TVRNVA";
constexpr wchar_t kInf[] = L"C:\\Drivers\\tvrnva\\tvrnva.inf";

std::string infText(std::wstring_view hardwareId, const char* version = "1.2.3.4") {
    return "[Version]\r\nSignature=\"$WINDOWS NT$\"\r\nClass=Net\r\n"
           "ClassGuid={4d36e972-e325-11ce-bfc1-08002be10318}\r\nDriverVer=05/07/2021," +
           std::string(version) +
           "\r\n\r\n[Manufacturer]\r\n%Mfg%=Models,NTamd64\r\n\r\n[Models.NTamd64]\r\n" + "%Desc%=Install, " +
           narrow(hardwareId) + "\r\n";
}

class DeviceInstallTest : public SimTest {
protected:
    DeviceInstallTest() { sim.writeFile(kInf, infText(kAdapterId)); }

    static DriverOperation install(std::wstring hardwareId = kAdapterId, std::wstring component = L"tvrnva") {
        DriverOperation record;
        record.operationCode = OperationCode::Install;
        record.infPath = kInf;
        record.hardwareId = std::move(hardwareId);
        record.componentName = std::move(component);
        return record;
    }
    std::optional<std::wstring> stored(const wchar_t* component) const {
        const auto value = sim.regValue(kProductKey32, component);
        if (!value) {
            return std::nullopt;
        }
        return platform::RegData{value->bytes}.textUpToNul();
    }
    void clearLog() const { std::filesystem::remove(sim.hostPath(kLogPath)); }

    TavrinDriverOperator op;
};

TEST_F(DeviceInstallTest, PublishesRecordsCreatesAndUpdates) {
    EXPECT_EQ(op.InstallDriver(install()), 0);
    EXPECT_EQ(sim.publishedPackages(), std::vector<std::wstring>{L"oem0.inf"});
    EXPECT_EQ(stored(L"tvrnva"), L"oem0.inf");
    EXPECT_EQ(sim.regValue(kProductKey32, L"tvrnva")->bytes.size(), 16U); // no terminator stored
    const auto device = sim.device(L"ROOT\\{FE36527A-8C07-4854-8AF7-BF40E7DF52F7}&TVRNVA\\0000");
    ASSERT_TRUE(device.has_value());
    EXPECT_EQ(device->hardwareIds, std::vector<std::wstring>{kAdapterId}); // the property keeps the backslash
    EXPECT_EQ(device->classGuid, platform::kGuidDevClassNet);
    EXPECT_EQ(device->driverInf, L"oem0.inf");
    EXPECT_EQ(
        logMessages(),
        (std::vector<std::string>{
            "Successfully copied driver to driver store, output oem: C:\\Windows\\INF\\oem0.inf",
            "Successfully set registry: tvrnva", "Hardware ID: " + narrow(kAdapterId),
            "Adding a device without instance id", "Device: " + narrow(kAdapterId) + " added successfully.",
            "Device: " + narrow(kAdapterId) + " updated Successfully."}));
}

TEST_F(DeviceInstallTest, Stages) {
    struct Case {
        const char* name;
        std::function<void(DriverOperation&, platform::sim::SimMachine&)> arrange;
        int result;
        std::vector<std::string> messages; // the log from the first message that differs by case
        std::size_t devices;
    };
    const std::string published =
        "Successfully copied driver to driver store, output oem: C:\\Windows\\INF\\oem0.inf";
    const std::string hardware = "Hardware ID: " + narrow(kAdapterId);
    const Case cases[] = {
        {"no hardware id: the store only",
         [](DriverOperation& r, auto&) { r.hardwareId.clear(); },
         0,
         {published, "Successfully set registry: tvrnva"},
         0},
        {"empty component: no registry write",
         [](DriverOperation& r, auto&) {
             r.hardwareId.clear();
             r.componentName.clear();
         },
         0,
         {published},
         0},
        {"missing INF: the device stage still runs and the update fails",
         [](DriverOperation& r, auto&) { r.infPath = L"C:\\Drivers\\missing.inf"; },
         2,
         {"Inf Path does not exist: C:\\Drivers\\missing.inf", hardware,
          "Adding a device without instance id", "Device: " + narrow(kAdapterId) + " added successfully.",
          "UpdateDriverForPlugAndPlayDevices failed with last Errorf: 2"},
         1},
        {"no INF: device only",
         [](DriverOperation& r, auto&) { r.infPath.clear(); },
         0,
         {"Inf Name is empty.", hardware, "Adding a device without instance id",
          "Device: " + narrow(kAdapterId) + " added successfully."},
         1},
        {"publication fails: logged, not the result",
         [](DriverOperation& r, auto& m) {
             r.hardwareId.clear();
             m.failCall("SetupCopyOEMInfW", 1, 5);
         },
         0,
         {"Failed to copy Inf File with last Error: 5"},
         0},
        {"registry write fails: logged, not the result",
         [](DriverOperation& r, auto& m) {
             r.hardwareId.clear();
             m.failCall("RegSetValueExW", 1, 5);
         },
         0,
         {published, "Failed to set reg: tvrnva", "Failed to set registry for Component: tvrnva"},
         0},
        {"update fails: its code is the result",
         [](DriverOperation&, auto& m) { m.failCall("UpdateDriverForPlugAndPlayDevicesW", 1, 0xE0000203); },
         static_cast<int>(0xE0000203),
         {published, "Successfully set registry: tvrnva", hardware, "Adding a device without instance id",
          "Device: " + narrow(kAdapterId) + " added successfully.",
          "UpdateDriverForPlugAndPlayDevices failed with last Errorf: 3758096899"},
         1},
        {"restart requested",
         [](DriverOperation&, auto& m) { m.setDriverUpdateRestart(true); },
         3010,
         {published, "Successfully set registry: tvrnva", hardware, "Adding a device without instance id",
          "Device: " + narrow(kAdapterId) + " added successfully.",
          "Device: " + narrow(kAdapterId) + " updated Successfully.",
          "Installation of driver succeeded but reboot wil be required."},
         1},
        {"instance id given",
         [](DriverOperation& r, auto&) { r.instanceId = L"ROOT\\NET\\0042"; },
         0,
         {published, "Successfully set registry: tvrnva", hardware, "Instance ID: ROOT\\NET\\0042",
          "Adding a device with instance id", "Device: " + narrow(kAdapterId) + " added successfully.",
          "Device: " + narrow(kAdapterId) + " updated Successfully."},
         1},
        {"existing instance id: AddDevice's error",
         [](DriverOperation& r, auto& m) {
             r.instanceId = L"ROOT\\NET\\0042";
             m.addDevice(
                 SimDevice{L"ROOT\\NET\\0042", platform::kGuidDevClassNet, std::nullopt, true, 0, L""});
         },
         static_cast<int>(platform::kErrorDevinstAlreadyExists),
         {published, "Successfully set registry: tvrnva", hardware, "Instance ID: ROOT\\NET\\0042",
          "Adding a device with instance id",
          "SetupDiCreateDeviceInfo()-> failed with last Error: 3758096903", "AddDevice()-> failed"},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FreshMachine fresh;
        fresh.machine.writeFile(kInf, infText(kAdapterId));
        DriverOperation record = install();
        c.arrange(record, fresh.machine);
        EXPECT_EQ(op.InstallDriver(record), c.result);
        EXPECT_EQ(logMessagesOf(fresh.machine), c.messages);
        EXPECT_EQ(fresh.machine.devices().size(), c.devices);
        EXPECT_EQ(fresh.machine.openHandleCount(), 0U) << fresh.machine.openHandleReport();
    }
}

TEST_F(DeviceInstallTest, APackageAlreadyInTheStoreKeepsItsName) {
    DriverOperation record = install(L"", L"tvrnvamgr");
    EXPECT_EQ(op.InstallDriver(record), 0);
    sim.regDeleteValue(kProductKey32, L"tvrnvamgr");
    clearLog();
    EXPECT_EQ(op.InstallDriver(record), 0);
    EXPECT_EQ(sim.publishedPackages(), std::vector<std::wstring>{L"oem0.inf"});
    EXPECT_EQ(stored(L"tvrnvamgr"), L"oem0.inf");
    EXPECT_EQ(logMessages(),
              (std::vector<std::string>{
                  "Successfully copied driver to driver store, output oem: C:\\Windows\\INF\\oem0.inf",
                  "Successfully set registry: tvrnvamgr"}));
}

TEST_F(DeviceInstallTest, InfPathLengthLimit) {
    // Folders of up to 200 characters keep every component within the host's limits.
    const std::wstring folder = L"C:\\" + std::wstring(200, L'f') + L"\\";
    const struct {
        std::size_t length;
        int result;
        std::string message;
    } cases[] = {
        {260, 0, "Inf Path does not exist: "},
        {261, 2, "InfPath has exceeded MAX_PATH limit"},
    };
    for (const auto& c : cases) {
        clearLog();
        DriverOperation record = install(L"");
        record.infPath = folder + std::wstring(c.length - folder.size() - 4, L'n') + L".inf";
        ASSERT_EQ(record.infPath.size(), c.length);
        EXPECT_EQ(op.InstallDriver(record), c.result);
        ASSERT_EQ(logMessages().size(), 1U);
        EXPECT_TRUE(logMessages()[0].starts_with(c.message)) << logMessages()[0];
    }
}

TEST_F(DeviceInstallTest, StartDeviceFlag) {
    const struct {
        const wchar_t* value;
        bool start;
    } cases[] = {{L"YES", true}, {L"yes", true}, {L"Yes", true},
                 {L"Y", false},  {L"NO", false}, {L"YES ", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.value));
        clearLog();
        const unsigned reads = sim.callCount("SetupDiGetDeviceInstallParamsW");
        const unsigned writes = sim.callCount("SetupDiSetDeviceInstallParamsW");
        DriverOperation record = install();
        record.infPath.clear();
        record.startDevice = c.value;
        EXPECT_EQ(op.InstallDriver(record), 0);
        EXPECT_EQ(logged("Start Device is true"), c.start);
        // Without the flag the parameters are read once, after registration,
        // and never written.
        EXPECT_EQ(sim.callCount("SetupDiGetDeviceInstallParamsW") - reads, c.start ? 2U : 1U);
        EXPECT_EQ(sim.callCount("SetupDiSetDeviceInstallParamsW") - writes, c.start ? 1U : 0U);
    }
}

TEST_F(DeviceInstallTest, AddDeviceStepFailures) {
    struct Case {
        const char* call;
        unsigned nth;
        std::string message;
        bool registered;
    };
    const Case cases[] = {
        {"SetupDiClassGuidsFromNameW", 1, "SetupDiClassGuidsFromName()-> failed with last Error: 701", false},
        {"SetupDiCreateDeviceInfoList", 1, "SetupDiCreateDeviceInfoList()-> failed with last Error: 701",
         false},
        {"SetupDiCreateDeviceInfoW", 1, "SetupDiCreateDeviceInfo()-> failed with last Error: 701", false},
        {"SetupDiSetDeviceRegistryPropertyW", 1,
         "SetupDiSetDeviceRegistryProperty()-> failed with last Error: 701", false},
        {"SetupDiGetDeviceInstallParamsW", 1, "SetupDiGetDeviceInstallParams()-> failed with last Error: 701",
         false},
        {"SetupDiSetDeviceInstallParamsW", 1, "SetupDiSetDeviceInstallParams()-> failed with last Error: 701",
         false},
        {"SetupDiCallClassInstaller", 1, "SetupDiCallClassInstaller()-> failed with last Error: 701", false},
        // After registration the device stays although the result is an error.
        {"SetupDiGetDeviceInstanceIdW", 1, "SetupDiGetDeviceInstanceId()-> failed with Last Error: 701",
         true},
        {"SetupDiGetDeviceInstallParamsW", 2, "SetupDiGetDeviceInstallParams()-> failed with last Error: 701",
         true},
        {"SetupDiDeleteDeviceInfo", 1, "SetupDiDeleteDeviceInfo()-> failed with last Error: 701", true},
        {"SetupDiDestroyDeviceInfoList", 1, "SetupDiDestroyDeviceInfoList()-> failed with last Error: 701",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.call) + " #" + std::to_string(c.nth));
        FreshMachine fresh;
        fresh.machine.failCall(c.call, c.nth, 701);
        EXPECT_EQ(op.AddDevice(kAdapterId, nullptr, true), 701U);
        EXPECT_EQ(!fresh.machine.devices().empty(), c.registered);
        EXPECT_EQ(fresh.machine.openHandleCount(), 0U) << fresh.machine.openHandleReport();
        EXPECT_EQ(logMessagesOf(fresh.machine), std::vector<std::string>{c.message});
    }
}

TEST_F(DeviceInstallTest, ACleanUpFailureReplacesAnEarlierError) {
    sim.failCall("SetupDiSetDeviceRegistryPropertyW", 1, 13);
    sim.failCall("SetupDiDeleteDeviceInfo", 1, 31);
    EXPECT_EQ(op.AddDevice(kAdapterId, nullptr, false), 31U);
    EXPECT_EQ(logMessages(),
              (std::vector<std::string>{"SetupDiSetDeviceRegistryProperty()-> failed with last Error: 13",
                                        "SetupDiDeleteDeviceInfo()-> failed with last Error: 31"}));
    EXPECT_TRUE(sim.devices().empty());
}

TEST_F(DeviceInstallTest, GeneratedInstanceIdsCountUp) {
    EXPECT_EQ(op.AddDevice(L"tvrnvamgr", nullptr, false), 0U);
    EXPECT_EQ(op.AddDevice(L"tvrnvamgr", nullptr, false), 0U);
    ASSERT_EQ(sim.devices().size(), 2U);
    EXPECT_EQ(sim.devices()[0].instanceId, L"ROOT\\TVRNVAMGR\\0000");
    EXPECT_EQ(sim.devices()[1].instanceId, L"ROOT\\TVRNVAMGR\\0001");
    EXPECT_TRUE(logMessages().empty()); // success is the caller's to report
}

} // namespace
} // namespace tdu::test
