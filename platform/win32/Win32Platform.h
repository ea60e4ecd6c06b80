// The real platform: each method makes the Win32 call it is named after, a
// few with a conversion or a second call around it (a security descriptor
// from its text, a size query); the last error of every call is kept.
#pragma once

#include "platform/Platform.h"

#include <windows.h>

#include <vector>

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

// The FILE_RENAME_INFO record a rename hands the platform, in 8-byte units (the record's alignment).
std::vector<std::uint64_t> fileRenameRecord(const FileRenameInformation& rename);

// Lets every interface's calls leave their last error where
// ISystem::GetLastError reads it.
void keepLastError(std::uint32_t error);

// Makes one platform call and keeps the last error it leaves. The error is
// cleared first: a call that fails without setting one (Wine has such) then
// reports 0 rather than a stale code.
template <class Call> auto kept(Call&& call) {
    ::SetLastError(ERROR_SUCCESS);
    const auto result = call();
    keepLastError(::GetLastError());
    return result;
}

} // namespace tdu::platform::win32
