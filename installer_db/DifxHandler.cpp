#include "installer_db/DifxHandler.h"
#include "app/ExitCode.h"

#include "installer_db/DisableStatement.h"
#include "installer_db/FixedTables.h"
#include "log/LogWriter.h"
#include "platform/Owners.h"
#include "platform/PathChecks.h"

#include <algorithm>
#include <system_error>
#include <vector>

namespace {

constexpr const wchar_t* kLogSource = L"DifxHandler.cpp";

using tdu::platform::fileVersion;
using tdu::platform::installerDb;
using tdu::platform::MsiHandle;
using tdu::platform::sys;

constexpr std::uint32_t kPackagePathChars = 256;
constexpr std::uint32_t kVersionChars = 32;
constexpr wchar_t kClientExecutable[] = L"%COMMONPROGRAMFILES(X86)%\\Tavrin Secure\\TamUI\\Tavrin.exe";
constexpr wchar_t kDiscoverAll[] = L"all";

std::uint16_t highWord(std::uint32_t value) {
    return static_cast<std::uint16_t>(value >> 16U);
}
std::uint16_t lowWord(std::uint32_t value) {
    return static_cast<std::uint16_t>(value & 0xFFFFU);
}

// A name that cannot be disabled is skipped: the others still protect the
// new drivers, so they are committed all the same.
constexpr DisablePolicy kDifxPolicy{.logSource = kLogSource,
                                    .function = L"DifxHandler::disableCustomActions",
                                    .allOrNothing = false,
                                    .quotedNames = true,
                                    .narrated = false,
                                    .committed = L"Commiting Successful..."};

} // namespace

int DifxHandler::disableCustomActions(const std::wstring& productCode) {
    TDU_LOG_FUNCTION(L"DifxHandler::disableCustomActions");
    TDU_LOG(L"Searching Product: '%s' ...", productCode);
    std::wstring packagePath;
    std::uint32_t pathChars = kPackagePathChars;
    const std::uint32_t found = installerDb().MsiGetProductInfoW(
        productCode, tdu::platform::kInstallPropertyLocalPackage, packagePath, pathChars);
    if (found != 0) {
        TDU_LOG(L"Failed to find Product: '%s', Error: %u", productCode, found);
        return tdu::exit_code::kPackageNotUpdated;
    }
    MsiHandle database;
    const std::uint32_t opened =
        installerDb().MsiOpenDatabaseW(packagePath, tdu::platform::kMsiDbOpenTransact, database.put());
    if (opened != 0) {
        TDU_LOG(L"Failed to find MSI Database for Product: '%s', Error: %u", productCode, opened);
        return tdu::exit_code::kPackageNotUpdated;
    }
    TDU_LOG(L"Product Found: '%s', Disabling Difx now...", packagePath);
    if (!disableAndCommit(database, difxCustomActions, kDifxPolicy)) {
        return tdu::exit_code::kPackageNotUpdated;
    }
    return tdu::exit_code::kSuccess;
}

int DifxHandler::GetFileVersion(const std::wstring& filePath, std::wstring& version, std::uint32_t capacity) {
    TDU_LOG_FUNCTION(L"DifxHandler::GetFileVersion");
    std::uint32_t handle = 0;
    const std::uint32_t size = fileVersion().GetFileVersionInfoSizeW(filePath, handle);
    if (size == 0) {
        TDU_LOG(L"GetFileVersionInfoSize Failed with last Error: %lu", sys().GetLastError());
        return tdu::exit_code::kOperationFailed;
    }
    std::vector<std::uint8_t> block(size, 0);
    if (!fileVersion().GetFileVersionInfoW(filePath, handle, size, block)) {
        TDU_LOG(L"GetFileVersionInfo Failed with last Error: %lu", sys().GetLastError());
        return tdu::exit_code::kOperationFailed;
    }
    tdu::platform::FixedFileInfo info;
    std::uint32_t infoLength = 0;
    if (!fileVersion().VerQueryValueW(block, tdu::platform::kVersionRootBlock, info, infoLength)) {
        TDU_LOG(L"VerQueryValue Failed");
        return tdu::exit_code::kOperationFailed;
    }
    // The product version's major number with the file version's minor and
    // build numbers: the releases are told apart by that triple.
    version = std::to_wstring(highWord(info.productVersionMS)) + L'.' +
              std::to_wstring(lowWord(info.fileVersionMS)) + L'.' +
              std::to_wstring(highWord(info.fileVersionLS));
    version.resize(std::min<std::size_t>(version.size(), capacity == 0 ? 0 : capacity - 1));
    return tdu::exit_code::kSuccess;
}

int DifxHandler::disableDifxCAs(const std::wstring& productCode) {
    TDU_LOG_FUNCTION(L"DifxHandler::disableDifxCAs");
    if (productCode.empty()) {
        TDU_LOG(L"Product Code is empty");
        return tdu::exit_code::kOperationFailed;
    }
    if (productCode != kDiscoverAll) {
        return disableCustomActions(productCode);
    }
    // A path that did not fit, or is not a full one (a variable missing from
    // the environment) and would name a file under the working folder, ends
    // discovery as a failed expansion does.
    std::wstring clientPath;
    const std::uint32_t needed =
        sys().ExpandEnvironmentStringsW(kClientExecutable, clientPath, tdu::platform::kMaxPath);
    if (tdu::platform::expansionError(needed, tdu::platform::kMaxPath, clientPath)) {
        return tdu::exit_code::kSuccess;
    }
    // When the existence test itself fails, the version read below decides:
    // a file that is there but unreadable must not pass for a fresh install.
    std::error_code existsError;
    if (!tdu::platform::pathExists(clientPath, existsError) && !existsError) {
        TDU_LOG(L"Tavrin.exe does not exist, assuming it is fresh installation");
        return tdu::exit_code::kSuccess;
    }
    std::wstring version;
    if (GetFileVersion(clientPath, version, kVersionChars) != 0) {
        TDU_LOG(L"Failed to retrieve version of Tavrin.exe");
        return tdu::exit_code::kOperationFailed;
    }
    TDU_LOG(L"Version of old Product is: %s", version);
    const auto [first, last] = productCodesByVersion.equal_range(version);
    if (first == last) {
        TDU_LOG(L"Couldn't find product Code for : %s", version);
        return tdu::exit_code::kOperationFailed;
    }
    // At most one earlier release is updated: the first whose database
    // commits. When none does, the run still succeeds; each failure is logged.
    for (auto entry = first; entry != last; ++entry) {
        if (disableCustomActions(entry->second) == 0) {
            TDU_LOG(L"Disabled Difx CAs Successfully for product Code: %s", entry->second);
            break;
        }
    }
    return tdu::exit_code::kSuccess;
}
