// Version resources of the simulated machine's files: a file carries one when
// SimMachine::writeVersionedFile wrote it. The calls find, copy and read its
// block as the real ones do, holding the fields the program reads.
#pragma once

#include "platform/sim/SimState.h"

namespace tdu::platform::sim {

class SimFileVersion final : public IFileVersion {
public:
    explicit SimFileVersion(SimState& state) : s_(state) {}

    std::uint32_t GetFileVersionInfoSizeW(const std::wstring& path, std::uint32_t& handle) override;
    bool GetFileVersionInfoW(const std::wstring& path, std::uint32_t handle, std::uint32_t size,
                             std::vector<std::uint8_t>& block) override;
    bool VerQueryValueW(std::vector<std::uint8_t>& block, const std::wstring& subBlock, FixedFileInfo& info,
                        std::uint32_t& length) override;

private:
    // The file's version block; nothing, with the last error set, when the
    // file cannot be read or carries none.
    std::optional<std::string> versionBlock(const std::wstring& path);

    SimState& s_;
};

} // namespace tdu::platform::sim
