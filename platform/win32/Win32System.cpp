#include "platform/win32/LazyImport.h"
#include "platform/win32/Win32Platform.h"

#include <windows.h>

#include <aclapi.h>
#include <bit>
#include <cstddef>
#include <cstring>
#include <memory>
#include <psapi.h>
#include <sddl.h>
#include <vector>
#include <winternl.h>

namespace tdu::platform::win32 {

namespace {

HANDLE toHandle(Handle handle) {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(handle));
}
Handle fromHandle(HANDLE handle) {
    return static_cast<Handle>(reinterpret_cast<std::uintptr_t>(handle));
}

using LocalMemory = std::unique_ptr<void, decltype(&::LocalFree)>;

// Security attributes from SDDL text. False when the text does not convert
// (the conversion's error kept as the last error): nothing is ever created
// with less protection than was asked for.
class Security {
public:
    explicit Security(std::wstring_view sddl) {
        PSECURITY_DESCRIPTOR converted = nullptr;
        converted_ = kept([&] {
                         return ::ConvertStringSecurityDescriptorToSecurityDescriptorW(
                             std::wstring(sddl).c_str(), SDDL_REVISION_1, &converted, nullptr);
                     }) != FALSE;
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
    // For the other interfaces' calls: their last error, kept here.
    void keepError(std::uint32_t error) { lastError_ = error; }

    std::uint32_t ExpandEnvironmentStringsW(std::wstring_view source, std::wstring& destination,
                                            std::uint32_t capacity) override {
        const std::wstring text(source);
        std::vector<wchar_t> buffer(capacity == 0 ? 1 : capacity, L'\0');
        const DWORD count =
            kept([&] { return ::ExpandEnvironmentStringsW(text.c_str(), buffer.data(), capacity); });
        if (count != 0 && count <= capacity) {
            destination.assign(buffer.data(), count - 1);
        }
        return count;
    }

    bool CreateDirectoryW(const std::wstring& path, std::wstring_view securityDescriptor) override {
        Security security(securityDescriptor);
        return security.converted() &&
               kept([&] { return ::CreateDirectoryW(path.c_str(), security.attributes()); }) != FALSE;
    }

    std::uint32_t GetFileAttributesW(const std::wstring& path) override {
        return kept([&] { return ::GetFileAttributesW(path.c_str()); });
    }

    bool DeleteFileW(const std::wstring& path) override {
        return kept([&] { return ::DeleteFileW(path.c_str()); }) != FALSE;
    }

    int _wremove(const std::wstring& path) override { // NOLINT(bugprone-reserved-identifier)
        return kept([&] { return ::_wremove(path.c_str()); });
    }

    bool RemoveDirectoryW(const std::wstring& path) override {
        return kept([&] { return ::RemoveDirectoryW(path.c_str()); }) != FALSE;
    }

    // The record crosses whole, as do the times below: their layouts are
    // held equal to the SDK's in SdkMirror.cpp.
    Handle FindFirstFileW(const std::wstring& pattern, FindData& data) override {
        auto raw = std::bit_cast<WIN32_FIND_DATAW>(data);
        const Handle search = fromHandle(kept([&] { return ::FindFirstFileW(pattern.c_str(), &raw); }));
        data = std::bit_cast<FindData>(raw);
        return search;
    }

    bool FindNextFileW(Handle search, FindData& data) override {
        auto raw = std::bit_cast<WIN32_FIND_DATAW>(data);
        const BOOL found = kept([&] { return ::FindNextFileW(toHandle(search), &raw); });
        data = std::bit_cast<FindData>(raw);
        return found != FALSE;
    }

    bool FindClose(Handle search) override {
        return kept([&] { return ::FindClose(toHandle(search)); }) != FALSE;
    }

    std::uint32_t GetWindowsDirectoryW(std::wstring& path, std::uint32_t capacity) override {
        std::vector<wchar_t> buffer(capacity == 0 ? 1 : capacity, L'\0');
        const UINT length = kept([&] { return ::GetWindowsDirectoryW(buffer.data(), capacity); });
        if (length != 0 && length < capacity) {
            path.assign(buffer.data(), length);
        }
        return length;
    }

    bool FileTimeToSystemTime(std::uint64_t fileTime, LocalTime& systemTime) override {
        const auto raw = std::bit_cast<FILETIME>(fileTime);
        auto out = std::bit_cast<SYSTEMTIME>(systemTime);
        const BOOL converted = kept([&] { return ::FileTimeToSystemTime(&raw, &out); });
        systemTime = std::bit_cast<LocalTime>(out);
        return converted != FALSE;
    }

    Handle CreateFileW(const std::wstring& path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                       std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) override {
        return fromHandle(kept([&] {
            return ::CreateFileW(path.c_str(), desiredAccess, shareMode, nullptr, creationDisposition,
                                 flagsAndAttributes, nullptr);
        }));
    }

    // Each record is the class it is named after (its layout is held equal
    // in SdkMirror.cpp), written by the platform in place.
    bool GetFileInformationByHandleEx(Handle file, FileBasicInfo& information) override {
        return kept([&] {
                   return ::GetFileInformationByHandleEx(toHandle(file), ::FileBasicInfo, &information,
                                                         sizeof information);
               }) != FALSE;
    }
    bool GetFileInformationByHandleEx(Handle file, FileStandardInfo& information) override {
        return kept([&] {
                   return ::GetFileInformationByHandleEx(toHandle(file), ::FileStandardInfo, &information,
                                                         sizeof information);
               }) != FALSE;
    }

    // The record crosses whole: its layout is checked in SdkMirror.cpp.
    bool GetFileInformationByHandle(Handle file, ByHandleFileInformation& information) override {
        auto raw = std::bit_cast<BY_HANDLE_FILE_INFORMATION>(information);
        const BOOL read = kept([&] { return ::GetFileInformationByHandle(toHandle(file), &raw); });
        information = std::bit_cast<ByHandleFileInformation>(raw);
        return read != FALSE;
    }

    bool SetFileInformationByHandle(Handle file, const FileRenameInformation& rename) override {
        std::vector<std::uint64_t> buffer = fileRenameRecord(rename);
        return kept([&] {
                   return ::SetFileInformationByHandle(
                       toHandle(file), FileRenameInfo, buffer.data(),
                       static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t)));
               }) != FALSE;
    }

    bool LockFileEx(Handle file, std::uint32_t flags, std::uint64_t offset, std::uint64_t length) override {
        OVERLAPPED at{};
        at.Offset = low(offset);
        at.OffsetHigh = high(offset);
        return kept([&] { return ::LockFileEx(toHandle(file), flags, 0, low(length), high(length), &at); }) !=
               FALSE;
    }

    bool WriteFile(Handle file, std::string_view bytes) override {
        DWORD written = 0;
        return kept([&] {
                   return ::WriteFile(toHandle(file), bytes.data(), static_cast<DWORD>(bytes.size()),
                                      &written, nullptr);
               }) != FALSE &&
               written == bytes.size();
    }

    std::uint32_t GetSecurityInfo(Handle object, std::uint32_t objectType, std::uint32_t securityInformation,
                                  std::wstring& ownerSid) override {
        PSID owner = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        // The call returns its error rather than setting it.
        const DWORD error = kept([&] {
            const DWORD result =
                ::GetSecurityInfo(toHandle(object), static_cast<SE_OBJECT_TYPE>(objectType),
                                  securityInformation, &owner, nullptr, nullptr, nullptr, &descriptor);
            ::SetLastError(result);
            return result;
        });
        const LocalMemory held(descriptor, &::LocalFree);
        ownerSid.clear();
        if (error == ERROR_SUCCESS && owner != nullptr &&
            (ownerSid = kept([&] { return sidText(owner); })).empty()) {
            return lastError_;
        }
        return error;
    }

    bool GetTokenUser(std::uint32_t desiredAccess, std::wstring& userSid) override {
        HANDLE token = nullptr;
        if (kept([&] { return ::OpenProcessToken(::GetCurrentProcess(), desiredAccess, &token); }) == FALSE) {
            return false;
        }
        const std::unique_ptr<void, decltype(&::CloseHandle)> held(token, &::CloseHandle);
        DWORD size = 0;
        ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        std::vector<std::uint64_t> buffer(size / sizeof(std::uint64_t) + 1);
        if (kept([&] {
                return ::GetTokenInformation(token, TokenUser, buffer.data(),
                                             static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t)),
                                             &size);
            }) == FALSE) {
            return false;
        }
        userSid = kept([&] { return sidText(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid); });
        return !userSid.empty();
    }

    // Only the access list of the text is written. Text that does not convert,
    // or holds no access list, is refused: a null list would let everyone in.
    std::uint32_t SetSecurityInfo(Handle object, std::uint32_t objectType, std::uint32_t securityInformation,
                                  std::wstring_view securityDescriptor) override {
        Security security(securityDescriptor);
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL dacl = nullptr;
        if (!security.converted() ||
            ::GetSecurityDescriptorDacl(security.attributes()->lpSecurityDescriptor, &present, &dacl,
                                        &defaulted) == FALSE ||
            present == FALSE || dacl == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return ERROR_INVALID_PARAMETER;
        }
        return kept([&] {
            const DWORD result = ::SetSecurityInfo(toHandle(object), static_cast<SE_OBJECT_TYPE>(objectType),
                                                   securityInformation, nullptr, nullptr, dacl, nullptr);
            ::SetLastError(result);
            return result;
        });
    }

    LocalTime GetLocalTime() override {
        SYSTEMTIME now{};
        ::GetLocalTime(&now);
        return std::bit_cast<LocalTime>(now);
    }

    std::uint32_t GetTickCount() override { return ::GetTickCount(); }
    void Sleep(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }
    std::uint32_t GetCurrentProcessId() override { return ::GetCurrentProcessId(); }

    std::uint32_t K32GetModuleFileNameExW(std::wstring& path, std::uint32_t capacity) override {
        std::vector<wchar_t> buffer(capacity == 0 ? 1 : capacity, L'\0');
        const DWORD length = kept([&] {
            return ::K32GetModuleFileNameExW(::GetCurrentProcess(), nullptr, buffer.data(), capacity);
        });
        path.assign(buffer.data(), length);
        return length;
    }

    Handle CreateMutexW(std::wstring_view securityDescriptor, bool initialOwner,
                        const std::wstring& name) override {
        Security security(securityDescriptor);
        return security.converted() ? fromHandle(kept([&] {
            return ::CreateMutexW(security.attributes(), initialOwner ? TRUE : FALSE, name.c_str());
        }))
                                    : kNullHandle;
    }
    Handle CreateEventW(std::wstring_view securityDescriptor, bool manualReset, bool initialState,
                        const std::wstring& name) override {
        Security security(securityDescriptor);
        return security.converted() ? fromHandle(kept([&] {
            return ::CreateEventW(security.attributes(), manualReset ? TRUE : FALSE,
                                  initialState ? TRUE : FALSE, name.c_str());
        }))
                                    : kNullHandle;
    }
    Handle OpenMutexW(std::uint32_t desiredAccess, bool inheritHandle, const std::wstring& name) override {
        return fromHandle(
            kept([&] { return ::OpenMutexW(desiredAccess, inheritHandle ? TRUE : FALSE, name.c_str()); }));
    }
    Handle OpenEventW(std::uint32_t desiredAccess, bool inheritHandle, const std::wstring& name) override {
        return fromHandle(
            kept([&] { return ::OpenEventW(desiredAccess, inheritHandle ? TRUE : FALSE, name.c_str()); }));
    }
    bool SetEvent(Handle event) override {
        return kept([&] { return ::SetEvent(toHandle(event)); }) != FALSE;
    }
    bool ReleaseMutex(Handle mutex) override {
        return kept([&] { return ::ReleaseMutex(toHandle(mutex)); }) != FALSE;
    }
    std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds) override {
        return kept([&] { return ::WaitForSingleObject(toHandle(object), milliseconds); });
    }
    bool CloseHandle(Handle object) override {
        return kept([&] { return ::CloseHandle(toHandle(object)); }) != FALSE;
    }
    bool ResetEvent(Handle event) override {
        return kept([&] { return ::ResetEvent(toHandle(event)); }) != FALSE;
    }
    // The record is a UNICODE_STRING pointing into the rest of the buffer. A
    // name longer than the buffer holds fails (STATUS_INFO_LENGTH_MISMATCH):
    // the names asked about are far shorter.
    bool NtQueryObjectName(Handle object, std::wstring& name) override {
        name.clear();
        std::vector<std::uint64_t> buffer(kObjectNameBytes / sizeof(std::uint64_t));
        ULONG needed = 0;
        bool loaded = true;
        const NTSTATUS status = TDU_LAZY(
            L"ntdll.dll", NtQueryObject,
            [&loaded] {
                loaded = false;
                return NTSTATUS{};
            },
            toHandle(object), ObjectNameInformation, buffer.data(), ULONG{kObjectNameBytes}, &needed);
        if (!loaded || !NT_SUCCESS(status)) {
            keepError(loaded ? TDU_LAZY(L"ntdll.dll", RtlNtStatusToDosError, ::GetLastError, status)
                             : ::GetLastError());
            return false;
        }
        const UNICODE_STRING& text = reinterpret_cast<const OBJECT_NAME_INFORMATION*>(buffer.data())->Name;
        name.assign(text.Buffer, text.Length / sizeof(wchar_t));
        return true;
    }

    Handle GetProcessHeap() override {
        return fromHandle(kept([] { return ::GetProcessHeap(); }));
    }
    Handle HeapAlloc(Handle heap, std::uint32_t flags, std::size_t bytes) override {
        return fromHandle(::HeapAlloc(toHandle(heap), flags, bytes));
    }
    bool HeapFree(Handle heap, std::uint32_t flags, Handle block) override {
        return kept([&] { return ::HeapFree(toHandle(heap), flags, toHandle(block)); }) != FALSE;
    }

private:
    static DWORD low(std::uint64_t value) { return static_cast<DWORD>(value & 0xFFFF'FFFFU); }
    static DWORD high(std::uint64_t value) { return static_cast<DWORD>(value >> 32U); }

    static constexpr ULONG kObjectNameBytes = 2048;
    std::uint32_t lastError_ = 0;
};

Win32System& instance() {
    static Win32System system;
    return system;
}

} // namespace

std::vector<std::uint64_t> fileRenameRecord(const FileRenameInformation& rename) {
    const std::size_t nameBytes = rename.fileName.size() * sizeof(wchar_t);
    std::vector<std::uint64_t> buffer(
        (offsetof(FILE_RENAME_INFO, FileName) + nameBytes + sizeof(wchar_t) + sizeof(std::uint64_t) - 1) /
        sizeof(std::uint64_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = rename.replaceIfExists ? TRUE : FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(static_cast<void*>(info->FileName), rename.fileName.data(), nameBytes);
    return buffer;
}

ISystem& win32System() {
    return instance();
}

void keepLastError(std::uint32_t error) {
    instance().keepError(error);
}

} // namespace tdu::platform::win32
