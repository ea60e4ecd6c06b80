#include "platform/win32/LazyImport.h"
#include "platform/win32/Win32Platform.h"

#include <windows.h>

#include <bit>
#include <cstring>
#include <newdev.h>
#include <setupapi.h>
#include <vector>

namespace tdu::platform::win32 {

namespace {

HDEVINFO toSet(Handle set) {
    return reinterpret_cast<HDEVINFO>(static_cast<std::uintptr_t>(set));
}
Handle fromSet(HDEVINFO set) {
    return static_cast<Handle>(reinterpret_cast<std::uintptr_t>(set));
}

// Both layouts are held equal in SdkMirror.cpp.
GUID toGuid(const Guid& guid) {
    return std::bit_cast<GUID>(guid);
}

Guid fromGuid(const GUID& guid) {
    return std::bit_cast<Guid>(guid);
}

// The records' layouts are the SDK's (SdkMirror.cpp): they cross whole.
SP_DEVINFO_DATA toElement(const DeviceElement& element) {
    return std::bit_cast<SP_DEVINFO_DATA>(element);
}

class Win32DeviceSetup final : public IDeviceSetup {
public:
    bool SetupCopyOEMInfW(const std::wstring& sourceInfFileName, std::uint32_t oemSourceMediaType,
                          std::uint32_t copyStyle, std::wstring& destination,
                          std::uint32_t destinationCapacity) override {
        std::vector<wchar_t> buffer(destinationCapacity == 0 ? 1 : destinationCapacity, L'\0');
        const BOOL ok = kept([&] {
            return ::SetupCopyOEMInfW(sourceInfFileName.c_str(), nullptr, oemSourceMediaType, copyStyle,
                                      buffer.data(), destinationCapacity, nullptr, nullptr);
        });
        destination.assign(buffer.data(), wcsnlen(buffer.data(), buffer.size()));
        return ok != FALSE;
    }

    bool SetupUninstallOEMInfW(const std::wstring& infFileName, std::uint32_t flags) override {
        return kept([&] { return ::SetupUninstallOEMInfW(infFileName.c_str(), flags, nullptr); }) != FALSE;
    }

    bool UpdateDriverForPlugAndPlayDevicesW(const std::wstring& hardwareId, const std::wstring& fullInfPath,
                                            std::uint32_t installFlags, bool* rebootRequired) override {
        BOOL reboot = FALSE;
        const BOOL ok = kept([&] {
            return TDU_LAZY(
                L"newdev.dll", UpdateDriverForPlugAndPlayDevicesW, [] { return BOOL{FALSE}; }, nullptr,
                hardwareId.c_str(), fullInfPath.c_str(), installFlags, &reboot);
        });
        if (rebootRequired != nullptr) {
            *rebootRequired = reboot != FALSE;
        }
        return ok != FALSE;
    }

    bool SetupDiClassGuidsFromNameW(const std::wstring& className, std::vector<Guid>& classGuids,
                                    std::uint32_t classGuidListSize, std::uint32_t* requiredSize) override {
        std::vector<GUID> guids(classGuidListSize == 0 ? 1 : classGuidListSize);
        DWORD required = 0;
        const BOOL ok = kept([&] {
            return ::SetupDiClassGuidsFromNameW(className.c_str(), guids.data(), classGuidListSize,
                                                &required);
        });
        if (requiredSize != nullptr) {
            *requiredSize = required;
        }
        classGuids.clear();
        for (DWORD i = 0; ok != FALSE && i < required && i < classGuidListSize; ++i) {
            classGuids.push_back(fromGuid(guids[i]));
        }
        return ok != FALSE;
    }

    Handle SetupDiCreateDeviceInfoList(const Guid* classGuid) override {
        const GUID guid = classGuid == nullptr ? GUID{} : toGuid(*classGuid);
        return fromSet(kept(
            [&] { return ::SetupDiCreateDeviceInfoList(classGuid == nullptr ? nullptr : &guid, nullptr); }));
    }

    Handle SetupDiGetClassDevsExW(const Guid* classGuid, std::uint32_t flags) override {
        const GUID guid = classGuid == nullptr ? GUID{} : toGuid(*classGuid);
        return fromSet(kept([&] {
            return ::SetupDiGetClassDevsExW(classGuid == nullptr ? nullptr : &guid, nullptr, nullptr, flags,
                                            nullptr, nullptr, nullptr);
        }));
    }

    bool SetupDiDestroyDeviceInfoList(Handle deviceInfoSet) override {
        return kept([&] { return ::SetupDiDestroyDeviceInfoList(toSet(deviceInfoSet)); }) != FALSE;
    }

    bool SetupDiCreateDeviceInfoW(Handle deviceInfoSet, const std::wstring& deviceName, const Guid& classGuid,
                                  std::uint32_t creationFlags, DeviceElement& element) override {
        SP_DEVINFO_DATA data = toElement(element);
        const GUID guid = toGuid(classGuid);
        const BOOL ok = kept([&] {
            return ::SetupDiCreateDeviceInfoW(toSet(deviceInfoSet), deviceName.c_str(), &guid, nullptr,
                                              nullptr, creationFlags, &data);
        });
        element = std::bit_cast<DeviceElement>(data);
        return ok != FALSE;
    }

    bool SetupDiEnumDeviceInfo(Handle deviceInfoSet, std::uint32_t memberIndex,
                               DeviceElement& element) override {
        SP_DEVINFO_DATA data = toElement(element);
        const BOOL ok =
            kept([&] { return ::SetupDiEnumDeviceInfo(toSet(deviceInfoSet), memberIndex, &data); });
        element = std::bit_cast<DeviceElement>(data);
        return ok != FALSE;
    }

    bool SetupDiDeleteDeviceInfo(Handle deviceInfoSet, const DeviceElement& element) override {
        SP_DEVINFO_DATA data = toElement(element);
        return kept([&] { return ::SetupDiDeleteDeviceInfo(toSet(deviceInfoSet), &data); }) != FALSE;
    }

    bool SetupDiGetDeviceInstanceIdW(Handle deviceInfoSet, const DeviceElement& element,
                                     std::wstring& instanceId, std::uint32_t capacity,
                                     std::uint32_t* requiredSize) override {
        SP_DEVINFO_DATA data = toElement(element);
        std::vector<wchar_t> buffer(capacity == 0 ? 1 : capacity, L'\0');
        DWORD required = 0;
        const BOOL ok = kept([&] {
            return ::SetupDiGetDeviceInstanceIdW(toSet(deviceInfoSet), &data, buffer.data(), capacity,
                                                 &required);
        });
        if (requiredSize != nullptr) {
            *requiredSize = required;
        }
        if (ok != FALSE) {
            instanceId.assign(buffer.data(), wcsnlen(buffer.data(), buffer.size()));
        }
        return ok != FALSE;
    }

    bool SetupDiSetDeviceRegistryPropertyW(Handle deviceInfoSet, const DeviceElement& element,
                                           std::uint32_t property, const RegData& value,
                                           std::uint32_t byteCount) override {
        SP_DEVINFO_DATA data = toElement(element);
        std::vector<std::uint8_t> bytes = value.bytes;
        bytes.resize(byteCount, 0); // the platform never reads past what the core handed over
        return kept([&] {
                   return ::SetupDiSetDeviceRegistryPropertyW(toSet(deviceInfoSet), &data, property,
                                                              bytes.empty() ? nullptr : bytes.data(),
                                                              byteCount);
               }) != FALSE;
    }

    bool SetupDiGetDeviceRegistryPropertyW(Handle deviceInfoSet, const DeviceElement& element,
                                           std::uint32_t property, std::uint32_t* propertyRegDataType,
                                           RegData* buffer, std::uint32_t bufferSize,
                                           std::uint32_t* requiredSize) override {
        SP_DEVINFO_DATA data = toElement(element);
        std::vector<std::uint8_t> bytes(buffer == nullptr ? 0 : bufferSize, 0);
        DWORD type = 0;
        DWORD required = 0;
        const BOOL ok = kept([&] {
            return ::SetupDiGetDeviceRegistryPropertyW(toSet(deviceInfoSet), &data, property, &type,
                                                       bytes.empty() ? nullptr : bytes.data(),
                                                       buffer == nullptr ? 0 : bufferSize, &required);
        });
        if (propertyRegDataType != nullptr) {
            *propertyRegDataType = type;
        }
        if (requiredSize != nullptr) {
            *requiredSize = required;
        }
        if (ok != FALSE && buffer != nullptr) {
            bytes.resize(std::min<std::size_t>(bytes.size(), required));
            buffer->bytes = std::move(bytes);
        }
        return ok != FALSE;
    }

    bool SetupDiGetDeviceInstallParamsW(Handle deviceInfoSet, const DeviceElement& element,
                                        DeviceInstallParams& params) override {
        SP_DEVINFO_DATA data = toElement(element);
        auto raw = std::bit_cast<SP_DEVINSTALL_PARAMS_W>(params);
        const BOOL ok =
            kept([&] { return ::SetupDiGetDeviceInstallParamsW(toSet(deviceInfoSet), &data, &raw); });
        params = std::bit_cast<DeviceInstallParams>(raw);
        return ok != FALSE;
    }

    bool SetupDiSetDeviceInstallParamsW(Handle deviceInfoSet, const DeviceElement& element,
                                        const DeviceInstallParams& params) override {
        SP_DEVINFO_DATA data = toElement(element);
        auto raw = std::bit_cast<SP_DEVINSTALL_PARAMS_W>(params);
        return kept([&] { return ::SetupDiSetDeviceInstallParamsW(toSet(deviceInfoSet), &data, &raw); }) !=
               FALSE;
    }

    bool SetupDiSetClassInstallParamsW(Handle deviceInfoSet, const DeviceElement& element,
                                       const RemoveDeviceParams& params, std::uint32_t paramsSize) override {
        SP_DEVINFO_DATA data = toElement(element);
        auto raw = std::bit_cast<SP_REMOVEDEVICE_PARAMS>(params);
        return kept([&] {
                   return ::SetupDiSetClassInstallParamsW(toSet(deviceInfoSet), &data,
                                                          &raw.ClassInstallHeader, paramsSize);
               }) != FALSE;
    }

    bool SetupDiBuildDriverInfoList(Handle deviceInfoSet, const DeviceElement& element,
                                    std::uint32_t driverType) override {
        SP_DEVINFO_DATA data = toElement(element);
        return kept([&] { return ::SetupDiBuildDriverInfoList(toSet(deviceInfoSet), &data, driverType); }) !=
               FALSE;
    }

    bool SetupDiEnumDriverInfoW(Handle deviceInfoSet, const DeviceElement& element, std::uint32_t driverType,
                                std::uint32_t memberIndex, DriverInfo& driverInfo) override {
        SP_DEVINFO_DATA data = toElement(element);
        auto raw = std::bit_cast<SP_DRVINFO_DATA_V2_W>(driverInfo);
        const BOOL ok = kept([&] {
            return ::SetupDiEnumDriverInfoW(toSet(deviceInfoSet), &data, driverType, memberIndex, &raw);
        });
        driverInfo = std::bit_cast<DriverInfo>(raw);
        return ok != FALSE;
    }

    bool SetupDiGetDriverInfoDetailW(Handle deviceInfoSet, const DeviceElement& element,
                                     const DriverInfo& driverInfo, DriverInfoDetail& detail,
                                     std::uint32_t detailSize, std::uint32_t* requiredSize) override {
        SP_DEVINFO_DATA data = toElement(element);
        auto info = std::bit_cast<SP_DRVINFO_DATA_V2_W>(driverInfo);
        auto raw = std::bit_cast<SP_DRVINFO_DETAIL_DATA_W>(detail);
        DWORD required = 0;
        const BOOL ok = kept([&] {
            // Never a size past the record the platform writes into.
            return ::SetupDiGetDriverInfoDetailW(toSet(deviceInfoSet), &data,
                                                 reinterpret_cast<SP_DRVINFO_DATA_W*>(&info), &raw,
                                                 std::min<DWORD>(detailSize, sizeof raw), &required);
        });
        if (requiredSize != nullptr) {
            *requiredSize = required;
        }
        detail = std::bit_cast<DriverInfoDetail>(raw);
        return ok != FALSE;
    }

    void InstallHinfSectionW(const std::wstring& commandLine, int showCommand) override {
        std::wstring writable = commandLine; // the platform takes a writable line
        kept([&] {
            ::InstallHinfSectionW(nullptr, nullptr, writable.c_str(), showCommand);
            return 0;
        });
    }

    bool SetupDiCallClassInstaller(std::uint32_t installFunction, Handle deviceInfoSet,
                                   const DeviceElement& element) override {
        SP_DEVINFO_DATA data = toElement(element);
        return kept([&] {
                   return ::SetupDiCallClassInstaller(installFunction, toSet(deviceInfoSet), &data);
               }) != FALSE;
    }
};

} // namespace

IDeviceSetup& win32DeviceSetup() {
    static Win32DeviceSetup instance;
    return instance;
}

} // namespace tdu::platform::win32
