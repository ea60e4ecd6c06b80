// wchar_t holds UTF-16 units on Windows and whole code points on Linux. Text
// outside the BMP takes two units on Windows; code that counts or converts
// units asks here so both builds agree.
#pragma once

#include <cstdint>
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

} // namespace tdu::platform
