#include "platform/win32/LazyImport.h"
#include "platform/win32/Win32Platform.h"

#include <windows.h>

#include <msi.h>
#include <msiquery.h>
#include <vector>

namespace tdu::platform::win32 {

namespace {

constexpr wchar_t kMsi[] = L"msi.dll";

MSIHANDLE toMsi(Handle handle) {
    return static_cast<MSIHANDLE>(handle);
}

class Win32InstallerDb final : public IInstallerDb {
public:
    MsiStatus MsiGetProductInfoW(const std::wstring& product, const std::wstring& property,
                                 std::wstring& value, std::uint32_t& valueChars) override {
        std::vector<wchar_t> buffer(valueChars == 0 ? 1 : valueChars, L'\0');
        DWORD chars = valueChars;
        const UINT status = TDU_LAZY(kMsi, MsiGetProductInfoW, lastErrorCode, product.c_str(),
                                     property.c_str(), buffer.data(), &chars);
        valueChars = chars;
        if (status == ERROR_SUCCESS) {
            value.assign(buffer.data(), chars);
        }
        return status;
    }

    MsiStatus MsiOpenDatabaseW(const std::wstring& databasePath, std::uint32_t persistMode,
                               Handle& database) override {
        // The predefined modes travel as small integers in the place of an
        // output path (MSIDBOPEN_TRANSACT is (LPCWSTR)1).
        const auto persist = reinterpret_cast<LPCWSTR>(static_cast<std::uintptr_t>(persistMode));
        MSIHANDLE opened = 0;
        const UINT status =
            TDU_LAZY(kMsi, MsiOpenDatabaseW, lastErrorCode, databasePath.c_str(), persist, &opened);
        database = status == ERROR_SUCCESS ? opened : kNullHandle;
        return status;
    }

    MsiStatus MsiDatabaseOpenViewW(Handle database, const std::wstring& query, Handle& view) override {
        MSIHANDLE opened = 0;
        const UINT status =
            TDU_LAZY(kMsi, MsiDatabaseOpenViewW, lastErrorCode, toMsi(database), query.c_str(), &opened);
        view = status == ERROR_SUCCESS ? opened : kNullHandle;
        return status;
    }

    MsiStatus MsiViewExecute(Handle view, Handle record) override {
        return TDU_LAZY(kMsi, MsiViewExecute, lastErrorCode, toMsi(view), toMsi(record));
    }
    MsiStatus MsiViewClose(Handle view) override {
        return TDU_LAZY(kMsi, MsiViewClose, lastErrorCode, toMsi(view));
    }
    MsiStatus MsiDatabaseCommit(Handle database) override {
        return TDU_LAZY(kMsi, MsiDatabaseCommit, lastErrorCode, toMsi(database));
    }
    MsiStatus MsiCloseHandle(Handle handle) override {
        return TDU_LAZY(kMsi, MsiCloseHandle, lastErrorCode, toMsi(handle));
    }
};

} // namespace

IInstallerDb& win32InstallerDb() {
    static Win32InstallerDb instance;
    return instance;
}

} // namespace tdu::platform::win32
