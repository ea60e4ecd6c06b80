// The installer marks the span of its driver work with two runs: the starting
// run owns a named mutex (its existence says "installing") and waits on a
// named event that the ending run sets.
//
// Any logged-on user may create a mutex or an event under Global\ before the
// installer does, or a link there to another component's object: a signalled
// event would end the wait at once, a held mutex would say "installing" for
// good, a link would have the run set an event it does not own. So both
// objects are created owned by Administrators, for SYSTEM and Administrators
// alone, and an object this run reaches is used only when it is the one the
// name stands for and, found already there, its owner is trusted
// (log/TrustedOwner.h).
#include "app/ExitCode.h"
#include "log/TrustedOwner.h"
#include "operator/OperatorLog.h"
#include "operator/TDriverOperator.h"
#include "platform/Owners.h"
#include "platform/WideText.h"

#include <optional>

namespace {

using tdu::platform::KernelObject;
using tdu::platform::sys;

// An object's name as the program opens it, and as the object namespace
// names what it stands for: "Global\" leads to "\BaseNamedObjects".
struct ObjectName {
    const wchar_t* name;
    const wchar_t* path;
};
constexpr ObjectName kStartedMutex{L"Global\\TDInstallationStartedMtx",
                                   L"\\BaseNamedObjects\\TDInstallationStartedMtx"};
constexpr ObjectName kCompletedEvent{L"Global\\TDInstallationCompletedEvt",
                                     L"\\BaseNamedObjects\\TDInstallationCompletedEvt"};
constexpr std::uint32_t kInstallWaitMs = 600'000;
// Owned by Administrators; SYSTEM and Administrators all access, no one else
// any. Any right that gives a handle lets its holder keep the object alive:
// an event signalled after its installation, a mutex saying "installing" for
// as long as they like. Others still tell an installation in progress by
// opening the mutex: ERROR_ACCESS_DENIED while it exists, ERROR_FILE_NOT_FOUND
// when it does not.
constexpr wchar_t kObjectSecurity[] = L"O:BAD:(A;;GA;;;SY)(A;;GA;;;BA)";

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

// Why an object this run reached is not the installer's own: it was reached
// through a link (the object namespace names it otherwise), or it was there
// already and belongs to an owner this program does not trust. Nothing when
// it is the installer's own.
std::optional<std::wstring> notTheInstallers(const KernelObject& object, const ObjectName& expected,
                                             bool existed) {
    std::wstring reached;
    if (!sys().NtQueryObjectName(object.get(), reached)) {
        return L"has a name that cannot be read: " + std::to_wstring(sys().GetLastError());
    }
    if (!tdu::platform::equalsIgnoringAsciiCase(reached, expected.path)) {
        return L"leads to " + reached + L" through a link";
    }
    const std::wstring owner =
        existed ? tdu::log::ownerOf(object.get(), tdu::platform::kSeKernelObject) : L"";
    if (!existed || tdu::log::isTrustedOwner(owner)) {
        return std::nullopt;
    }
    return L"belongs to " + (owner.empty() ? L"an owner that cannot be read" : owner) +
           L", not to the installer";
}

void signalCompletion() {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::setStatus");
    TDU_LOG(L"TSAC Installation Ended");
    // Opening the mutex only proves a starting run is alive; this side never
    // takes ownership of it.
    const KernelObject mutex(sys().OpenMutexW(tdu::platform::kMutexAllAccess, true, kStartedMutex.name));
    if (!mutex) {
        TDU_LOG(L"No Installation is in progress, failed to acquire install start event");
        return;
    }
    if (const auto why = notTheInstallers(mutex, kStartedMutex, true)) {
        TDU_LOG(L"Not signalling: %s %s", kStartedMutex.name, *why);
        return;
    }
    const KernelObject event(sys().OpenEventW(tdu::platform::kEventAllAccess, true, kCompletedEvent.name));
    if (!event) {
        TDU_LOG(L"Failed to open event for install completion: %lu", sys().GetLastError());
        return;
    }
    if (const auto why = notTheInstallers(event, kCompletedEvent, true)) {
        TDU_LOG(L"Not signalling: %s %s", kCompletedEvent.name, *why);
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
    const KernelObject mutex(sys().CreateMutexW(kObjectSecurity, true, kStartedMutex.name));
    if (!mutex) {
        TDU_LOG(L"Create Mutex failed at Start of Installation: %lu", sys().GetLastError());
        return;
    }
    if (const auto why = notTheInstallers(mutex, kStartedMutex,
                                          sys().GetLastError() == tdu::platform::kErrorAlreadyExists)) {
        TDU_LOG(L"Not waiting: %s %s", kStartedMutex.name, *why);
        return;
    }
    const KernelObject event(sys().CreateEventW(kObjectSecurity, true, false, kCompletedEvent.name));
    if (!event) {
        TDU_LOG(L"Create Event failed at Completion of the Installation: %lu", sys().GetLastError());
        return;
    }
    const bool existed = sys().GetLastError() == tdu::platform::kErrorAlreadyExists;
    if (const auto why = notTheInstallers(event, kCompletedEvent, existed)) {
        TDU_LOG(L"Not waiting: %s %s", kCompletedEvent.name, *why);
        return;
    }
    // Set before this run made its objects, the event tells of an earlier
    // installation's end (its waiter not gone yet, or someone keeping it
    // open), not of this one's.
    if (existed && sys().WaitForSingleObject(event.get(), 0) == tdu::platform::kWaitObject0) {
        if (!sys().ResetEvent(event.get())) {
            TDU_LOG(L"Not waiting: %s was set before this installation and cannot be cleared: %lu",
                    kCompletedEvent.name, sys().GetLastError());
            return;
        }
        TDU_LOG(L"%s was set before this installation: cleared, not taken as its completion",
                kCompletedEvent.name);
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
