// The process entry: a GUI-subsystem program that opens no window. It binds
// the real platform and returns the run's result as the exit code.
#include "app/TavrinDriverUtil.h"
#include "platform/win32/Win32Platform.h"

#include <windows.h>

#include <cstdlib>

int WINAPI wWinMain(HINSTANCE /*hInstance*/, HINSTANCE /*hPrevInstance*/, LPWSTR lpCmdLine,
                    int /*nShowCmd*/) {
    tdu::platform::bindPlatform(tdu::platform::win32::realPlatform());
    return RunTavrinDriverUtil(lpCmdLine, static_cast<unsigned>(__argc), __wargv);
}
