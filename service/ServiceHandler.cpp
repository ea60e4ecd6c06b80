#include "service/ServiceHandler.h"

#include "log/LogWriter.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace {

constexpr const wchar_t* kLogSource = L"ServiceHandler.cpp";

using tdu::platform::Handle;
using tdu::platform::scm;
using tdu::platform::ServiceHandle;
using tdu::platform::ServiceStatusProcess;
using tdu::platform::sys;

// Measured from the start of stop(), and separately from the start of
// stopDependentServices() for the dependants.
constexpr std::uint32_t kStopTimeoutMs = 30'000;
// A service that is already stopping is polled at a tenth of its wait hint,
// kept between these bounds.
constexpr std::uint32_t kPendingPollMinMs = 1'000;
constexpr std::uint32_t kPendingPollMaxMs = 10'000;

constexpr std::uint32_t kStopAccess = tdu::platform::kServiceStop | tdu::platform::kServiceQueryStatus |
                                      tdu::platform::kServiceEnumerateDependents;
constexpr std::uint32_t kDependantAccess = tdu::platform::kServiceStop | tdu::platform::kServiceQueryStatus;

bool queryStatus(Handle service, ServiceStatusProcess& status) {
    std::uint32_t bytesNeeded = 0;
    return scm().QueryServiceStatusEx(service, tdu::platform::kScStatusProcessInfo, status,
                                      tdu::platform::kServiceStatusProcessBytes, bytesNeeded);
}

bool isStopped(const ServiceStatusProcess& status) {
    return status.dwCurrentState == tdu::platform::kServiceStopped;
}

// The tick count wraps after 49.7 days; the unsigned difference does not care.
bool budgetSpent(std::uint32_t start) {
    return static_cast<std::uint32_t>(sys().GetTickCount() - start) > kStopTimeoutMs;
}

std::uint32_t pendingPollMs(std::uint32_t waitHint) {
    return std::clamp(waitHint / 10, kPendingPollMinMs, kPendingPollMaxMs);
}

enum class Wait { Stopped, LeftStopPending, Failed };

// The one stop-and-wait loop: sleeps, polls the status and checks the budget
// since `start`, while the service is stopping (pendingName: a stop someone
// else asked for, polled at a tenth of the wait hint and logged under that
// name) or, without a name, until it has stopped (sleeping the service's own
// estimate, unclamped: it asked for this long). A failed poll and a spent
// budget (`timedOut` logged) are both Failed.
Wait waitForStop(Handle service, ServiceStatusProcess& status, std::uint32_t start,
                 const std::wstring* pendingName, const std::wstring& timedOut) {
    TDU_LOG_FUNCTION(L"ServiceHandler::stop");
    const auto waiting = [&] {
        return pendingName != nullptr ? status.dwCurrentState == tdu::platform::kServiceStopPending
                                      : !isStopped(status);
    };
    while (waiting()) {
        if (pendingName != nullptr) {
            TDU_LOG(L"'%s' Service Stop Pending.", *pendingName);
        }
        sys().Sleep(pendingName != nullptr ? pendingPollMs(status.dwWaitHint) : status.dwWaitHint);
        if (!queryStatus(service, status)) {
            TDU_LOG(L"QueryServiceStatusEx failed (%lu)", sys().GetLastError());
            return Wait::Failed;
        }
        if (isStopped(status)) {
            return Wait::Stopped;
        }
        if (budgetSpent(start)) {
            TDU_LOG(L"%s", timedOut);
            return Wait::Failed;
        }
    }
    return isStopped(status) ? Wait::Stopped : Wait::LeftStopPending;
}

} // namespace

ServiceHandler& ServiceHandler::getInstance() {
    static ServiceHandler instance;
    return instance;
}

ServiceHandler& ServiceHandler::init(const std::wstring& name) {
    TDU_LOG_FUNCTION(L"ServiceHandler::init");
    if (name.empty()) {
        TDU_LOG(L"Service name is empty");
        return *this;
    }
    serviceName = name;
    const Handle opened = scm().OpenSCManagerW(nullptr, nullptr, tdu::platform::kScManagerAllAccess);
    // Closing the previous connection must not hide why the new one failed.
    const std::uint32_t openError = sys().GetLastError();
    manager.reset(opened);
    sys().SetLastError(openError);
    if (!manager) {
        TDU_LOG(L"OpenSCManager failed (%lu)", sys().GetLastError());
    }
    return *this;
}

bool ServiceHandler::stop() {
    TDU_LOG_FUNCTION(L"ServiceHandler::stop");
    if (!manager) {
        TDU_LOG(L"SCManager is NULL");
        return false;
    }
    const std::uint32_t start = sys().GetTickCount();
    const ServiceHandle service(scm().OpenServiceW(manager.get(), serviceName, kStopAccess));
    if (!service) {
        TDU_LOG(L"OpenService failed (%lu)", sys().GetLastError());
        return false;
    }
    ServiceStatusProcess status;
    if (!queryStatus(service.get(), status)) {
        TDU_LOG(L"QueryServiceStatusEx failed (%lu)", sys().GetLastError());
        return false;
    }
    const Wait pending = waitForStop(service.get(), status, start, &serviceName,
                                     L"Service stop timed out for '" + serviceName + L"'");
    if (pending == Wait::Stopped) {
        TDU_LOG(L"'%s' Service is already stopped.", serviceName);
        return true;
    }
    if (pending == Wait::Failed) {
        return false;
    }
    // Dependants that will not stop make the stop control itself fail;
    // their own messages say why.
    stopDependentServices(manager.get(), service.get());
    if (!scm().ControlService(service.get(), tdu::platform::kServiceControlStop, status)) {
        TDU_LOG(L"ControlService failed (%lu)", sys().GetLastError());
        return false;
    }
    if (waitForStop(service.get(), status, start, nullptr, L"Wait timed out") == Wait::Failed) {
        return false;
    }
    TDU_LOG(L"'%s' Service stopped successfully", serviceName);
    return true;
}

bool ServiceHandler::stopDependentServices(Handle managerHandle, Handle service) {
    TDU_LOG_FUNCTION(L"ServiceHandler::stopDependentServices");
    const std::uint32_t start = sys().GetTickCount();
    std::uint32_t bytesNeeded = 0;
    std::uint32_t count = 0;
    std::vector<tdu::platform::EnumServiceStatus> dependants;
    if (scm().EnumDependentServicesW(service, tdu::platform::kServiceActive, tdu::platform::kNullHandle, 0,
                                     bytesNeeded, count, dependants)) {
        TDU_LOG(L"There are no dependent services");
        return true;
    }
    if (sys().GetLastError() != tdu::platform::kErrorMoreData) {
        TDU_LOG(L"Unexpected error (%lu)", sys().GetLastError());
        return false;
    }
    const Handle heap = sys().GetProcessHeap();
    const tdu::platform::HeapBlock block(sys().HeapAlloc(heap, tdu::platform::kHeapZeroMemory, bytesNeeded),
                                         tdu::platform::HeapFreer{heap});
    if (!block) {
        TDU_LOG(L"Heap allocation failed for dependencies");
        return false;
    }
    if (!scm().EnumDependentServicesW(service, tdu::platform::kServiceActive, block.get(), bytesNeeded,
                                      bytesNeeded, count, dependants)) {
        TDU_LOG(L"EnumDependentServices failed (%lu)", sys().GetLastError());
        return false;
    }
    for (const tdu::platform::EnumServiceStatus& entry : dependants) {
        const std::wstring name = entry.lpServiceName == nullptr ? L"" : entry.lpServiceName;
        const ServiceHandle dependant(scm().OpenServiceW(managerHandle, name, kDependantAccess));
        if (!dependant) {
            TDU_LOG(L"OpenService failed for dependent service '%s' with error (%lu)", name,
                    sys().GetLastError());
            return false;
        }
        ServiceStatusProcess status;
        if (!scm().ControlService(dependant.get(), tdu::platform::kServiceControlStop, status)) {
            TDU_LOG(L"ControlService failed for dependent services (%lu)", sys().GetLastError());
            return false;
        }
        if (isStopped(status)) {
            continue;
        }
        if (waitForStop(dependant.get(), status, start, nullptr, L"Timed out") == Wait::Failed) {
            return false;
        }
        TDU_LOG(L"Service '%s' stopped successfully", name);
    }
    return true;
}

bool ServiceHandler::remove() {
    TDU_LOG_FUNCTION(L"ServiceHandler::remove");
    if (!manager) {
        TDU_LOG(L"SCManager is NULL");
        return false;
    }
    const ServiceHandle service(scm().OpenServiceW(manager.get(), serviceName, tdu::platform::kDelete));
    if (!service) {
        TDU_LOG(L"OpenService failed (%lu)", sys().GetLastError());
        return false;
    }
    if (!scm().DeleteService(service.get())) {
        TDU_LOG(L"DeleteService failed (%lu)", sys().GetLastError());
        return false;
    }
    TDU_LOG(L"'%s' Service deleted successfully", serviceName);
    return true;
}
