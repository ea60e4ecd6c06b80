// The kernel and run-time services: environment, files and folders, local
// time, process identity, named mutex and event, tick count and sleep. Each
// method mirrors one platform call; failures are reported as the call reports
// them (a null handle or false, with the reason in GetLastError).
#pragma once

#include "platform/Types.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

namespace tdu::platform {

struct LocalTime {
    std::uint16_t year = 0;
    std::uint16_t month = 0;
    std::uint16_t day = 0;
    std::uint16_t hour = 0;
    std::uint16_t minute = 0;
    std::uint16_t second = 0;
    std::uint16_t milliseconds = 0;
};

// One entry of a directory search.
struct FindData {
    std::uint32_t attributes = 0;
    std::wstring fileName; // the name alone, without its folder
};

inline constexpr std::uint32_t kFileAttributeDirectory = 0x10;
inline constexpr std::uint32_t kFileAttributeReparsePoint = 0x400; // a junction, mount point or symbolic link
inline constexpr std::uint32_t kInvalidFileAttributes = 0xFFFFFFFF;

// What an open file is: its attributes and how many names it has.
struct FileInformation {
    std::uint32_t attributes = 0;
    std::uint32_t numberOfLinks = 0;
};

class ISystem {
public:
    virtual ~ISystem() = default;

    // The last-error value of the calling thread, as left by the last call
    // made through this interface or the others.
    virtual std::uint32_t GetLastError() = 0;
    virtual void SetLastError(std::uint32_t error) = 0;

    // Returns the count of characters the expansion needs, terminator
    // included, or 0 on failure. `destination` is filled only when that count
    // fits `capacity`.
    virtual std::uint32_t ExpandEnvironmentStringsW(std::wstring_view source, std::wstring& destination,
                                                    std::uint32_t capacity) = 0;

    // Files and folders.
    // `securityDescriptor`: the new folder's access in SDDL text; empty for
    // what the parent passes on.
    virtual bool CreateDirectoryW(const std::wstring& path, std::wstring_view securityDescriptor) = 0;
    // The attributes of the entry itself, never of what a link at its name
    // points to; kInvalidFileAttributes on failure.
    virtual std::uint32_t GetFileAttributesW(const std::wstring& path) = 0;
    virtual bool DeleteFileW(const std::wstring& path) = 0;
    // The run-time library's removal: 0 on success, -1 on failure.
    virtual int _wremove(const std::wstring& path) = 0; // NOLINT(bugprone-reserved-identifier)
    virtual bool RemoveDirectoryW(const std::wstring& path) = 0;
    // kInvalidHandle when nothing matches the pattern.
    virtual Handle FindFirstFileW(const std::wstring& pattern, FindData& data) = 0;
    virtual bool FindNextFileW(Handle search, FindData& data) = 0;
    virtual bool FindClose(Handle search) = 0;
    // The length copied; the size needed (terminator included) when it does
    // not fit; 0 on failure.
    virtual std::uint32_t GetWindowsDirectoryW(std::wstring& path, std::uint32_t capacity) = 0;
    virtual bool exists(const std::wstring& path, std::error_code& ec) = 0;
    virtual std::uint64_t file_size(const std::wstring& path, std::error_code& ec) = 0;
    // Moves a file, replacing an existing target (MOVEFILE_REPLACE_EXISTING |
    // MOVEFILE_COPY_ALLOWED).
    virtual void rename(const std::wstring& from, const std::wstring& to, std::error_code& ec) = 0;

    // A stream opened for appending ("a+"), shared with no other writer while
    // open; kNullHandle when it cannot be opened. A link at the file's name is
    // opened itself, never followed. Bytes are written as given.
    virtual Handle OpenAppendStream(const std::wstring& path) = 0;
    virtual bool GetFileInformationByHandle(Handle stream, FileInformation& information) = 0;
    virtual bool WriteStream(Handle stream, std::string_view bytes) = 0;
    virtual bool CloseStream(Handle stream) = 0;

    // Time.
    virtual LocalTime GetLocalTime() = 0;
    virtual bool FileTimeToSystemTime(std::uint64_t fileTime, LocalTime& systemTime) = 0;
    virtual std::uint32_t GetTickCount() = 0;
    virtual void Sleep(std::uint32_t milliseconds) = 0;

    // Process identity.
    virtual std::uint32_t GetCurrentProcessId() = 0;
    // K32GetModuleFileNameExW on the current process: the length copied, 0 on
    // failure; a path longer than capacity - 1 is cut.
    virtual std::uint32_t K32GetModuleFileNameExW(std::wstring& path, std::uint32_t capacity) = 0;

    // Named kernel objects.
    virtual Handle CreateMutexW(bool initialOwner, const std::wstring& name) = 0;
    virtual Handle CreateEventW(bool manualReset, bool initialState, const std::wstring& name) = 0;
    virtual Handle OpenMutexW(std::uint32_t desiredAccess, bool inheritHandle, const std::wstring& name) = 0;
    virtual Handle OpenEventW(std::uint32_t desiredAccess, bool inheritHandle, const std::wstring& name) = 0;
    virtual bool SetEvent(Handle event) = 0;
    virtual bool ReleaseMutex(Handle mutex) = 0;
    virtual std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds) = 0;
    virtual bool CloseHandle(Handle object) = 0;

    // The process heap. HeapAlloc returns kNullHandle when it cannot allocate
    // (it sets no last error).
    virtual Handle GetProcessHeap() = 0;
    virtual Handle HeapAlloc(Handle heap, std::uint32_t flags, std::size_t bytes) = 0;
    virtual bool HeapFree(Handle heap, std::uint32_t flags, Handle block) = 0;
};

} // namespace tdu::platform
