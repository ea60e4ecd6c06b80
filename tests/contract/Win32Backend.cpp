// The rows' machine under Wine: the Windows layer on a prefix of the suite's own, which each row finds
// without what an earlier row or run left in its folder and keys. Also the rows only this build can hold:
// the records the layer builds, against the SDK's layout, and how it loads a system DLL.
#include "platform/win32/LazyImport.h"
#include "platform/win32/Win32Platform.h"
#include "tests/contract/Contract.h"

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <msi.h>

namespace tdu::contract {
namespace {

class WineMachine final : public Machine {
public:
    explicit WineMachine(const std::string& row)
        : folder_(L"C:\\contract\\" + std::wstring(row.begin(), row.end())) {
        bindPlatform(win32::realPlatform());
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
        for (const wchar_t* key : {L"SOFTWARE\\TduContract", L"SOFTWARE\\Wow6432Node\\TduContract"}) {
            ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key);
        }
        ::MsiConfigureProductW(kProduct, INSTALLLEVEL_DEFAULT, INSTALLSTATE_ABSENT);
    }
    [[nodiscard]] bool wine() const override { return true; }
    std::wstring folder() override { return folder_ + L"\\"; }
    void plantFile(const std::wstring& path, const std::string& bytes) override {
        std::ofstream(std::filesystem::path(path), std::ios::binary) << bytes;
    }
    void setEnvironment(const std::wstring& name, const std::wstring& value) override {
        ::SetEnvironmentVariableW(name.c_str(), value.c_str());
    }
    std::wstring package(const std::wstring& component) override {
        return std::filesystem::path(TDU_SAMPLES_DIR "/x64Drivers/" + component + L"/" + component + L".inf")
            .make_preferred()
            .wstring();
    }
    void plantService(const std::wstring& name) override {
        const SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ::CloseServiceHandle(::CreateServiceW(
            manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
            SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, L"C:\\windows\\system32\\drivers\\none.sys", nullptr,
            nullptr, nullptr, nullptr, nullptr));
        ::CloseServiceHandle(manager);
    }
    void installProduct() override {
        ::MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
        EXPECT_EQ(::MsiInstallProductW(TDU_PRODUCT_MSI, L""), 0U);
    }
    std::wstring versionedFile() override {
        return std::filesystem::path(TDU_VERSIONED_EXE).make_preferred();
    }

private:
    std::wstring folder_;
};

// The record as the platform reads it: each field where the SDK puts it, the name's length in bytes.
TEST(Win32Records, TheRenameRecordHasTheSdkLayout) {
    const std::vector<std::uint64_t> record =
        win32::fileRenameRecord({.replaceIfExists = true, .fileName = L"C:\\ab"});
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(record.data());
    FILE_RENAME_INFO fixed{};
    std::memcpy(&fixed, bytes, offsetof(FILE_RENAME_INFO, FileName));
    EXPECT_EQ(std::tuple(fixed.ReplaceIfExists, fixed.RootDirectory, fixed.FileNameLength),
              std::tuple(TRUE, nullptr, 10U));
    EXPECT_GE(record.size() * 8, offsetof(FILE_RENAME_INFO, FileName) + 12);
    EXPECT_EQ(std::memcmp(bytes + offsetof(FILE_RENAME_INFO, FileName), L"C:\\ab", 12), 0);
}

// A DLL beside the program is never what a system DLL's lazy load finds: that would run it with the
// program's rights.
TEST(Win32Loads, ALazyLoadSearchesTheSystemFolderOnly) {
    ASSERT_TRUE(std::filesystem::exists(std::filesystem::path(TDU_BESIDE_DLL)));
    EXPECT_EQ(win32::lazyProc(L"tdubeside.dll", "tduBeside"), nullptr);
    EXPECT_EQ(::GetLastError(), DWORD{ERROR_MOD_NOT_FOUND});
    EXPECT_NE(win32::lazyProc(L"version.dll", "GetFileVersionInfoSizeW"), nullptr);
}

} // namespace

std::unique_ptr<Machine> machineFor(const std::string& row) {
    return std::make_unique<WineMachine>(row);
}

} // namespace tdu::contract
