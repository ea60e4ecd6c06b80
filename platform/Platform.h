// The one process-wide way into the platform. The entry point binds the
// Win32 implementation; each test binds a fresh simulated machine. One
// pointer per service family; a new family joins the record the same way.
#pragma once

#include "platform/DeviceSetup.h"
#include "platform/FileVersion.h"
#include "platform/InstallerDb.h"
#include "platform/NetConfig.h"
#include "platform/Registry.h"
#include "platform/ServiceControl.h"
#include "platform/System.h"

#include <stdexcept>

namespace tdu::platform {

struct Platform {
    ISystem* system = nullptr;
    IRegistry* registry = nullptr;
    IDeviceSetup* devices = nullptr;
    IServiceControl* serviceControl = nullptr;
    INetConfig* netConfig = nullptr;
    IInstallerDb* installerDb = nullptr;
    IFileVersion* fileVersion = nullptr;
};

void bindPlatform(const Platform& bound);
const Platform& boundPlatform();

template <class Interface> Interface& bound(Interface* service) {
    if (service == nullptr) {
        throw std::logic_error("platform service not bound");
    }
    return *service;
}

inline ISystem& sys() {
    return bound(boundPlatform().system);
}
inline IRegistry& reg() {
    return bound(boundPlatform().registry);
}
inline IDeviceSetup& dev() {
    return bound(boundPlatform().devices);
}
inline IInstallerDb& installerDb() {
    return bound(boundPlatform().installerDb);
}
inline IFileVersion& fileVersion() {
    return bound(boundPlatform().fileVersion);
}
inline IServiceControl& scm() {
    return bound(boundPlatform().serviceControl);
}
inline INetConfig& netcfg() {
    return bound(boundPlatform().netConfig);
}

} // namespace tdu::platform
