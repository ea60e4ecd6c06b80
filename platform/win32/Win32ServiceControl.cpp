#include "platform/win32/Win32Platform.h"

#include <windows.h>

#include <algorithm>
#include <bit>
#include <iterator>

namespace tdu::platform::win32 {

namespace {

SC_HANDLE toScHandle(Handle handle) {
    return reinterpret_cast<SC_HANDLE>(static_cast<std::uintptr_t>(handle));
}
Handle fromScHandle(SC_HANDLE handle) {
    return static_cast<Handle>(reinterpret_cast<std::uintptr_t>(handle));
}

// The status records' layouts are the SDK's (SdkMirror.cpp).
template <class To, class From> To whole(const From& from) {
    return std::bit_cast<To>(from);
}

class Win32ServiceControl final : public IServiceControl {
public:
    Handle OpenSCManagerW(const std::wstring* machineName, const std::wstring* databaseName,
                          std::uint32_t desiredAccess) override {
        return fromScHandle(kept([&] {
            return ::OpenSCManagerW(machineName == nullptr ? nullptr : machineName->c_str(),
                                    databaseName == nullptr ? nullptr : databaseName->c_str(), desiredAccess);
        }));
    }

    Handle OpenServiceW(Handle manager, const std::wstring& serviceName,
                        std::uint32_t desiredAccess) override {
        return fromScHandle(
            kept([&] { return ::OpenServiceW(toScHandle(manager), serviceName.c_str(), desiredAccess); }));
    }

    bool QueryServiceStatusEx(Handle service, std::uint32_t infoLevel, ServiceStatusProcess& status,
                              std::uint32_t bufSize, std::uint32_t& bytesNeeded) override {
        SERVICE_STATUS_PROCESS record{};
        DWORD needed = 0;
        const BOOL ok = kept([&] {
            return ::QueryServiceStatusEx(toScHandle(service), static_cast<SC_STATUS_TYPE>(infoLevel),
                                          reinterpret_cast<BYTE*>(&record),
                                          std::min<DWORD>(bufSize, sizeof(record)), &needed);
        });
        bytesNeeded = needed;
        if (ok == FALSE) {
            return false;
        }
        status = whole<ServiceStatusProcess>(record);
        return true;
    }

    bool ControlService(Handle service, std::uint32_t control, ServiceStatus& status) override {
        SERVICE_STATUS reply{};
        const BOOL ok = kept([&] { return ::ControlService(toScHandle(service), control, &reply); });
        status = whole<ServiceStatus>(reply);
        return ok != FALSE;
    }

    bool EnumDependentServicesW(Handle service, std::uint32_t serviceState, Handle buffer,
                                std::uint32_t bufSize, std::uint32_t& bytesNeeded,
                                std::uint32_t& servicesReturned,
                                std::vector<EnumServiceStatus>& entries) override {
        auto* block = reinterpret_cast<ENUM_SERVICE_STATUSW*>(static_cast<std::uintptr_t>(buffer));
        DWORD needed = 0;
        DWORD returned = 0;
        const BOOL ok = kept([&] {
            return ::EnumDependentServicesW(toScHandle(service), serviceState, block, bufSize, &needed,
                                            &returned);
        });
        bytesNeeded = needed;
        servicesReturned = returned;
        if (ok == FALSE) {
            return false;
        }
        entries.clear();
        std::transform(block, block + returned, std::back_inserter(entries),
                       whole<EnumServiceStatus, ENUM_SERVICE_STATUSW>);
        return true;
    }

    bool DeleteService(Handle service) override {
        return kept([&] { return ::DeleteService(toScHandle(service)); }) != FALSE;
    }

    bool CloseServiceHandle(Handle handle) override {
        return kept([&] { return ::CloseServiceHandle(toScHandle(handle)); }) != FALSE;
    }
};

} // namespace

IServiceControl& win32ServiceControl() {
    static Win32ServiceControl instance;
    return instance;
}

} // namespace tdu::platform::win32
