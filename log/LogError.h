// The core's one way to fail a step: the failing call's message is logged
// with its code where it failed, and the code travels back unchanged, so the
// call, its message and its code read as one statement:
//     return TDU_LOG_ERROR(sys().GetLastError(), L"DeleteService failed (%lu)");
// The code is the format's last argument.
#pragma once

#include "log/LogWriter.h"

namespace tdu::log {

template <class Code, class... Args>
Code logError(const wchar_t* sourceFile, int line, const wchar_t* functionName,
              CheckedFormat<std::type_identity_t<Args>..., std::type_identity_t<Code>> format, Code code,
              const Args&... args) {
    const std::array<FormatArg, sizeof...(Args) + 1> packed{makeArg(args)..., makeArg(code)};
    writeLogEntry(false, std::wstring(kLogFileName), sourceFile, line, functionName, format.text(), packed);
    return code;
}

} // namespace tdu::log

#define TDU_LOG_ERROR(code, format, ...)                                                                     \
    ::tdu::log::logError(kLogSource, __LINE__, kLogFunction, format, code __VA_OPT__(, ) __VA_ARGS__)
