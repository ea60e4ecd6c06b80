// What the fuzz targets share besides a fresh machine: wide text from fuzz bytes, and the way a broken
// invariant ends the run so that libFuzzer keeps the input.
#pragma once

#include "tests/FreshMachine.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <span>

namespace tdu::fuzz {

// libFuzzer reports the abort with the input that caused it.
inline void check(bool holds, const char* invariant, const std::string& detail = {}) {
    if (!holds) {
        std::fprintf(stderr, "\n*** invariant broken: %s\n%s\n", invariant, detail.c_str());
        std::abort();
    }
}

// Each byte stands for the character of its value, except that a byte from
// 0xF0 up takes the two after it along: any character to U+FFFFF, lone
// surrogates and characters beyond the BMP included.
inline std::wstring wideFrom(std::span<const std::uint8_t> bytes) {
    std::wstring text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const bool wide = bytes[i] >= 0xF0 && i + 2 < bytes.size();
        const std::uint32_t high =
            wide ? ((bytes[i] & 0x0FU) << 16U) | (std::uint32_t{bytes[i + 1]} << 8U) : 0;
        text.push_back(static_cast<wchar_t>(high | bytes[wide ? i + 2 : i]));
        i += wide ? 2 : 0;
    }
    return text;
}

inline std::wstring wideText(FuzzedDataProvider& input, std::size_t maxBytes) {
    const std::string bytes = input.ConsumeRandomLengthString(maxBytes);
    return wideFrom(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

} // namespace tdu::fuzz
