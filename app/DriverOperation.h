// One requested operation: the command and the values given with it.
#pragma once

#include <cstdint>
#include <string>

enum class OperationCode : std::int32_t {
    None = 0,
    Install = 1,
    Uninstall = 2,
    SetProcessorType = 3,
    NetService = 4,
    InstallDrivers = 5,
    UninstallDrivers = 6,
    Reinstall = 7,
    SetStatus = 8,
    DisableDifx = 9,
    DisableCustomActions = 10,
};

struct DriverOperation {
    OperationCode operationCode = OperationCode::None;
    std::wstring infPath;
    std::wstring instanceId;
    std::wstring oemInfName;
    std::wstring componentName;
    std::wstring processorType;
    std::wstring hardwareId;
    std::wstring startDevice;
    std::wstring netServiceAction;
    std::wstring allDriversArg;
    std::wstring reinstallMode;
    std::wstring installStatus;
    std::wstring productCode;
    std::wstring driverType;

    // Back to the state of a fresh record: no command, every value empty.
    void reset() { *this = DriverOperation{}; }
};
