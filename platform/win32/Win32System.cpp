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

    void keepForOthers() { keep(); }

private:
    bool attributes(const std::wstring& path, WIN32_FILE_ATTRIBUTE_DATA& data, std::error_code& ec) {
        ec.clear();
        if (::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) != FALSE) {
            return true;
        }
        keep();
        if (lastError_ != ERROR_FILE_NOT_FOUND && lastError_ != ERROR_PATH_NOT_FOUND) {
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

} // namespace

ISystem& win32System() {
    static Win32System instance;
    return instance;
}

void keepLastError() {
    static_cast<Win32System&>(win32System()).keepForOthers();
}

} // namespace tdu::platform::win32
