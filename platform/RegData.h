// Registry value data in the platform's byte form (UTF-16LE text, little-endian
// numbers). The core builds and reads values only through these helpers, so
// the width of wchar_t never leaks into stored bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tdu::platform {

struct RegData {
    std::vector<std::uint8_t> bytes;

    // The text's UTF-16 code units, without a terminator.
    static RegData text(std::wstring_view value);
    static RegData dword(std::uint32_t value);

    // The bytes read as UTF-16 text up to the first NUL (or their end), as a
    // reader with a zero-filled buffer sees them, whatever the value's type.
    [[nodiscard]] std::wstring textUpToNul() const;
    // A multi-string's items: the NUL-ended strings up to the first empty one.
    [[nodiscard]] std::vector<std::wstring> multiStrings() const;
    // Number of UTF-16 code units of text, as the platform counts characters.
    static std::uint32_t utf16Length(std::wstring_view value);
};

} // namespace tdu::platform
