#include "platform/sim/SimServices.h"

#include "platform/sim/SimMachine.h"

#include <algorithm>
#include <functional>
#include <set>

namespace tdu::platform::sim {

namespace {

constexpr std::uint32_t kErrorInvalidLevel = 124;
constexpr std::uint32_t kErrorNoAccess = 998;
constexpr std::uint32_t kErrorDatabaseDoesNotExist = 1065;
constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
constexpr std::uint32_t kServiceAcceptStop = 0x1;
// ENUM_SERVICE_STATUSW on x64: two string pointers and a SERVICE_STATUS,
// padded to eight bytes; the strings follow the entries in the same block.
constexpr std::uint32_t kEnumEntryBytes = 48;
constexpr std::uint32_t kFirstServicePid = 7000;

} // namespace

void SimServices::addService(const SimServiceSetup& setup) {
    auto service = std::make_shared<Service>(Service{setup});
    // A display name of its own, as real services have: a caller that took
    // it for the service's name would open nothing.
    service->displayName = setup.displayName.empty() ? L"Display name of " + setup.name : setup.displayName;
    service->pid = kFirstServicePid + static_cast<std::uint32_t>(services_.size());
    services_.push_back(service);
    if (setup.state == kServiceStopPending) {
        scheduleStop(service);
    }
}

void SimServices::deleteByName(const std::wstring& name) {
    if (const auto service = find(name)) {
        service->markedForDelete = true;
        deleteWhenUnused(service);
    }
}

std::shared_ptr<SimServices::Service> SimServices::find(const std::wstring& name) const {
    const auto found = std::ranges::find_if(
        services_, [&](const auto& service) { return equalsIgnoringAsciiCase(service->name, name); });
    return found == services_.end() ? nullptr : *found;
}

std::vector<std::wstring> SimServices::names() const {
    return listOf(services_, [](const auto& one) { return one->name; });
}

ServiceStatus SimServices::statusOf(const Service& service) const {
    ServiceStatus status;
    status.dwServiceType = kServiceWin32OwnProcess;
    status.dwCurrentState = service.state;
    status.dwControlsAccepted = service.state == kServiceRunning ? kServiceAcceptStop : 0;
    status.dwCheckPoint = service.state == kServiceStopPending ? service.checkPoint : 0;
    status.dwWaitHint = service.state == kServiceStopPending ? service.waitHint : 0;
    return status;
}

void SimServices::stopNow(const std::shared_ptr<Service>& service) {
    service->state = kServiceStopped;
    service->checkPoint = 0;
    deleteWhenUnused(service);
}

void SimServices::scheduleStop(const std::shared_ptr<Service>& service) {
    if (!service->stopAfterMs) {
        return;
    }
    s_.scheduled.emplace(s_.now + *service->stopAfterMs, [this, service] {
        if (service->state == kServiceStopPending) {
            stopNow(service);
        }
    });
}

// A service marked for deletion goes once it has stopped and nobody holds a
// handle to it.
void SimServices::deleteWhenUnused(const std::shared_ptr<Service>& service) {
    const bool held =
        std::ranges::any_of(s_.handles, [&](const auto& open) { return open.second.object == service; });
    if (service->markedForDelete && service->state == kServiceStopped && !held) {
        std::erase(services_, service);
    }
}

void SimServices::handleClosed(Kind kind, const std::shared_ptr<void>& object) {
    if (kind == Kind::Service) {
        deleteWhenUnused(std::static_pointer_cast<Service>(object));
    }
}

// Every active service that needs `service`, directly or not, each after
// the ones that need it: the order in which they can be stopped. The
// program asks for active dependants only.
std::vector<std::shared_ptr<SimServices::Service>> SimServices::dependantsOf(const Service& service) const {
    std::vector<std::shared_ptr<Service>> ordered;
    std::set<const Service*> seen;
    const std::function<void(const Service&)> visit = [&](const Service& needed) {
        for (const auto& candidate : services_) {
            const auto& needs = candidate->dependsOn;
            const bool direct = std::any_of(needs.begin(), needs.end(), [&](const std::wstring& name) {
                return equalsIgnoringAsciiCase(name, needed.name);
            });
            if (!direct || !seen.insert(candidate.get()).second) {
                continue;
            }
            visit(*candidate);
            if (candidate->state != kServiceStopped) {
                ordered.push_back(candidate);
            }
        }
    };
    visit(service);
    return ordered;
}

Handle SimServices::OpenSCManagerW(const std::wstring* machineName, const std::wstring* databaseName,
                                   std::uint32_t desiredAccess) {
    if (auto error = s_.check("OpenSCManagerW")) {
        return kNullHandle;
    }
    // The program asks for this machine's active database; no other is modelled.
    return machineName != nullptr || databaseName != nullptr
               ? s_.fail(kErrorDatabaseDoesNotExist, kNullHandle)
               : s_.addHandle({.kind = Kind::Manager, .access = desiredAccess});
}

Handle SimServices::OpenServiceW(Handle manager, const std::wstring& serviceName,
                                 std::uint32_t desiredAccess) {
    if (s_.entryFor("OpenServiceW", manager, Kind::Manager, kScManagerConnect) == nullptr) {
        return kNullHandle;
    }
    const auto service = find(serviceName);
    return service ? s_.addHandle({.kind = Kind::Service, .object = service, .access = desiredAccess})
                   : s_.fail(kErrorServiceDoesNotExist, kNullHandle);
}

bool SimServices::QueryServiceStatusEx(Handle service, std::uint32_t infoLevel, ServiceStatusProcess& status,
                                       std::uint32_t bufSize, std::uint32_t& bytesNeeded) {
    const auto target =
        s_.objectFor<Service>("QueryServiceStatusEx", service, Kind::Service, kServiceQueryStatus);
    if (!target) {
        return false;
    }
    if (infoLevel != kScStatusProcessInfo || bufSize < kServiceStatusProcessBytes) {
        bytesNeeded = kServiceStatusProcessBytes;
        return s_.fail(infoLevel != kScStatusProcessInfo ? kErrorInvalidLevel : kErrorInsufficientBuffer);
    }
    if (target->state == kServiceStopPending) {
        ++target->checkPoint; // a live service shows progress
    }
    status = ServiceStatusProcess{};
    static_cast<ServiceStatus&>(status) = statusOf(*target);
    status.dwProcessId = target->state == kServiceStopped ? 0 : target->pid;
    return true;
}

bool SimServices::ControlService(Handle service, std::uint32_t control, ServiceStatus& status) {
    const auto target = s_.objectFor<Service>("ControlService", service, Kind::Service,
                                              control == kServiceControlStop ? kServiceStop : 0);
    if (!target) {
        return false;
    }
    const std::uint32_t error = control != kServiceControlStop     ? kErrorInvalidParameter
                                : target->refuseStop != 0          ? target->refuseStop
                                : target->state == kServiceStopped ? kErrorServiceNotActive
                                : target->state != kServiceRunning ? kErrorServiceCannotAcceptCtrl
                                : !dependantsOf(*target).empty()   ? kErrorDependentServicesRunning
                                                                   : kErrorSuccess;
    if (error != kErrorSuccess) {
        return s_.fail(error);
    }
    stopsAccepted_.push_back(target->name);
    if (target->stopAfterMs == 0U) {
        stopNow(target);
    } else {
        target->state = kServiceStopPending;
        scheduleStop(target);
    }
    status = statusOf(*target);
    return true;
}

bool SimServices::EnumDependentServicesW(Handle service, std::uint32_t serviceState, Handle buffer,
                                         std::uint32_t bufSize, std::uint32_t& bytesNeeded,
                                         std::uint32_t& servicesReturned,
                                         std::vector<EnumServiceStatus>& entries) {
    const auto target =
        s_.objectFor<Service>("EnumDependentServicesW", service, Kind::Service, kServiceEnumerateDependents);
    if (!target) {
        return false;
    }
    if (serviceState != kServiceActive) {
        return s_.fail(kErrorInvalidParameter);
    }
    const auto dependants = dependantsOf(*target);
    std::uint32_t needed = 0;
    for (const auto& dependant : dependants) {
        needed += kEnumEntryBytes + static_cast<std::uint32_t>(
                                        (dependant->name.size() + dependant->displayName.size() + 2) * 2);
    }
    servicesReturned = 0;
    if (bufSize < needed) {
        bytesNeeded = needed;
        return s_.fail(kErrorMoreData);
    }
    if (bufSize > 0) {
        const HandleEntry* block = s_.findHandle(buffer, Kind::HeapBlock);
        if (block == nullptr || block->blockBytes < bufSize) {
            return s_.fail(kErrorNoAccess);
        }
    }
    entries.clear();
    for (const auto& dependant : dependants) {
        // The names stay with the machine's service records, as the
        // platform's stay in the caller's block.
        entries.push_back(
            EnumServiceStatus{dependant->name.c_str(), dependant->displayName.c_str(), statusOf(*dependant)});
    }
    servicesReturned = static_cast<std::uint32_t>(entries.size());
    bytesNeeded = 0;
    return true;
}

bool SimServices::DeleteService(Handle service) {
    const auto target = s_.objectFor<Service>("DeleteService", service, Kind::Service, kDelete);
    if (!target) {
        return false;
    }
    if (target->markedForDelete) {
        return s_.fail(kErrorServiceMarkedForDelete);
    }
    target->markedForDelete = true;
    return true;
}

bool SimServices::CloseServiceHandle(Handle handle) {
    const auto service = s_.objectOf<Service>(handle, Kind::Service);
    const std::uint32_t error = s_.release(handle, {Kind::Manager, Kind::Service}, "CloseServiceHandle");
    if (service) {
        deleteWhenUnused(service);
    }
    return error == kErrorSuccess;
}

} // namespace tdu::platform::sim
