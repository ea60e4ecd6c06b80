#include "platform/win32/Win32Platform.h"

#include <windows.h>

#include <vector>

namespace tdu::platform::win32 {

ISystem& win32System();
IInstallerDb& win32InstallerDb();
IFileVersion& win32FileVersion();

namespace {

HKEY toKey(Handle key) {
    return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(key));
}
Handle fromKey(HKEY key) {
    return static_cast<Handle>(reinterpret_cast<std::uintptr_t>(key));
}
HKEY rootKey(RegRoot /*root*/) {
    return HKEY_LOCAL_MACHINE;
}

class Win32Registry final : public IRegistry {
public:
    LStatus RegCreateKeyExW(RegRoot root, const std::wstring& subKey, std::uint32_t options,
                            std::uint32_t access, Handle& key) override {
        HKEY opened = nullptr;
        const LSTATUS status = ::RegCreateKeyExW(rootKey(root), subKey.c_str(), 0, nullptr, options, access,
                                                 nullptr, &opened, nullptr);
        key = status == ERROR_SUCCESS ? fromKey(opened) : kNullHandle;
        return status;
    }

    LStatus RegOpenKeyExW(RegRoot root, const std::wstring& subKey, std::uint32_t access,
                          Handle& key) override {
        HKEY opened = nullptr;
        const LSTATUS status = ::RegOpenKeyExW(rootKey(root), subKey.c_str(), 0, access, &opened);
        key = status == ERROR_SUCCESS ? fromKey(opened) : kNullHandle;
        return status;
    }

    LStatus RegSetValueExW(Handle key, const std::wstring& valueName, std::uint32_t type, const RegData& data,
                           std::uint32_t byteCount) override {
        // Never let the platform read past the data the core handed over.
        std::vector<std::uint8_t> bytes = data.bytes;
        bytes.resize(byteCount, 0);
        return ::RegSetValueExW(toKey(key), valueName.c_str(), 0, type,
                                bytes.empty() ? nullptr : bytes.data(), byteCount);
    }

    LStatus RegQueryValueExW(Handle key, const std::wstring& valueName, std::uint32_t* type, RegData* data,
                             std::uint32_t* byteCount) override {
        DWORD valueType = 0;
        DWORD size = byteCount == nullptr ? 0 : *byteCount;
        std::vector<std::uint8_t> buffer(data == nullptr ? 0 : size, 0);
        const LSTATUS status = ::RegQueryValueExW(toKey(key), valueName.c_str(), nullptr, &valueType,
                                                  data == nullptr || buffer.empty() ? nullptr : buffer.data(),
                                                  byteCount ? &size : nullptr);
        if (type != nullptr) {
            *type = valueType;
        }
        if (byteCount != nullptr) {
            *byteCount = size;
        }
        if (status == ERROR_SUCCESS && data != nullptr) {
            buffer.resize(size);
            data->bytes = std::move(buffer);
        }
        return status;
    }

    LStatus RegDeleteValueW(Handle key, const std::wstring& valueName) override {
        return ::RegDeleteValueW(toKey(key), valueName.c_str());
    }

    LStatus RegDeleteKeyW(RegRoot root, const std::wstring& subKey) override {
        return ::RegDeleteKeyW(rootKey(root), subKey.c_str());
    }

    LStatus RegEnumKeyExW(Handle key, std::uint32_t index, std::wstring& name,
                          std::uint32_t& nameChars) override {
        std::vector<wchar_t> buffer(nameChars == 0 ? 1 : nameChars, L'\0');
        DWORD chars = nameChars;
        const LSTATUS status =
            ::RegEnumKeyExW(toKey(key), index, buffer.data(), &chars, nullptr, nullptr, nullptr, nullptr);
        nameChars = chars;
        if (status == ERROR_SUCCESS) {
            name.assign(buffer.data(), chars);
        }
        return status;
    }

    LStatus RegFlushKey(RegRoot root) override { return ::RegFlushKey(rootKey(root)); }
    LStatus RegCloseKey(Handle key) override { return ::RegCloseKey(toKey(key)); }
};

} // namespace

Platform realPlatform() {
    static Win32Registry registry;
    Platform bound{&win32System(), &registry};
    bound.installerDb = &win32InstallerDb();
    bound.fileVersion = &win32FileVersion();
    return bound;
}

} // namespace tdu::platform::win32
