#include "log/LogWriter.h"

#include "platform/Owners.h"
#include "platform/Platform.h"

#include <string_view>

namespace tdu::log {

namespace {

using platform::sys;

struct LogPath {
    std::wstring folder; // expanded, with its trailing backslash
    std::wstring file;   // folder, one more backslash, the file name
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

std::wstring timestamp(const platform::LocalTime& t) {
    return format(L"%04d/%02d/%02d %02d:%02d:%02d", int{t.year}, int{t.month}, int{t.day}, int{t.hour},
                  int{t.minute}, int{t.second});
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
    std::wstring message = formatMessage(messageFormat, args);
    cutToUtf16Units(message, kMessageLimit);

    LogPath& path = cachedPath();
    if (path.file.empty()) {
        std::wstring folder;
        const std::uint32_t needed = sys().ExpandEnvironmentStringsW(kLogFolder, folder, platform::kMaxPath);
        // A folder that does not fit the path buffer is treated like a failed
        // expansion: no path, the message is lost, the next call tries again.
        if (needed == 0 || needed > platform::kMaxPath) {
            return;
        }
        path.folder = folder;
        path.file = folder + L"\\" + logFileName;
    }

    std::error_code ec;
    if (!sys().exists(path.folder, ec)) {
        sys().CreateDirectoryW(path.folder);
    }

    const platform::LocalTime now = sys().GetLocalTime();
    rotateIfTooLarge(path, now, logFileName);

    const platform::Stream stream(sys().OpenAppendStream(path.file));
    if (!stream) {
        return;
    }

    const std::wstring stamp = timestamp(now);
    std::wstring modulePath;
    sys().K32GetModuleFileNameExW(modulePath, platform::kMaxPath);
    const std::wstring_view source = afterLastSeparator(sourceFile == nullptr ? L"" : sourceFile);

    std::wstring text;
    if (isBanner) {
        const std::wstring stars = L"\n" + std::wstring(96, L'*');
        text = L"\n\n" + stars +
               format(L"\nStarted %s(pid:%d) at: [ %s ]", afterLastSeparator(modulePath),
                      static_cast<std::int32_t>(sys().GetCurrentProcessId()), stamp) +
               stars + L"\n";
    } else {
        text = format(L"[%s] [%s(%d)] | %s\n", stamp, source, line, message);
    }
    sys().WriteStream(stream.get(), toLogBytes(text));
}

} // namespace tdu::log
