// Switching custom actions off in a cached package: each action's condition
// becomes the constant "0", so the installer never runs it again. The two
// handlers run the same steps over their own lists and differ in their
// wording and in what a failing name does to the commit.
#pragma once

#include "log/LogWriter.h"
#include "platform/Owners.h"

#include <span>
#include <string>
#include <string_view>

inline constexpr std::wstring_view kDisableStatementHead =
    L"UPDATE InstallExecuteSequence SET Condition='0' WHERE Action='";

// The name goes in as it is: the lists hold plain action names.
inline std::wstring disableStatement(std::wstring_view actionName) {
    std::wstring statement(kDisableStatementHead);
    statement += actionName;
    statement += L'\'';
    return statement;
}

struct DisablePolicy {
    const wchar_t* logSource; // the handler's own source name
    const wchar_t* function;
    // True: the first failing step ends the run without a commit, so the
    // package stays as it was. False: a failing name is skipped and the
    // others are committed all the same.
    bool allOrNothing;
    bool quotedNames;         // names shown as "'name' ...", else bare
    bool narrated;            // "Opening a view" and "Executing a view" before those calls
    const wchar_t* committed; // the line after a successful commit
};

namespace disable_detail {

// One name's statement: view opened, executed and, unless an all-or-nothing
// run stops at a failed execution, closed. True when both succeeded.
inline bool disableAction(const tdu::platform::MsiHandle& database, std::wstring_view name,
                          const std::wstring& shown, const DisablePolicy& policy) {
    using tdu::platform::installerDb;
    const wchar_t* const kLogSource = policy.logSource;
    const wchar_t* const kLogFunction = policy.function;
    const std::wstring statement = disableStatement(name);
    if (policy.narrated) {
        TDU_LOG(L"Opening a view");
    }
    tdu::platform::MsiHandle view;
    const std::uint32_t opened = installerDb().MsiDatabaseOpenViewW(database.get(), statement, view.put());
    if (opened != 0) {
        TDU_LOG(L"Failed to open DB view, Error: %u", opened);
        return false;
    }
    if (policy.narrated) {
        TDU_LOG(L"Executing a view");
    }
    const std::uint32_t executed = installerDb().MsiViewExecute(view.get(), tdu::platform::kNullHandle);
    if (executed != 0) {
        TDU_LOG(L"Failed to execute DB view query, Error: %u", executed);
        if (policy.allOrNothing) {
            return false;
        }
    } else {
        TDU_LOG(L"Successfully disabled custom action: %s", shown);
    }
    const std::uint32_t closed = installerDb().MsiViewClose(view.get());
    if (closed != 0) {
        TDU_LOG(L"Failed to close view, Error: %u", closed);
        return false;
    }
    return executed == 0;
}

} // namespace disable_detail

// Switches each name off in the open database, then commits. False when the
// commit failed or, in an all-or-nothing run, a name failed.
inline bool disableAndCommit(const tdu::platform::MsiHandle& database,
                             std::span<const std::wstring_view> names, const DisablePolicy& policy) {
    using tdu::platform::installerDb;
    const wchar_t* const kLogSource = policy.logSource;
    const wchar_t* const kLogFunction = policy.function;
    for (const std::wstring_view name : names) {
        const std::wstring shown =
            policy.quotedNames ? L"'" + std::wstring(name) + L"' ..." : std::wstring(name);
        TDU_LOG(L"Disabling custom action: %s", shown);
        if (!disable_detail::disableAction(database, name, shown, policy)) {
            if (policy.allOrNothing) {
                return false;
            }
            TDU_LOG(L"Disabling custom action failed: %s", shown);
        }
    }
    TDU_LOG(L"Committing Msi DB updates...");
    const std::uint32_t committed = installerDb().MsiDatabaseCommit(database.get());
    if (committed != 0) {
        TDU_LOG(L"Failed to commit MSI Db, Error: %u", committed);
        return false;
    }
    TDU_LOG(L"%s", policy.committed);
    return true;
}
