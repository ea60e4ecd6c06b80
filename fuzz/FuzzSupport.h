// What the fuzz targets share: a fresh simulated machine bound as the
// platform for one run, wide text from fuzz bytes, and the way a broken
// invariant ends the run so that libFuzzer keeps the input.
#pragma once

#include "log/LogWriter.h"
#include "platform/sim/SimMachine.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

namespace tdu::fuzz {

inline constexpr wchar_t kLogPath[] = L"C:\\Users\\Public\\Tavrin Secure\\Logging\\TavrinDriverUtil.log";

// libFuzzer reports the abort with the input that caused it.
[[noreturn]] inline void fail(const char* invariant, const std::string& detail = {}) {
    std::fprintf(stderr, "\n*** invariant broken: %s\n%s\n", invariant, detail.c_str());
    std::abort();
}

inline void check(bool holds, const char* invariant, const std::string& detail = {}) {
    if (!holds) {
        fail(invariant, detail);
    }
}

// A machine as the installer finds it: the log folder's parent present, the
// log path not yet cached by this process.
class BoundMachine {
public:
    BoundMachine() {
        platform::bindPlatform(machine.platform());
        log::resetLogPathCache();
        machine.createDirectories(L"C:\\Users\\Public\\Tavrin Secure");
    }
    ~BoundMachine() {
        platform::bindPlatform({});
        log::resetLogPathCache();
    }
    BoundMachine(const BoundMachine&) = delete;
    BoundMachine& operator=(const BoundMachine&) = delete;

    platform::sim::SimMachine machine;
};

// Wide text as a Windows command line or environment may hold it: UTF-8
// where the bytes form it, unpaired surrogates included; any other byte
// stands for the character of the same value.
inline std::wstring wideFrom(std::span<const std::uint8_t> bytes) {
    std::wstring text;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::uint8_t lead = bytes[i];
        std::size_t length = 1;
        std::uint32_t value = lead;
        std::uint32_t least = 0;
        if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            value = lead & 0x07U;
            least = 0x10000;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            value = lead & 0x0FU;
            least = 0x800;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            value = lead & 0x1FU;
            least = 0x80;
        }
        bool whole = length > 1 && i + length <= bytes.size();
        for (std::size_t k = 1; whole && k < length; ++k) {
            whole = (bytes[i + k] & 0xC0U) == 0x80U;
            value = (value << 6U) | (bytes[i + k] & 0x3FU);
        }
        if (whole && value >= least && value <= 0x10FFFF) {
            text.push_back(static_cast<wchar_t>(value));
            i += length;
        } else {
            text.push_back(static_cast<wchar_t>(lead));
            ++i;
        }
    }
    return text;
}

} // namespace tdu::fuzz
