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

    // Alternate rounds so that all see the same machine load. The second
    // kind of line lets go of the log's folders after each line, so that the
    // next opens and checks them again: what holding them for one line only
    // would cost (with one more expansion of the folder's name).
    double logged = 0;
    double perLine = 0;
    double appended = 0;
    constexpr int kRounds = 5;
    for (int round = 0; round < kRounds; ++round) {
        logged += microsecondsPer(lines, [&] { TDU_LOG(L"InstallDriver succeeded for %s", component); });
        perLine += microsecondsPer(lines, [&] {
            tdu::log::resetLogPathCache();
            TDU_LOG(L"InstallDriver succeeded for %s", component);
        });
        appended += microsecondsPer(lines, [&] {
            FILE* file = nullptr;
            if (_wfopen_s(&file, bare.c_str(), L"a+b") == 0 && file != nullptr) {
                std::fwrite(bytes.data(), 1, bytes.size(), file);
                std::fclose(file);
            }
        });
    }
    logged /= kRounds;
    perLine /= kRounds;
    appended /= kRounds;
    std::printf("log line %.1f us (folders held for the process), %.1f us (held for one line), "
                "bare open-append-close %.1f us, ratios %.2f and %.2f\n",
                logged, perLine, appended, logged / appended, perLine / appended);

    // Where a line's time goes: the calls it makes besides the append.
    using namespace tdu::platform;
    const std::wstring log = folder + L"\\TavrinDriverUtil.log";
    const auto openLog = [&log] {
        return KernelObject(
            sys().CreateFileW(log, kFileAppendData | kFileReadAttributes | kReadControl | kSynchronize,
                              kFileShareRead | kFileShareWrite | kFileShareDelete, kOpenAlways,
                              kFileAttributeNormal | kFileFlagOpenReparsePoint));
    };
    const KernelObject open = openLog();
    tdu::platform::FileBasicInfo basic;
    tdu::platform::FileStandardInfo standard;
    const auto check = [&](Handle handle) {
        (void)sys().GetFileInformationByHandleEx(handle, basic);
        (void)sys().GetFileInformationByHandleEx(handle, standard);
    };
    std::wstring owner;
    std::printf("per call: the log's open and close %.1f us, with the writers' lock between %.1f us, file "
                "check %.1f us, local time %.1f us, a folder's open, check and close %.1f us\n",
                microsecondsPer(lines, [&] { (void)openLog(); }),
                microsecondsPer(lines,
                                [&] {
                                    const KernelObject file = openLog();
                                    (void)sys().LockFileEx(file.get(),
                                                           kLockfileExclusiveLock | kLockfileFailImmediately,
                                                           0x4000'0000'0000'0000, 1);
                                }),
                microsecondsPer(lines, [&] { check(open.get()); }),
                microsecondsPer(lines, [&] { (void)sys().GetLocalTime(); }), microsecondsPer(lines, [&] {
                    const KernelObject held(sys().CreateFileW(
                        folder, kFileReadAttributes | kReadControl, kFileShareRead | kFileShareWrite,
                        kOpenExisting, kFileFlagBackupSemantics | kFileFlagOpenReparsePoint));
                    check(held.get());
                    (void)sys().GetSecurityInfo(held.get(), kSeFileObject, kOwnerSecurityInformation, owner);
                }));
    tdu::log::resetLogPathCache();
    return 0;
}
