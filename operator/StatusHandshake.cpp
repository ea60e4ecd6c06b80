// The installer marks the span of its driver work with two runs: the starting
// run owns a named mutex (its existence says "installing") and waits on a
// named event that the ending run sets.
#include "app/ExitCode.h"
#include "operator/OperatorLog.h"
#include "operator/TDriverOperator.h"
#include "platform/Owners.h"

namespace {

using tdu::platform::KernelObject;
using tdu::platform::sys;

constexpr wchar_t kStartedMutexName[] = L"Global\\TDInstallationStartedMtx";
constexpr wchar_t kCompletedEventName[] = L"Global\\TDInstallationCompletedEvt";
constexpr std::uint32_t kInstallWaitMs = 600'000;

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
    const KernelObject event(sys().OpenEventW(tdu::platform::kEventAllAccess, true, kCompletedEventName));
    if (!event) {
        TDU_LOG(L"Failed to open event for install completion: %lu", sys().GetLastError());
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
    // mutex; it waits on the same event all the same.
    const KernelObject mutex(sys().CreateMutexW(L"", true, kStartedMutexName));
    if (!mutex) {
        TDU_LOG(L"Create Mutex failed at Start of Installation: %lu", sys().GetLastError());
        return;
    }
    const KernelObject event(sys().CreateEventW(L"", true, false, kCompletedEventName));
    if (!event) {
        TDU_LOG(L"Create Event failed at Completion of the Installation: %lu", sys().GetLastError());
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
