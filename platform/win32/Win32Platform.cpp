#include "platform/win32/Win32Platform.h"

namespace tdu::platform::win32 {

Platform realPlatform() {
    return Platform{&win32System(), &win32Registry(), &win32DeviceSetup(), &win32ServiceControl(),
                    &win32NetConfig()};
}

} // namespace tdu::platform::win32
