// The real platform: each method makes the one Win32 call it is named after.
#pragma once

#include "platform/Platform.h"

namespace tdu::platform::win32 {

// The process-wide Win32 implementation of every interface.
Platform realPlatform();

ISystem& win32System();
IRegistry& win32Registry();
IDeviceSetup& win32DeviceSetup();
IInstallerDb& win32InstallerDb();
IFileVersion& win32FileVersion();
IServiceControl& win32ServiceControl();
INetConfig& win32NetConfig();

// Lets every interface's calls leave their last error where
// ISystem::GetLastError reads it.
void keepLastError(std::uint32_t error);

} // namespace tdu::platform::win32
