// The platform's device-installation services (SetupAPI and newdev): the
// driver store, device information sets and their elements, properties,
// install parameters and the class installer. Each method mirrors one call:
// true (or a valid handle) on success, the reason in ISystem::GetLastError.
#pragma once

#include "platform/RegData.h"
#include "platform/Types.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tdu::platform {

// The records below have the SDK's layouts (held equal in the Windows build),
// so that they reach the platform whole; each carries the size the platform
// checks, as the SDK's own do. Text fields are the SDK's fixed arrays.
inline constexpr std::uint32_t kLineLen = 256;
inline constexpr std::uint32_t kSizeOfDevInfoData = 32;
inline constexpr std::uint32_t kSizeOfDevInstallParams = 584;
inline constexpr std::uint32_t kSizeOfDrvInfoDataV2 = 1568;
inline constexpr std::uint32_t kSizeOfDrvInfoDetailData = 1584;

// SP_DEVINFO_DATA: one element of a device information set.
struct DeviceElement {
    std::uint32_t cbSize = kSizeOfDevInfoData;
    Guid classGuid;
    std::uint32_t devInst = 0;
    std::uint64_t reserved = 0;
};

// SP_DEVINSTALL_PARAMS_W. Fields the program never reads travel through
// unchanged, so a read-modify-write keeps them.
struct DeviceInstallParams {
    std::uint32_t cbSize = kSizeOfDevInstallParams;
    std::uint32_t flags = 0;
    std::uint32_t flagsEx = 0;
    std::uint64_t hwndParent = 0;
    std::uint64_t installMsgHandler = 0;
    std::uint64_t installMsgHandlerContext = 0;
    std::uint64_t fileQueue = 0;
    std::uint64_t classInstallReserved = 0;
    std::uint32_t reserved = 0;
    std::array<wchar_t, kMaxPath> driverPath{};
};

// SP_REMOVEDEVICE_PARAMS: the class-install header and the removal scope.
struct RemoveDeviceParams {
    std::uint32_t headerSize = 8;
    std::uint32_t installFunction = 0;
    std::uint32_t scope = 0;
    std::uint32_t hwProfile = 0;
};

// SP_DRVINFO_DATA_V2_W.
struct DriverInfo {
    std::uint32_t cbSize = kSizeOfDrvInfoDataV2;
    std::uint32_t driverType = 0;
    std::uint64_t reserved = 0;
    std::array<wchar_t, kLineLen> description{};
    std::array<wchar_t, kLineLen> mfgName{};
    std::array<wchar_t, kLineLen> providerName{};
    std::uint64_t driverDate = 0; // a FILETIME
    std::uint64_t driverVersion = 0;
};

// SP_DRVINFO_DETAIL_DATA_W with room for the first character of its id
// list, which the program never reads.
struct DriverInfoDetail {
    std::uint32_t cbSize = kSizeOfDrvInfoDetailData;
    std::array<std::uint32_t, 2> infDate{}; // a FILETIME, low part first
    std::uint32_t compatIdsOffset = 0;
    std::uint32_t compatIdsLength = 0;
    std::uint64_t reserved = 0;
    std::array<wchar_t, kLineLen> sectionName{};
    std::array<wchar_t, kMaxPath> infFileName{};
    std::array<wchar_t, kLineLen> drvDescription{};
    std::array<wchar_t, 1> hardwareId{};
};

inline constexpr std::uint32_t kSpostPath = 1;
inline constexpr std::uint32_t kSpCopyNoOverwrite = 8;
inline constexpr std::uint32_t kSuoiForceDelete = 1;
inline constexpr std::uint32_t kInstallFlagForce = 1;
inline constexpr std::uint32_t kDicdGenerateId = 1;
inline constexpr std::uint32_t kDigcfAllClasses = 4;
inline constexpr std::uint32_t kDigcfPresent = 2;
inline constexpr std::uint32_t kSpdrpHardwareId = 1;
inline constexpr std::uint32_t kDifRemove = 0x05;
inline constexpr std::uint32_t kDifRegisterDevice = 0x19;
inline constexpr std::uint32_t kDiRemoveDeviceGlobal = 1;
inline constexpr std::uint32_t kDiNeedRestart = 0x80;
inline constexpr std::uint32_t kDiNeedReboot = 0x100;
inline constexpr std::uint32_t kDiDoNotCallConfigMg = 0x00020000;
inline constexpr std::uint32_t kSizeOfRemoveDeviceParams = 16;
inline constexpr std::uint32_t kSpditCompatDriver = 2;
inline constexpr std::uint32_t kDiFlagsExAllowExcludedDrvs = 0x00000800;
inline constexpr std::uint32_t kDiFlagsExUseClassForCompat = 0x00002000;

// Errors of the device-installation services.
inline constexpr std::uint32_t kErrorInvalidData = 13;
inline constexpr std::uint32_t kErrorFileExists = 80;
inline constexpr std::uint32_t kErrorInvalidDevinstName = 0xE0000205;
inline constexpr std::uint32_t kErrorDevinstAlreadyExists = 0xE0000207;
inline constexpr std::uint32_t kErrorNoSuchDevinst = 0xE000020B;
inline constexpr std::uint32_t kErrorInfInUseByDevices = 0xE000023D;

class IDeviceSetup {
public:
    virtual ~IDeviceSetup() = default;

    // Driver store.
    // destination receives the published INF's path, also when the package
    // was already published (failure with kErrorFileExists).
    virtual bool SetupCopyOEMInfW(const std::wstring& sourceInfFileName, std::uint32_t oemSourceMediaType,
                                  std::uint32_t copyStyle, std::wstring& destination,
                                  std::uint32_t destinationCapacity) = 0;
    virtual bool SetupUninstallOEMInfW(const std::wstring& infFileName, std::uint32_t flags) = 0;
    virtual bool UpdateDriverForPlugAndPlayDevicesW(const std::wstring& hardwareId,
                                                    const std::wstring& fullInfPath,
                                                    std::uint32_t installFlags, bool* rebootRequired) = 0;

    // Classes and sets.
    virtual bool SetupDiClassGuidsFromNameW(const std::wstring& className, std::vector<Guid>& classGuids,
                                            std::uint32_t classGuidListSize, std::uint32_t* requiredSize) = 0;
    // kInvalidHandle on failure.
    virtual Handle SetupDiCreateDeviceInfoList(const Guid* classGuid) = 0;
    virtual Handle SetupDiGetClassDevsExW(const Guid* classGuid, std::uint32_t flags) = 0;
    virtual bool SetupDiDestroyDeviceInfoList(Handle deviceInfoSet) = 0;

    // Elements.
    virtual bool SetupDiCreateDeviceInfoW(Handle deviceInfoSet, const std::wstring& deviceName,
                                          const Guid& classGuid, std::uint32_t creationFlags,
                                          DeviceElement& element) = 0;
    virtual bool SetupDiEnumDeviceInfo(Handle deviceInfoSet, std::uint32_t memberIndex,
                                       DeviceElement& element) = 0;
    virtual bool SetupDiDeleteDeviceInfo(Handle deviceInfoSet, const DeviceElement& element) = 0;
    virtual bool SetupDiGetDeviceInstanceIdW(Handle deviceInfoSet, const DeviceElement& element,
                                             std::wstring& instanceId, std::uint32_t capacity,
                                             std::uint32_t* requiredSize) = 0;

    // Properties: the value's bytes as the platform stores them.
    virtual bool SetupDiSetDeviceRegistryPropertyW(Handle deviceInfoSet, const DeviceElement& element,
                                                   std::uint32_t property, const RegData& value,
                                                   std::uint32_t byteCount) = 0;
    // A null buffer asks for the size only.
    virtual bool SetupDiGetDeviceRegistryPropertyW(Handle deviceInfoSet, const DeviceElement& element,
                                                   std::uint32_t property, std::uint32_t* propertyRegDataType,
                                                   RegData* buffer, std::uint32_t bufferSize,
                                                   std::uint32_t* requiredSize) = 0;

    // Install parameters and the class installer.
    virtual bool SetupDiGetDeviceInstallParamsW(Handle deviceInfoSet, const DeviceElement& element,
                                                DeviceInstallParams& params) = 0;
    virtual bool SetupDiSetDeviceInstallParamsW(Handle deviceInfoSet, const DeviceElement& element,
                                                const DeviceInstallParams& params) = 0;
    virtual bool SetupDiSetClassInstallParamsW(Handle deviceInfoSet, const DeviceElement& element,
                                               const RemoveDeviceParams& params,
                                               std::uint32_t paramsSize) = 0;
    virtual bool SetupDiCallClassInstaller(std::uint32_t installFunction, Handle deviceInfoSet,
                                           const DeviceElement& element) = 0;

    // Driver lists: the store's packages compatible with an element's ids.
    virtual bool SetupDiBuildDriverInfoList(Handle deviceInfoSet, const DeviceElement& element,
                                            std::uint32_t driverType) = 0;
    virtual bool SetupDiEnumDriverInfoW(Handle deviceInfoSet, const DeviceElement& element,
                                        std::uint32_t driverType, std::uint32_t memberIndex,
                                        DriverInfo& driverInfo) = 0;
    // Fails with kErrorInsufficientBuffer when the id list does not fit
    // detailSize bytes (at most the record's size); the fixed part is filled
    // all the same.
    virtual bool SetupDiGetDriverInfoDetailW(Handle deviceInfoSet, const DeviceElement& element,
                                             const DriverInfo& driverInfo, DriverInfoDetail& detail,
                                             std::uint32_t detailSize, std::uint32_t* requiredSize) = 0;

    // Runs an INF section: "<section> <mode> <inf path>". Reports nothing.
    virtual void InstallHinfSectionW(const std::wstring& commandLine, int showCommand) = 0;
};

} // namespace tdu::platform
