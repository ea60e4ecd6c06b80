// Version resources of the simulated machine's files: a file carries one when
// SimMachine::writeVersionedFile wrote it. The machine keeps, per file, the
// fields the program reads; the block the calls hand over is that fixed file
// information itself.
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
    // The file's version information; null, with the last error set, when
    // the file is not there or carries none.
    const FixedFileInfo* versionOf(const std::wstring& path);

    SimState& s_;
};

} // namespace tdu::platform::sim
