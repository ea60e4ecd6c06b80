// Whom this program, run as LocalSystem, lets steer it: the folders it logs in
// and the named objects of the installation handshake are relied on only when
// their owner is SYSTEM, Administrators or the account the program runs as.
// Anyone else who could create them first (every local user may create
// folders under the public profile and objects under Global\) is not trusted.
#pragma once

#include "platform/Types.h"

#include <string>
#include <string_view>

namespace tdu::log {

inline constexpr wchar_t kLocalSystemSid[] = L"S-1-5-18";
inline constexpr wchar_t kAdministratorsSid[] = L"S-1-5-32-544";

// The owner of an open object (a file or folder when `objectType` is
// SE_FILE_OBJECT, a kernel object when SE_KERNEL_OBJECT) as SID text; empty
// when it has none or cannot be read, the reason then in GetLastError.
std::wstring ownerOf(platform::Handle object, std::uint32_t objectType);

// Whether `ownerSid` is SYSTEM, Administrators or the account this process
// runs as.
bool isTrustedOwner(std::wstring_view ownerSid);

} // namespace tdu::log
