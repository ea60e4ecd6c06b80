// What this program takes as a folder to build paths on, and as a name to
// join to one. It runs as LocalSystem: a variable missing from its
// environment stays "%NAME%" in an expansion, a relative path that the
// working folder of whoever started it would complete; and a name read from
// the product key or the command line that holds a separator or ".." leads
// out of the folder it is joined to.
#pragma once

#include "platform/Platform.h"
#include "platform/Types.h"
#include "platform/WideText.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

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

// Why the result of an expansion that needed `needed` characters of a buffer
// of `capacity` may not be built on: the failed call's own error, a result
// that did not fit, or one that is not a full path. Nothing when it may.
inline std::optional<std::uint32_t> expansionError(std::uint32_t needed, std::uint32_t capacity,
                                                   std::wstring_view path) {
    if (needed == 0) {
        return sys().GetLastError();
    }
    if (needed > capacity) {
        return kErrorInsufficientBuffer;
    }
    if (!isExpandedAbsolutePath(path)) {
        return kErrorEnvvarNotFound;
    }
    return std::nullopt;
}

// The last component of a path: what follows its last separator, or all of
// it when it has none.
inline std::wstring_view afterLastSeparator(std::wstring_view path) {
    const std::size_t cut = path.find_last_of(L"\\/");
    return cut == std::wstring_view::npos ? path : path.substr(cut + 1);
}

// Whether an entry is at `path`, the entry itself and not what a link there
// leads to. A name that cannot be there (a missing folder on the way, a
// share gone, a malformed name) is an answer, not an error; any other
// failure (access denied, say) is, in `ec`.
inline bool pathExists(const std::wstring& path, std::error_code& ec) {
    ec.clear();
    if (sys().GetFileAttributesW(path) != kInvalidFileAttributes) {
        return true;
    }
    switch (const std::uint32_t error = sys().GetLastError()) {
    case kErrorFileNotFound:
    case kErrorPathNotFound:
    case kErrorBadNetpath:
    case kErrorNetnameDeleted:
    case kErrorInvalidName:
    case kErrorDirectory:
        break;
    default:
        ec = std::error_code(static_cast<int>(error), std::system_category());
    }
    return false;
}

// A file name that stays in the folder it is joined to: no separator, no
// drive's colon, no "..".
inline bool isBareName(std::wstring_view name) {
    return !name.empty() && name.find_first_of(L"\\/:") == std::wstring_view::npos &&
           name.find(L"..") == std::wstring_view::npos;
}

// A name the driver store publishes under on Windows: "oem", a number and
// ".inf", in any letter case. Nothing else (a wildcard, a device name like
// CON, a control character, a path) can pass.
inline bool isOemInfName(std::wstring_view name) {
    constexpr std::wstring_view kPrefix = L"oem";
    constexpr std::wstring_view kExtension = L".inf";
    if (name.size() <= kPrefix.size() + kExtension.size() ||
        !equalsIgnoringAsciiCase(name.substr(0, kPrefix.size()), kPrefix) ||
        !equalsIgnoringAsciiCase(name.substr(name.size() - kExtension.size()), kExtension)) {
        return false;
    }
    const std::wstring_view number =
        name.substr(kPrefix.size(), name.size() - kPrefix.size() - kExtension.size());
    return number.find_first_not_of(L"0123456789") == std::wstring_view::npos;
}

} // namespace tdu::platform
