#include "log/LogWriter.h"

#include "platform/Owners.h"
#include "platform/PathChecks.h"
#include "platform/Platform.h"

#include <array>
#include <string_view>

namespace tdu::log {

namespace {

using platform::Handle;
using platform::sys;

struct LogPath {
    std::wstring folder; // expanded, with its trailing backslash
    std::wstring file;   // folder, one more backslash, the file name
    // The two levels below the public profile, without trailing separators:
    // the vendor folder and the log folder itself.
    std::wstring vendorFolder;
    std::wstring logFolder;
};

LogPath& cachedPath() {
    static LogPath path;
    return path;
}

std::wstring_view afterLastSeparator(std::wstring_view path) {
    const std::size_t cut = path.find_last_of(L"\\/");
    return cut == std::wstring_view::npos ? path : path.substr(cut + 1);
}

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
// into a privileged write wherever it points. So every folder level it writes
// in must be a real folder and the file a plain file with no other name.
bool isPlainFolder(std::uint32_t attributes) {
    return attributes != platform::kInvalidFileAttributes &&
           (attributes & platform::kFileAttributeDirectory) != 0 &&
           (attributes & platform::kFileAttributeReparsePoint) == 0;
}

bool isPlainFile(Handle stream) {
    platform::FileInformation info;
    return sys().GetFileInformationByHandle(stream, info) &&
           (info.attributes & (platform::kFileAttributeDirectory | platform::kFileAttributeReparsePoint)) ==
               0 &&
           info.numberOfLinks == 1;
}

// The log folder as a real folder, created when missing with write access for
// SYSTEM and Administrators only, so that nobody else can plant a link in it.
bool logFolderReady(const LogPath& path) {
    if (!isPlainFolder(sys().GetFileAttributesW(path.vendorFolder))) {
        return false;
    }
    std::uint32_t attributes = sys().GetFileAttributesW(path.logFolder);
    if (attributes == platform::kInvalidFileAttributes) {
        // Only the last level is created; losing a race to create it to
        // another instance is fine when what is there now passes the test.
        attributes = sys().CreateDirectoryW(path.folder, kLogFolderSecurity)
                         ? platform::kFileAttributeDirectory
                         : sys().GetFileAttributesW(path.logFolder);
    }
    return isPlainFolder(attributes);
}

void rotateIfTooLarge(const LogPath& path, const platform::LocalTime& t, const std::wstring& logFileName) {
    // A failed test, size query or rename skips rotation for this call; the
    // line still goes into the current file.
    std::error_code ec;
    if (!sys().exists(path.file, ec) || ec) {
        return;
    }
    const std::uint64_t size = sys().file_size(path.file, ec);
    if (ec || size <= kRotationThreshold) {
        return;
    }
    if (const platform::Stream current(sys().OpenAppendStream(path.file));
        !current || !isPlainFile(current.get())) {
        return;
    }
    const std::wstring backup = format(L"BK_%04d%02d%02d_%02d%02d%02d_%s", int{t.year}, int{t.month},
                                       int{t.day}, int{t.hour}, int{t.minute}, int{t.second}, logFileName);
    sys().rename(path.file, path.folder + L"\\" + backup, ec);
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
    struct LastErrorKept {
        std::uint32_t saved = sys().GetLastError();
        LastErrorKept() = default;
        LastErrorKept(const LastErrorKept&) = delete;
        LastErrorKept& operator=(const LastErrorKept&) = delete;
        ~LastErrorKept() { sys().SetLastError(saved); }
    } const kept;

    std::wstring message = formatMessage(messageFormat, args);
    cutToUtf16Units(message, kMessageLimit);

    LogPath& path = cachedPath();
    if (path.file.empty()) {
        std::wstring folder;
        const std::uint32_t needed = sys().ExpandEnvironmentStringsW(kLogFolder, folder, platform::kMaxPath);
        // A folder that does not fit the path buffer is treated like a failed
        // expansion: no path, the message is lost, the next call tries again.
        if (needed == 0 || needed > platform::kMaxPath || !platform::isExpandedAbsolutePath(folder)) {
            return;
        }
        path.folder = folder;
        path.file = folder + L"\\" + logFileName;
        const std::size_t end = folder.find_last_not_of(L"\\/") + 1;
        path.logFolder = folder.substr(0, end);
        path.vendorFolder = folder.substr(0, path.logFolder.find_last_of(L"\\/"));
    }

    if (!logFolderReady(path)) {
        return;
    }

    const platform::LocalTime now = sys().GetLocalTime();
    rotateIfTooLarge(path, now, logFileName);

    const platform::Stream stream(sys().OpenAppendStream(path.file));
    if (!stream || !isPlainFile(stream.get())) {
        return;
    }

    const std::wstring stamp = timestamp(now);
    const std::wstring_view source = afterLastSeparator(sourceFile == nullptr ? L"" : sourceFile);

    std::wstring text;
    if (isBanner) {
        // Only the banner names the executable: a normal line need not pay
        // for the query.
        std::wstring modulePath;
        sys().K32GetModuleFileNameExW(modulePath, platform::kMaxPath);
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
    sys().WriteStream(stream.get(), toLogBytes(text));
}

} // namespace tdu::log
