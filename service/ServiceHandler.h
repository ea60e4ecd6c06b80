// Stops and deletes one Windows service by name through the service control
// manager, stopping its active dependants first. Callers learn only yes or
// no; the log tells the story.
#pragma once

#include "platform/Owners.h"

#include <string>

class ServiceHandler {
public:
    // The process-wide handler.
    static ServiceHandler& getInstance();

    ServiceHandler() = default;
    ServiceHandler(const ServiceHandler&) = delete;
    ServiceHandler& operator=(const ServiceHandler&) = delete;
    ~ServiceHandler() = default;

    // Names the service and opens a fresh manager connection. An empty name
    // changes nothing.
    ServiceHandler& init(const std::wstring& name);
    // True when the service is stopped at the end.
    bool stop();
    // True when the service was marked for deletion.
    bool remove();
    // Closes the manager connection that init keeps for the process's
    // lifetime; a test machine that is about to go calls it.
    void disconnect() { manager.reset(); }

private:
    bool stopDependentServices(tdu::platform::Handle manager, tdu::platform::Handle service);

    tdu::platform::ServiceHandle manager;
    std::wstring serviceName;
};
