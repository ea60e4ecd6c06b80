// The service control manager as advapi32 exposes it: manager and service
// handles, status, control, dependants, deletion. Each method mirrors one
// call and returns its success signal (a null handle or false, with the
// reason in ISystem::GetLastError).
#pragma once

#include "platform/Types.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tdu::platform {

inline constexpr std::uint32_t kScManagerConnect = 0x0001;
inline constexpr std::uint32_t kScManagerAllAccess = 0xF003F;
inline constexpr std::uint32_t kServiceQueryStatus = 0x0004;
inline constexpr std::uint32_t kServiceEnumerateDependents = 0x0008;
inline constexpr std::uint32_t kServiceStop = 0x0020;

inline constexpr std::uint32_t kScStatusProcessInfo = 0;
inline constexpr std::uint32_t kServiceControlStop = 1;
inline constexpr std::uint32_t kServiceActive = 1;

// dwCurrentState values.
inline constexpr std::uint32_t kServiceStopped = 1;
inline constexpr std::uint32_t kServiceStopPending = 3;
inline constexpr std::uint32_t kServiceRunning = 4;

inline constexpr std::uint32_t kErrorDependentServicesRunning = 1051;
inline constexpr std::uint32_t kErrorServiceCannotAcceptCtrl = 1061;
inline constexpr std::uint32_t kErrorServiceNotActive = 1062;
inline constexpr std::uint32_t kErrorServiceDoesNotExist = 1060;
inline constexpr std::uint32_t kErrorServiceMarkedForDelete = 1072;

// SERVICE_STATUS: what ControlService reports.
struct ServiceStatus {
    std::uint32_t dwServiceType = 0;
    std::uint32_t dwCurrentState = 0;
    std::uint32_t dwControlsAccepted = 0;
    std::uint32_t dwWin32ExitCode = 0;
    std::uint32_t dwServiceSpecificExitCode = 0;
    std::uint32_t dwCheckPoint = 0;
    std::uint32_t dwWaitHint = 0;
};

// SERVICE_STATUS_PROCESS: SERVICE_STATUS followed by the process fields, so
// ControlService can write into the first part of the same record.
struct ServiceStatusProcess : ServiceStatus {
    std::uint32_t dwProcessId = 0;
    std::uint32_t dwServiceFlags = 0;
};
inline constexpr std::uint32_t kServiceStatusProcessBytes = 36;

// ENUM_SERVICE_STATUSW as the platform writes it. The names point into the
// block the entry was written to and live as long as it.
struct EnumServiceStatus {
    const wchar_t* lpServiceName = nullptr;
    const wchar_t* lpDisplayName = nullptr;
    ServiceStatus status;
};

class IServiceControl {
public:
    virtual ~IServiceControl() = default;

    // A null name stands for the local machine and the active database.
    virtual Handle OpenSCManagerW(const std::wstring* machineName, const std::wstring* databaseName,
                                  std::uint32_t desiredAccess) = 0;
    virtual Handle OpenServiceW(Handle manager, const std::wstring& serviceName,
                                std::uint32_t desiredAccess) = 0;
    // bufSize: the record's size in bytes; bytesNeeded receives the size the
    // level needs.
    virtual bool QueryServiceStatusEx(Handle service, std::uint32_t infoLevel, ServiceStatusProcess& status,
                                      std::uint32_t bufSize, std::uint32_t& bytesNeeded) = 0;
    virtual bool ControlService(Handle service, std::uint32_t control, ServiceStatus& status) = 0;
    // Writes the entries into `buffer`, a heap block of at least bufSize
    // bytes (kNullHandle with size 0 asks for the size), and on success hands
    // back what it wrote as `entries`. With a buffer too small it fails with
    // kErrorMoreData and bytesNeeded.
    virtual bool EnumDependentServicesW(Handle service, std::uint32_t serviceState, Handle buffer,
                                        std::uint32_t bufSize, std::uint32_t& bytesNeeded,
                                        std::uint32_t& servicesReturned,
                                        std::vector<EnumServiceStatus>& entries) = 0;
    virtual bool DeleteService(Handle service) = 0;
    virtual bool CloseServiceHandle(Handle handle) = 0;
};

} // namespace tdu::platform
