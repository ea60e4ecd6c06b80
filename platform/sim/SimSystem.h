#pragma once

#include "platform/sim/SimState.h"

namespace tdu::platform::sim {

class SimSystem final : public ISystem {
public:
    explicit SimSystem(SimState& state) : s_(state) {}

    std::uint32_t GetLastError() override { return s_.lastError; }
    void SetLastError(std::uint32_t error) override { s_.lastError = error; }
    std::uint32_t ExpandEnvironmentStringsW(std::wstring_view source, std::wstring& destination,
                                            std::uint32_t capacity) override;
    bool CreateDirectoryW(const std::wstring& path, std::wstring_view securityDescriptor) override;
    std::uint32_t GetFileAttributesW(const std::wstring& path) override;
    bool DeleteFileW(const std::wstring& path) override;
    int _wremove(const std::wstring& path) override; // NOLINT(bugprone-reserved-identifier)
    bool RemoveDirectoryW(const std::wstring& path) override;
    Handle FindFirstFileW(const std::wstring& pattern, FindData& data) override;
    bool FindNextFileW(Handle search, FindData& data) override;
    bool FindClose(Handle search) override;
    std::uint32_t GetWindowsDirectoryW(std::wstring& path, std::uint32_t capacity) override;
    bool FileTimeToSystemTime(std::uint64_t fileTime, LocalTime& systemTime) override;
    bool exists(const std::wstring& path, std::error_code& ec) override;
    std::uint64_t file_size(const std::wstring& path, std::error_code& ec) override;
    void rename(const std::wstring& from, const std::wstring& to, std::error_code& ec) override;
    Handle OpenAppendStream(const std::wstring& path) override;
    bool GetFileInformationByHandle(Handle stream, FileInformation& information) override;
    bool WriteStream(Handle stream, std::string_view bytes) override;
    bool CloseStream(Handle stream) override;
    LocalTime GetLocalTime() override;
    std::uint32_t GetTickCount() override;
    void Sleep(std::uint32_t milliseconds) override;
    std::uint32_t GetCurrentProcessId() override { return s_.pid; }
    std::uint32_t K32GetModuleFileNameExW(std::wstring& path, std::uint32_t capacity) override;
    Handle CreateMutexW(bool initialOwner, const std::wstring& name) override;
    Handle CreateEventW(bool manualReset, bool initialState, const std::wstring& name) override;
    Handle OpenMutexW(std::uint32_t desiredAccess, bool inheritHandle, const std::wstring& name) override;
    Handle OpenEventW(std::uint32_t desiredAccess, bool inheritHandle, const std::wstring& name) override;
    bool SetEvent(Handle event) override;
    bool ReleaseMutex(Handle mutex) override;
    std::uint32_t WaitForSingleObject(Handle handle, std::uint32_t milliseconds) override;
    bool CloseHandle(Handle object) override;
    Handle GetProcessHeap() override;
    Handle HeapAlloc(Handle heap, std::uint32_t flags, std::size_t bytes) override;
    bool HeapFree(Handle heap, std::uint32_t flags, Handle block) override;

private:
    Handle createNamed(const char* call, KernelObject::Kind kind, bool initialOwner, bool manualReset,
                       bool initialState, const std::wstring& name);
    Handle openNamed(const char* call, KernelObject::Kind kind, const std::wstring& name);
    Handle handleTo(KernelObject::Kind kind, const std::shared_ptr<KernelObject>& object);
    const std::filesystem::path& host(const std::wstring& path,
                                      std::filesystem::file_status* entry = nullptr) const;
    // DeleteFileW and _wremove: refused for a folder or a file held open.
    bool removeFile(const char* call, const std::wstring& path);

    SimState& s_;
};

} // namespace tdu::platform::sim
