// The registry as the platform exposes it: keys below a predefined root, in
// the native or the 32-bit view, values as typed bytes. Each method mirrors
// one advapi32 call and returns its status code.
#pragma once

#include "platform/RegData.h"
#include "platform/Types.h"

#include <cstdint>
#include <string>

namespace tdu::platform {

using LStatus = std::int32_t;

enum class RegRoot : std::uint32_t { LocalMachine };

inline constexpr std::uint32_t kKeyRead = 0x00020019;
inline constexpr std::uint32_t kKeyAllAccess = 0x000F003F;
inline constexpr std::uint32_t kKeyWow64_32Key = 0x0200;
inline constexpr std::uint32_t kRegOptionNonVolatile = 0;

inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;

class IRegistry {
public:
    virtual ~IRegistry() = default;

    virtual LStatus RegCreateKeyExW(RegRoot root, const std::wstring& subKey, std::uint32_t options,
                                    std::uint32_t access, Handle& key) = 0;
    virtual LStatus RegOpenKeyExW(RegRoot root, const std::wstring& subKey, std::uint32_t access,
                                  Handle& key) = 0;
    // Writes the first byteCount bytes of data (zeros past its end).
    virtual LStatus RegSetValueExW(Handle key, const std::wstring& valueName, std::uint32_t type,
                                   const RegData& data, std::uint32_t byteCount) = 0;
    // byteCount: in, the caller's buffer size in bytes; out, the size stored,
    // or the size needed with kErrorMoreData. A null data asks for the size.
    virtual LStatus RegQueryValueExW(Handle key, const std::wstring& valueName, std::uint32_t* type,
                                     RegData* data, std::uint32_t* byteCount) = 0;
    virtual LStatus RegDeleteValueW(Handle key, const std::wstring& valueName) = 0;
    // Deletes one key without subkeys, native view.
    virtual LStatus RegDeleteKeyW(RegRoot root, const std::wstring& subKey) = 0;
    // nameChars: in, the buffer size in characters with the terminator; out,
    // the name's length without it.
    virtual LStatus RegEnumKeyExW(Handle key, std::uint32_t index, std::wstring& name,
                                  std::uint32_t& nameChars) = 0;
    virtual LStatus RegFlushKey(RegRoot root) = 0;
    virtual LStatus RegCloseKey(Handle key) = 0;
};

} // namespace tdu::platform
