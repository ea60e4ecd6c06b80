#include "app/TavrinDriverUtil.h"
#include "app/ExitCode.h"

#include "log/LogWriter.h"
#include "operator/TDriverOperator.h"

namespace {
constexpr const wchar_t* kLogSource = L"TavrinDriverUtil.cpp";
}

int RunTavrinDriverUtil(const wchar_t* lpCmdLine, unsigned argc, const wchar_t* const* argv,
                        TDCmdLineParser& parser) {
    {
        TDU_LOG_FUNCTION(L"wWinMain");
        tdu::log::LogWriter(true, std::wstring(tdu::log::kLogFileName), kLogSource, __LINE__, kLogFunction,
                            L"init");
        if (lpCmdLine != nullptr) {
            TDU_LOG(L"Command Line Received: '%s'", lpCmdLine);
        }
    }
    if (parser.ParseAndStoreCommandLineArgs(argc, argv) == -1) {
        TDU_LOG_FUNCTION(L"wmain");
        TDU_LOG(L"Failed to parse Command Line params.");
        return tdu::exit_code::kMalformedCommandLine;
    }
    return TavrinDriverOperator::getInstance().PerformDriverOperation(parser.driverOperation());
}

int RunTavrinDriverUtil(const wchar_t* lpCmdLine, unsigned argc, const wchar_t* const* argv) {
    return RunTavrinDriverUtil(lpCmdLine, argc, argv, TDCmdLineParser::getInstance());
}
