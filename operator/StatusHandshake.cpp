// The installer marks the span of its driver work with two runs: the starting
// run owns a named mutex (its existence says "installing") and waits on a
// named event that the ending run sets.
//
// Any logged-on user may create a mutex or an event under Global\ before the
// installer does: a signalled event would end the wait at once, a held mutex
// would say "installing" for good. So both objects are created owned by
// Administrators, with full control for SYSTEM and Administrators and no
// more than waiting for anyone else, and an object found already there is
// used only when its owner is trusted (log/TrustedOwner.h).
#include "app/ExitCode.h"
#include "log/TrustedOwner.h"
#include "operator/OperatorLog.h"
#include "operator/TDriverOperator.h"
#include "platform/Owners.h"

#include <optional>

namespace {

using tdu::platform::KernelObject;
using tdu::platform::sys;

constexpr wchar_t kStartedMutexName[] = L"Global\\TDInstallationStartedMtx";
constexpr wchar_t kCompletedEventName[] = L"Global\\TDInstallationCompletedEvt";
constexpr std::uint32_t kInstallWaitMs = 600'000;
// Owned by Administrators; SYSTEM and Administrators all access; everyone else
// SYNCHRONIZE, waiting only.
constexpr wchar_t kObjectSecurity[] = L"O:BAD:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x100000;;;WD)";

void signalCompletion();
void waitForCompletion();

} // namespace

int TavrinDriverOperator::setStatus(const DriverOperation& record) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::setStatus");
    if (record.installStatus != L"0" && record.installStatus != L"1") {
        TDU_LOG(L"Invalid argument passed to /setstatus parameter");
        return tdu::exit_code::kOperationFailed;
    }
    TDU_LOG(L"Set status from command line is: %s", record.installStatus);
    // Whatever happens to the handshake, the installer goes on: both sides end
    // with 0 and the log tells the story.
    if (record.installStatus == L"1") {
        signalCompletion();
    } else {
        waitForCompletion();
    }
    return tdu::exit_code::kSuccess;
}

namespace {

// The owner of an object found already there, when it is not one this
// program trusts: its SID, or a word when it cannot be read.
std::optional<std::wstring> untrustedOwner(const KernelObject& object) {
    const std::wstring owner = tdu::log::ownerOf(object.get(), tdu::platform::kSeKernelObject);
    if (tdu::log::isTrustedOwner(owner)) {
        return std::nullopt;
    }
    return owner.empty() ? L"an owner that cannot be read" : owner;
}

void signalCompletion() {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::setStatus");
    TDU_LOG(L"TSAC Installation Ended");
    // Opening the mutex only proves a starting run is alive; this side never
    // takes ownership of it.
    const KernelObject mutex(sys().OpenMutexW(tdu::platform::kMutexAllAccess, true, kStartedMutexName));
    if (!mutex) {
        TDU_LOG(L"No Installation is in progress, failed to acquire install start event");
        return;
    }
    if (const auto owner = untrustedOwner(mutex)) {
        TDU_LOG(L"Not signalling: %s belongs to %s, not to the installer", kStartedMutexName, *owner);
        return;
    }
    const KernelObject event(sys().OpenEventW(tdu::platform::kEventAllAccess, true, kCompletedEventName));
    if (!event) {
        TDU_LOG(L"Failed to open event for install completion: %lu", sys().GetLastError());
        return;
    }
    if (const auto owner = untrustedOwner(event)) {
        TDU_LOG(L"Not signalling: %s belongs to %s, not to the installer", kCompletedEventName, *owner);
        return;
    }
    if (sys().SetEvent(event.get())) {
        TDU_LOG(L"Successfully set event for install completion");
    } else {
        TDU_LOG(L"Failed to set event for install completion: %lu", sys().GetLastError());
    }
}

void waitForCompletion() {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::setStatus");
    TDU_LOG(L"TSAC Installation Started");
    // A second starting run gets the existing objects without owning the
    // mutex; it waits on the same event all the same, when they are the
    // installer's own.
    const KernelObject mutex(sys().CreateMutexW(kObjectSecurity, true, kStartedMutexName));
    if (!mutex) {
        TDU_LOG(L"Create Mutex failed at Start of Installation: %lu", sys().GetLastError());
        return;
    }
    if (const auto owner = sys().GetLastError() == tdu::platform::kErrorAlreadyExists ? untrustedOwner(mutex)
                                                                                      : std::nullopt) {
        TDU_LOG(L"Not waiting: %s belongs to %s, not to the installer", kStartedMutexName, *owner);
        return;
    }
    const KernelObject event(sys().CreateEventW(kObjectSecurity, true, false, kCompletedEventName));
    if (!event) {
        TDU_LOG(L"Create Event failed at Completion of the Installation: %lu", sys().GetLastError());
        return;
    }
    if (const auto owner = sys().GetLastError() == tdu::platform::kErrorAlreadyExists ? untrustedOwner(event)
                                                                                      : std::nullopt) {
        TDU_LOG(L"Not waiting: %s belongs to %s, not to the installer", kCompletedEventName, *owner);
        return;
    }
    TDU_LOG(L"Started installation of the drivers");
    const std::uint32_t waited = sys().WaitForSingleObject(event.get(), kInstallWaitMs);
    if (waited == tdu::platform::kWaitObject0) {
        TDU_LOG(L"Installation of the drivers completed Successfully");
        if (sys().ReleaseMutex(mutex.get())) {
            TDU_LOG(L"Released Installation started event");
        } else {
            TDU_LOG(L"Failed to Release Installation started event with last Error:%lu",
                    sys().GetLastError());
        }
    } else if (waited == tdu::platform::kWaitTimeout) {
        // The mutex stays owned: the ownership ends with this process.
        TDU_LOG(L"Installation continued even after %llu seconds", std::uint64_t{kInstallWaitMs / 1000});
    } else {
        TDU_LOG(L"WaitForObject failed with error: %lu", waited);
    }
}

} // namespace
