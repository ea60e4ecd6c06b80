// The Windows Installer (msi.dll) as the platform exposes it: an installed
// product's properties and its cached package, opened as a database whose
// changes persist only when committed. Each method mirrors one msi call and
// returns its status (0 is ERROR_SUCCESS). Installer handles are a kind of
// their own, released with MsiCloseHandle only.
#pragma once

#include "platform/Types.h"

#include <cstdint>
#include <string>

namespace tdu::platform {

using MsiStatus = std::uint32_t;

// INSTALLPROPERTY_LOCALPACKAGE: the path of the product's cached package.
inline constexpr wchar_t kInstallPropertyLocalPackage[] = L"LocalPackage";

// MSIDBOPEN_TRANSACT, a predefined persist mode of MsiOpenDatabaseW: changes
// persist only when committed.
inline constexpr std::uint32_t kMsiDbOpenTransact = 1;

// Installer status codes the simulated machine fails with; the core tests
// none of them and passes every non-zero status on as it is.
inline constexpr MsiStatus kErrorOpenFailed = 110;
inline constexpr MsiStatus kErrorUnknownProduct = 1605;
inline constexpr MsiStatus kErrorUnknownProperty = 1608;
inline constexpr MsiStatus kErrorBadQuerySyntax = 1615;
inline constexpr MsiStatus kErrorFunctionFailed = 1627;

class IInstallerDb {
public:
    virtual ~IInstallerDb() = default;

    // valueChars: in, the buffer's size in characters with the terminator;
    // out, the value's length without it, or the length needed with
    // kErrorMoreData. `value` is set only on success.
    virtual MsiStatus MsiGetProductInfoW(const std::wstring& product, const std::wstring& property,
                                         std::wstring& value, std::uint32_t& valueChars) = 0;
    // persistMode: a predefined MSIDBOPEN_* mode, such as kMsiDbOpenTransact.
    virtual MsiStatus MsiOpenDatabaseW(const std::wstring& databasePath, std::uint32_t persistMode,
                                       Handle& database) = 0;
    virtual MsiStatus MsiDatabaseOpenViewW(Handle database, const std::wstring& query, Handle& view) = 0;
    // record: a parameter record, or kNullHandle for none.
    virtual MsiStatus MsiViewExecute(Handle view, Handle record) = 0;
    virtual MsiStatus MsiViewClose(Handle view) = 0;
    virtual MsiStatus MsiDatabaseCommit(Handle database) = 0;
    virtual MsiStatus MsiCloseHandle(Handle handle) = 0;
};

} // namespace tdu::platform
