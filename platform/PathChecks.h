// What this program takes as a folder to build paths on. It runs as
// LocalSystem: a variable missing from its environment stays "%NAME%" in an
// expansion, a relative path that the working folder of whoever started it
// would complete.
#pragma once

#include <string_view>

namespace tdu::platform {

// An expansion, or the Windows folder, that may be built on: nothing left to
// expand, rooted at a drive ("C:\") or at a server's share ("\\server\share").
inline bool isExpandedAbsolutePath(std::wstring_view path) {
    if (path.find(L'%') != std::wstring_view::npos) {
        return false;
    }
    const wchar_t first = path.empty() ? L'\0' : path.front();
    const bool letter = (first >= L'a' && first <= L'z') || (first >= L'A' && first <= L'Z');
    if (path.size() >= 3 && letter && path[1] == L':' && path[2] == L'\\') {
        return true;
    }
    if (!path.starts_with(L"\\\\")) {
        return false;
    }
    const std::wstring_view rest = path.substr(2);
    const std::size_t cut = rest.find(L'\\');
    if (cut == std::wstring_view::npos) {
        return false;
    }
    // "\\.\" and "\\?\" name devices and the raw namespace, not a server.
    const std::wstring_view server = rest.substr(0, cut);
    const std::wstring_view share = rest.substr(cut + 1);
    return !server.empty() && server != L"." && server != L"?" && !share.empty() && share.front() != L'\\';
}

} // namespace tdu::platform
