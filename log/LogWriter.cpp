#include "log/LogWriter.h"

#include "log/TrustedOwner.h"
#include "platform/Owners.h"
#include "platform/PathChecks.h"
#include "platform/Platform.h"

#include <algorithm>
#include <array>
#include <functional>
#include <optional>
#include <string_view>
#include <utility>

namespace tdu::log {

namespace {

using platform::Handle;
using platform::KernelObject;
using platform::sys;

// The folders are opened to be held: their attributes and owner may be read,
// nobody may rename or delete them meanwhile, and a link is opened itself.
// The log folder's access list is written too.
constexpr std::uint32_t kFolderAccess = platform::kFileReadAttributes | platform::kReadControl;
constexpr std::uint32_t kLogFolderAccess = kFolderAccess | platform::kWriteDac;
constexpr std::uint32_t kFolderShare = platform::kFileShareRead | platform::kFileShareWrite;
constexpr std::uint32_t kFolderFlags =
    platform::kFileFlagBackupSemantics | platform::kFileFlagOpenReparsePoint;
// The log is appended to (at its end, whatever others wrote before) and
// checked; the other instances may do that and rename it while it is open.
// Created when missing; a link is opened itself. Only the rotation asks for
// the right to rename, through a handle of its own: a reader that shares
// writing but not renaming never keeps a line out.
constexpr std::uint32_t kLogAccess = platform::kFileAppendData | platform::kFileReadAttributes |
                                     platform::kReadControl | platform::kSynchronize;
constexpr std::uint32_t kRotationAccess = platform::kFileReadAttributes | platform::kDelete;
constexpr std::uint32_t kLogShare =
    platform::kFileShareRead | platform::kFileShareWrite | platform::kFileShareDelete;
constexpr std::uint32_t kLogFlags = platform::kFileAttributeNormal | platform::kFileFlagOpenReparsePoint;
// One writer at a time: an exclusive lock on one byte far past any size the
// log reaches, which appends and readers never meet. A run waits for other
// holders of the lock or of the file about a second in all, and then writes
// on without waiting: a holder that does not let go delays it once and makes
// it lose nothing.
constexpr std::uint64_t kWriterLockOffset = 0x4000'0000'0000'0000;
constexpr std::uint64_t kWriterLockLength = 1;
constexpr std::uint32_t kWriterWaitMs = 1000;
constexpr std::uint32_t kWriterRetryMs = 1;

struct LogPath {
    std::wstring folder; // expanded, with its trailing backslash
    std::wstring file;   // folder, one more backslash, the file name
    // The two levels below the public profile, without trailing separators:
    // the vendor folder and the log folder itself.
    std::wstring vendorFolder;
    std::wstring logFolder;
    // Both held from the first line written until the process ends: neither
    // can be swapped for a link or another folder while held, so the names
    // below them keep leading where they were checked to lead.
    KernelObject heldVendorFolder;
    KernelObject heldLogFolder;
    // What is left of the run's one wait for other holders of the log.
    std::uint32_t waitLeftMs = kWriterWaitMs;
    // The owner of the file found at the log's name is checked once a run;
    // files created later are a trusted writer's.
    bool ownerChecked = false;
    // The log was held without write sharing past the wait: the rest of the
    // run goes into a file of its own beside it.
    bool diverted = false;
};

LogPath& cachedPath() {
    static LogPath path;
    return path;
}

using platform::afterLastSeparator;

template <class... Args> std::wstring format(std::wstring_view text, const Args&... args) {
    const std::array<FormatArg, sizeof...(Args)> packed{makeArg(args)...};
    return formatMessage(text, packed);
}

// "%0Nd" of a number, without the general formatter or the C library's: every
// line pays for its stamp and its header.
void appendDecimal(std::wstring& out, std::int64_t value, std::size_t width = 1) {
    std::array<wchar_t, 20> digits{};
    std::size_t count = 0;
    auto rest = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    do {
        digits.at(count++) = static_cast<wchar_t>(L'0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    out.append(value < 0 ? 1 : 0, L'-').append(width > count ? width - count : 0, L'0');
    while (count > 0) {
        out.push_back(digits.at(--count));
    }
}

std::wstring timestamp(const platform::LocalTime& t) {
    std::wstring stamp;
    for (const auto& [value, before] : {std::pair{t.year, L'\0'},
                                        {t.month, L'/'},
                                        {t.day, L'/'},
                                        {t.hour, L' '},
                                        {t.minute, L':'},
                                        {t.second, L':'}}) {
        stamp.append(before == L'\0' ? 0 : 1, before);
        appendDecimal(stamp, value, stamp.empty() ? 4 : 2);
    }
    return stamp;
}

// Any user may create entries under the public profile, and this program
// runs as LocalSystem: a link planted in the log's place would turn the append
// into a privileged write wherever it points, and a folder of theirs would let
// them swap what lies below it. So each folder level must be a real folder
// with a trusted owner, held while it is relied on, and the file a plain file
// with no other name. Everything is tested on the open handles, not on names.
// An open file or folder's attributes, its names and its size. Each record
// is read by a call of its own: the classic GetFileInformationByHandle also
// reads the volume's serial number, a slow query that the log must not pay
// for on every line.
struct Described {
    platform::FileBasicInfo basic;
    platform::FileStandardInfo standard;
};

bool describe(Handle handle, Described& what) {
    return sys().GetFileInformationByHandleEx(handle, what.basic) &&
           sys().GetFileInformationByHandleEx(handle, what.standard);
}

bool isPlainFolder(const Described& what) {
    return (what.basic.fileAttributes & platform::kFileAttributeDirectory) != 0 &&
           (what.basic.fileAttributes & platform::kFileAttributeReparsePoint) == 0;
}

bool isPlainFile(const Described& what) {
    return (what.basic.fileAttributes &
            (platform::kFileAttributeDirectory | platform::kFileAttributeReparsePoint)) == 0 &&
           what.standard.numberOfLinks == 1;
}

KernelObject openFolder(const std::wstring& path, std::uint32_t access = kFolderAccess) {
    return KernelObject(sys().CreateFileW(path, access, kFolderShare, platform::kOpenExisting, kFolderFlags));
}

bool isTrustedFolder(const KernelObject& folder) {
    Described info;
    return folder && describe(folder.get(), info) && isPlainFolder(info) &&
           isTrustedOwner(ownerOf(folder.get(), platform::kSeFileObject));
}

// The log folder, created when missing with access for SYSTEM and
// Administrators only, so that nobody else can plant a link in it or hold
// the log. A folder that already exists gets that access list through the
// handle held, whoever made it: one an earlier release made, or one that
// lets users write, is then theirs no more. A folder that fails the test, or
// whose list cannot be written, is tried again with the next line.
bool holdLogFolders(LogPath& path) {
    if (path.heldLogFolder) {
        return true;
    }
    KernelObject vendor = openFolder(path.vendorFolder);
    if (!isTrustedFolder(vendor)) {
        return false;
    }
    KernelObject logs = openFolder(path.logFolder, kLogFolderAccess);
    if (!logs) {
        // Only the last level is created; losing a race to create it to
        // another instance is fine when what is there now passes the test.
        sys().CreateDirectoryW(path.folder, kLogFolderSecurity);
        logs = openFolder(path.logFolder, kLogFolderAccess);
    }
    if (!isTrustedFolder(logs) || sys().SetSecurityInfo(logs.get(), platform::kSeFileObject,
                                                        platform::kDaclSecurityInformation |
                                                            platform::kProtectedDaclSecurityInformation,
                                                        kLogFolderSecurity) != platform::kErrorSuccess) {
        return false;
    }
    path.heldVendorFolder = std::move(vendor);
    path.heldLogFolder = std::move(logs);
    return true;
}

// Tries `attempt` again after each short sleep while it fails with `busy`
// (another holder of the log), until it succeeds, fails otherwise, or the
// run's wait is spent; the time waited is taken from what is left of it. The
// sleep and the clock are the platform's.
template <class Attempt> bool whileBusy(LogPath& path, std::uint32_t busy, const Attempt& attempt) {
    if (attempt()) {
        return true;
    }
    const std::uint32_t start = sys().GetTickCount();
    bool done = false;
    while (!done && sys().GetLastError() == busy && sys().GetTickCount() - start < path.waitLeftMs) {
        sys().Sleep(kWriterRetryMs);
        done = attempt();
    }
    path.waitLeftMs -= std::min(sys().GetTickCount() - start, path.waitLeftMs);
    return done;
}

// Rotation of the log this writer holds: true when its line must go into a
// new file, because the file was just renamed to the backup, by this call or
// by the writer whose lock it waited for. Which file lies at the log's name
// is asked by opening it, once a log must be moved aside: an open file's own
// name cannot tell, as Wine keeps the name a handle was opened with. That
// handle renames it when it is the file held. A failed query or rename skips
// rotation for this call; the line goes into the current file.
bool movedAside(Handle file, const LogPath& path, const platform::LocalTime& t,
                const std::wstring& logFileName) {
    const KernelObject atName(sys().CreateFileW(
        path.file, kRotationAccess, kLogShare, platform::kOpenExisting, platform::kFileFlagOpenReparsePoint));
    platform::ByHandleFileInformation held;
    platform::ByHandleFileInformation named;
    if (!atName) {
        return sys().GetLastError() != platform::kErrorSharingViolation;
    }
    if (!sys().GetFileInformationByHandle(file, held) ||
        !sys().GetFileInformationByHandle(atName.get(), named)) {
        return false;
    }
    if (held.volumeSerialNumber != named.volumeSerialNumber || held.fileIndexHigh != named.fileIndexHigh ||
        held.fileIndexLow != named.fileIndexLow) {
        return true;
    }
    const std::wstring backup = format(L"BK_%04d%02d%02d_%02d%02d%02d_%s", int{t.year}, int{t.month},
                                       int{t.day}, int{t.hour}, int{t.minute}, int{t.second}, logFileName);
    // The rename replaces whatever lies at the backup name, a link included,
    // without writing through it.
    return sys().SetFileInformationByHandle(atName.get(), {true, path.folder + L"\\" + backup});
}

// Whether the file at the log's name must be moved aside before this run's
// first line: a user who owns it could give themselves any access to it.
bool untrustedLogOwner(Handle file, LogPath& path) {
    return !std::exchange(path.ownerChecked, true) && !isTrustedOwner(ownerOf(file, platform::kSeFileObject));
}

// The log opened for a line. A log held without write sharing is waited for
// (within the run's wait); held past it, this line and the rest of the run go
// into a file named after the process beside it.
KernelObject openLog(LogPath& path, const std::wstring& logFileName) {
    KernelObject file;
    const auto open = [&] {
        file = KernelObject(
            sys().CreateFileW(path.file, kLogAccess, kLogShare, platform::kOpenAlways, kLogFlags));
        return static_cast<bool>(file);
    };
    if (!whileBusy(path, platform::kErrorSharingViolation, open) &&
        sys().GetLastError() == platform::kErrorSharingViolation && !std::exchange(path.diverted, true)) {
        path.file = path.folder + L"\\" + format(L"PID%u_%s", sys().GetCurrentProcessId(), logFileName);
        open();
    }
    return file;
}

// The line goes in under the writers' lock when it can be had within the
// run's wait, and without it after that: the lock's byte lies far from the
// appends. It is stamped with the time it goes in at, so that the stamps of
// the instances' lines follow each other in the file; a rotation names its
// backup with the same time.
void appendLine(LogPath& path, const std::wstring& logFileName,
                const std::function<std::string(const platform::LocalTime&)>& lineAt) {
    std::optional<platform::LocalTime> now;
    for (int opened = 0; opened < 2; ++opened) {
        const KernelObject file = openLog(path, logFileName);
        if (!file) {
            return;
        }
        // The file's close lets go of the lock at once: an unlock call of its
        // own would cost every line one more call into the system
        // (bench/README.md).
        whileBusy(path, platform::kErrorLockViolation, [&] {
            return sys().LockFileEx(file.get(),
                                    platform::kLockfileExclusiveLock | platform::kLockfileFailImmediately,
                                    kWriterLockOffset, kWriterLockLength);
        });
        Described info;
        if (!describe(file.get(), info) || !isPlainFile(info)) {
            return;
        }
        now = now ? now : sys().GetLocalTime();
        if (opened == 0 &&
            (std::cmp_greater(info.standard.endOfFile, kRotationThreshold) ||
             untrustedLogOwner(file.get(), path)) &&
            movedAside(file.get(), path, *now, logFileName)) {
            continue;
        }
        sys().WriteFile(file.get(), lineAt(*now));
        return;
    }
}

} // namespace

void resetLogPathCache() {
    cachedPath() = LogPath{};
}

void writeLogEntry(bool isBanner, const std::wstring& logFileName, const wchar_t* sourceFile, int line,
                   const wchar_t* /*functionName: carried for the reader of the call, never written*/,
                   std::wstring_view messageFormat, std::span<const FormatArg> args) {
    // A line never changes the last error that the caller's next message may
    // report.
    const platform::Held kept([saved = sys().GetLastError()] { sys().SetLastError(saved); });

    std::wstring message = formatMessage(messageFormat, args);
    cutToUtf16Units(message, kMessageLimit);

    LogPath& path = cachedPath();
    if (path.file.empty()) {
        std::wstring folder;
        const std::uint32_t needed = sys().ExpandEnvironmentStringsW(kLogFolder, folder, platform::kMaxPath);
        // A folder that does not fit the path buffer is treated like a failed
        // expansion: no path, the message is lost, the next call tries again.
        if (platform::expansionError(needed, platform::kMaxPath, folder)) {
            return;
        }
        path.folder = folder;
        path.file = folder + L"\\" + logFileName;
        const std::size_t end = folder.find_last_not_of(L"\\/") + 1;
        path.logFolder = folder.substr(0, end);
        path.vendorFolder = folder.substr(0, path.logFolder.find_last_of(L"\\/"));
    }

    if (!holdLogFolders(path)) {
        return;
    }

    const std::wstring_view source = afterLastSeparator(sourceFile == nullptr ? L"" : sourceFile);
    // Only the banner names the executable: a normal line need not pay for
    // the query.
    std::wstring modulePath;
    if (isBanner) {
        sys().K32GetModuleFileNameExW(modulePath, platform::kMaxPath);
    }
    appendLine(path, logFileName, [&](const platform::LocalTime& now) {
        const std::wstring stamp = timestamp(now);
        std::wstring text;
        if (isBanner) {
            const std::wstring stars = L"\n" + std::wstring(96, L'*');
            text = L"\n\n" + stars +
                   format(L"\nStarted %s(pid:%d) at: [ %s ]", afterLastSeparator(modulePath),
                          static_cast<std::int32_t>(sys().GetCurrentProcessId()), stamp) +
                   stars + L"\n";
        } else {
            text.append(L"[").append(stamp).append(L"] [").append(source).append(L"(");
            appendDecimal(text, line);
            text.append(L")] | ").append(message).append(L"\n");
        }
        return toLogBytes(text);
    });
}

} // namespace tdu::log
