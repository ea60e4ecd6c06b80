#include "platform/win32/Win32Platform.h"

namespace tdu::platform::win32 {

Platform realPlatform() {
    return Platform{&win32System(), &win32Registry(), &win32DeviceSetup()};
}

} // namespace tdu::platform::win32
