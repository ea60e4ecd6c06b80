#include "platform/win32/Win32Platform.h"

#include <windows.h>

#include <aclapi.h>
#include <cstddef>
#include <cstring>
#include <memory>
#include <psapi.h>
#include <sddl.h>
#include <vector>

namespace tdu::platform::win32 {

namespace {

HANDLE toHandle(Handle handle) {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(handle));
}
Handle fromHandle(HANDLE handle) {
    return static_cast<Handle>(reinterpret_cast<std::uintptr_t>(handle));
}

using LocalMemory = std::unique_ptr<void, decltype(&::LocalFree)>;

// Security attributes from SDDL text; none for empty text. False when the
// text does not convert: nothing is ever created with less protection than
// was asked for.
class Security {
public:
    explicit Security(std::wstring_view sddl) {
        PSECURITY_DESCRIPTOR converted = nullptr;
        converted_ = ::ConvertStringSecurityDescriptorToSecurityDescriptorW(
                         std::wstring(sddl).c_str(), SDDL_REVISION_1, &converted, nullptr) != FALSE;
        descriptor_.reset(converted);
        attributes_.lpSecurityDescriptor = converted;
    }
    [[nodiscard]] bool converted() const { return converted_; }
    SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

private:
    bool converted_ = false;
    LocalMemory descriptor_{nullptr, &::LocalFree};
    SECURITY_ATTRIBUTES attributes_{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

// SID text ("S-1-5-18"); empty when the conversion fails.
std::wstring sidText(PSID sid) {
    LPWSTR text = nullptr;
    if (::ConvertSidToStringSidW(sid, &text) == FALSE) {
        return {};
    }
    const LocalMemory held(text, &::LocalFree);
    return text;
}

class Win32System final : public ISystem {
public:
    std::uint32_t GetLastError() override { return lastError_; }
    void SetLastError(std::uint32_t error) override {
        lastError_ = error;
        ::SetLastError(error);
    }

    std::uint32_t ExpandEnvironmentStringsW(std::wstring_view source, std::wstring& destination,
                                            std::uint32_t capacity) override {
        const std::wstring text(source);
        std::vector<wchar_t> buffer(capacity == 0 ? 1 : capacity, L'\0');
        const DWORD count = ::ExpandEnvironmentStringsW(text.c_str(), buffer.data(), capacity);
        keep();
        if (count != 0 && count <= capacity) {
            destination.assign(buffer.data(), count - 1);
        }
        return count;
    }

    bool CreateDirectoryW(const std::wstring& path, std::wstring_view securityDescriptor) override {
        Security security(securityDescriptor);
        if (!security.converted()) {
            keep();
            return false;
        }
        return ok(::CreateDirectoryW(path.c_str(), security.attributes()));
    }

    std::uint32_t GetFileAttributesW(const std::wstring& path) override {
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        keep();
        return attributes;
    }

    bool DeleteFileW(const std::wstring& path) override { return ok(::DeleteFileW(path.c_str())); }

    int _wremove(const std::wstring& path) override { // NOLINT(bugprone-reserved-identifier)
        const int result = ::_wremove(path.c_str());
        keep();
        return result;
    }

    bool RemoveDirectoryW(const std::wstring& path) override { return ok(::RemoveDirectoryW(path.c_str())); }

    Handle FindFirstFileW(const std::wstring& pattern, FindData& data) override {
        WIN32_FIND_DATAW raw{};
        HANDLE search = ::FindFirstFileW(pattern.c_str(), &raw);
        keep();
        if (search != INVALID_HANDLE_VALUE) {
            data = FindData{raw.dwFileAttributes, raw.cFileName};
        }
        return fromHandle(search);
    }

    bool FindNextFileW(Handle search, FindData& data) override {
        WIN32_FIND_DATAW raw{};
        const bool found = ok(::FindNextFileW(toHandle(search), &raw));
        if (found) {
            data = FindData{raw.dwFileAttributes, raw.cFileName};
        }
        return found;
    }

    bool FindClose(Handle search) override { return ok(::FindClose(toHandle(search))); }

    std::uint32_t GetWindowsDirectoryW(std::wstring& path, std::uint32_t capacity) override {
        std::vector<wchar_t> buffer(capacity == 0 ? 1 : capacity, L'\0');
        const UINT length = ::GetWindowsDirectoryW(buffer.data(), capacity);
        keep();
        if (length != 0 && length < capacity) {
            path.assign(buffer.data(), length);
        }
        return length;
    }

    bool FileTimeToSystemTime(std::uint64_t fileTime, LocalTime& systemTime) override {
        FILETIME raw{static_cast<DWORD>(fileTime & 0xFFFFFFFFULL), static_cast<DWORD>(fileTime >> 32U)};
        SYSTEMTIME out{};
        if (!ok(::FileTimeToSystemTime(&raw, &out))) {
            return false;
        }
        systemTime = LocalTime{out.wYear,   out.wMonth,  out.wDay,         out.wHour,
                               out.wMinute, out.wSecond, out.wMilliseconds};
        return true;
    }

    // The file-system library's existence test, answered from the entry's
    // attributes: a missing entry is no error, anything else is.
    bool exists(const std::wstring& path, std::error_code& ec) override {
        ec.clear();
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) != FALSE) {
            return true;
        }
        keep();
        switch (lastError_) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_NETPATH:
        case ERROR_NETNAME_DELETED:
        case ERROR_INVALID_NAME:
        case ERROR_DIRECTORY:
            break;
        default:
            ec = std::error_code(static_cast<int>(lastError_), std::system_category());
        }
        return false;
    }

    Handle CreateFileW(const std::wstring& path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                       std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) override {
        return track(::CreateFileW(path.c_str(), desiredAccess, shareMode, nullptr, creationDisposition,
                                   flagsAndAttributes, nullptr));
    }

    // From the handle's standard and basic information: the classic
    // GetFileInformationByHandle also reads the volume's serial number, a
    // slow query that the log must not pay for on every line.
    bool GetFileInformationByHandleEx(Handle file, FileInformation& information) override {
        FILE_STANDARD_INFO standard{};
        FILE_BASIC_INFO basic{};
        if (!ok(::GetFileInformationByHandleEx(toHandle(file), FileStandardInfo, &standard,
                                               sizeof standard)) ||
            !ok(::GetFileInformationByHandleEx(toHandle(file), FileBasicInfo, &basic, sizeof basic))) {
            return false;
        }
        information = FileInformation{basic.FileAttributes, standard.NumberOfLinks,
                                      static_cast<std::uint64_t>(standard.EndOfFile.QuadPart)};
        return true;
    }

    // The record crosses whole: its layout is checked in SdkMirror.cpp.
    bool GetFileInformationByHandle(Handle file, ByHandleFileInformation& information) override {
        return ok(::GetFileInformationByHandle(toHandle(file),
                                               reinterpret_cast<BY_HANDLE_FILE_INFORMATION*>(&information)));
    }

    bool SetFileInformationByHandle(Handle file, const FileRenameInformation& rename) override {
        const std::size_t nameBytes = rename.fileName.size() * sizeof(wchar_t);
        std::vector<std::uint64_t> buffer(
            (offsetof(FILE_RENAME_INFO, FileName) + nameBytes + sizeof(wchar_t) + sizeof(std::uint64_t) - 1) /
            sizeof(std::uint64_t));
        auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
        info->ReplaceIfExists = rename.replaceIfExists ? TRUE : FALSE;
        info->RootDirectory = nullptr;
        info->FileNameLength = static_cast<DWORD>(nameBytes);
        std::memcpy(static_cast<void*>(info->FileName), rename.fileName.data(), nameBytes);
        return ok(::SetFileInformationByHandle(toHandle(file), FileRenameInfo, info,
                                               static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t))));
    }

    bool LockFileEx(Handle file, std::uint32_t flags, std::uint64_t offset, std::uint64_t length) override {
        OVERLAPPED at = overlappedAt(offset);
        return ok(::LockFileEx(toHandle(file), flags, 0, low(length), high(length), &at));
    }

    bool WriteFile(Handle file, std::string_view bytes) override {
        DWORD written = 0;
        return ok(::WriteFile(toHandle(file), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                              nullptr)) &&
               written == bytes.size();
    }

    std::uint32_t GetSecurityInfo(Handle object, std::uint32_t objectType, std::uint32_t securityInformation,
                                  std::wstring& ownerSid) override {
        PSID owner = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        const DWORD error =
            ::GetSecurityInfo(toHandle(object), static_cast<SE_OBJECT_TYPE>(objectType), securityInformation,
                              &owner, nullptr, nullptr, nullptr, &descriptor);
        const LocalMemory held(descriptor, &::LocalFree);
        ownerSid.clear();
        if (error == ERROR_SUCCESS && owner != nullptr && (ownerSid = sidText(owner)).empty()) {
            keep();
            return lastError_;
        }
        SetLastError(error);
        return error;
    }

    bool GetTokenUser(std::uint32_t desiredAccess, std::wstring& userSid) override {
        HANDLE token = nullptr;
        if (!ok(::OpenProcessToken(::GetCurrentProcess(), desiredAccess, &token))) {
            return false;
        }
        const std::unique_ptr<void, decltype(&::CloseHandle)> held(token, &::CloseHandle);
        DWORD size = 0;
        ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        std::vector<std::uint64_t> buffer(size / sizeof(std::uint64_t) + 1);
        if (!ok(::GetTokenInformation(token, TokenUser, buffer.data(),
                                      static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t)), &size))) {
            return false;
        }
        userSid = sidText(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid);
        keep();
        return !userSid.empty();
    }

    LocalTime GetLocalTime() override {
        SYSTEMTIME now{};
        ::GetLocalTime(&now);
        return LocalTime{now.wYear,   now.wMonth,  now.wDay,         now.wHour,
                         now.wMinute, now.wSecond, now.wMilliseconds};
    }

    std::uint32_t GetTickCount() override { return ::GetTickCount(); }
    void Sleep(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }
    std::uint32_t GetCurrentProcessId() override { return ::GetCurrentProcessId(); }

    std::uint32_t K32GetModuleFileNameExW(std::wstring& path, std::uint32_t capacity) override {
        std::vector<wchar_t> buffer(capacity == 0 ? 1 : capacity, L'\0');
        const DWORD length =
            ::K32GetModuleFileNameExW(::GetCurrentProcess(), nullptr, buffer.data(), capacity);
        keep();
        path.assign(buffer.data(), length);
        return length;
    }

    Handle CreateMutexW(std::wstring_view securityDescriptor, bool initialOwner,
                        const std::wstring& name) override {
        Security security(securityDescriptor);
        if (!security.converted()) {
            keep();
            return kNullHandle;
        }
        return track(::CreateMutexW(security.attributes(), initialOwner ? TRUE : FALSE, name.c_str()));
    }
    Handle CreateEventW(std::wstring_view securityDescriptor, bool manualReset, bool initialState,
                        const std::wstring& name) override {
        Security security(securityDescriptor);
        if (!security.converted()) {
            keep();
            return kNullHandle;
        }
        return track(::CreateEventW(security.attributes(), manualReset ? TRUE : FALSE,
                                    initialState ? TRUE : FALSE, name.c_str()));
    }
    Handle OpenMutexW(std::uint32_t desiredAccess, bool inheritHandle, const std::wstring& name) override {
        return track(::OpenMutexW(desiredAccess, inheritHandle ? TRUE : FALSE, name.c_str()));
    }
    Handle OpenEventW(std::uint32_t desiredAccess, bool inheritHandle, const std::wstring& name) override {
        return track(::OpenEventW(desiredAccess, inheritHandle ? TRUE : FALSE, name.c_str()));
    }
    bool SetEvent(Handle event) override { return ok(::SetEvent(toHandle(event))); }
    bool ReleaseMutex(Handle mutex) override { return ok(::ReleaseMutex(toHandle(mutex))); }
    std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds) override {
        const DWORD result = ::WaitForSingleObject(toHandle(object), milliseconds);
        keep();
        return result;
    }
    bool CloseHandle(Handle object) override { return ok(::CloseHandle(toHandle(object))); }

    Handle GetProcessHeap() override { return track(::GetProcessHeap()); }
    Handle HeapAlloc(Handle heap, std::uint32_t flags, std::size_t bytes) override {
        return fromHandle(::HeapAlloc(toHandle(heap), flags, bytes));
    }
    bool HeapFree(Handle heap, std::uint32_t flags, Handle block) override {
        return ok(::HeapFree(toHandle(heap), flags, toHandle(block)));
    }

    // For the other interfaces' calls: their last error, kept here.
    void keepError(std::uint32_t error) { lastError_ = error; }

private:
    static DWORD low(std::uint64_t value) { return static_cast<DWORD>(value & 0xFFFF'FFFFU); }
    static DWORD high(std::uint64_t value) { return static_cast<DWORD>(value >> 32U); }
    static OVERLAPPED overlappedAt(std::uint64_t offset) {
        OVERLAPPED at{};
        at.Offset = low(offset);
        at.OffsetHigh = high(offset);
        return at;
    }

    // The last error is taken right after each call, before anything else
    // can overwrite it.
    void keep() { lastError_ = ::GetLastError(); }
    Handle track(HANDLE handle) {
        keep();
        return fromHandle(handle);
    }
    bool ok(BOOL result) {
        keep();
        return result != FALSE;
    }

    std::uint32_t lastError_ = 0;
};

Win32System& instance() {
    static Win32System system;
    return system;
}

} // namespace

ISystem& win32System() {
    return instance();
}

void keepLastError(std::uint32_t error) {
    instance().keepError(error);
}

} // namespace tdu::platform::win32
