// tdsvcdriver: runs the utility's ServiceHandler on the real service control manager, as the bundle
// uninstall will, and writes to the utility's log.
//
//   tdsvcdriver.exe <service-name> <step>...      steps: stop, remove
//
// The exit code has bit i set when step i returned true.
#include "platform/win32/Win32Platform.h"
#include "service/ServiceHandler.h"

#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        return -1;
    }
    tdu::platform::bindPlatform(tdu::platform::win32::realPlatform());
    ServiceHandler& handler = ServiceHandler::getInstance().init(argv[1]);
    int results = 0;
    for (int i = 2; i < argc; ++i) {
        const std::wstring step = argv[i];
        const bool ok = step == L"stop" ? handler.stop() : step == L"remove" && handler.remove();
        results |= (ok ? 1 : 0) << (i - 2);
    }
    return results;
}
