#include "platform/win32/LazyImport.h"

#include <array>
#include <cwchar>

namespace tdu::platform::win32 {

FARPROC lazyProc(const wchar_t* dll, const char* name) {
    struct Loaded {
        const wchar_t* dll;
        HMODULE module;
        DWORD loadError; // why the module could not be loaded
    };
    auto procOf = [name](const Loaded& entry) {
        if (entry.module == nullptr) {
            ::SetLastError(entry.loadError);
            return FARPROC{nullptr};
        }
        return ::GetProcAddress(entry.module, name);
    };
    // One process, one thread: a handful of DLLs, each loaded once and kept
    // for the process's life, as a load-time import would be.
    static std::array<Loaded, 8> loaded{};
    for (Loaded& entry : loaded) {
        if (entry.dll != nullptr && std::wcscmp(entry.dll, dll) == 0) {
            return procOf(entry);
        }
        if (entry.dll == nullptr) {
            entry.dll = dll;
            entry.module = ::LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
            entry.loadError = entry.module == nullptr ? ::GetLastError() : ERROR_SUCCESS;
            return procOf(entry);
        }
    }
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

} // namespace tdu::platform::win32
