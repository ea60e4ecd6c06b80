// The split-DNS filter is set up by its INF's own sections, not through a
// device: the platform runs them and reports nothing back.
#include "app/ExitCode.h"
#include "operator/OperatorLog.h"
#include "operator/TDriverOperator.h"
#include "platform/Platform.h"

#include <exception>

namespace {

constexpr std::size_t kCommandLineChars = 1024;

// Hands the section's command line to the platform; false when the line
// does not fit the platform's buffer: a cut line would name another file.
bool runSectionLine(const wchar_t* section, const std::wstring& infPath) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::InstallSplitDnsFilter");
    // The INF path goes in unquoted: the platform takes the rest of the
    // line as the path, spaces included, and would not strip quotes.
    const std::wstring commandLine = std::wstring(section) + L" 128 " + infPath;
    if (commandLine.size() > kCommandLineChars - 1) {
        return false;
    }
    TDU_LOG(L"Calling InstallHinfSectionW with params: %s\n", commandLine);
    tdu::platform::dev().InstallHinfSectionW(commandLine, 0);
    return true;
}

// Runs one section; 1603 when the run was broken off, by an exception or by
// a line too long to pass.
template <class Messages> int runSection(const wchar_t* section, const std::wstring& infPath) {
    TDU_LOG_FUNCTION(Messages::function);
    bool ran = false;
    try {
        TDU_LOG(L"%s", Messages::enter);
        ran = runSectionLine(section, infPath);
    } catch (const std::exception&) {
        ran = false;
    }
    int result = 0;
    if (!ran) {
        TDU_LOG(L"%s", Messages::failure);
        result = tdu::exit_code::kInstallFailure;
    }
    TDU_LOG(L"%s", Messages::exit);
    return result;
}

struct InstallMessages {
    static constexpr const wchar_t* function = L"TavrinDriverOperator::InstallSplitDnsFilter";
    static constexpr const wchar_t* enter = L"Enter InstallSplitDnsFilter\n";
    static constexpr const wchar_t* failure = L"Failing InstallSplitDnsFilter\n";
    static constexpr const wchar_t* exit = L"Exit InstallSplitDnsFilter\n";
};

struct UninstallMessages {
    static constexpr const wchar_t* function = L"TavrinDriverOperator::UnInstallSplitDnsFilter";
    static constexpr const wchar_t* enter = L"Enter UnInstallSplitDnsFilter\n";
    static constexpr const wchar_t* failure = L"Failed UnInstallSplitDnsFilter\n";
    static constexpr const wchar_t* exit = L"Exit UnInstallSplitDnsFilter\n";
};

} // namespace

int TavrinDriverOperator::InstallSplitDnsFilter(const DriverOperation& record) {
    return runSection<InstallMessages>(L"DefaultInstall", record.infPath);
}

int TavrinDriverOperator::UnInstallSplitDnsFilter(const DriverOperation& record) {
    return runSection<UninstallMessages>(L"DefaultUnInstall", record.infPath);
}
