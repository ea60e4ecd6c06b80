#include "platform/sim/SimFileVersion.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace tdu::platform::sim {

namespace {

constexpr std::uint32_t kErrorResourceDataNotFound = 1812;
constexpr std::uint32_t kErrorResourceTypeNotFound = 1813;

// A simulated file's version resource: this key, then the three fields the
// program reads (product version MS, file version MS and LS), eight hex
// digits each.
constexpr std::string_view kVersionKey = "VS_VERSION_INFO";
constexpr std::size_t kFieldDigits = 8;
constexpr std::size_t kBlockBytes = kVersionKey.size() + 3 * kFieldDigits;

} // namespace

std::optional<std::string> SimFileVersion::versionBlock(const std::wstring& path) {
    const std::filesystem::path host = mapToHost(s_.root, path);
    std::error_code ec;
    if (std::filesystem::is_directory(host, ec)) {
        s_.fail(kErrorAccessDenied);
        return std::nullopt;
    }
    const std::optional<std::string> bytes = readHostFile(host);
    if (!bytes) {
        s_.fail(std::filesystem::is_directory(host.parent_path(), ec) ? kErrorFileNotFound
                                                                      : kErrorPathNotFound);
        return std::nullopt;
    }
    const std::size_t key = bytes->find(kVersionKey);
    if (key == std::string::npos) {
        s_.fail(kErrorResourceDataNotFound);
        return std::nullopt;
    }
    return bytes->substr(key, kBlockBytes);
}

std::uint32_t SimFileVersion::GetFileVersionInfoSizeW(const std::wstring& path, std::uint32_t& handle) {
    handle = 0;
    if (auto error = s_.check("GetFileVersionInfoSizeW")) {
        return 0;
    }
    const std::optional<std::string> block = versionBlock(path);
    return block ? static_cast<std::uint32_t>(block->size()) : 0;
}

bool SimFileVersion::GetFileVersionInfoW(const std::wstring& path, std::uint32_t /*handle*/,
                                         std::uint32_t size, std::vector<std::uint8_t>& block) {
    if (auto error = s_.check("GetFileVersionInfoW")) {
        return false;
    }
    const std::optional<std::string> found = versionBlock(path);
    if (!found) {
        return false;
    }
    const std::size_t count = std::min({static_cast<std::size_t>(size), block.size(), found->size()});
    std::copy_n(found->begin(), count, block.begin());
    return true;
}

// A block cut short or not a version block answers nothing.
bool SimFileVersion::VerQueryValueW(std::vector<std::uint8_t>& block, const std::wstring& subBlock,
                                    FixedFileInfo& info, std::uint32_t& length) {
    info = FixedFileInfo{};
    length = 0;
    if (auto error = s_.check("VerQueryValueW")) {
        return false;
    }
    if (subBlock != kVersionRootBlock) {
        return s_.fail(kErrorResourceTypeNotFound);
    }
    std::string text(block.begin(), block.end());
    text.resize(std::min(text.size(), kBlockBytes));
    if (text.size() != kBlockBytes || !text.starts_with(kVersionKey)) {
        return false;
    }
    std::uint32_t fields[3] = {};
    for (std::size_t i = 0; i < 3; ++i) {
        const char* first = text.data() + kVersionKey.size() + i * kFieldDigits;
        if (std::from_chars(first, first + kFieldDigits, fields[i], 16).ptr != first + kFieldDigits) {
            return false;
        }
    }
    info = FixedFileInfo{.signature = kFixedFileInfoSignature,
                         .fileVersionMS = fields[1],
                         .fileVersionLS = fields[2],
                         .productVersionMS = fields[0]};
    length = kFixedFileInfoBytes;
    return true;
}

void SimMachine::writeVersionedFile(const std::wstring& windowsPath, const FixedFileInfo& info) {
    char fields[3 * kFieldDigits + 1] = {};
    (void)std::snprintf(fields, sizeof fields, "%08X%08X%08X", info.productVersionMS, info.fileVersionMS,
                        info.fileVersionLS);
    // Some bytes of an image around the resource, as a real file has.
    writeFile(windowsPath,
              "MZ" + std::string(62, '\0') + std::string(kVersionKey) + fields + std::string(16, '\0'));
}

} // namespace tdu::platform::sim
