#include "platform/win32/LazyImport.h"

#include <array>
#include <cwchar>

namespace tdu::platform::win32 {

FARPROC lazyProc(const wchar_t* dll, const char* name) {
    struct Loaded {
        const wchar_t* dll;
        HMODULE module;
    };
    // One process, one thread: a handful of DLLs, each loaded once and kept
    // for the process's life, as a load-time import would be.
    static std::array<Loaded, 8> loaded{};
    for (Loaded& entry : loaded) {
        if (entry.dll != nullptr && std::wcscmp(entry.dll, dll) == 0) {
            return entry.module == nullptr ? nullptr : ::GetProcAddress(entry.module, name);
        }
        if (entry.dll == nullptr) {
            entry.dll = dll;
            entry.module = ::LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
            return entry.module == nullptr ? nullptr : ::GetProcAddress(entry.module, name);
        }
    }
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

} // namespace tdu::platform::win32
