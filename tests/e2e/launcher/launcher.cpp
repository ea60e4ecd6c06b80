// tdlaunch: runs one Windows program and records its full 32-bit exit code in a file.
//
//   tdlaunch.exe <result-file> <program.exe> [args...]
//
// A Linux caller of wine sees only the low 8 bits of an exit code, and reading a child's stdout through
// wine can hang, so the code travels through a file. The launcher exits 0 once the code is written.
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

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

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        return 2;
    }
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
