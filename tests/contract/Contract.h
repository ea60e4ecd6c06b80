// The contract both machines answer to: rows written once against the platform interfaces, each a fact the
// core relies on, run on the simulated machine natively and on the Windows layer under Wine. Where Wine
// answers otherwise than Windows, the row says why and is reported skipped there, never passed.
#pragma once

#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

namespace tdu::contract {

using namespace platform;

// One machine, its platform bound for one row, and what a row plants on it.
class Machine {
public:
    virtual ~Machine() = default;
    [[nodiscard]] virtual bool wine() const = 0;
    // An empty folder of the row's own, with its closing backslash.
    virtual std::wstring folder() = 0;
    virtual void plantFile(const std::wstring& path, const std::string& bytes) = 0;
    virtual void setEnvironment(const std::wstring& name, const std::wstring& value) = 0;
    // A symbolic link to a file that exists; where none can be made, the row needs a Wine mark.
    virtual void plantLink(const std::wstring& /*target*/, const std::wstring& /*link*/) { ADD_FAILURE(); }
    // A sample driver package, whole: its INF's path.
    virtual std::wstring package(const std::wstring& component) = 0;
    // A kernel-driver service, stopped.
    virtual void plantService(const std::wstring& name) = 0;
    // A device of this hardware id that is not present; where none can be, the row needs a Wine mark.
    virtual void plantAbsentDevice(const std::wstring& /*hardwareId*/) { ADD_FAILURE(); }
    // The product kProduct installed, whose cached package's InstallExecuteSequence holds "TduAction".
    virtual void installProduct() = 0;
    // A file whose version resource says 23.1.0.0.
    virtual std::wstring versionedFile() = 0;
};

inline constexpr wchar_t kProduct[] = L"{00000000-0000-0000-0000-0000000000C7}";

// A fresh machine for the row of that name, bound as the platform.
std::unique_ptr<Machine> machineFor(const std::string& row);

struct Row {
    const char* name;
    std::function<void(Machine&)> check;
    const char* wine = nullptr; // how Wine answers otherwise than Windows
};
inline void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

// What a call answered: kDone when it succeeded, otherwise the last error it left.
inline constexpr std::uint32_t kDone = 0xFFFF'FFFF;
inline std::uint32_t answer(bool succeeded) {
    return succeeded ? kDone : sys().GetLastError();
}

class Contract : public ::testing::TestWithParam<Row> {};

// A group of rows, each reported as a test of its own.
#define TDU_CONTRACT_ROWS(group, rows)                                                                       \
    INSTANTIATE_TEST_SUITE_P(group, Contract, ::testing::ValuesIn(rows),                                     \
                             [](const auto& row) { return std::string(row.param.name); })

} // namespace tdu::contract
