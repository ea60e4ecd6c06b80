#pragma once

#include "platform/sim/SimState.h"

namespace tdu::platform::sim {

class SimRegistry final : public IRegistry {
public:
    explicit SimRegistry(SimState& state) : s_(state) {}

    LStatus RegCreateKeyExW(RegRoot root, const std::wstring& subKey, std::uint32_t options,
                            std::uint32_t access, Handle& key) override;
    LStatus RegOpenKeyExW(RegRoot root, const std::wstring& subKey, std::uint32_t access,
                          Handle& key) override;
    LStatus RegSetValueExW(Handle key, const std::wstring& valueName, std::uint32_t type, const RegData& data,
                           std::uint32_t byteCount) override;
    LStatus RegQueryValueExW(Handle key, const std::wstring& valueName, std::uint32_t* type, RegData* data,
                             std::uint32_t* byteCount) override;
    LStatus RegDeleteValueW(Handle key, const std::wstring& valueName) override;
    LStatus RegDeleteKeyW(RegRoot root, const std::wstring& subKey) override;
    LStatus RegEnumKeyExW(Handle key, std::uint32_t index, std::wstring& name,
                          std::uint32_t& nameChars) override;
    LStatus RegFlushKey(RegRoot root) override;
    LStatus RegCloseKey(Handle key) override;

private:
    // The open key behind a handle, checked for the rights the call needs.
    LStatus keyFor(Handle key, std::uint32_t right, std::shared_ptr<RegNode>& node);

    SimState& s_;
};

} // namespace tdu::platform::sim
