// Version information (version.dll): the version resource of an executable,
// read as one block, and the fixed file information at its root. Failures are
// reported as the calls report them (0 or false, with the reason in
// ISystem::GetLastError where the platform gives one).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tdu::platform {

// VS_FIXEDFILEINFO, field by field.
struct FixedFileInfo {
    std::uint32_t signature = 0;
    std::uint32_t structVersion = 0;
    std::uint32_t fileVersionMS = 0;
    std::uint32_t fileVersionLS = 0;
    std::uint32_t productVersionMS = 0;
    std::uint32_t productVersionLS = 0;
    std::uint32_t fileFlagsMask = 0;
    std::uint32_t fileFlags = 0;
    std::uint32_t fileOS = 0;
    std::uint32_t fileType = 0;
    std::uint32_t fileSubtype = 0;
    std::uint32_t fileDateMS = 0;
    std::uint32_t fileDateLS = 0;
};

inline constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
inline constexpr std::uint32_t kFixedFileInfoBytes = 52;

// The root sub-block: the block's fixed file information.
inline constexpr wchar_t kVersionRootBlock[] = L"\\";

class IFileVersion {
public:
    virtual ~IFileVersion() = default;

    // The size in bytes of the file's version information, 0 on failure.
    virtual std::uint32_t GetFileVersionInfoSizeW(const std::wstring& path, std::uint32_t& handle) = 0;
    // Fills at most `size` bytes of `block` (never past its end).
    virtual bool GetFileVersionInfoW(const std::wstring& path, std::uint32_t handle, std::uint32_t size,
                                     std::vector<std::uint8_t>& block) = 0;
    // Answers the root sub-block only: the fixed file information and the
    // length the block gives it (fields past that length read as 0).
    virtual bool VerQueryValueW(std::vector<std::uint8_t>& block, const std::wstring& subBlock,
                                FixedFileInfo& info, std::uint32_t& length) = 0;
};

} // namespace tdu::platform
