// wchar_t holds UTF-16 units on Windows and whole code points on Linux. Text
// outside the BMP takes two units on Windows; code that counts or converts
// units asks here so both builds agree.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace tdu::platform {

// The character's value as an unsigned number, whatever wchar_t's signedness.
constexpr std::uint32_t codePoint(wchar_t ch) {
    return static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<wchar_t>>(ch));
}

template <class Char> constexpr bool isBeyondBmp(Char ch) {
    if constexpr (sizeof(Char) > 2) {
        return static_cast<std::uint32_t>(ch) > 0xFFFFU;
    } else {
        return false;
    }
}

// Letter case folding of A to Z only: option values and hardware ids are
// compared this way, whatever the locale.
inline std::wstring asciiLower(std::wstring text) {
    for (wchar_t& ch : text) {
        if (ch >= L'A' && ch <= L'Z') {
            ch = static_cast<wchar_t>(ch - L'A' + L'a');
        }
    }
    return text;
}

inline std::wstring asciiUpper(std::wstring text) {
    for (wchar_t& ch : text) {
        if (ch >= L'a' && ch <= L'z') {
            ch = static_cast<wchar_t>(ch - L'a' + L'A');
        }
    }
    return text;
}

inline bool equalsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() && asciiLower(std::wstring(a)) == asciiLower(std::wstring(b));
}

} // namespace tdu::platform
