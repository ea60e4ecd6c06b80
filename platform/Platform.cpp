#include "platform/Platform.h"

#include <stdexcept>

namespace tdu::platform {

namespace {
Platform& current() {
    static Platform bound;
    return bound;
}
} // namespace

void bindPlatform(const Platform& bound) {
    current() = bound;
}

const Platform& boundPlatform() {
    const Platform& bound = current();
    if (bound.system == nullptr || bound.registry == nullptr) {
        throw std::logic_error("no platform bound");
    }
    return bound;
}

} // namespace tdu::platform
