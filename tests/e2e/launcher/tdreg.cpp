// tdreg: the registry facts of the e2e tests, read in one process (reg.exe costs a Wine process start per
// key). For each "HKLM\<key>" argument, in the 64-bit view: "key K" or "!key K", then "K : NAME = TYPE DATA"
// for each value, a REG_MULTI_SZ with every NUL shown as \0, so that a missing terminator shows.
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>

int wmain(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring path = argv[i];
        const std::string key(path.begin(), path.end());
        HKEY raw = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.substr(5).c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &raw) !=
            ERROR_SUCCESS) {
            std::printf("!key %s\n", key.c_str());
            continue;
        }
        const std::unique_ptr<std::remove_pointer_t<HKEY>, decltype(&RegCloseKey)> owned(raw, &RegCloseKey);
        std::printf("key %s\n", key.c_str());
        wchar_t name[256];
        wchar_t data[4096];
        DWORD type = 0;
        for (DWORD n = 0, nameSize = 256, size = sizeof(data);
             RegEnumValueW(raw, n, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) ==
             ERROR_SUCCESS;
             ++n, nameSize = 256, size = sizeof(data)) {
            std::string text;
            for (DWORD c = 0; c < size / 2; ++c) {
                text += data[c] == 0 ? std::string("\\0") : std::string(1, static_cast<char>(data[c]));
            }
            char hex[16];
            (void)std::snprintf(hex, sizeof(hex), "0x%lx",
                                static_cast<unsigned long>(data[0] | DWORD{data[1]} << 16U));
            const std::string shown = type == REG_DWORD      ? "REG_DWORD " + std::string(hex)
                                      : type == REG_MULTI_SZ ? "REG_MULTI_SZ " + text
                                      : type == REG_SZ       ? "REG_SZ " + text.substr(0, text.find("\\0"))
                                                             : "type " + std::to_string(type);
            std::printf("%s : %s = %s\n", key.c_str(), std::string(name, name + nameSize).c_str(),
                        shown.c_str());
        }
    }
    return 0;
}
