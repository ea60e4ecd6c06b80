// The product's packages in the driver store, and the platform's INF cache.
#include "app/ExitCode.h"
#include "operator/OperatorLog.h"
#include "operator/TDriverOperator.h"
#include "platform/Owners.h"
#include "platform/PathChecks.h"

#include <algorithm>
#include <array>
#include <new>

namespace {

using tdu::platform::dev;
using tdu::platform::DeviceElement;
using tdu::platform::DeviceInfoSet;
using tdu::platform::DeviceInstallParams;
using tdu::platform::DriverInfo;
using tdu::platform::DriverInfoDetail;
using tdu::platform::Guid;
using tdu::platform::Held;
using tdu::platform::RegData;
using tdu::platform::sys;

struct SearchPair {
    const wchar_t* className;
    const wchar_t* hardwareId;
};

// The ids the product's packages declare, each under the setup class it is
// searched in.
constexpr auto searchPairs = std::to_array<SearchPair>({
    {L"NetService", L"tvrnns"},
    {L"NetService", L"tvrnna"},
    {L"Net", L"tvrnna_mp"},
    {L"Net", L"tvrnvamgr"},
    {L"Net", kAdapterHardwareId},
});

constexpr std::uint32_t kDriverInfoDetailBytes = 1584;
constexpr std::uint32_t kWindowsDirectoryChars = 261;

// Logs each driver the search element found, one line each, and lists its
// package when asked to.
void logDriverInfos(tdu::platform::Handle set, const DeviceElement& element, const std::wstring& hardwareId,
                    std::vector<DriverStoreEntry>* entries) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::ListInfs");
    for (std::uint32_t index = 0;; ++index) {
        DriverInfo info;
        if (!dev().SetupDiEnumDriverInfoW(set, element, tdu::platform::kSpditCompatDriver, index, info)) {
            return;
        }
        DriverInfoDetail detail;
        // The detail's fixed part always fits; only the id list may not.
        const bool more =
            dev().SetupDiGetDriverInfoDetailW(set, element, info, detail, kDriverInfoDetailBytes, nullptr) ||
            sys().GetLastError() == tdu::platform::kErrorInsufficientBuffer;
        tdu::platform::LocalTime date;
        sys().FileTimeToSystemTime(info.driverDate, date);
        const std::wstring infFileName(tdu::platform::textOf(detail.infFileName));
        if (entries != nullptr) {
            entries->push_back(
                DriverStoreEntry{std::wstring(tdu::platform::afterLastSeparator(infFileName)), hardwareId});
        }
        const std::uint64_t v = info.driverVersion;
        TDU_LOG(L"%s %0.2u/%0.2u/%0.4u %u.%u.%u.%u %s\n", infFileName, std::uint32_t{date.month},
                std::uint32_t{date.day}, std::uint32_t{date.year},
                static_cast<std::uint32_t>((v >> 48U) & 0xFFFFU),
                static_cast<std::uint32_t>((v >> 32U) & 0xFFFFU),
                static_cast<std::uint32_t>((v >> 16U) & 0xFFFFU), static_cast<std::uint32_t>(v & 0xFFFFU),
                hardwareId);
        if (!more) {
            return;
        }
    }
}

} // namespace

void TavrinDriverOperator::ListInfs(const std::wstring& className, const std::wstring& hardwareId,
                                    std::vector<DriverStoreEntry>* entries) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::ListInfs");
    std::vector<Guid> classGuids;
    std::uint32_t required = 0;
    if (!dev().SetupDiClassGuidsFromNameW(className, classGuids, 1, &required)) {
        return;
    }
    const Guid classGuid = classGuids.empty() ? Guid{} : classGuids.front();
    DeviceInfoSet set(dev().SetupDiCreateDeviceInfoList(&classGuid));
    if (!set) {
        return;
    }
    std::wstring deviceName = hardwareId;
    std::replace(deviceName.begin(), deviceName.end(), L'\\', L'&');
    // The element only carries the id for the search: it is never registered.
    DeviceElement element;
    if (!dev().SetupDiCreateDeviceInfoW(set.get(), deviceName, classGuid, tdu::platform::kDicdGenerateId,
                                        element)) {
        return;
    }
    // Deleted from the set again on every path, before the set goes.
    const Held created([&] { dev().SetupDiDeleteDeviceInfo(set.get(), element); });
    const std::wstring multiString = hardwareId + std::wstring(2, L'\0');
    if (!dev().SetupDiSetDeviceRegistryPropertyW(set.get(), element, tdu::platform::kSpdrpHardwareId,
                                                 RegData::text(multiString),
                                                 RegData::utf16Length(multiString) * 2)) {
        return;
    }
    DeviceInstallParams params;
    if (dev().SetupDiGetDeviceInstallParamsW(set.get(), element, params)) {
        params.flagsEx |=
            tdu::platform::kDiFlagsExAllowExcludedDrvs | tdu::platform::kDiFlagsExUseClassForCompat;
        dev().SetupDiSetDeviceInstallParamsW(set.get(), element, params);
    }
    if (!dev().SetupDiBuildDriverInfoList(set.get(), element, tdu::platform::kSpditCompatDriver)) {
        return;
    }
    logDriverInfos(set.get(), element, hardwareId, entries);
}

int TavrinDriverOperator::ListDriverInfs(std::vector<DriverStoreEntry>* entries) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::ListDriverInfs");
    try {
        TDU_LOG(L"Listing Driver Infs");
        for (const SearchPair& pair : searchPairs) {
            ListInfs(pair.className, pair.hardwareId, entries);
        }
    } catch (const std::bad_alloc&) {
        return tdu::exit_code::kInstallFailure;
    }
    return tdu::exit_code::kSuccess;
}

int TavrinDriverOperator::RemoveINFCACHE() {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::RemoveINFCACHE");
    try {
        TDU_LOG(L"Removing INF Cache");
        std::wstring windows;
        const std::uint32_t length = sys().GetWindowsDirectoryW(windows, kWindowsDirectoryChars);
        // A folder that is not a full path would be completed by the working folder.
        const bool read = length != 0 && length <= kWindowsDirectoryChars - 1;
        if (!read || !tdu::platform::isExpandedAbsolutePath(windows)) {
            TDU_LOG(L"GetWindowsDirectory()->%u  GetLastError():%#x", length,
                    read ? tdu::platform::kErrorEnvvarNotFound : sys().GetLastError());
            return tdu::exit_code::kInstallFailure;
        }
        const std::wstring path = windows + L"\\INF\\INFCACHE.1";
        if (sys().DeleteFileW(path)) {
            TDU_LOG(L"DeleteFile(\"%s\") succeeded.", path);
            return tdu::exit_code::kSuccess;
        }
        const std::uint32_t error = sys().GetLastError();
        if (error == tdu::platform::kErrorFileNotFound) {
            TDU_LOG(L"DeleteFile(\"%s\") failure ignored. File Not Found.", path);
            sys()._wremove(path);
            return tdu::exit_code::kSuccess;
        }
        TDU_LOG(L"DeleteFile(\"%s\") failed. GetLastError():%#x", path, error);
        sys()._wremove(path);
        return tdu::exit_code::kInstallFailure;
    } catch (const std::bad_alloc&) {
        return tdu::exit_code::kInstallFailure;
    }
}
