// The core speaks the platform through its own mirrors of SDK constants and
// records, so that it builds without <windows.h>. A mirror that drifts from
// the SDK would pass every simulated row and still hand Windows the wrong
// value: this file is where each one is held against the SDK's own, at
// compile time.
#include "platform/DeviceSetup.h"
#include "platform/FileVersion.h"
#include "platform/InstallerDb.h"
#include "platform/NetConfig.h"
#include "platform/Registry.h"
#include "platform/ServiceControl.h"
#include "platform/System.h"
#include "platform/Types.h"

#include <windows.h>

#include <aclapi.h>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <msi.h>
#include <newdev.h>
#include <ole2.h>
#include <prsht.h>
#include <rpc.h>
#include <rpcndr.h>
#include <setupapi.h>
#include <unknwn.h>
#include <wtypes.h>

// The class and interface ids, as constants of this file rather than the
// SDK's link-time objects, so that they can be compared while compiling
// (the headers above are the ones these two would pull in, and would reset
// the macro with).
#undef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                                         \
    constexpr GUID name{l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}};
#include <devguid.h>
#include <netcfgn.h>
#include <netcfgx.h>

namespace tdu::platform {
namespace {

// A field of a mirror record sits where the SDK's field of the same meaning
// does, and is as large.
template <class Mirror, class Sdk> constexpr bool sameSize = sizeof(Mirror) == sizeof(Sdk);

#define TDU_SAME_FIELD(Mirror, field, Sdk, sdkField)                                                         \
    static_assert(offsetof(Mirror, field) == offsetof(Sdk, sdkField) &&                                      \
                  sameSize<decltype(Mirror::field), decltype(Sdk::sdkField)>)

template <class Mirror, class Sdk> constexpr bool same(Mirror mirror, Sdk sdk) {
    return mirror == static_cast<Mirror>(sdk);
}

// A mirror record and the SDK's agree field for field when each field, given
// a value of its own by name, lands in the SDK field of the same meaning.
constexpr bool sameGuid(const Guid& mirror, const GUID& sdk) {
    const auto raw = std::bit_cast<GUID>(mirror);
    bool data4 = true;
    for (int i = 0; i < 8; ++i) {
        data4 = data4 && raw.Data4[i] == sdk.Data4[i];
    }
    return raw.Data1 == sdk.Data1 && raw.Data2 == sdk.Data2 && raw.Data3 == sdk.Data3 && data4;
}

// Kernel and run-time.
static_assert(same(kErrorSuccess, ERROR_SUCCESS));
static_assert(same(kErrorFileNotFound, ERROR_FILE_NOT_FOUND));
static_assert(same(kErrorPathNotFound, ERROR_PATH_NOT_FOUND));
static_assert(same(kErrorAccessDenied, ERROR_ACCESS_DENIED));
static_assert(same(kErrorInvalidHandle, ERROR_INVALID_HANDLE));
static_assert(same(kErrorInvalidParameter, ERROR_INVALID_PARAMETER));
static_assert(same(kErrorInsufficientBuffer, ERROR_INSUFFICIENT_BUFFER));
static_assert(same(kErrorAlreadyExists, ERROR_ALREADY_EXISTS));
static_assert(same(kErrorEnvvarNotFound, ERROR_ENVVAR_NOT_FOUND));
static_assert(same(kErrorMoreData, ERROR_MORE_DATA));
static_assert(same(kErrorNoMoreItems, ERROR_NO_MORE_ITEMS));
static_assert(same(kErrorNotOwner, ERROR_NOT_OWNER));
static_assert(same(kErrorKeyDeleted, ERROR_KEY_DELETED));
static_assert(same(kErrorSuccessRebootRequired, ERROR_SUCCESS_REBOOT_REQUIRED));
static_assert(same(kWaitObject0, WAIT_OBJECT_0));
static_assert(same(kWaitTimeout, WAIT_TIMEOUT));
static_assert(same(kWaitFailed, WAIT_FAILED));
static_assert(same(kInfinite, INFINITE));
static_assert(same(kMutexAllAccess, MUTEX_ALL_ACCESS));
static_assert(same(kEventAllAccess, EVENT_ALL_ACCESS));
static_assert(same(kHeapZeroMemory, HEAP_ZERO_MEMORY));
static_assert(same(kMaxPath, MAX_PATH));
static_assert(same(kFileAttributeDirectory, FILE_ATTRIBUTE_DIRECTORY));
static_assert(same(kFileAttributeReparsePoint, FILE_ATTRIBUTE_REPARSE_POINT));
static_assert(same(kInvalidFileAttributes, INVALID_FILE_ATTRIBUTES));
static_assert(same(kErrorBadNetpath, ERROR_BAD_NETPATH));
static_assert(same(kErrorNetnameDeleted, ERROR_NETNAME_DELETED));
static_assert(same(kErrorInvalidName, ERROR_INVALID_NAME));
static_assert(same(kErrorDirectory, ERROR_DIRECTORY));
static_assert(sizeof(Guid) == sizeof(GUID));
static_assert(sameGuid(Guid{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}}, GUID{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}}));

// Open files and folders, the writers' lock, owners.
static_assert(same(kErrorSharingViolation, ERROR_SHARING_VIOLATION));
static_assert(same(kErrorLockViolation, ERROR_LOCK_VIOLATION));
static_assert(same(kReadControl, READ_CONTROL));
static_assert(same(kSynchronize, SYNCHRONIZE));
static_assert(same(kFileAttributeNormal, FILE_ATTRIBUTE_NORMAL));
static_assert(same(kFileAppendData, FILE_APPEND_DATA));
static_assert(same(kFileReadAttributes, FILE_READ_ATTRIBUTES));
static_assert(same(kFileShareRead, FILE_SHARE_READ));
static_assert(same(kFileShareWrite, FILE_SHARE_WRITE));
static_assert(same(kFileShareDelete, FILE_SHARE_DELETE));
static_assert(same(kOpenExisting, OPEN_EXISTING));
static_assert(same(kOpenAlways, OPEN_ALWAYS));
static_assert(same(kFileFlagBackupSemantics, FILE_FLAG_BACKUP_SEMANTICS));
static_assert(same(kFileFlagOpenReparsePoint, FILE_FLAG_OPEN_REPARSE_POINT));
static_assert(same(kLockfileFailImmediately, LOCKFILE_FAIL_IMMEDIATELY));
static_assert(same(kLockfileExclusiveLock, LOCKFILE_EXCLUSIVE_LOCK));
static_assert(same(kSeFileObject, SE_FILE_OBJECT));
static_assert(same(kSeKernelObject, SE_KERNEL_OBJECT));
static_assert(same(kOwnerSecurityInformation, OWNER_SECURITY_INFORMATION));
static_assert(same(kDaclSecurityInformation, DACL_SECURITY_INFORMATION));
static_assert(same(kProtectedDaclSecurityInformation, PROTECTED_DACL_SECURITY_INFORMATION));
static_assert(same(kWriteDac, WRITE_DAC));
static_assert(same(kTokenQuery, TOKEN_QUERY));
static_assert(sizeof(FileBasicInfo) == sizeof(FILE_BASIC_INFO));
static_assert(offsetof(FileBasicInfo, times) == offsetof(FILE_BASIC_INFO, CreationTime));
static_assert(sameSize<decltype(FileBasicInfo::times), LARGE_INTEGER[4]>);
TDU_SAME_FIELD(FileBasicInfo, fileAttributes, FILE_BASIC_INFO, FileAttributes);
static_assert(sizeof(FileStandardInfo) == sizeof(FILE_STANDARD_INFO));
TDU_SAME_FIELD(FileStandardInfo, allocationSize, FILE_STANDARD_INFO, AllocationSize);
TDU_SAME_FIELD(FileStandardInfo, endOfFile, FILE_STANDARD_INFO, EndOfFile);
TDU_SAME_FIELD(FileStandardInfo, numberOfLinks, FILE_STANDARD_INFO, NumberOfLinks);
TDU_SAME_FIELD(FileStandardInfo, deletePending, FILE_STANDARD_INFO, DeletePending);
TDU_SAME_FIELD(FileStandardInfo, directory, FILE_STANDARD_INFO, Directory);
static_assert(sameSize<ByHandleFileInformation, BY_HANDLE_FILE_INFORMATION>);
static_assert(alignof(ByHandleFileInformation) == alignof(BY_HANDLE_FILE_INFORMATION));
TDU_SAME_FIELD(ByHandleFileInformation, fileAttributes, BY_HANDLE_FILE_INFORMATION, dwFileAttributes);
static_assert(offsetof(ByHandleFileInformation, fileTimes) ==
              offsetof(BY_HANDLE_FILE_INFORMATION, ftCreationTime));
static_assert(sameSize<decltype(ByHandleFileInformation::fileTimes), FILETIME[3]>);
TDU_SAME_FIELD(ByHandleFileInformation, volumeSerialNumber, BY_HANDLE_FILE_INFORMATION, dwVolumeSerialNumber);
TDU_SAME_FIELD(ByHandleFileInformation, fileSizeHigh, BY_HANDLE_FILE_INFORMATION, nFileSizeHigh);
TDU_SAME_FIELD(ByHandleFileInformation, fileSizeLow, BY_HANDLE_FILE_INFORMATION, nFileSizeLow);
TDU_SAME_FIELD(ByHandleFileInformation, numberOfLinks, BY_HANDLE_FILE_INFORMATION, nNumberOfLinks);
TDU_SAME_FIELD(ByHandleFileInformation, fileIndexHigh, BY_HANDLE_FILE_INFORMATION, nFileIndexHigh);
TDU_SAME_FIELD(ByHandleFileInformation, fileIndexLow, BY_HANDLE_FILE_INFORMATION, nFileIndexLow);

static_assert(sizeof(LocalTime) == sizeof(SYSTEMTIME));
TDU_SAME_FIELD(LocalTime, year, SYSTEMTIME, wYear);
TDU_SAME_FIELD(LocalTime, month, SYSTEMTIME, wMonth);
TDU_SAME_FIELD(LocalTime, dayOfWeek, SYSTEMTIME, wDayOfWeek);
TDU_SAME_FIELD(LocalTime, day, SYSTEMTIME, wDay);
TDU_SAME_FIELD(LocalTime, hour, SYSTEMTIME, wHour);
TDU_SAME_FIELD(LocalTime, minute, SYSTEMTIME, wMinute);
TDU_SAME_FIELD(LocalTime, second, SYSTEMTIME, wSecond);
TDU_SAME_FIELD(LocalTime, milliseconds, SYSTEMTIME, wMilliseconds);
static_assert(sizeof(std::uint64_t) == sizeof(FILETIME)); // low part first, as the platform's

static_assert(sizeof(FindData) == sizeof(WIN32_FIND_DATAW));
TDU_SAME_FIELD(FindData, attributes, WIN32_FIND_DATAW, dwFileAttributes);
static_assert(offsetof(FindData, fileTimes) == offsetof(WIN32_FIND_DATAW, ftCreationTime));
static_assert(sameSize<decltype(FindData::fileTimes), FILETIME[3]>);
TDU_SAME_FIELD(FindData, fileSizeHigh, WIN32_FIND_DATAW, nFileSizeHigh);
TDU_SAME_FIELD(FindData, fileSizeLow, WIN32_FIND_DATAW, nFileSizeLow);
static_assert(offsetof(FindData, reserved) == offsetof(WIN32_FIND_DATAW, dwReserved0));
static_assert(sameSize<decltype(FindData::reserved), DWORD[2]>);
TDU_SAME_FIELD(FindData, fileName, WIN32_FIND_DATAW, cFileName);
TDU_SAME_FIELD(FindData, alternateFileName, WIN32_FIND_DATAW, cAlternateFileName);

// Device installation.
static_assert(same(kSpostPath, SPOST_PATH));
static_assert(same(kSpCopyNoOverwrite, SP_COPY_NOOVERWRITE));
static_assert(same(kSuoiForceDelete, SUOI_FORCEDELETE));
static_assert(same(kInstallFlagForce, INSTALLFLAG_FORCE));
static_assert(same(kDicdGenerateId, DICD_GENERATE_ID));
static_assert(same(kDigcfAllClasses, DIGCF_ALLCLASSES));
static_assert(same(kDigcfPresent, DIGCF_PRESENT));
static_assert(same(kSpdrpHardwareId, SPDRP_HARDWAREID));
static_assert(same(kDifRemove, DIF_REMOVE));
static_assert(same(kDifRegisterDevice, DIF_REGISTERDEVICE));
static_assert(same(kDiRemoveDeviceGlobal, DI_REMOVEDEVICE_GLOBAL));
static_assert(same(kDiNeedRestart, DI_NEEDRESTART));
static_assert(same(kDiNeedReboot, DI_NEEDREBOOT));
static_assert(same(kDiDoNotCallConfigMg, DI_DONOTCALLCONFIGMG));
static_assert(same(kSpditCompatDriver, SPDIT_COMPATDRIVER));
static_assert(same(kDiFlagsExAllowExcludedDrvs, DI_FLAGSEX_ALLOWEXCLUDEDDRVS));
static_assert(same(kDiFlagsExUseClassForCompat, DI_FLAGSEX_USECLASSFORCOMPAT));
static_assert(same(kErrorInvalidData, ERROR_INVALID_DATA));
static_assert(same(kErrorFileExists, ERROR_FILE_EXISTS));
static_assert(same(kErrorInvalidDevinstName, ERROR_INVALID_DEVINST_NAME));
static_assert(same(kErrorDevinstAlreadyExists, ERROR_DEVINST_ALREADY_EXISTS));
static_assert(same(kErrorNoSuchDevinst, ERROR_NO_SUCH_DEVINST));
static_assert(same(kErrorInfInUseByDevices, ERROR_INF_IN_USE_BY_DEVICES));
static_assert(same(kSizeOfRemoveDeviceParams, sizeof(SP_REMOVEDEVICE_PARAMS)));
static_assert(sizeof(RemoveDeviceParams) == sizeof(SP_REMOVEDEVICE_PARAMS));
static_assert([] {
    const auto raw = std::bit_cast<SP_REMOVEDEVICE_PARAMS>(
        RemoveDeviceParams{.headerSize = 1, .installFunction = 2, .scope = 3, .hwProfile = 4});
    return raw.ClassInstallHeader.cbSize == 1 && raw.ClassInstallHeader.InstallFunction == 2 &&
           raw.Scope == 3 && raw.HwProfile == 4;
}());
static_assert(same(kLineLen, LINE_LEN));
static_assert(same(kSizeOfDevInfoData, sizeof(SP_DEVINFO_DATA)));
static_assert(same(kSizeOfDevInstallParams, sizeof(SP_DEVINSTALL_PARAMS_W)));
static_assert(same(kSizeOfDrvInfoDataV2, sizeof(SP_DRVINFO_DATA_V2_W)));
static_assert(same(kSizeOfDrvInfoDetailData, sizeof(SP_DRVINFO_DETAIL_DATA_W)));
static_assert(sizeof(DeviceElement) == sizeof(SP_DEVINFO_DATA));
TDU_SAME_FIELD(DeviceElement, cbSize, SP_DEVINFO_DATA, cbSize);
TDU_SAME_FIELD(DeviceElement, classGuid, SP_DEVINFO_DATA, ClassGuid);
TDU_SAME_FIELD(DeviceElement, devInst, SP_DEVINFO_DATA, DevInst);
TDU_SAME_FIELD(DeviceElement, reserved, SP_DEVINFO_DATA, Reserved);
static_assert(sizeof(DeviceInstallParams) == sizeof(SP_DEVINSTALL_PARAMS_W));
TDU_SAME_FIELD(DeviceInstallParams, cbSize, SP_DEVINSTALL_PARAMS_W, cbSize);
TDU_SAME_FIELD(DeviceInstallParams, flags, SP_DEVINSTALL_PARAMS_W, Flags);
TDU_SAME_FIELD(DeviceInstallParams, flagsEx, SP_DEVINSTALL_PARAMS_W, FlagsEx);
TDU_SAME_FIELD(DeviceInstallParams, hwndParent, SP_DEVINSTALL_PARAMS_W, hwndParent);
TDU_SAME_FIELD(DeviceInstallParams, installMsgHandler, SP_DEVINSTALL_PARAMS_W, InstallMsgHandler);
TDU_SAME_FIELD(DeviceInstallParams, installMsgHandlerContext, SP_DEVINSTALL_PARAMS_W,
               InstallMsgHandlerContext);
TDU_SAME_FIELD(DeviceInstallParams, fileQueue, SP_DEVINSTALL_PARAMS_W, FileQueue);
TDU_SAME_FIELD(DeviceInstallParams, classInstallReserved, SP_DEVINSTALL_PARAMS_W, ClassInstallReserved);
TDU_SAME_FIELD(DeviceInstallParams, reserved, SP_DEVINSTALL_PARAMS_W, Reserved);
TDU_SAME_FIELD(DeviceInstallParams, driverPath, SP_DEVINSTALL_PARAMS_W, DriverPath);
static_assert(sizeof(DriverInfo) == sizeof(SP_DRVINFO_DATA_V2_W));
TDU_SAME_FIELD(DriverInfo, cbSize, SP_DRVINFO_DATA_V2_W, cbSize);
TDU_SAME_FIELD(DriverInfo, driverType, SP_DRVINFO_DATA_V2_W, DriverType);
TDU_SAME_FIELD(DriverInfo, reserved, SP_DRVINFO_DATA_V2_W, Reserved);
TDU_SAME_FIELD(DriverInfo, description, SP_DRVINFO_DATA_V2_W, Description);
TDU_SAME_FIELD(DriverInfo, mfgName, SP_DRVINFO_DATA_V2_W, MfgName);
TDU_SAME_FIELD(DriverInfo, providerName, SP_DRVINFO_DATA_V2_W, ProviderName);
TDU_SAME_FIELD(DriverInfo, driverDate, SP_DRVINFO_DATA_V2_W, DriverDate);
TDU_SAME_FIELD(DriverInfo, driverVersion, SP_DRVINFO_DATA_V2_W, DriverVersion);
static_assert(sizeof(DriverInfoDetail) == sizeof(SP_DRVINFO_DETAIL_DATA_W));
TDU_SAME_FIELD(DriverInfoDetail, cbSize, SP_DRVINFO_DETAIL_DATA_W, cbSize);
TDU_SAME_FIELD(DriverInfoDetail, infDate, SP_DRVINFO_DETAIL_DATA_W, InfDate);
TDU_SAME_FIELD(DriverInfoDetail, compatIdsOffset, SP_DRVINFO_DETAIL_DATA_W, CompatIDsOffset);
TDU_SAME_FIELD(DriverInfoDetail, compatIdsLength, SP_DRVINFO_DETAIL_DATA_W, CompatIDsLength);
TDU_SAME_FIELD(DriverInfoDetail, reserved, SP_DRVINFO_DETAIL_DATA_W, Reserved);
TDU_SAME_FIELD(DriverInfoDetail, sectionName, SP_DRVINFO_DETAIL_DATA_W, SectionName);
TDU_SAME_FIELD(DriverInfoDetail, infFileName, SP_DRVINFO_DETAIL_DATA_W, InfFileName);
TDU_SAME_FIELD(DriverInfoDetail, drvDescription, SP_DRVINFO_DETAIL_DATA_W, DrvDescription);
TDU_SAME_FIELD(DriverInfoDetail, hardwareId, SP_DRVINFO_DETAIL_DATA_W, HardwareID);
static_assert(sameGuid(kGuidDevClassNet, GUID_DEVCLASS_NET));
static_assert(sameGuid(kGuidDevClassNetClient, GUID_DEVCLASS_NETCLIENT));
static_assert(sameGuid(kGuidDevClassNetService, GUID_DEVCLASS_NETSERVICE));
static_assert(sameGuid(kGuidDevClassNetTrans, GUID_DEVCLASS_NETTRANS));
static_assert(sameGuid(kGuidDevClassSystem, GUID_DEVCLASS_SYSTEM));

// Registry.
static_assert(same(kKeyRead, KEY_READ));
static_assert(same(kKeyAllAccess, KEY_ALL_ACCESS));
static_assert(same(kKeyWow64_32Key, KEY_WOW64_32KEY));
static_assert(same(kRegOptionNonVolatile, REG_OPTION_NON_VOLATILE));
static_assert(same(kRegSz, REG_SZ));
static_assert(same(kRegDword, REG_DWORD));
static_assert(same(kRegMultiSz, REG_MULTI_SZ));

// Service control.
static_assert(same(kScManagerConnect, SC_MANAGER_CONNECT));
static_assert(same(kScManagerAllAccess, SC_MANAGER_ALL_ACCESS));
static_assert(same(kServiceQueryStatus, SERVICE_QUERY_STATUS));
static_assert(same(kServiceEnumerateDependents, SERVICE_ENUMERATE_DEPENDENTS));
static_assert(same(kServiceStop, SERVICE_STOP));
static_assert(same(kDelete, DELETE));
static_assert(same(kScStatusProcessInfo, SC_STATUS_PROCESS_INFO));
static_assert(same(kServiceControlStop, SERVICE_CONTROL_STOP));
static_assert(same(kServiceActive, SERVICE_ACTIVE));
static_assert(same(kServiceStopped, SERVICE_STOPPED));
static_assert(same(kServiceStopPending, SERVICE_STOP_PENDING));
static_assert(same(kServiceRunning, SERVICE_RUNNING));
static_assert(same(kErrorDependentServicesRunning, ERROR_DEPENDENT_SERVICES_RUNNING));
static_assert(same(kErrorServiceCannotAcceptCtrl, ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
static_assert(same(kErrorServiceNotActive, ERROR_SERVICE_NOT_ACTIVE));
static_assert(same(kErrorServiceDoesNotExist, ERROR_SERVICE_DOES_NOT_EXIST));
static_assert(same(kErrorServiceMarkedForDelete, ERROR_SERVICE_MARKED_FOR_DELETE));
static_assert(same(kServiceStatusProcessBytes, sizeof(SERVICE_STATUS_PROCESS)));
static_assert(sizeof(ServiceStatus) == sizeof(SERVICE_STATUS));
static_assert(sizeof(ServiceStatusProcess) == sizeof(SERVICE_STATUS_PROCESS));
static_assert([] {
    ServiceStatusProcess mirror;
    mirror.dwServiceType = 1;
    mirror.dwCurrentState = 2;
    mirror.dwControlsAccepted = 3;
    mirror.dwWin32ExitCode = 4;
    mirror.dwServiceSpecificExitCode = 5;
    mirror.dwCheckPoint = 6;
    mirror.dwWaitHint = 7;
    mirror.dwProcessId = 8;
    mirror.dwServiceFlags = 9;
    const auto raw = std::bit_cast<SERVICE_STATUS_PROCESS>(mirror);
    return raw.dwServiceType == 1 && raw.dwCurrentState == 2 && raw.dwControlsAccepted == 3 &&
           raw.dwWin32ExitCode == 4 && raw.dwServiceSpecificExitCode == 5 && raw.dwCheckPoint == 6 &&
           raw.dwWaitHint == 7 && raw.dwProcessId == 8 && raw.dwServiceFlags == 9;
}());

static_assert(sizeof(EnumServiceStatus) == sizeof(ENUM_SERVICE_STATUSW));
TDU_SAME_FIELD(EnumServiceStatus, lpServiceName, ENUM_SERVICE_STATUSW, lpServiceName);
TDU_SAME_FIELD(EnumServiceStatus, lpDisplayName, ENUM_SERVICE_STATUSW, lpDisplayName);
TDU_SAME_FIELD(EnumServiceStatus, status, ENUM_SERVICE_STATUSW, ServiceStatus);

// Network configuration.
static_assert(same(kSOk, S_OK));
static_assert(same(kSFalse, S_FALSE));
static_assert(same(kEFail, E_FAIL));
static_assert(same(kENoInterface, E_NOINTERFACE));
static_assert(same(kEPointer, E_POINTER));
static_assert(same(kEInvalidArg, E_INVALIDARG));
static_assert(same(kCoENotInitialized, CO_E_NOTINITIALIZED));
static_assert(same(kNetcfgSReboot, NETCFG_S_REBOOT));
static_assert(same(kNetcfgSStillReferenced, NETCFG_S_STILL_REFERENCED));
static_assert(same(kNetcfgEAlreadyInitialized, NETCFG_E_ALREADY_INITIALIZED));
static_assert(same(kNetcfgENotInitialized, NETCFG_E_NOT_INITIALIZED));
static_assert(same(kNetcfgENoWriteLock, NETCFG_E_NO_WRITE_LOCK));
static_assert(same(kNetcfgENeedReboot, NETCFG_E_NEED_REBOOT));
static_assert(same(kCoinitApartmentThreaded, COINIT_APARTMENTTHREADED));
static_assert(same(kCoinitDisableOle1Dde, COINIT_DISABLE_OLE1DDE));
static_assert(same(kClsctxAll, CLSCTX_ALL));
static_assert(same(kNsfPostSysInstall, NSF_POSTSYSINSTALL));
static_assert(same(kOboSoftware, OBO_SOFTWARE));
static_assert(sameGuid(kClsidCNetCfg, CLSID_CNetCfg));
static_assert(sameGuid(kIidINetCfg, IID_INetCfg));
static_assert(sameGuid(kIidINetCfgLock, IID_INetCfgLock));
static_assert(sameGuid(kIidINetCfgClass, IID_INetCfgClass));
static_assert(sameGuid(kIidINetCfgClassSetup, IID_INetCfgClassSetup));
static_assert(sameGuid(kIidINetCfgComponent, IID_INetCfgComponent));

static_assert(sizeof(OboToken) == sizeof(OBO_TOKEN));
TDU_SAME_FIELD(OboToken, type, OBO_TOKEN, Type);
TDU_SAME_FIELD(OboToken, pncc, OBO_TOKEN, pncc);
TDU_SAME_FIELD(OboToken, manufacturer, OBO_TOKEN, pszwManufacturer);
TDU_SAME_FIELD(OboToken, product, OBO_TOKEN, pszwProduct);
TDU_SAME_FIELD(OboToken, displayName, OBO_TOKEN, pszwDisplayName);
TDU_SAME_FIELD(OboToken, registered, OBO_TOKEN, fRegistered);

// Installer database. MSIDBOPEN_TRANSACT is a pointer-typed constant, which
// cannot be read while compiling; its value is the one the SDK documents.
static_assert(same(kErrorOpenFailed, ERROR_OPEN_FAILED));
static_assert(same(kErrorUnknownProduct, ERROR_UNKNOWN_PRODUCT));
static_assert(same(kErrorUnknownProperty, ERROR_UNKNOWN_PROPERTY));
static_assert(same(kErrorBadQuerySyntax, ERROR_BAD_QUERY_SYNTAX));
static_assert(same(kErrorFunctionFailed, ERROR_FUNCTION_FAILED));

// Version information.
static_assert(same(kFixedFileInfoSignature, VS_FFI_SIGNATURE));
static_assert(same(kFixedFileInfoBytes, sizeof(VS_FIXEDFILEINFO)));
static_assert(sizeof(FixedFileInfo) == sizeof(VS_FIXEDFILEINFO));
static_assert([] {
    const auto raw = std::bit_cast<VS_FIXEDFILEINFO>(FixedFileInfo{.signature = 1,
                                                                   .structVersion = 2,
                                                                   .fileVersionMS = 3,
                                                                   .fileVersionLS = 4,
                                                                   .productVersionMS = 5,
                                                                   .productVersionLS = 6,
                                                                   .fileFlagsMask = 7,
                                                                   .fileFlags = 8,
                                                                   .fileOS = 9,
                                                                   .fileType = 10,
                                                                   .fileSubtype = 11,
                                                                   .fileDateMS = 12,
                                                                   .fileDateLS = 13});
    return raw.dwSignature == 1 && raw.dwStrucVersion == 2 && raw.dwFileVersionMS == 3 &&
           raw.dwFileVersionLS == 4 && raw.dwProductVersionMS == 5 && raw.dwProductVersionLS == 6 &&
           raw.dwFileFlagsMask == 7 && raw.dwFileFlags == 8 && raw.dwFileOS == 9 && raw.dwFileType == 10 &&
           raw.dwFileSubtype == 11 && raw.dwFileDateMS == 12 && raw.dwFileDateLS == 13;
}());

} // namespace
} // namespace tdu::platform
