// Platform-neutral names for the values the platform calls exchange. The core
// sees opaque handles and plain integers; only platform/win32 maps them to the
// real types.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tdu::platform {

// An opaque handle as the platform hands it out: a kernel object, a registry
// key or a file stream. Zero is the null handle.
using Handle = std::uint64_t;
inline constexpr Handle kNullHandle = 0;
inline constexpr Handle kInvalidHandle = ~Handle{0}; // INVALID_HANDLE_VALUE

// Win32 error codes: the ones the core tests for, and the ones the simulated
// machine fails with, which the core passes on as they are.
inline constexpr std::uint32_t kErrorSuccess = 0;
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorSharingViolation = 32;
inline constexpr std::uint32_t kErrorLockViolation = 33;
inline constexpr std::uint32_t kErrorBadNetpath = 53;
inline constexpr std::uint32_t kErrorNetnameDeleted = 64;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;
inline constexpr std::uint32_t kErrorInvalidName = 123;
inline constexpr std::uint32_t kErrorAlreadyExists = 183;
inline constexpr std::uint32_t kErrorEnvvarNotFound = 203;
inline constexpr std::uint32_t kErrorMoreData = 234;
inline constexpr std::uint32_t kErrorNoMoreItems = 259;
inline constexpr std::uint32_t kErrorDirectory = 267;
inline constexpr std::uint32_t kErrorNotOwner = 288;
inline constexpr std::uint32_t kErrorKeyDeleted = 1018;
inline constexpr std::uint32_t kErrorSuccessRebootRequired = 3010;

// WaitForSingleObject results and the infinite time-out.
inline constexpr std::uint32_t kWaitObject0 = 0;
inline constexpr std::uint32_t kWaitTimeout = 258;
inline constexpr std::uint32_t kWaitFailed = 0xFFFFFFFF;
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFF;

// Standard access rights, and the access masks of named kernel objects.
inline constexpr std::uint32_t kDelete = 0x10000;
inline constexpr std::uint32_t kReadControl = 0x20000;
inline constexpr std::uint32_t kSynchronize = 0x100000;
inline constexpr std::uint32_t kMutexAllAccess = 0x1F0001;
inline constexpr std::uint32_t kEventAllAccess = 0x1F0003;

inline constexpr std::uint32_t kHeapZeroMemory = 0x8;

// A GUID as the platform lays it out.
struct Guid {
    std::uint32_t data1 = 0;
    std::uint16_t data2 = 0;
    std::uint16_t data3 = 0;
    std::array<std::uint8_t, 8> data4{};
    bool operator==(const Guid&) const = default;
};

// Device setup classes.
inline constexpr Guid kGuidDevClassNet{
    0x4d36e972, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
inline constexpr Guid kGuidDevClassNetClient{
    0x4d36e973, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
inline constexpr Guid kGuidDevClassNetService{
    0x4d36e974, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
inline constexpr Guid kGuidDevClassNetTrans{
    0x4d36e975, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
inline constexpr Guid kGuidDevClassSystem{
    0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// The platform's MAX_PATH, in characters.
inline constexpr std::uint32_t kMaxPath = 260;

// The text of a record's fixed array, up to its first NUL.
template <std::size_t N> std::wstring_view textOf(const std::array<wchar_t, N>& field) {
    return {field.data(),
            static_cast<std::size_t>(std::find(field.begin(), field.end(), L'\0') - field.begin())};
}
// Fills a fixed array with as much of `text` as fits before its NUL.
template <std::size_t N> void setText(std::array<wchar_t, N>& field, std::wstring_view text) {
    field.fill(L'\0');
    std::copy_n(text.begin(), std::min(text.size(), N - 1), field.begin());
}

} // namespace tdu::platform
