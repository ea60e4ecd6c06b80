#include "platform/win32/Win32Platform.h"

namespace tdu::platform::win32 {

Platform realPlatform() {
    Platform bound{&win32System(), &win32Registry(), &win32DeviceSetup()};
    bound.serviceControl = &win32ServiceControl();
    bound.netConfig = &win32NetConfig();
    bound.installerDb = &win32InstallerDb();
    bound.fileVersion = &win32FileVersion();
    return bound;
}

} // namespace tdu::platform::win32
