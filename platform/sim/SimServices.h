// The simulated service control manager: services that run, stop at once or
// after a scripted time on the virtual clock (or never), report wait hints,
// depend on each other, and can refuse the stop control or deletion.
// Handles are counted in the machine's handle table; each checks the access
// rights it was opened with, as the real manager does.
#pragma once

#include "platform/ServiceControl.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tdu::platform::sim {

struct SimState;
enum class Kind;

struct SimServiceSetup {
    std::wstring name;
    std::wstring displayName; // one made from the name when empty
    std::uint32_t state = kServiceRunning;
    // Reported while the service is stop-pending.
    std::uint32_t waitHint = 2'000;
    // How long a stop takes, from the stop control or, for a service created
    // stop-pending, from its creation; 0 stops within the control itself,
    // nullopt never.
    std::optional<std::uint64_t> stopAfterMs = 0;
    // Non-zero: the stop control fails with this error.
    std::uint32_t refuseStop = 0;
    // Services this one depends on: it is their dependant.
    std::vector<std::wstring> dependsOn;
};

class SimServices final : public IServiceControl {
public:
    explicit SimServices(SimState& state) : s_(state) {}

    void addService(const SimServiceSetup& setup);
    // What an INF's DelService does: marks the service for deletion, and it
    // goes once it has stopped and nobody holds it.
    void deleteByName(const std::wstring& name);
    // A process's end closed one of its handles: a service marked for
    // deletion goes with the last handle to it, as when the process had
    // closed them.
    void handleClosed(Kind kind, const std::shared_ptr<void>& object);
    [[nodiscard]] bool exists(const std::wstring& name) const { return find(name) != nullptr; }
    // Every service, by name.
    [[nodiscard]] std::vector<std::wstring> names() const;
    // dwCurrentState, or 0 for a service that does not exist.
    [[nodiscard]] std::uint32_t state(const std::wstring& name) const {
        return exists(name) ? find(name)->state : 0;
    }
    [[nodiscard]] bool markedForDelete(const std::wstring& name) const {
        return exists(name) && find(name)->markedForDelete;
    }
    // The services that accepted a stop control, in order.
    [[nodiscard]] const std::vector<std::wstring>& stopsAccepted() const { return stopsAccepted_; }

    Handle OpenSCManagerW(const std::wstring* machineName, const std::wstring* databaseName,
                          std::uint32_t desiredAccess) override;
    Handle OpenServiceW(Handle manager, const std::wstring& serviceName,
                        std::uint32_t desiredAccess) override;
    bool QueryServiceStatusEx(Handle service, std::uint32_t infoLevel, ServiceStatusProcess& status,
                              std::uint32_t bufSize, std::uint32_t& bytesNeeded) override;
    bool ControlService(Handle service, std::uint32_t control, ServiceStatus& status) override;
    bool EnumDependentServicesW(Handle service, std::uint32_t serviceState, Handle buffer,
                                std::uint32_t bufSize, std::uint32_t& bytesNeeded,
                                std::uint32_t& servicesReturned,
                                std::vector<EnumServiceStatus>& entries) override;
    bool DeleteService(Handle service) override;
    bool CloseServiceHandle(Handle handle) override;

private:
    // A service as set up, its state the current one.
    struct Service : SimServiceSetup {
        std::uint32_t checkPoint = 0;
        std::uint32_t pid = 0;
        bool markedForDelete = false;
    };

    std::shared_ptr<Service> find(const std::wstring& name) const;
    std::vector<std::shared_ptr<Service>> dependantsOf(const Service& service) const;
    void stopNow(const std::shared_ptr<Service>& service);
    void scheduleStop(const std::shared_ptr<Service>& service);
    void deleteWhenUnused(const std::shared_ptr<Service>& service);
    ServiceStatus statusOf(const Service& service) const;

    SimState& s_;
    std::vector<std::shared_ptr<Service>> services_; // in creation order, the order dependants are found in
    std::vector<std::wstring> stopsAccepted_;
};

} // namespace tdu::platform::sim
