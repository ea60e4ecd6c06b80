#include "log/LogWriter.h"

#include "log/TrustedOwner.h"
#include "platform/Owners.h"
#include "platform/PathChecks.h"
#include "platform/Platform.h"

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
constexpr std::uint32_t kFolderAccess = platform::kFileReadAttributes | platform::kReadControl;
constexpr std::uint32_t kFolderShare = platform::kFileShareRead | platform::kFileShareWrite;
constexpr std::uint32_t kFolderFlags =
    platform::kFileFlagBackupSemantics | platform::kFileFlagOpenReparsePoint;
// The log is appended to (at its end, whatever others wrote before), checked,
// and renamed by the writer that rotates it; the other instances may do all
// of that while it is open. Created when missing; a link is opened itself.
constexpr std::uint32_t kLogAccess =
    platform::kFileAppendData | platform::kFileReadAttributes | platform::kDelete | platform::kSynchronize;
constexpr std::uint32_t kLogShare =
    platform::kFileShareRead | platform::kFileShareWrite | platform::kFileShareDelete;
constexpr std::uint32_t kLogFlags = platform::kFileAttributeNormal | platform::kFileFlagOpenReparsePoint;
// One writer at a time: an exclusive lock on one byte far past any size the
// log reaches, which appends and readers never meet. A writer waits about a
// second for the others' lines rather than losing its own.
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

KernelObject openFolder(const std::wstring& path) {
    return KernelObject(
        sys().CreateFileW(path, kFolderAccess, kFolderShare, platform::kOpenExisting, kFolderFlags));
}

bool isTrustedFolder(const KernelObject& folder) {
    Described info;
    return folder && describe(folder.get(), info) && isPlainFolder(info) &&
           isTrustedOwner(ownerOf(folder.get(), platform::kSeFileObject));
}

// The log folder, created when missing with write access for SYSTEM and
// Administrators only, so that nobody else can plant a link in it. A folder
// that fails the test is tried again with the next line.
bool holdLogFolders(LogPath& path) {
    if (path.heldLogFolder) {
        return true;
    }
    KernelObject vendor = openFolder(path.vendorFolder);
    if (!isTrustedFolder(vendor)) {
        return false;
    }
    KernelObject logs = openFolder(path.logFolder);
    if (!logs) {
        // Only the last level is created; losing a race to create it to
        // another instance is fine when what is there now passes the test.
        sys().CreateDirectoryW(path.folder, kLogFolderSecurity);
        logs = openFolder(path.logFolder);
    }
    if (!isTrustedFolder(logs)) {
        return false;
    }
    path.heldVendorFolder = std::move(vendor);
    path.heldLogFolder = std::move(logs);
    return true;
}

// The writers' lock on an open log, asked without blocking and asked again
// after each short sleep, so that the wait is the platform's own Sleep and
// tick count. The file's close lets go of it at once: an unlock call of its
// own would cost every line one more call into the system (bench/README.md).
bool takeWritersLock(Handle file) {
    constexpr std::uint32_t kExclusiveNow =
        platform::kLockfileExclusiveLock | platform::kLockfileFailImmediately;
    const std::uint32_t start = sys().GetTickCount();
    for (;;) {
        if (sys().LockFileEx(file, kExclusiveNow, kWriterLockOffset, kWriterLockLength)) {
            return true;
        }
        if (sys().GetLastError() != platform::kErrorLockViolation ||
            sys().GetTickCount() - start >= kWriterWaitMs) {
            return false;
        }
        sys().Sleep(kWriterRetryMs);
    }
}

// Rotation of the log this writer holds locked: true when its line must go
// into a new file, because the file was just renamed to the backup, by this
// call or by the writer whose lock it waited for. Which file lies at the log's
// name is asked by opening it, once a log is full: an open file's own name
// cannot tell, as Wine keeps the name a handle was opened with. A failed
// query or rename skips rotation for this call; the line goes into the
// current file.
bool movedAside(Handle file, const LogPath& path, const platform::LocalTime& t,
                const std::wstring& logFileName) {
    const KernelObject atName(sys().CreateFileW(path.file, platform::kFileReadAttributes, kLogShare,
                                                platform::kOpenExisting,
                                                platform::kFileFlagOpenReparsePoint));
    platform::ByHandleFileInformation held;
    platform::ByHandleFileInformation named;
    if (!atName) {
        return true;
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
    return sys().SetFileInformationByHandle(file, {true, path.folder + L"\\" + backup});
}

// The line goes in under the writers' lock, stamped with the time it goes
// in at, so that the stamps of the instances' lines follow each other in the
// file; a rotation names its backup with the same time.
void appendLine(const LogPath& path, const std::wstring& logFileName,
                const std::function<std::string(const platform::LocalTime&)>& lineAt) {
    std::optional<platform::LocalTime> now;
    for (int opened = 0; opened < 2; ++opened) {
        const KernelObject file(
            sys().CreateFileW(path.file, kLogAccess, kLogShare, platform::kOpenAlways, kLogFlags));
        if (!file) {
            return;
        }
        Described info;
        if (!takeWritersLock(file.get()) || !describe(file.get(), info) || !isPlainFile(info)) {
            return;
        }
        now = now ? now : sys().GetLocalTime();
        if (opened == 0 && std::cmp_greater(info.standard.endOfFile, kRotationThreshold) &&
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
