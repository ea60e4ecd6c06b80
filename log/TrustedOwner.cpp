#include "log/TrustedOwner.h"

#include "platform/Platform.h"

namespace tdu::log {

using platform::sys;

std::wstring ownerOf(platform::Handle object, std::uint32_t objectType) {
    std::wstring owner;
    if (sys().GetSecurityInfo(object, objectType, platform::kOwnerSecurityInformation, owner) !=
        platform::kErrorSuccess) {
        return {};
    }
    return owner;
}

bool isTrustedOwner(std::wstring_view ownerSid) {
    if (ownerSid.empty()) {
        return false;
    }
    if (ownerSid == kLocalSystemSid || ownerSid == kAdministratorsSid) {
        return true;
    }
    std::wstring user;
    return sys().GetTokenUser(platform::kTokenQuery, user) && ownerSid == user;
}

} // namespace tdu::log
