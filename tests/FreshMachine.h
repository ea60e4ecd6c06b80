// A fresh simulated machine bound as the platform, as the installer finds it: the log folder's parent
// present, the log path not yet cached by this process. The platform bound before comes back at the end.
#pragma once

#include "log/LogWriter.h"
#include "platform/sim/SimMachine.h"
#include "service/ServiceHandler.h"

#include <stdexcept>

namespace tdu::test {

class FreshMachine {
public:
    platform::sim::SimMachine machine;

    FreshMachine() : previous_(boundOrNothing()) {
        platform::bindPlatform(machine.platform());
        log::resetLogPathCache();
        machine.createDirectories(L"C:\\Users\\Public\\Tavrin Secure");
    }
    ~FreshMachine() {
        ServiceHandler::getInstance().disconnect();
        log::resetLogPathCache(); // its folders are this machine's
        platform::bindPlatform(previous_);
    }
    FreshMachine(const FreshMachine&) = delete;
    FreshMachine& operator=(const FreshMachine&) = delete;

private:
    // What was bound before, if anything: a test may run alone in its process.
    static platform::Platform boundOrNothing() {
        try {
            return platform::boundPlatform();
        } catch (const std::logic_error&) {
            return {};
        }
    }

    platform::Platform previous_;
};

} // namespace tdu::test
