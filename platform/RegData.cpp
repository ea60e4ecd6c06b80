#include "platform/RegData.h"

#include "platform/WideText.h"

namespace tdu::platform {

namespace {

void appendUnit(std::vector<std::uint8_t>& out, std::uint32_t unit) {
    out.push_back(static_cast<std::uint8_t>(unit & 0xFFU));
    out.push_back(static_cast<std::uint8_t>((unit >> 8U) & 0xFFU));
}

} // namespace

RegData RegData::text(std::wstring_view value) {
    RegData data;
    data.bytes.reserve(value.size() * 2);
    for (const wchar_t ch : value) {
        const std::uint32_t cp = codePoint(ch);
        if (isBeyondBmp(ch)) { // a 32-bit wchar_t: store the surrogate pair Windows would hold
            const std::uint32_t v = cp - 0x10000U;
            appendUnit(data.bytes, 0xD800U + (v >> 10U));
            appendUnit(data.bytes, 0xDC00U + (v & 0x3FFU));
        } else {
            appendUnit(data.bytes, cp);
        }
    }
    return data;
}

RegData RegData::dword(std::uint32_t value) {
    RegData data;
    for (unsigned shift = 0; shift < 32; shift += 8) {
        data.bytes.push_back(static_cast<std::uint8_t>((value >> shift) & 0xFFU));
    }
    return data;
}

std::wstring RegData::textUpToNul() const {
    std::wstring out;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto unit = static_cast<std::uint32_t>(bytes[i] | (bytes[i + 1] << 8U));
        if (unit == 0) {
            break;
        }
        out.push_back(static_cast<wchar_t>(unit));
    }
    return out;
}

std::vector<std::wstring> RegData::multiStrings() const {
    std::vector<std::wstring> items;
    std::wstring current;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto unit = static_cast<std::uint32_t>(bytes[i] | (bytes[i + 1] << 8U));
        if (unit != 0) {
            current.push_back(static_cast<wchar_t>(unit));
            continue;
        }
        if (current.empty()) {
            return items;
        }
        items.push_back(current);
        current.clear();
    }
    if (!current.empty()) { // a list cut before its terminator still yields what it holds
        items.push_back(current);
    }
    return items;
}

std::uint32_t RegData::utf16Length(std::wstring_view value) {
    std::uint32_t units = 0;
    for (const wchar_t ch : value) {
        units += isBeyondBmp(ch) ? 2U : 1U;
    }
    return units;
}

} // namespace tdu::platform
