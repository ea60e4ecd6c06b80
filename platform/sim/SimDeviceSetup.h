#pragma once

#include "platform/sim/SimState.h"

namespace tdu::platform::sim {

class SimDeviceSetup final : public IDeviceSetup {
public:
    explicit SimDeviceSetup(SimState& state) : s_(state) {}

    bool SetupCopyOEMInfW(const std::wstring& sourceInfFileName, std::uint32_t oemSourceMediaType,
                          std::uint32_t copyStyle, std::wstring& destination,
                          std::uint32_t destinationCapacity) override;
    bool SetupUninstallOEMInfW(const std::wstring& infFileName, std::uint32_t flags) override;
    bool UpdateDriverForPlugAndPlayDevicesW(const std::wstring& hardwareId, const std::wstring& fullInfPath,
                                            std::uint32_t installFlags, bool* rebootRequired) override;
    bool SetupDiClassGuidsFromNameW(const std::wstring& className, std::vector<Guid>& classGuids,
                                    std::uint32_t classGuidListSize, std::uint32_t* requiredSize) override;
    Handle SetupDiCreateDeviceInfoList(const Guid* classGuid) override;
    Handle SetupDiGetClassDevsExW(const Guid* classGuid, std::uint32_t flags) override;
    bool SetupDiDestroyDeviceInfoList(Handle deviceInfoSet) override;
    bool SetupDiCreateDeviceInfoW(Handle deviceInfoSet, const std::wstring& deviceName, const Guid& classGuid,
                                  std::uint32_t creationFlags, DeviceElement& element) override;
    bool SetupDiEnumDeviceInfo(Handle deviceInfoSet, std::uint32_t memberIndex,
                               DeviceElement& element) override;
    bool SetupDiDeleteDeviceInfo(Handle deviceInfoSet, const DeviceElement& element) override;
    bool SetupDiGetDeviceInstanceIdW(Handle deviceInfoSet, const DeviceElement& element,
                                     std::wstring& instanceId, std::uint32_t capacity,
                                     std::uint32_t* requiredSize) override;
    bool SetupDiSetDeviceRegistryPropertyW(Handle deviceInfoSet, const DeviceElement& element,
                                           std::uint32_t property, const RegData& value,
                                           std::uint32_t byteCount) override;
    bool SetupDiGetDeviceRegistryPropertyW(Handle deviceInfoSet, const DeviceElement& element,
                                           std::uint32_t property, std::uint32_t* propertyRegDataType,
                                           RegData* buffer, std::uint32_t bufferSize,
                                           std::uint32_t* requiredSize) override;
    bool SetupDiGetDeviceInstallParamsW(Handle deviceInfoSet, const DeviceElement& element,
                                        DeviceInstallParams& params) override;
    bool SetupDiSetDeviceInstallParamsW(Handle deviceInfoSet, const DeviceElement& element,
                                        const DeviceInstallParams& params) override;
    bool SetupDiSetClassInstallParamsW(Handle deviceInfoSet, const DeviceElement& element,
                                       const RemoveDeviceParams& params, std::uint32_t paramsSize) override;
    bool SetupDiCallClassInstaller(std::uint32_t installFunction, Handle deviceInfoSet,
                                   const DeviceElement& element) override;
    bool SetupDiBuildDriverInfoList(Handle deviceInfoSet, const DeviceElement& element,
                                    std::uint32_t driverType) override;
    bool SetupDiEnumDriverInfoW(Handle deviceInfoSet, const DeviceElement& element, std::uint32_t driverType,
                                std::uint32_t memberIndex, DriverInfo& driverInfo) override;
    bool SetupDiGetDriverInfoDetailW(Handle deviceInfoSet, const DeviceElement& element,
                                     const DriverInfo& driverInfo, DriverInfoDetail& detail,
                                     std::uint32_t detailSize, std::uint32_t* requiredSize) override;
    void InstallHinfSectionW(const std::wstring& commandLine, int showCommand) override;

private:
    SimDeviceSet* setOf(Handle deviceInfoSet);
    // The set of a call on one element, or null with the platform's error left as the last error.
    SimDeviceSet* setFor(std::string_view call, Handle deviceInfoSet, const DeviceElement& element);
    // The element, or null with the platform's error left as the last error.
    // `recordsSized`: whether the call's other records carry their own size.
    SimElement* elementOf(std::string_view call, Handle deviceInfoSet, const DeviceElement& element,
                          bool recordsSized = true);
    SimDevice* deviceOf(const std::wstring& instanceId);
    Handle newSet(SimDeviceSet set);

    SimState& s_;
};

} // namespace tdu::platform::sim
