// tdlaunch: the Windows side of the e2e harness, in one program.
//
//   tdlaunch.exe <result-file> <program.exe> [args...]   runs the program and writes its full 32-bit exit
//                                                        code to the file, then exits 0
//   tdlaunch.exe /reg HKLM\<key>...                       prints the keys' registry facts
//   tdlaunch.exe /version <file>                          prints the file's version resource
//
// A Linux caller of wine sees only the low 8 bits of an exit code, and reading a child's stdout through
// wine can hang, so the code travels through a file. The registry facts are read in one process: reg.exe
// costs a Wine process start per key.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using Handle = std::unique_ptr<void, decltype(&CloseHandle)>;

// Quotes one argument so that the Microsoft run-time splits it back unchanged: backslashes are literal
// unless they precede a quote, where they and the quote itself must be escaped.
std::wstring quoted(const std::wstring& arg) {
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'"') {
            out.append(backslashes + 1, L'\\');
        }
        backslashes = c == L'\\' ? backslashes + 1 : 0;
        out.push_back(c);
    }
    return out.append(backslashes, L'\\') + L"\"";
}

int launch(int argc, wchar_t** argv) {
    // The program token is always quoted: the run-time reads it to the closing quote, without the
    // backslash rules; other arguments are quoted only when they must be.
    std::wstring commandLine = L"\"" + std::wstring(argv[2]) + L"\"";
    for (int i = 3; i < argc; ++i) {
        const std::wstring arg = argv[i];
        commandLine +=
            L" " +
            (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos ? arg : quoted(arg));
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &info) == FALSE) {
        return 3;
    }
    const Handle process(info.hProcess, &CloseHandle);
    const Handle thread(info.hThread, &CloseHandle);
    DWORD exitCode = 0;
    if (WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0 ||
        GetExitCodeProcess(process.get(), &exitCode) == FALSE) {
        return 3;
    }
    std::ofstream result(std::filesystem::path(argv[1]), std::ios::binary);
    result << exitCode;
    return result.flush() ? 0 : 3;
}

// For each key, in the 64-bit view: "key K" or "!key K", then "K : NAME = TYPE DATA" for each value: the
// text of a REG_SZ, a REG_MULTI_SZ with every NUL shown as \0 (so that a missing terminator shows), and of
// the types no fact reads, their number.
int printRegistry(int argc, wchar_t** argv) {
    for (int i = 2; i < argc; ++i) {
        const std::wstring path = argv[i];
        HKEY raw = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.substr(5).c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &raw) !=
            ERROR_SUCCESS) {
            std::printf("!key %ls\n", argv[i]);
            continue;
        }
        const std::unique_ptr<HKEY__, decltype(&RegCloseKey)> owned(raw, &RegCloseKey);
        std::printf("key %ls\n", argv[i]);
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
            const std::string shown = type == REG_MULTI_SZ ? "REG_MULTI_SZ " + text
                                      : type == REG_SZ     ? "REG_SZ " + text.substr(0, text.find("\\0"))
                                                           : "type " + std::to_string(type);
            std::printf("%ls : %ls = %s\n", argv[i], name, shown.c_str());
        }
    }
    return 0;
}

// The version resource as Windows Installer and Explorer read it: the fixed file and product versions,
// then the FileVersion and ProductVersion strings of the resource's first language.
int printVersion(const wchar_t* file) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(file, &ignored);
    std::vector<BYTE> block(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (size == 0 || GetFileVersionInfoW(file, 0, size, block.data()) == FALSE ||
        VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) == FALSE) {
        std::printf("no version resource in %ls: error %lu\n", file, GetLastError());
        return 1;
    }
    const auto print = [](const char* name, DWORD high, DWORD low) {
        std::printf("%s %lu.%lu.%lu.%lu\n", name, high >> 16U, high & 0xFFFFU, low >> 16U, low & 0xFFFFU);
    };
    print("FILEVERSION", fixed->dwFileVersionMS, fixed->dwFileVersionLS);
    print("PRODUCTVERSION", fixed->dwProductVersionMS, fixed->dwProductVersionLS);
    void* translation = nullptr;
    if (VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &translation, &length) == FALSE ||
        length < 2 * sizeof(WORD)) {
        std::printf("no translation\n");
        return 1;
    }
    const WORD* language = static_cast<const WORD*>(translation);
    for (const wchar_t* name : {L"FileVersion", L"ProductVersion"}) {
        wchar_t path[64];
        (void)std::swprintf(path, 64, L"\\StringFileInfo\\%04x%04x\\%ls", language[0], language[1], name);
        void* text = nullptr;
        const bool found = VerQueryValueW(block.data(), path, &text, &length) != FALSE;
        std::printf("%ls %ls\n", name, found ? static_cast<const wchar_t*>(text) : L"<none>");
    }
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    return mode == L"/reg"                    ? printRegistry(argc, argv)
           : mode == L"/version" && argc == 3 ? printVersion(argv[2])
           : argc > 2                         ? launch(argc, argv)
                                              : 2;
}
