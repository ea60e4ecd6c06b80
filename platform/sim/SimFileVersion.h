// Version resources of the simulated machine's files. A file carries one when
// it holds a VS_VERSIONINFO block (as SimMachine::writeVersionedFile writes
// it); the calls find, copy and read that block as the real ones do.
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

// The bytes of a VS_VERSIONINFO block holding only the fixed file
// information: the resource a file's version reads come from.
std::string versionInfoBlock(const FixedFileInfo& info);

} // namespace tdu::platform::sim
