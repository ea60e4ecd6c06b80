// The product key and key-tree deletion. The product key lives in the 32-bit
// view: the earlier 32-bit releases and the client read it there.
#include "app/ExitCode.h"
#include "operator/OperatorLog.h"
#include "operator/TDriverOperator.h"
#include "platform/Owners.h"
#include "platform/WideText.h"

namespace {

using tdu::platform::kErrorFileNotFound;
using tdu::platform::kErrorMoreData;
using tdu::platform::kErrorSuccess;
using tdu::platform::LStatus;
using tdu::platform::reg;
using tdu::platform::RegData;
using tdu::platform::RegKey;
using tdu::platform::RegRoot;

constexpr wchar_t kProductKey[] = L"SOFTWARE\\TavrinSecure\\TavrinDrivers";
constexpr std::uint32_t kAll32 = tdu::platform::kKeyAllAccess | tdu::platform::kKeyWow64_32Key;
constexpr std::uint32_t kRead32 = tdu::platform::kKeyRead | tdu::platform::kKeyWow64_32Key;
constexpr std::uint32_t kStringBufferBytes = 520;
constexpr wchar_t kProcessorValue[] = L"Processor_X64";
// The working path buffer of the key-tree deletion: 520 characters with the
// terminator; subkey names fit 260 with theirs.
constexpr std::size_t kDelNodePathChars = 520;
constexpr std::uint32_t kSubKeyNameChars = 260;

} // namespace

bool TavrinDriverOperator::Set32BitRegData(const std::wstring& valueName, std::uint32_t valueType,
                                           const RegData& data, std::uint32_t byteCount) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::Set32BitRegData");
    RegKey key;
    if (reg().RegCreateKeyExW(RegRoot::LocalMachine, kProductKey, tdu::platform::kRegOptionNonVolatile,
                              kAll32, key.put()) != kErrorSuccess) {
        TDU_LOG(L"Failed to create reg: %s", valueName);
        return false;
    }
    if (reg().RegSetValueExW(key.get(), valueName, valueType, data, byteCount) != kErrorSuccess) {
        TDU_LOG(L"Failed to set reg: %s", valueName);
        return false;
    }
    reg().RegFlushKey(RegRoot::LocalMachine);
    TDU_LOG(L"Successfully set registry: %s", valueName);
    return true;
}

bool TavrinDriverOperator::Read32BitReg(const wchar_t* valueName, std::wstring* data,
                                        std::uint32_t* byteCount) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::Read32BitReg");
    if (valueName == nullptr || data == nullptr || byteCount == nullptr) {
        TDU_LOG(L"Parameters are null");
        return false;
    }
    std::uint32_t size = *byteCount;
    RegKey key;
    if (reg().RegOpenKeyExW(RegRoot::LocalMachine, kProductKey, kRead32, key.put()) != kErrorSuccess) {
        return false;
    }
    RegData value;
    const LStatus status = reg().RegQueryValueExW(key.get(), valueName, nullptr, &value, &size);
    if (status == kErrorSuccess) {
        *data = value.textUpToNul();
        return true;
    }
    if (status == static_cast<LStatus>(kErrorMoreData)) {
        *byteCount = size;
    }
    return false;
}

bool TavrinDriverOperator::Delete32BitReg(const wchar_t* valueName) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::Delete32BitReg");
    if (valueName == nullptr) {
        TDU_LOG(L"Parameters are null");
        return false;
    }
    RegKey key;
    if (reg().RegOpenKeyExW(RegRoot::LocalMachine, kProductKey, kAll32, key.put()) != kErrorSuccess) {
        // No product key: nothing left to delete, so an uninstall can repeat.
        reg().RegFlushKey(RegRoot::LocalMachine);
        return true;
    }
    const LStatus status = reg().RegDeleteValueW(key.get(), valueName);
    if (status != kErrorSuccess) {
        TDU_LOG(L"Failed to delete registry: %s with error: %lu", valueName,
                static_cast<std::uint32_t>(status));
        return false;
    }
    TDU_LOG(L"Successfully deleted registry value: %s", valueName);
    reg().RegFlushKey(RegRoot::LocalMachine);
    return true;
}

int TavrinDriverOperator::SetProcessorTypeInReg() {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::SetProcessorTypeInReg");
    TDU_LOG(L"Processor Architecture is: %s", kProcessorValue);
    if (!Set32BitRegData(kProcessorValue, tdu::platform::kRegDword, RegData::dword(1), 4)) {
        TDU_LOG(L"Failed to set registry: %s", kProcessorValue);
        return tdu::exit_code::kOperationFailed;
    }
    TDU_LOG(L"Saved Processor Architecture to Registry: %s", kProcessorValue);
    return tdu::exit_code::kSuccess;
}

bool TavrinDriverOperator::isDriverTypeVirtual(const DriverOperation& record) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::isDriverTypeVirtual");
    // A command-line "virtual" always wins; any other command-line value
    // leaves the decision to what an earlier install stored.
    if (!record.driverType.empty()) {
        TDU_LOG(L"Driver Type is passed from Command Line");
        if (tdu::platform::asciiLower(record.driverType) == L"virtual") {
            return true;
        }
    }
    RegKey key;
    if (reg().RegOpenKeyExW(RegRoot::LocalMachine, kProductKey, kRead32, key.put()) != kErrorSuccess) {
        return false;
    }
    RegData value;
    std::uint32_t size = kStringBufferBytes;
    if (reg().RegQueryValueExW(key.get(), L"DriverType", nullptr, &value, &size) != kErrorSuccess) {
        return false;
    }
    TDU_LOG(L"DriverType Read from the registry");
    return tdu::platform::asciiLower(value.textUpToNul()) == L"virtual";
}

bool TavrinDriverOperator::RegDelNode(const std::wstring& subKey) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::RegDelNode");
    TDU_LOG(L"Deleting Registry: %s", subKey);
    // An empty path would name HKLM itself; a path that does not fit the
    // working buffer would be cut. Neither may reach a delete.
    if (subKey.empty() || subKey.size() >= kDelNodePathChars) {
        TDU_LOG(L"Registry path is empty or too long: %s", subKey);
        return false;
    }
    std::wstring path = subKey;
    return RegDelNodeRecurse(path);
}

bool TavrinDriverOperator::RegDelNodeRecurse(std::wstring& path) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::RegDelNodeRecurse");
    if (reg().RegDeleteKeyW(RegRoot::LocalMachine, path) == kErrorSuccess) {
        TDU_LOG(L"Successfully deleted: %s", path);
        return true;
    }
    RegKey key;
    const LStatus opened =
        reg().RegOpenKeyExW(RegRoot::LocalMachine, path, tdu::platform::kKeyRead, key.put());
    if (opened != kErrorSuccess) {
        if (opened == static_cast<LStatus>(kErrorFileNotFound)) {
            TDU_LOG(L"Key not found.\n");
            return true;
        }
        TDU_LOG(L"Error opening key with error: %ld.\n", opened);
        return false;
    }

    const std::size_t callerLength = path.size();
    if (path.back() != L'\\') {
        path.push_back(L'\\');
    }
    const std::size_t endMark = path.size();

    std::wstring name;
    std::uint32_t nameChars = kSubKeyNameChars;
    while (reg().RegEnumKeyExW(key.get(), 0, name, nameChars) == kErrorSuccess) {
        path.resize(endMark);
        if (endMark + name.size() >= kDelNodePathChars) {
            TDU_LOG(L"Registry path too long: %s%s", path, name);
            break;
        }
        path += name;
        if (!RegDelNodeRecurse(path)) {
            break;
        }
        nameChars = kSubKeyNameChars;
    }
    path.resize(callerLength);

    const LStatus deleted = reg().RegDeleteKeyW(RegRoot::LocalMachine, path);
    if (deleted == kErrorSuccess) {
        TDU_LOG(L"Successfully deleted at the end: %s", path);
        return true;
    }
    TDU_LOG(L"Failed to delete: %s with error: %ld", path, deleted);
    return false;
}
