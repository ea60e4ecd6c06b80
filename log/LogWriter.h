// The one logging routine every source unit writes through. Each call opens
// the log file, appends one line (or the run banner) and closes it again, so
// the file is complete whenever the process stops and several instances can
// share it, one writer at a time. The log's folders are held open from the
// first line on, so that nobody can swap them while the program relies on them.
#pragma once

#include "log/Format.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>

namespace tdu::log {

inline constexpr wchar_t kLogFileName[] = L"TavrinDriverUtil.log";
inline constexpr wchar_t kLogFolder[] = L"%PUBLIC%\\Tavrin Secure\\Logging\\";
// Full control for SYSTEM and Administrators, nothing for anyone else (a
// handle that may only read is enough to lock the log or keep it from being
// opened), nothing passed on from the parent.
inline constexpr wchar_t kLogFolderSecurity[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
inline constexpr std::uint64_t kRotationThreshold = 5'242'880; // rotate when strictly larger
inline constexpr std::size_t kMessageLimit = 1022;             // UTF-16 units of one message

void writeLogEntry(bool isBanner, const std::wstring& logFileName, const wchar_t* sourceFile, int line,
                   const wchar_t* functionName, std::wstring_view format, std::span<const FormatArg> args);

// Forgets the cached log path, lets go of the log's folders and restores the
// run's wait, as the end of a process does. Tests only: a process lets go of
// them when it ends.
void resetLogPathCache();

template <class... Args>
void LogWriter(bool isBanner, const std::wstring& logFileName, const wchar_t* sourceFile, int line,
               const wchar_t* functionName, CheckedFormat<std::type_identity_t<Args>...> format,
               const Args&... args) {
    const std::array<FormatArg, sizeof...(Args)> packed{makeArg(args)...};
    writeLogEntry(isBanner, logFileName, sourceFile, line, functionName, format.text(), packed);
}

} // namespace tdu::log

// Writes one line under the calling unit's source name (kLogSource). The
// function name (kLogFunction, declared by TDU_LOG_FUNCTION in each function)
// is carried for the reader of the call, never written.
#define TDU_LOG(format, ...)                                                                                 \
    ::tdu::log::LogWriter(false, std::wstring(::tdu::log::kLogFileName), kLogSource, __LINE__, kLogFunction, \
                          format __VA_OPT__(, ) __VA_ARGS__)

#define TDU_LOG_FUNCTION(name) [[maybe_unused]] static constexpr const wchar_t* kLogFunction = name
