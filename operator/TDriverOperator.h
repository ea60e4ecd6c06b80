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

private:
    friend struct OperatorDispatch;

    // The custom-action branch: 2 for an empty product code, otherwise 0
    // whatever the handler achieved; it logs its own outcome.
    int disableCA(const std::wstring& productCode);
};
