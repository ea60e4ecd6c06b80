// The operator: one object per process, without data members. Its member
// functions are the operations the dispatcher hands a parsed command to.
#pragma once

#include "app/DriverOperation.h"
#include "platform/RegData.h"

#include <cstdint>
#include <string>

class TavrinDriverOperator {
public:
    static TavrinDriverOperator& getInstance();

    // Runs the operation the record names; returns its status unchanged.
    int PerformDriverOperation(const DriverOperation& record);

    // One driver package: publish it, record its published name for the
    // component, create its device and install the driver on it.
    int InstallDriver(const DriverOperation& record);
    // Creates a root-enumerated "Net" device for the hardware id; the error of
    // the last failing step, or 0. instanceId null: the platform names it.
    std::uint32_t AddDevice(const std::wstring& hardwareId, const std::wstring* instanceId, bool startDevice);

    // Devices first, then the named package, the component's stored package
    // and its driver file. 3010 when a removal asks for a restart, else 0.
    int UninstallDriver(const DriverOperation& record);
    bool UninstallOEMInf(const std::wstring* infName);
    bool DeleteDriverFile(const std::wstring& componentName);
    // Removes every device, of any class, present or not, listing the id.
    std::uint32_t RemoveDevices(const std::wstring& hardwareId, std::uint32_t* rebootRequired);

    // Installation status handshake between the installer's start and end runs.
    int setStatus(const DriverOperation& record);

    // The product key, HKLM\SOFTWARE\TavrinSecure\TavrinDrivers in the 32-bit view.
    bool Set32BitRegData(const std::wstring& valueName, std::uint32_t valueType,
                         const tdu::platform::RegData& data, std::uint32_t byteCount);
    // data receives the text up to its first NUL; byteCount is the buffer size
    // in bytes, set to the size needed when the value does not fit.
    bool Read32BitReg(const wchar_t* valueName, std::wstring* data, std::uint32_t* byteCount);
    bool Delete32BitReg(const wchar_t* valueName);
    int SetProcessorTypeInReg();
    bool isDriverTypeVirtual(const DriverOperation& record);

    // Deletes a key below HKLM (native view) with its whole subtree.
    bool RegDelNode(const std::wstring& subKey);
    // path: the working buffer; it holds the same path again on return.
    bool RegDelNodeRecurse(std::wstring& path);
};
