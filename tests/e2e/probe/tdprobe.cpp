// A test-only Windows program that runs one operator step the command line
// does not reach by itself (the bundle operations call them), against the
// real platform, so the end-to-end tests can watch each step under Wine.
#include "operator/TDriverOperator.h"
#include "platform/win32/Win32Platform.h"

#include <string>

int wmain(int argc, wchar_t** argv) {
    tdu::platform::bindPlatform(tdu::platform::win32::realPlatform());
    if (argc < 2) {
        return 87;
    }
    const std::wstring step = argv[1];
    DriverOperation record;
    record.infPath = argc > 2 ? argv[2] : L"";
    TavrinDriverOperator op;
    if (step == L"ListDriverInfs") {
        return op.ListDriverInfs(nullptr);
    }
    if (step == L"RemoveINFCACHE") {
        return op.RemoveINFCACHE();
    }
    if (step == L"InstallSplitDnsFilter") {
        return op.InstallSplitDnsFilter(record);
    }
    if (step == L"UnInstallSplitDnsFilter") {
        return op.UnInstallSplitDnsFilter(record);
    }
    if (step == L"cleanTVRNNSResiduals") {
        op.cleanTVRNNSResiduals();
        return 0;
    }
    return 87;
}
