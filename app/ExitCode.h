// The statuses a handler returns, which become the process exit code. Any
// other value is a platform error passed through unchanged.
#pragma once

#include "platform/Types.h"

namespace tdu::exit_code {

inline constexpr int kSuccess = 0;
// A refused request or an operation-level failure.
inline constexpr int kOperationFailed = 2;
inline constexpr int kMalformedCommandLine = -1;
// /disableDifx for one product whose cached package could not be updated.
inline constexpr int kPackageNotUpdated = -1;
// The driver-store listing, the INF-cache removal and the split-DNS sections
// (ERROR_INSTALL_FAILURE).
inline constexpr int kInstallFailure = 1603;
inline constexpr int kRestartRequired = static_cast<int>(tdu::platform::kErrorSuccessRebootRequired);

} // namespace tdu::exit_code
