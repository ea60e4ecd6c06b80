// A log line against a bare open-append-close of the same bytes, on the real
// platform's file system (Windows, or Wine): the log writer's own cost is the
// difference. Prints microseconds per operation for each, and their ratio.
// Usage: tdlogbench.exe <folder> [lines]
#include "log/LogWriter.h"
#include "platform/Owners.h"
#include "platform/win32/Win32Platform.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr const wchar_t* kLogSource = L"TDriverOperator.cpp";

double microsecondsPer(int lines, const auto& body) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < lines; ++i) {
        body();
    }
    const std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
    return spent.count() / lines;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fputs("usage: tdlogbench.exe <folder> [lines]\n", stderr);
        return 2;
    }
    const std::wstring folder = argv[1];
    const int lines = argc > 2 ? std::max(1, _wtoi(argv[2])) : 2000;
    tdu::platform::bindPlatform(tdu::platform::win32::realPlatform());
    TDU_LOG_FUNCTION(L"logbench");
    const std::wstring component = L"tvrnvamgr";
    // The bytes one log line of this message takes, timestamp included.
    const std::string bytes =
        "[2026/12/05 23:27:12] [TDriverOperator.cpp(98)] | InstallDriver succeeded for tvrnvamgr\r\n";
    const std::wstring bare = folder + L"\\bare.log";

    // Alternate rounds so that both see the same machine load.
    double logged = 0;
    double appended = 0;
    constexpr int kRounds = 5;
    for (int round = 0; round < kRounds; ++round) {
        logged += microsecondsPer(lines, [&] { TDU_LOG(L"InstallDriver succeeded for %s", component); });
        appended += microsecondsPer(lines, [&] {
            FILE* file = nullptr;
            if (_wfopen_s(&file, bare.c_str(), L"a+b") == 0 && file != nullptr) {
                std::fwrite(bytes.data(), 1, bytes.size(), file);
                std::fclose(file);
            }
        });
    }
    logged /= kRounds;
    appended /= kRounds;
    std::printf("log line %.1f us, bare open-append-close %.1f us, ratio %.2f\n", logged, appended,
                logged / appended);

    // Where a line's time goes: the calls it makes besides the append.
    using tdu::platform::sys;
    const std::wstring log = folder + L"\\TavrinDriverUtil.log";
    std::error_code ec;
    tdu::platform::FileInformation info;
    const tdu::platform::Stream stream(sys().OpenAppendStream(log));
    std::printf(
        "per call: folder attributes %.1f us, exists and size %.1f us, file check %.1f us, local time "
        "%.1f us\n",
        microsecondsPer(lines, [&] { (void)sys().GetFileAttributesW(folder); }),
        microsecondsPer(lines,
                        [&] {
                            (void)sys().exists(log, ec);
                            (void)sys().file_size(log, ec);
                        }),
        microsecondsPer(lines, [&] { (void)sys().GetFileInformationByHandle(stream.get(), info); }),
        microsecondsPer(lines, [&] { (void)sys().GetLocalTime(); }));
    return 0;
}
