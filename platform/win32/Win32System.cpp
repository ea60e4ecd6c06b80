#include "platform/win32/Win32Platform.h"

#include <windows.h>

#include <cstdio>
#include <psapi.h>
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

    bool CreateDirectoryW(const std::wstring& path) override {
        const BOOL ok = ::CreateDirectoryW(path.c_str(), nullptr);
        keep();
        return ok != FALSE;
    }

    // The file-system library's existence test and size query, answered from
    // the file's attributes: a missing file is no error, anything else is.
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

    bool exists(const std::wstring& path, std::error_code& ec) override {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        return attributes(path, data, ec);
    }

    std::uint64_t file_size(const std::wstring& path, std::error_code& ec) override {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!attributes(path, data, ec)) {
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

    void rename(const std::wstring& from, const std::wstring& to, std::error_code& ec) override {
        if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) ==
            FALSE) {
            keep();
            ec = std::error_code(static_cast<int>(lastError_), std::system_category());
            return;
        }
        ec.clear();
    }

    Handle OpenAppendStream(const std::wstring& path) override {
        // _wfopen_s shares the file with no other opener while it is open.
        // Binary mode: the core already wrote each line feed as CR LF.
        FILE* stream = nullptr;
        if (::_wfopen_s(&stream, path.c_str(), L"a+b") != 0 || stream == nullptr) {
            keep();
            return kNullHandle;
        }
        return static_cast<Handle>(reinterpret_cast<std::uintptr_t>(stream));
    }

    bool WriteStream(Handle stream, std::string_view bytes) override {
        FILE* file = reinterpret_cast<FILE*>(static_cast<std::uintptr_t>(stream));
        return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    }

    bool CloseStream(Handle stream) override {
        return std::fclose(reinterpret_cast<FILE*>(static_cast<std::uintptr_t>(stream))) == 0;
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
