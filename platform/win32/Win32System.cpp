#include "platform/win32/Win32Platform.h"

#include <windows.h>

#include <memory>
#include <optional>
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
        SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
        std::unique_ptr<void, decltype(&::LocalFree)> descriptor(nullptr, &::LocalFree);
        if (!securityDescriptor.empty()) {
            PSECURITY_DESCRIPTOR converted = nullptr;
            // A folder is never created with less protection than was asked for.
            if (!ok(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
                    std::wstring(securityDescriptor).c_str(), SDDL_REVISION_1, &converted, nullptr))) {
                return false;
            }
            descriptor.reset(converted);
            attributes.lpSecurityDescriptor = converted;
        }
        return ok(::CreateDirectoryW(path.c_str(), descriptor ? &attributes : nullptr));
    }

    std::uint32_t GetFileAttributesW(const std::wstring& path) override {
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        keep();
        return attributes;
    }

    bool DeleteFileW(const std::wstring& path) override {
        lastAttributes_.reset();
        return ok(::DeleteFileW(path.c_str()));
    }

    int _wremove(const std::wstring& path) override { // NOLINT(bugprone-reserved-identifier)
        lastAttributes_.reset();
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

    // The file-system library's existence test and size query, answered from
    // the file's attributes: a missing file is no error, anything else is.
    // The log asks for the size right after finding the file, so the size
    // query of that same path takes the attributes the test just read
    // instead of asking again.
    bool exists(const std::wstring& path, std::error_code& ec) override {
        lastAttributes_.reset();
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!attributes(path, data, ec)) {
            return false;
        }
        lastAttributes_.emplace(path, data);
        return true;
    }

    std::uint64_t file_size(const std::wstring& path, std::error_code& ec) override {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (lastAttributes_ && lastAttributes_->first == path) {
            data = lastAttributes_->second;
            lastAttributes_.reset();
            ec.clear();
        } else if (lastAttributes_.reset(); !attributes(path, data, ec)) {
            if (!ec) {
                ec = std::error_code(ERROR_FILE_NOT_FOUND, std::system_category());
            }
            return 0;
        }
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            ec = std::error_code(ERROR_ACCESS_DENIED, std::system_category());
            return 0;
        }
        return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32U) | data.nFileSizeLow;
    }

    // Without MOVEFILE_COPY_ALLOWED: the backup lies beside the file, so a copy
    // is never needed, and a copy would write through a link at the target
    // name where a move only replaces the name.
    void rename(const std::wstring& from, const std::wstring& to, std::error_code& ec) override {
        lastAttributes_.reset();
        if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) == FALSE) {
            keep();
            ec = std::error_code(static_cast<int>(lastError_), std::system_category());
            return;
        }
        ec.clear();
    }

    Handle OpenAppendStream(const std::wstring& path) override {
        // As "a+": created when missing; append-only access writes at the
        // end. Other openers may read and append, as they could through the
        // run-time's own open under Wine, so that instances started together
        // (an asynchronous /setstatus 0 and the next action) lose no line;
        // each line is one append, so lines interleave whole. Without delete
        // sharing the file cannot be renamed while a line is written. Bytes
        // go out as given: the core already wrote each line feed as CR LF.
        HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        keep();
        return file == INVALID_HANDLE_VALUE ? kNullHandle : fromHandle(file);
    }

    // From the handle's standard and basic information: the classic
    // GetFileInformationByHandle also reads the volume's serial number, a
    // slow query that the log must not pay for on every line.
    bool GetFileInformationByHandle(Handle stream, FileInformation& information) override {
        FILE_STANDARD_INFO standard{};
        FILE_BASIC_INFO basic{};
        if (!ok(::GetFileInformationByHandleEx(toHandle(stream), FileStandardInfo, &standard,
                                               sizeof standard)) ||
            !ok(::GetFileInformationByHandleEx(toHandle(stream), FileBasicInfo, &basic, sizeof basic))) {
            return false;
        }
        information = FileInformation{basic.FileAttributes, standard.NumberOfLinks};
        return true;
    }

    bool WriteStream(Handle stream, std::string_view bytes) override {
        lastAttributes_.reset();
        DWORD written = 0;
        return ok(::WriteFile(toHandle(stream), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                              nullptr)) &&
               written == bytes.size();
    }

    bool CloseStream(Handle stream) override { return ok(::CloseHandle(toHandle(stream))); }

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

    Handle CreateMutexW(bool initialOwner, const std::wstring& name) override {
        return track(::CreateMutexW(nullptr, initialOwner ? TRUE : FALSE, name.c_str()));
    }
    Handle CreateEventW(bool manualReset, bool initialState, const std::wstring& name) override {
        return track(
            ::CreateEventW(nullptr, manualReset ? TRUE : FALSE, initialState ? TRUE : FALSE, name.c_str()));
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
    bool attributes(const std::wstring& path, WIN32_FILE_ATTRIBUTE_DATA& data, std::error_code& ec) {
        ec.clear();
        if (::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) != FALSE) {
            return true;
        }
        keep();
        // The not-found kinds of error mean "missing"; anything else is a
        // failure of the test itself.
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
    // What the last successful existence test read, for the size query of
    // the same path that follows it; forgotten by any call that could change
    // the file.
    std::optional<std::pair<std::wstring, WIN32_FILE_ATTRIBUTE_DATA>> lastAttributes_;
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
