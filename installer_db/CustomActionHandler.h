// Switches the custom actions of customActionsToDisable off in one installed
// product's cached database, all or nothing: the first failing step ends the
// work without a commit, so the package stays as it was.
#pragma once

#include "installer_db/DisableStatement.h"
#include "installer_db/FixedTables.h"
#include "log/LogWriter.h"
#include "platform/Owners.h"

#include <string>
#include <utility>

class CustomActionHandler {
public:
    explicit CustomActionHandler(std::wstring code) : productCode(std::move(code)) {}

    // True only when every name was disabled and the commit succeeded.
    bool disableCustomActions() {
        TDU_LOG_FUNCTION(L"CustomActionHandler::disableCustomActions");
        using tdu::platform::installerDb;
        std::wstring packagePath;
        std::uint32_t pathChars = kPackagePathChars;
        const std::uint32_t found = installerDb().MsiGetProductInfoW(
            productCode, tdu::platform::kInstallPropertyLocalPackage, packagePath, pathChars);
        if (found != 0) {
            TDU_LOG(L"Failed to retrieve local cache MSI path, Error: %u", found);
            return false;
        }
        TDU_LOG(L"Local cache MSI path of installer retrieved successfully: %s", packagePath);
        TDU_LOG(L"Opening DB: %s", packagePath);
        tdu::platform::MsiHandle database;
        const std::uint32_t opened =
            installerDb().MsiOpenDatabaseW(packagePath, tdu::platform::kMsiDbOpenTransact, database.put());
        if (opened != 0) {
            TDU_LOG(L"Failed to find MSI Database, Error: %u", opened);
            return false;
        }
        TDU_LOG(L"DB opened successfully: %s", packagePath);
        return disableAndCommit(database, customActionsToDisable, kPolicy);
    }

    std::wstring productCode;

private:
    static constexpr const wchar_t* kLogSource = L"CustomActionHandler.h";
    static constexpr std::uint32_t kPackagePathChars = 260;
    static constexpr DisablePolicy kPolicy{.logSource = kLogSource,
                                           .function = L"CustomActionHandler::disableCustomActions",
                                           .allOrNothing = true,
                                           .quotedNames = false,
                                           .narrated = true,
                                           .committed = L"Committing Successful..."};
};
