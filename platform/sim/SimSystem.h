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
    Handle CreateFileW(const std::wstring& path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                       std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) override;
    bool GetFileInformationByHandleEx(Handle file, FileBasicInfo& information) override;
    bool GetFileInformationByHandleEx(Handle file, FileStandardInfo& information) override;
    bool GetFileInformationByHandle(Handle file, ByHandleFileInformation& information) override;
    bool SetFileInformationByHandle(Handle file, const FileRenameInformation& rename) override;
    bool LockFileEx(Handle file, std::uint32_t flags, std::uint64_t offset, std::uint64_t length) override;
    bool WriteFile(Handle file, std::string_view bytes) override;
    std::uint32_t GetSecurityInfo(Handle object, std::uint32_t objectType, std::uint32_t securityInformation,
                                  std::wstring& ownerSid) override;
    bool GetTokenUser(std::uint32_t desiredAccess, std::wstring& userSid) override;
    LocalTime GetLocalTime() override;
    std::uint32_t GetTickCount() override;
    void Sleep(std::uint32_t milliseconds) override;
    std::uint32_t GetCurrentProcessId() override { return s_.pid; }
    std::uint32_t K32GetModuleFileNameExW(std::wstring& path, std::uint32_t capacity) override;
    Handle CreateMutexW(std::wstring_view securityDescriptor, bool initialOwner,
                        const std::wstring& name) override;
    Handle CreateEventW(std::wstring_view securityDescriptor, bool manualReset, bool initialState,
                        const std::wstring& name) override;
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
    Handle createNamed(const char* call, Kind kind, std::wstring_view securityDescriptor, bool initialOwner,
                       bool manualReset, bool initialState, const std::wstring& name);
    Handle openNamed(const char* call, Kind kind, const std::wstring& name);
    // The kernel object of that kind behind a handle; null, the call failed, otherwise.
    std::shared_ptr<KernelObject> objectFor(const char* call, Handle handle, Kind kind);
    Handle handleTo(Kind kind, const std::shared_ptr<KernelObject>& object);
    std::filesystem::path host(const std::wstring& path, std::filesystem::file_status* entry = nullptr) const;
    // DeleteFileW and _wremove: refused for a folder or a file held open.
    bool removeFile(const char* call, const std::wstring& path);
    // An open file or folder of this machine; null after failing the call
    // with ERROR_INVALID_HANDLE.
    HandleEntry* openFile(Handle file);
    // Whether a handle to `target` is open without sharing `share` (one
    // of the FILE_SHARE_ flags).
    bool heldWithoutSharing(const std::filesystem::path& target, std::uint32_t share) const;
    // Whether a byte range of `target` overlaps one another handle locked.
    bool rangeTaken(const std::filesystem::path& target, Handle by, std::uint64_t offset,
                    std::uint64_t length) const;
    // What the open file or folder behind a handle is: the answer of `call`.
    std::optional<FileInformation> describedFile(const char* call, Handle file);
    // Where an open file lies now: another process on the same machine
    // folder may have renamed it.
    const std::filesystem::path& currentPlace(HandleEntry& entry);

    SimState& s_;
};

} // namespace tdu::platform::sim
