// The one process-wide way into the platform. The entry point binds the
// Win32 implementation; each test binds a fresh simulated machine. Later
// service families (device setup, service control, network configuration,
// installer database, file version) join this record the same way.
#pragma once

#include "platform/NetConfig.h"
#include "platform/Registry.h"
#include "platform/ServiceControl.h"
#include "platform/System.h"

namespace tdu::platform {

struct Platform {
    ISystem* system = nullptr;
    IRegistry* registry = nullptr;
    IServiceControl* serviceControl = nullptr;
    INetConfig* netConfig = nullptr;
};

void bindPlatform(const Platform& bound);
const Platform& boundPlatform();

inline ISystem& sys() {
    return *boundPlatform().system;
}
inline IRegistry& reg() {
    return *boundPlatform().registry;
}
inline IServiceControl& scm() {
    return *boundPlatform().serviceControl;
}
inline INetConfig& netcfg() {
    return *boundPlatform().netConfig;
}

} // namespace tdu::platform
