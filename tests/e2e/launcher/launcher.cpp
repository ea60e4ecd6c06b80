// tdlaunch: runs one Windows program and records its full 32-bit exit code in a file.
//
//   tdlaunch.exe <result-file> <program.exe> [args...]
//
// A Linux caller of wine sees only the low 8 bits of an exit code, and reading a child's stdout
// through wine can hang, so the code travels through a file instead. The launcher exits 0 once the
// code is written; otherwise it exits non-zero and the file holds an error word, or nothing.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

constexpr int kLaunched = 0;
constexpr int kUsage = 2;
constexpr int kFailed = 3;

class Handle {
public:
    explicit Handle(HANDLE h = nullptr) : h_(h) {}
    ~Handle() {
        if (h_ != nullptr && h_ != INVALID_HANDLE_VALUE) {
            CloseHandle(h_);
        }
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE h_;
};

// Quotes one argument so that the Microsoft run-time splits it back unchanged: backslashes are
// literal unless they precede a quote, where they and the quote itself must be escaped.
std::wstring quoteArgument(const std::wstring& arg, bool always) {
    if (!always && !arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return arg;
    }
    std::wstring out = L"\"";
    for (auto it = arg.begin();; ++it) {
        std::size_t backslashes = 0;
        while (it != arg.end() && *it == L'\\') {
            ++it;
            ++backslashes;
        }
        if (it == arg.end()) {
            out.append(backslashes * 2, L'\\');
            break;
        }
        if (*it == L'"') {
            out.append(backslashes * 2 + 1, L'\\');
        } else {
            out.append(backslashes, L'\\');
        }
        out.push_back(*it);
    }
    out.push_back(L'"');
    return out;
}

bool writeResult(const wchar_t* path, const std::string& text) {
    Handle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        return false;
    }
    DWORD written = 0;
    return WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != FALSE &&
           written == text.size();
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        (void)std::fputws(L"usage: tdlaunch.exe <result-file> <program.exe> [args...]\n", stderr);
        return kUsage;
    }
    const wchar_t* resultPath = argv[1];

    // The program token is always quoted: the run-time reads it up to the closing quote, without
    // the backslash rules that apply to the other arguments.
    std::wstring commandLine = quoteArgument(argv[2], true);
    for (int i = 3; i < argc; ++i) {
        commandLine += L' ';
        commandLine += quoteArgument(argv[i], false);
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &info) == FALSE) {
        writeResult(resultPath, "error CreateProcessW " + std::to_string(GetLastError()));
        return kFailed;
    }
    Handle process(info.hProcess);
    Handle thread(info.hThread);

    if (WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0) {
        writeResult(resultPath, "error WaitForSingleObject " + std::to_string(GetLastError()));
        return kFailed;
    }
    DWORD exitCode = 0;
    if (GetExitCodeProcess(process.get(), &exitCode) == FALSE) {
        writeResult(resultPath, "error GetExitCodeProcess " + std::to_string(GetLastError()));
        return kFailed;
    }
    return writeResult(resultPath, std::to_string(exitCode)) ? kLaunched : kFailed;
}
