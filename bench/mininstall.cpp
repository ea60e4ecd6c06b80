// The platform calls of "/install <inf> /component <name>" without a line of
// logging or any of the program's own code: the floor that the whole-process
// timing of the real program is measured against.
// Usage: tdmininstall.exe <inf> <component>
#include <windows.h>

#include <setupapi.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        return 2;
    }
    const wchar_t* inf = argv[1];
    const std::wstring component = argv[2];
    if (::GetFileAttributesW(inf) == INVALID_FILE_ATTRIBUTES) {
        return 2;
    }
    wchar_t published[MAX_PATH] = {};
    PWSTR fileName = nullptr;
    if (!::SetupCopyOEMInfW(inf, nullptr, SPOST_PATH, SP_COPY_NOOVERWRITE, published, MAX_PATH, nullptr,
                            &fileName) &&
        ::GetLastError() != ERROR_FILE_EXISTS) {
        return 1;
    }
    const std::wstring name = fileName != nullptr ? fileName : L"";
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\TavrinSecure\\TavrinDrivers", 0, nullptr,
                          REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key,
                          nullptr) != ERROR_SUCCESS) {
        return 1;
    }
    ::RegSetValueExW(key, component.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                     static_cast<DWORD>(name.size() * sizeof(wchar_t)));
    ::RegFlushKey(HKEY_LOCAL_MACHINE);
    ::RegCloseKey(key);
    return 0;
}
