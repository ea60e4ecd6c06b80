// System DLLs that only some commands need (the installer engine, COM,
// version resources, the driver updater) are loaded on first use: every
// other run starts without them, and under some hosts msi and ole32 alone
// bring a long chain of further DLLs. A DLL or function that cannot be
// loaded makes the call fail through the caller's normal failure path.
#pragma once

#include <windows.h>

#include <cstdint>

namespace tdu::platform::win32 {

// The function `name` of the system DLL `dll` (loaded from the system folder
// only), or null with the last error set.
FARPROC lazyProc(const wchar_t* dll, const char* name);

// Calls the function typed as `Fn`; when it cannot be loaded, the result of
// `onFailure` (which may read the last error) stands in for it.
template <class Fn, class OnFailure, class... Args>
auto callLazy(const wchar_t* dll, const char* name, OnFailure onFailure, Args... args) {
    const FARPROC proc = lazyProc(dll, name);
    if (proc == nullptr) {
        return onFailure();
    }
    // Through void (*)(), which converts to any function type without a warning.
    return reinterpret_cast<Fn*>(reinterpret_cast<void (*)()>(proc))(args...);
}

// A failure answer for calls that report an error code as their result.
inline UINT lastErrorCode() {
    return ::GetLastError();
}
inline HRESULT lastErrorHresult() {
    return HRESULT_FROM_WIN32(::GetLastError());
}

} // namespace tdu::platform::win32

// Calls ::fn of `dll` with the arguments; `onFailure` answers when it cannot be loaded.
#define TDU_LAZY(dll, fn, onFailure, ...)                                                                    \
    ::tdu::platform::win32::callLazy<decltype(::fn)>(dll, #fn, onFailure __VA_OPT__(, ) __VA_ARGS__)
