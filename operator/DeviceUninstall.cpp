// Taking one driver off the machine: its devices, its published packages and
// its driver file.
#include "app/ExitCode.h"
#include "log/LogError.h"
#include "operator/OperatorLog.h"
#include "operator/TDriverOperator.h"
#include "platform/Owners.h"
#include "platform/PathChecks.h"
#include "platform/WideText.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace {

using tdu::platform::dev;
using tdu::platform::DeviceElement;
using tdu::platform::DeviceInfoSet;
using tdu::platform::DeviceInstallParams;
using tdu::platform::RegData;
using tdu::platform::sys;

constexpr std::uint32_t kStoredNameBytes = 520;
// Where the system keeps the drivers' .sys files.
constexpr wchar_t kSystemDriversFolder[] = L"%WINDIR%\\System32\\Drivers\\";
// Wine publishes a package under its own INF name rather than as oem<N>.inf:
// the product's own names are taken too, and no other package's or the
// system's INF.
constexpr auto kOwnInfNames = std::to_array<std::wstring_view>(
    {L"tvrnns.inf", L"tvrnvamgr.inf", L"tvrnva.inf", L"SplitDNSFilter.inf", L"DERAzo.inf"});

bool isPublishedInfName(std::wstring_view name) {
    return tdu::platform::isOemInfName(name) ||
           std::ranges::any_of(kOwnInfNames, [name](std::wstring_view own) {
               return tdu::platform::equalsIgnoringAsciiCase(name, own);
           });
}

} // namespace

int TavrinDriverOperator::UninstallDriver(const DriverOperation& record) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::UninstallDriver");
    std::uint32_t rebootRequired = 0;
    if (!record.hardwareId.empty()) {
        if (record.hardwareId == kNotADeviceDriver) {
            TDU_LOG(L"Hardware id passed is: %s, so skipped removing device.", record.hardwareId);
        } else if (RemoveDevices(record.hardwareId, &rebootRequired) != 0) {
            TDU_LOG(L"failed to remove device: %s ", record.hardwareId);
        } else {
            TDU_LOG(L"Device: %s removed successfully.", record.hardwareId);
        }
    }
    if (!record.oemInfName.empty() && !UninstallOEMInf(&record.oemInfName)) {
        TDU_LOG(L"Uninstallation of OEM: %s Failed.", record.oemInfName);
    }
    if (!record.componentName.empty()) {
        std::wstring stored;
        std::uint32_t size = kStoredNameBytes;
        if (Read32BitReg(record.componentName.c_str(), &stored, &size) && !stored.empty()) {
            TDU_LOG(L"Uninstalling OEM for component:%s -> %s", record.componentName, stored);
            // The value goes only with its package, so a failed removal is
            // tried again by the next run.
            if (UninstallOEMInf(&stored)) {
                if (!Delete32BitReg(record.componentName.c_str())) {
                    TDU_LOG(L"Delete32BitReg Failed.");
                }
            } else {
                TDU_LOG(L"Uninstallation of OEM INf: %s Failed.", stored);
            }
        }
        if (!DeleteDriverFile(record.componentName)) {
            TDU_LOG(L"DeleteDriverFile Failed.");
        }
    }
    if (rebootRequired != 0) {
        TDU_LOG(L"Reboot will be required for uninstallation of driver to complete.");
        return tdu::exit_code::kRestartRequired;
    }
    return tdu::exit_code::kSuccess;
}

bool TavrinDriverOperator::UninstallOEMInf(const std::wstring* infName) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::UninstallOEMInf");
    if (infName == nullptr) {
        return true;
    }
    // The store joins the name to its INF folder and deletes what it leads
    // to, another package's or the system's INF included: anything but a
    // name it publishes under is refused like a failed removal.
    if (!isPublishedInfName(*infName)) {
        TDU_LOG(L"Invalid OEM Inf name: %s", *infName);
        return false;
    }
    if (!dev().SetupUninstallOEMInfW(*infName, tdu::platform::kSuoiForceDelete)) {
        TDU_LOG(L"Failed to remove OEM: %s", *infName);
        return false;
    }
    TDU_LOG(L"Removed OEM: %s successfully.", *infName);
    return true;
}

bool TavrinDriverOperator::DeleteDriverFile(const std::wstring& componentName) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::DeleteDriverFile");
    std::wstring folder;
    const std::uint32_t expanded =
        sys().ExpandEnvironmentStringsW(kSystemDriversFolder, folder, tdu::platform::kMaxPath);
    // A folder that does not fit is never cut down to build a path, nor is
    // one that is not a full path completed by the working folder.
    if (const auto error = tdu::platform::expansionError(expanded, tdu::platform::kMaxPath, folder)) {
        TDU_LOG(L"ExpandEnvironmentStrings Failed for 'WINDIR' with last Error:%lu", *error);
        return false;
    }
    if (!tdu::platform::isBareName(componentName)) {
        TDU_LOG(L"Invalid Component name: %s", componentName);
        return false;
    }
    const std::wstring path = folder + componentName + L".sys";
    TDU_LOG(L"Attempting to delete '%s'", path);
    if (!sys().DeleteFileW(path)) {
        TDU_LOG(L"DeleteFile Failed for %s with last Error:%lu", path, sys().GetLastError());
        const int removed = sys()._wremove(path);
        if (removed != 0) {
            TDU_LOG(L"Tried to delete '%s' one more time, but failed with Error:%d", path, removed);
            return false;
        }
    }
    TDU_LOG(L"'%s' deleted successfully", path);
    return true;
}

namespace {

// Whether the element's hardware ids hold `hardwareId`; an element whose ids
// cannot be read is logged and passed over.
bool carriesId(tdu::platform::Handle set, const DeviceElement& element, const std::wstring& hardwareId) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::RemoveDevices");
    std::uint32_t required = 0;
    dev().SetupDiGetDeviceRegistryPropertyW(set, element, tdu::platform::kSpdrpHardwareId, nullptr, nullptr,
                                            0, &required);
    RegData ids;
    std::uint32_t type = 0;
    if (!dev().SetupDiGetDeviceRegistryPropertyW(set, element, tdu::platform::kSpdrpHardwareId, &type, &ids,
                                                 required, nullptr)) {
        TDU_LOG(L"SetupDiGetDeviceRegistryProperty failed with last Error: %lu", sys().GetLastError());
        return false;
    }
    return std::ranges::any_of(ids.multiStrings(), [&hardwareId](const std::wstring& id) {
        return tdu::platform::equalsIgnoringAsciiCase(id, hardwareId);
    });
}

// Removes one device; a failing step is logged and leaves the device be.
void removeDevice(tdu::platform::Handle set, const DeviceElement& element, std::uint32_t* rebootRequired) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::RemoveDevices");
    const tdu::platform::RemoveDeviceParams removal{8, tdu::platform::kDifRemove,
                                                    tdu::platform::kDiRemoveDeviceGlobal, 0};
    if (!dev().SetupDiSetClassInstallParamsW(set, element, removal,
                                             tdu::platform::kSizeOfRemoveDeviceParams)) {
        TDU_LOG(L"SetupDiSetClassInstallParams failed with last Error: %lu", sys().GetLastError());
        return;
    }
    if (!dev().SetupDiCallClassInstaller(tdu::platform::kDifRemove, set, element)) {
        TDU_LOG(L"SetupDiCallClassInstaller failed with last Error: %lu", sys().GetLastError());
        return;
    }
    DeviceInstallParams params;
    if (!dev().SetupDiGetDeviceInstallParamsW(set, element, params)) {
        TDU_LOG(L"SetupDiGetDeviceInstallParams failed with last Error: %lu", sys().GetLastError());
        return;
    }
    if ((params.flags & (tdu::platform::kDiNeedRestart | tdu::platform::kDiNeedReboot)) != 0 &&
        rebootRequired != nullptr) {
        *rebootRequired = 1;
    }
}

} // namespace

std::uint32_t TavrinDriverOperator::RemoveDevices(const std::wstring& hardwareId,
                                                  std::uint32_t* rebootRequired) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::RemoveDevices");
    const DeviceInfoSet set(dev().SetupDiGetClassDevsExW(nullptr, tdu::platform::kDigcfAllClasses));
    if (!set) {
        // The message names another call than the one that failed; it stays
        // as the product's logs have always carried it.
        return TDU_LOG_ERROR(sys().GetLastError(),
                             L"SetupDiCreateDeviceInfoList() failed with last Error: %lu");
    }
    for (std::uint32_t index = 0;; ++index) {
        DeviceElement element;
        if (!dev().SetupDiEnumDeviceInfo(set.get(), index, element)) {
            const std::uint32_t error = sys().GetLastError();
            if (error == tdu::platform::kErrorNoMoreItems) {
                TDU_LOG(L"finished searching");
                return 0;
            }
            return TDU_LOG_ERROR(error, L"failed to get device info with last error: %lu");
        }
        if (carriesId(set.get(), element, hardwareId)) {
            removeDevice(set.get(), element, rebootRequired);
        }
    }
}
