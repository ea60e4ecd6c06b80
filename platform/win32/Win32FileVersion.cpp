#include "platform/win32/LazyImport.h"
#include "platform/win32/Win32Platform.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <winver.h>

namespace tdu::platform::win32 {

namespace {

constexpr wchar_t kVersion[] = L"version.dll";
constexpr auto kNoSize = [] { return DWORD{0}; };
constexpr auto kNoBlock = [] { return BOOL{FALSE}; };

class Win32FileVersion final : public IFileVersion {
public:
    std::uint32_t GetFileVersionInfoSizeW(const std::wstring& path, std::uint32_t& handle) override {
        DWORD zero = 0;
        const DWORD size =
            kept([&] { return TDU_LAZY(kVersion, GetFileVersionInfoSizeW, kNoSize, path.c_str(), &zero); });
        handle = zero;
        return size;
    }

    bool GetFileVersionInfoW(const std::wstring& path, std::uint32_t handle, std::uint32_t size,
                             std::vector<std::uint8_t>& block) override {
        // Never let the platform write past the buffer the core handed over.
        const auto bytes = static_cast<DWORD>(std::min<std::size_t>(size, block.size()));
        const BOOL ok = kept([&] {
            return TDU_LAZY(kVersion, GetFileVersionInfoW, kNoBlock, path.c_str(), handle, bytes,
                            block.data());
        });
        return ok != FALSE;
    }

    bool VerQueryValueW(std::vector<std::uint8_t>& block, const std::wstring& subBlock, FixedFileInfo& info,
                        std::uint32_t& length) override {
        void* value = nullptr;
        UINT valueLength = 0;
        const BOOL ok = kept([&] {
            return TDU_LAZY(kVersion, VerQueryValueW, kNoBlock, block.data(), subBlock.c_str(), &value,
                            &valueLength);
        });
        info = FixedFileInfo{};
        length = valueLength;
        if (ok == FALSE) {
            return false;
        }
        if (value != nullptr) {
            // The record's layout is VS_FIXEDFILEINFO's (SdkMirror.cpp).
            std::memcpy(&info, value, std::min<std::size_t>(valueLength, sizeof info));
        }
        return true;
    }
};

} // namespace

IFileVersion& win32FileVersion() {
    static Win32FileVersion instance;
    return instance;
}

} // namespace tdu::platform::win32
