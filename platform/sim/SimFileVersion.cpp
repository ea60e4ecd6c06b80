#include "platform/sim/SimMachine.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace tdu::platform::sim {

constexpr std::uint32_t kErrorResourceDataNotFound = 1812;
constexpr std::uint32_t kErrorResourceTypeNotFound = 1813;

static_assert(std::is_trivially_copyable_v<FixedFileInfo> && sizeof(FixedFileInfo) == kFixedFileInfoBytes);

// Version resources of the simulated machine's files: a file carries one when
// SimMachine::writeVersionedFile wrote it. The machine keeps, per file, the
// fields the program reads; the block the calls hand over is that fixed file
// information itself.
class SimFileVersion final : public IFileVersion {
public:
    explicit SimFileVersion(SimState& state) : s_(state) {}

    std::uint32_t GetFileVersionInfoSizeW(const std::wstring& path, std::uint32_t& handle) override {
        handle = 0;
        return s_.check("GetFileVersionInfoSizeW") || versionOf(path) == nullptr ? 0 : kFixedFileInfoBytes;
    }

    bool GetFileVersionInfoW(const std::wstring& path, std::uint32_t /*handle*/, std::uint32_t size,
                             std::vector<std::uint8_t>& block) override {
        const FixedFileInfo* info = s_.check("GetFileVersionInfoW") ? nullptr : versionOf(path);
        if (info != nullptr) {
            std::memcpy(block.data(), info, std::min<std::size_t>({size, block.size(), kFixedFileInfoBytes}));
        }
        return info != nullptr;
    }

    // A block cut short answers nothing.
    bool VerQueryValueW(std::vector<std::uint8_t>& block, const std::wstring& subBlock, FixedFileInfo& info,
                        std::uint32_t& length) override {
        info = FixedFileInfo{};
        length = 0;
        if (s_.check("VerQueryValueW")) {
            return false;
        }
        if (subBlock != kVersionRootBlock) {
            return s_.fail(kErrorResourceTypeNotFound);
        }
        if (block.size() < kFixedFileInfoBytes) {
            return false;
        }
        std::memcpy(&info, block.data(), kFixedFileInfoBytes);
        length = kFixedFileInfoBytes;
        return true;
    }

private:
    // The file's version information; null, with the last error set, when
    // the file is not there or carries none.
    const FixedFileInfo* versionOf(const std::wstring& path) {
        const std::filesystem::path host = mapToHost(s_.root, path);
        const auto found = s_.versions.find(host);
        std::error_code ec;
        return std::filesystem::is_regular_file(host, ec) && found != s_.versions.end()
                   ? &found->second
                   : s_.fail(std::filesystem::is_directory(host, ec) ? kErrorAccessDenied
                             : std::filesystem::exists(host, ec)     ? kErrorResourceDataNotFound
                                                                     : notFound(host),
                             nullptr);
    }

    SimState& s_;
};

std::unique_ptr<IFileVersion> makeFileVersion(SimState& state) {
    return std::make_unique<SimFileVersion>(state);
}

// The file an image stands for; the fields past the three the program reads stay 0.
void SimMachine::writeVersionedFile(const std::wstring& windowsPath, const FixedFileInfo& info) {
    writeFile(windowsPath, "MZ");
    state_->versions[hostPath(windowsPath)] = FixedFileInfo{.signature = kFixedFileInfoSignature,
                                                            .fileVersionMS = info.fileVersionMS,
                                                            .fileVersionLS = info.fileVersionLS,
                                                            .productVersionMS = info.productVersionMS};
}

} // namespace tdu::platform::sim
