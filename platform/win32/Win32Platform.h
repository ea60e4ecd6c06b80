// The real platform: each method makes the one Win32 call it is named after.
#pragma once

#include "platform/Platform.h"

namespace tdu::platform::win32 {

// The process-wide Win32 implementation of every interface.
Platform realPlatform();

// Takes the thread's last error into ISystem::GetLastError, for the other
// families' calls that report their failures through it.
void keepLastError();

} // namespace tdu::platform::win32
