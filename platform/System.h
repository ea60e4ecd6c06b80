// The kernel and run-time services: environment, files and folders, local
// time, process identity and owners, named mutex and event, tick count and
// sleep. Each method stands for the platform call it is named after and fails
// as that call does (a null handle or false, with the reason in
// GetLastError); a few need two or three calls for it (a security descriptor
// converted from its text first, a token opened before it is read), and the
// first of them that fails gives the answer and the reason.
#pragma once

#include "platform/Types.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tdu::platform {

// SYSTEMTIME, laid out as the platform lays it out.
struct LocalTime {
    std::uint16_t year = 0;
    std::uint16_t month = 0;
    std::uint16_t dayOfWeek = 0;
    std::uint16_t day = 0;
    std::uint16_t hour = 0;
    std::uint16_t minute = 0;
    std::uint16_t second = 0;
    std::uint16_t milliseconds = 0;
};

// One entry of a directory search (WIN32_FIND_DATAW, laid out as the
// platform lays it out). `fileName` is the name alone, without its folder.
struct FindData {
    std::uint32_t attributes = 0;
    std::array<std::uint32_t, 6> fileTimes{};
    std::uint32_t fileSizeHigh = 0;
    std::uint32_t fileSizeLow = 0;
    std::array<std::uint32_t, 2> reserved{};
    std::array<wchar_t, kMaxPath> fileName{};
    std::array<wchar_t, 14> alternateFileName{};
};

inline constexpr std::uint32_t kFileAttributeDirectory = 0x10;
inline constexpr std::uint32_t kFileAttributeNormal = 0x80;
inline constexpr std::uint32_t kFileAttributeReparsePoint = 0x400; // a junction, mount point or symbolic link
inline constexpr std::uint32_t kInvalidFileAttributes = 0xFFFFFFFF;

// CreateFileW: access rights, sharing, dispositions and flags.
inline constexpr std::uint32_t kFileAppendData = 0x4;
inline constexpr std::uint32_t kFileReadAttributes = 0x80;
inline constexpr std::uint32_t kFileShareRead = 0x1;
inline constexpr std::uint32_t kFileShareWrite = 0x2;
inline constexpr std::uint32_t kFileShareDelete = 0x4;
inline constexpr std::uint32_t kOpenExisting = 3;
inline constexpr std::uint32_t kOpenAlways = 4;
inline constexpr std::uint32_t kFileFlagBackupSemantics = 0x02000000;  // needed to open a folder
inline constexpr std::uint32_t kFileFlagOpenReparsePoint = 0x00200000; // a link is opened, not followed

// LockFileEx.
inline constexpr std::uint32_t kLockfileFailImmediately = 0x1;
inline constexpr std::uint32_t kLockfileExclusiveLock = 0x2;

// GetSecurityInfo's object types and parts, and the token right to read a user.
inline constexpr std::uint32_t kSeFileObject = 1;
inline constexpr std::uint32_t kSeKernelObject = 6;
inline constexpr std::uint32_t kOwnerSecurityInformation = 0x1;
// SetSecurityInfo's parts: the access list, kept from inheriting; and the
// right to write it.
inline constexpr std::uint32_t kDaclSecurityInformation = 0x4;
inline constexpr std::uint32_t kProtectedDaclSecurityInformation = 0x80000000;
inline constexpr std::uint32_t kWriteDac = 0x40000;
inline constexpr std::uint32_t kTokenQuery = 0x8;

// What an open file or folder is, two of GetFileInformationByHandleEx's
// records as the platform lays them out: FILE_BASIC_INFO (its times and
// attributes) and FILE_STANDARD_INFO (its size and how many names it has).
struct FileBasicInfo {
    std::array<std::int64_t, 4> times{}; // creation, last access, last write, change
    std::uint32_t fileAttributes = 0;
};
struct FileStandardInfo {
    std::int64_t allocationSize = 0;
    std::int64_t endOfFile = 0;
    std::uint32_t numberOfLinks = 0;
    std::uint8_t deletePending = 0;
    std::uint8_t directory = 0;
};

// The classic record of an open file (BY_HANDLE_FILE_INFORMATION, laid out as
// the platform lays it out): the same volume and file index, the same file.
struct ByHandleFileInformation {
    std::uint32_t fileAttributes = 0;
    std::array<std::uint32_t, 6> fileTimes{}; // creation, last access, last write: low and high parts
    std::uint32_t volumeSerialNumber = 0;
    std::uint32_t fileSizeHigh = 0;
    std::uint32_t fileSizeLow = 0;
    std::uint32_t numberOfLinks = 0;
    std::uint32_t fileIndexHigh = 0;
    std::uint32_t fileIndexLow = 0;
};

// A rename of an open file (FILE_RENAME_INFO): the new full path, and whether
// it replaces what lies there.
struct FileRenameInformation {
    bool replaceIfExists = false;
    std::wstring fileName;
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
    // `securityDescriptor`: the new folder's access in SDDL text, always
    // given: the platform applies it as it stands.
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

    // Open files and folders, closed with CloseHandle. CreateFileW returns
    // kInvalidHandle when it cannot open.
    virtual Handle CreateFileW(const std::wstring& path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                               std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) = 0;
    // GetFileInformationByHandleEx, asking for the record given.
    virtual bool GetFileInformationByHandleEx(Handle file, FileBasicInfo& information) = 0;
    virtual bool GetFileInformationByHandleEx(Handle file, FileStandardInfo& information) = 0;
    // The classic record, which also reads the volume's serial number: a slow
    // query under Wine.
    virtual bool GetFileInformationByHandle(Handle file, ByHandleFileInformation& information) = 0;
    // Renames the open file itself (opened with DELETE access).
    virtual bool SetFileInformationByHandle(Handle file, const FileRenameInformation& rename) = 0;
    // A byte range, which may lie past the end of the file; the handle's
    // close lets go of it.
    virtual bool LockFileEx(Handle file, std::uint32_t flags, std::uint64_t offset, std::uint64_t length) = 0;
    // The bytes as given, at the end of a file opened for appending.
    virtual bool WriteFile(Handle file, std::string_view bytes) = 0;

    // Owners. GetSecurityInfo asks for `securityInformation` of an open
    // object and returns the error itself (ERROR_SUCCESS when read); the
    // owner is SID text ("S-1-5-18"), empty when the object has none.
    virtual std::uint32_t GetSecurityInfo(Handle object, std::uint32_t objectType,
                                          std::uint32_t securityInformation, std::wstring& ownerSid) = 0;
    // The user the process runs as, from its token opened with
    // `desiredAccess` (OpenProcessToken, GetTokenInformation(TokenUser)).
    virtual bool GetTokenUser(std::uint32_t desiredAccess, std::wstring& userSid) = 0;
    // Writes the parts `securityInformation` names of an open object's
    // descriptor, taken from SDDL text, through a handle opened with WRITE_DAC;
    // returns the error itself, as GetSecurityInfo does.
    virtual std::uint32_t SetSecurityInfo(Handle object, std::uint32_t objectType,
                                          std::uint32_t securityInformation,
                                          std::wstring_view securityDescriptor) = 0;

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

    // Named kernel objects. `securityDescriptor`: a new object's owner and
    // access in SDDL text, always given: the platform applies it as it stands.
    virtual Handle CreateMutexW(std::wstring_view securityDescriptor, bool initialOwner,
                                const std::wstring& name) = 0;
    virtual Handle CreateEventW(std::wstring_view securityDescriptor, bool manualReset, bool initialState,
                                const std::wstring& name) = 0;
    virtual Handle OpenMutexW(std::uint32_t desiredAccess, bool inheritHandle, const std::wstring& name) = 0;
    virtual Handle OpenEventW(std::uint32_t desiredAccess, bool inheritHandle, const std::wstring& name) = 0;
    virtual bool SetEvent(Handle event) = 0;
    virtual bool ReleaseMutex(Handle mutex) = 0;
    virtual std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds) = 0;
    virtual bool CloseHandle(Handle object) = 0;
    virtual bool ResetEvent(Handle event) = 0;
    // NtQueryObject(ObjectNameInformation): the full name of the object a
    // handle stands for ("\BaseNamedObjects\X"), that is of the object
    // reached, whatever link the name opened went through; empty for an
    // unnamed one. False, with the reason in GetLastError, when unread.
    virtual bool NtQueryObjectName(Handle object, std::wstring& name) = 0;

    // The process heap. HeapAlloc returns kNullHandle when it cannot allocate
    // (it sets no last error).
    virtual Handle GetProcessHeap() = 0;
    virtual Handle HeapAlloc(Handle heap, std::uint32_t flags, std::size_t bytes) = 0;
    virtual bool HeapFree(Handle heap, std::uint32_t flags, Handle block) = 0;
};

} // namespace tdu::platform
