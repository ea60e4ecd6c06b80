// The statement that switches one custom action off in a cached package: its
// condition becomes the constant "0", so the installer never runs it again.
#pragma once

#include "installer_db/FixedTables.h"

#include <algorithm>
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

// DifxHandler formats its statements into a buffer of this many characters.
inline constexpr std::size_t kDifxStatementChars = 256;

static_assert(std::ranges::all_of(difxCustomActions,
                                  [](std::wstring_view name) {
                                      return kDisableStatementHead.size() + name.size() + 1 <
                                             kDifxStatementChars;
                                  }),
              "every statement of DifxHandler fits its buffer");
