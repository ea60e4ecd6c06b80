// Publishing one driver package and creating its root-enumerated device.
#include "app/ExitCode.h"
#include "log/LogError.h"
#include "operator/OperatorLog.h"
#include "operator/TDriverOperator.h"
#include "platform/Owners.h"
#include "platform/PathChecks.h"
#include "platform/WideText.h"

#include <algorithm>

namespace {

using tdu::platform::dev;
using tdu::platform::DeviceElement;
using tdu::platform::DeviceInfoSet;
using tdu::platform::DeviceInstallParams;
using tdu::platform::Guid;
using tdu::platform::RegData;
using tdu::platform::sys;

constexpr std::uint32_t kInfPathLimit = 260;
constexpr std::uint32_t kPublishedPathChars = 260;
constexpr std::uint32_t kInstanceIdChars = 200;

// The driver-store stage: false only for a path too long to take, the one
// failure that ends the install before its device stage.
bool publishPackage(TavrinDriverOperator& op, const DriverOperation& record) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::InstallDriver");
    if (record.infPath.empty()) {
        TDU_LOG(L"Inf Name is empty.");
        return true;
    }
    if (RegData::utf16Length(record.infPath) > kInfPathLimit) {
        TDU_LOG(L"InfPath has exceeded MAX_PATH limit");
        return false;
    }
    std::error_code ec;
    const bool present = tdu::platform::pathExists(record.infPath, ec);
    if (ec) {
        // Neither found nor missing (access denied, say): the package is
        // not published and the device stage goes on as for a missing file.
        TDU_LOG(L"Failed to check Inf Path: %s with last Error: %lu", record.infPath,
                static_cast<std::uint32_t>(ec.value()));
        return true;
    }
    if (!present) {
        TDU_LOG(L"Inf Path does not exist: %s", record.infPath);
        return true;
    }
    std::wstring published;
    if (!dev().SetupCopyOEMInfW(record.infPath, tdu::platform::kSpostPath, tdu::platform::kSpCopyNoOverwrite,
                                published, kPublishedPathChars) &&
        sys().GetLastError() != tdu::platform::kErrorFileExists) {
        TDU_LOG(L"Failed to copy Inf File with last Error: %lu", sys().GetLastError());
    } else {
        TDU_LOG(L"Successfully copied driver to driver store, output oem: %s", published);
    }
    if (published.empty() || record.componentName.empty()) {
        return true;
    }
    const std::wstring oemName(tdu::platform::afterLastSeparator(published));
    if (!op.Set32BitRegData(record.componentName, tdu::platform::kRegSz, RegData::text(oemName),
                            RegData::utf16Length(oemName) * 2)) {
        TDU_LOG(L"Failed to set registry for Component: %s", record.componentName);
    }
    return true;
}

} // namespace

int TavrinDriverOperator::InstallDriver(const DriverOperation& record) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::InstallDriver");
    if (!publishPackage(*this, record)) {
        return tdu::exit_code::kOperationFailed;
    }
    if (record.hardwareId.empty()) {
        return tdu::exit_code::kSuccess;
    }
    TDU_LOG(L"Hardware ID: %s", record.hardwareId);
    bool startDevice = false;
    if (!record.startDevice.empty() && tdu::platform::asciiUpper(record.startDevice) == L"YES") {
        startDevice = true;
        TDU_LOG(L"Start Device is true");
    }
    std::uint32_t added = 0;
    if (!record.instanceId.empty()) {
        TDU_LOG(L"Instance ID: %s", record.instanceId);
        TDU_LOG(L"Adding a device with instance id");
        added = AddDevice(record.hardwareId, &record.instanceId, startDevice);
    } else {
        TDU_LOG(L"Adding a device without instance id");
        added = AddDevice(record.hardwareId, nullptr, startDevice);
    }
    if (added != 0) {
        TDU_LOG(L"AddDevice()-> failed");
        return static_cast<int>(added);
    }
    TDU_LOG(L"Device: %s added successfully.", record.hardwareId);

    bool rebootRequired = false;
    if (!record.infPath.empty()) {
        // The update gets the caller's INF, not the published copy.
        if (!dev().UpdateDriverForPlugAndPlayDevicesW(record.hardwareId, record.infPath,
                                                      tdu::platform::kInstallFlagForce, &rebootRequired)) {
            return static_cast<int>(TDU_LOG_ERROR(
                sys().GetLastError(), L"UpdateDriverForPlugAndPlayDevices failed with last Errorf: %lu"));
        }
        TDU_LOG(L"Device: %s updated Successfully.", record.hardwareId);
    }
    if (rebootRequired) {
        TDU_LOG(L"Installation of driver succeeded but reboot wil be required.");
        return tdu::exit_code::kRestartRequired;
    }
    return tdu::exit_code::kSuccess;
}

namespace {

// Gives the created element its id and registers it as a device. The first
// failure before the device exists ends the steps; the error returned is the
// last one recorded.
std::uint32_t registerDevice(tdu::platform::Handle set, const DeviceElement& element,
                             const std::wstring& hardwareId, bool startDevice) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::AddDevice");
    const std::wstring multiString = hardwareId + std::wstring(2, L'\0');
    if (!dev().SetupDiSetDeviceRegistryPropertyW(set, element, tdu::platform::kSpdrpHardwareId,
                                                 RegData::text(multiString),
                                                 RegData::utf16Length(multiString) * 2)) {
        return TDU_LOG_ERROR(sys().GetLastError(),
                             L"SetupDiSetDeviceRegistryProperty()-> failed with last Error: %lu");
    }
    if (startDevice) {
        DeviceInstallParams params;
        if (!dev().SetupDiGetDeviceInstallParamsW(set, element, params)) {
            return TDU_LOG_ERROR(sys().GetLastError(),
                                 L"SetupDiGetDeviceInstallParams()-> failed with last Error: %lu");
        }
        params.flags |= tdu::platform::kDiDoNotCallConfigMg;
        if (!dev().SetupDiSetDeviceInstallParamsW(set, element, params)) {
            return TDU_LOG_ERROR(sys().GetLastError(),
                                 L"SetupDiSetDeviceInstallParams()-> failed with last Error: %lu");
        }
    }
    if (!dev().SetupDiCallClassInstaller(tdu::platform::kDifRegisterDevice, set, element)) {
        return TDU_LOG_ERROR(sys().GetLastError(),
                             L"SetupDiCallClassInstaller()-> failed with last Error: %lu");
    }
    // From here on the device exists; later failures are only recorded. The
    // two reads serve nothing but their failure, which the result reports.
    std::uint32_t result = 0;
    std::wstring createdId;
    if (!dev().SetupDiGetDeviceInstanceIdW(set, element, createdId, kInstanceIdChars, nullptr)) {
        result = TDU_LOG_ERROR(sys().GetLastError(),
                               L"SetupDiGetDeviceInstanceId()-> failed with Last Error: %lu");
    }
    DeviceInstallParams params;
    if (!dev().SetupDiGetDeviceInstallParamsW(set, element, params)) {
        result = TDU_LOG_ERROR(sys().GetLastError(),
                               L"SetupDiGetDeviceInstallParams()-> failed with last Error: %lu");
    }
    return result;
}

} // namespace

std::uint32_t TavrinDriverOperator::AddDevice(const std::wstring& hardwareId, const std::wstring* instanceId,
                                              bool startDevice) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::AddDevice");
    std::vector<Guid> classGuids;
    std::uint32_t required = 0;
    if (!dev().SetupDiClassGuidsFromNameW(L"Net", classGuids, 1, &required)) {
        return TDU_LOG_ERROR(sys().GetLastError(),
                             L"SetupDiClassGuidsFromName()-> failed with last Error: %lu");
    }
    const Guid classGuid = classGuids.empty() ? Guid{} : classGuids.front();

    DeviceInfoSet set(dev().SetupDiCreateDeviceInfoList(&classGuid));
    if (!set) {
        return TDU_LOG_ERROR(sys().GetLastError(),
                             L"SetupDiCreateDeviceInfoList()-> failed with last Error: %lu");
    }

    // Without an instance id the platform generates one under the root
    // enumerator; the device name may then hold no backslash.
    std::wstring deviceName = instanceId != nullptr ? *instanceId : hardwareId;
    if (instanceId == nullptr) {
        std::replace(deviceName.begin(), deviceName.end(), L'\\', L'&');
    }
    DeviceElement element;
    if (!dev().SetupDiCreateDeviceInfoW(set.get(), deviceName, classGuid,
                                        instanceId != nullptr ? 0 : tdu::platform::kDicdGenerateId,
                                        element)) {
        return TDU_LOG_ERROR(sys().GetLastError(),
                             L"SetupDiCreateDeviceInfo()-> failed with last Error: %lu");
    }

    std::uint32_t result = registerDevice(set.get(), element, hardwareId, startDevice);
    if (!dev().SetupDiDeleteDeviceInfo(set.get(), element)) {
        result =
            TDU_LOG_ERROR(sys().GetLastError(), L"SetupDiDeleteDeviceInfo()-> failed with last Error: %lu");
    }
    if (!dev().SetupDiDestroyDeviceInfoList(set.release())) {
        result = TDU_LOG_ERROR(sys().GetLastError(),
                               L"SetupDiDestroyDeviceInfoList()-> failed with last Error: %lu");
    }
    return result;
}
