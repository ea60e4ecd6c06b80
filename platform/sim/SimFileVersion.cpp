#include "platform/sim/SimFileVersion.h"

#include <algorithm>
#include <array>
#include <iterator>

namespace tdu::platform::sim {

namespace {

constexpr std::uint32_t kErrorResourceDataNotFound = 1812;
constexpr std::uint32_t kErrorResourceTypeNotFound = 1813;

// VS_VERSIONINFO: wLength, wValueLength, wType, the key with its terminator
// in UTF-16, padding to 32 bits, then the value (the fixed file information).
constexpr std::wstring_view kVersionKey = L"VS_VERSION_INFO";
constexpr std::size_t kKeyOffset = 6;
constexpr std::size_t kKeyBytes = (kVersionKey.size() + 1) * 2;
constexpr std::size_t kValueOffset = (kKeyOffset + kKeyBytes + 3) / 4 * 4;

void putWord(std::string& out, std::uint16_t value) {
    out.push_back(static_cast<char>(value & 0xFFU));
    out.push_back(static_cast<char>(value >> 8U));
}
void putDword(std::string& out, std::uint32_t value) {
    putWord(out, static_cast<std::uint16_t>(value & 0xFFFFU));
    putWord(out, static_cast<std::uint16_t>(value >> 16U));
}
std::uint32_t byteAt(const std::uint8_t* data, std::size_t at) {
    return data[at];
}
std::uint16_t wordAt(const std::uint8_t* data, std::size_t at) {
    return static_cast<std::uint16_t>(byteAt(data, at) | (byteAt(data, at + 1) << 8U));
}
std::uint32_t dwordAt(const std::uint8_t* data, std::size_t at) {
    return wordAt(data, at) | (static_cast<std::uint32_t>(wordAt(data, at + 2)) << 16U);
}

std::string keyBytes() {
    std::string key;
    for (const wchar_t c : kVersionKey) {
        putWord(key, static_cast<std::uint16_t>(c));
    }
    putWord(key, 0);
    return key;
}

} // namespace

std::string versionInfoBlock(const FixedFileInfo& info) {
    std::string block;
    putWord(block, static_cast<std::uint16_t>(kValueOffset + kFixedFileInfoBytes));
    putWord(block, static_cast<std::uint16_t>(kFixedFileInfoBytes));
    putWord(block, 0); // binary value
    block += keyBytes();
    block.resize(kValueOffset, '\0');
    for (const std::uint32_t field :
         {info.signature, info.structVersion, info.fileVersionMS, info.fileVersionLS, info.productVersionMS,
          info.productVersionLS, info.fileFlagsMask, info.fileFlags, info.fileOS, info.fileType,
          info.fileSubtype, info.fileDateMS, info.fileDateLS}) {
        putDword(block, field);
    }
    return block;
}

std::optional<std::string> SimFileVersion::versionBlock(const std::wstring& path) {
    const std::filesystem::path host = mapToHost(s_.root, path);
    std::error_code ec;
    if (std::filesystem::is_directory(host, ec)) {
        s_.lastError = kErrorAccessDenied;
        return std::nullopt;
    }
    std::ifstream in(host, std::ios::binary);
    if (!in) {
        s_.lastError =
            std::filesystem::is_directory(host.parent_path(), ec) ? kErrorFileNotFound : kErrorPathNotFound;
        return std::nullopt;
    }
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::size_t key = bytes.find(keyBytes());
    if (key == std::string::npos || key < kKeyOffset) {
        s_.lastError = kErrorResourceDataNotFound;
        return std::nullopt;
    }
    const std::size_t start = key - kKeyOffset;
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const std::size_t length = std::min<std::size_t>(wordAt(data, start), bytes.size() - start);
    return bytes.substr(start, length);
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

bool SimFileVersion::VerQueryValueW(std::vector<std::uint8_t>& block, const std::wstring& subBlock,
                                    FixedFileInfo& info, std::uint32_t& length) {
    info = FixedFileInfo{};
    length = 0;
    if (auto error = s_.check("VerQueryValueW")) {
        return false;
    }
    if (subBlock != kVersionRootBlock) {
        s_.lastError = kErrorResourceTypeNotFound;
        return false;
    }
    const std::string key = keyBytes();
    if (block.size() < kValueOffset ||
        !std::equal(key.begin(), key.end(), block.begin() + static_cast<std::ptrdiff_t>(kKeyOffset),
                    [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; })) {
        return false;
    }
    const std::uint8_t* data = block.data();
    const std::uint16_t valueLength = wordAt(data, 2);
    if (block.size() < kValueOffset + valueLength) {
        return false;
    }
    // Fields past the value's length are not there to read.
    std::array<std::uint32_t, kFixedFileInfoBytes / 4> fields{};
    for (std::size_t i = 0; i < fields.size() && (i + 1) * 4 <= valueLength; ++i) {
        fields.at(i) = dwordAt(data, kValueOffset + i * 4);
    }
    info = FixedFileInfo{fields[0], fields[1], fields[2], fields[3],  fields[4],  fields[5], fields[6],
                         fields[7], fields[8], fields[9], fields[10], fields[11], fields[12]};
    length = valueLength;
    return true;
}

void SimMachine::writeVersionedFile(const std::wstring& windowsPath, const FixedFileInfo& info) {
    // Some bytes of an image around the resource, as a real file has.
    std::string image = "MZ";
    image.resize(64, '\0');
    image += versionInfoBlock(info);
    image.append(16, '\0');
    writeFile(windowsPath, image);
}

} // namespace tdu::platform::sim
