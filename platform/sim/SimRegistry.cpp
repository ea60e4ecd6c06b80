#include "platform/sim/SimState.h"

namespace tdu::platform::sim {

constexpr std::uint32_t kKeyQueryValue = 0x0001;
constexpr std::uint32_t kKeySetValue = 0x0002;
constexpr std::uint32_t kKeyEnumerateSubKeys = 0x0008;

class SimRegistry final : public IRegistry {
public:
    explicit SimRegistry(SimState& state) : s_(state) {}

    LStatus RegCreateKeyExW(RegRoot /*root*/, const std::wstring& subKey, std::uint32_t /*options*/,
                            std::uint32_t access, Handle& key) override {
        return openKey("RegCreateKeyExW", subKey, access, key, true);
    }

    LStatus RegOpenKeyExW(RegRoot /*root*/, const std::wstring& subKey, std::uint32_t access,
                          Handle& key) override {
        return openKey("RegOpenKeyExW", subKey, access, key, false);
    }

    LStatus RegSetValueExW(Handle key, const std::wstring& valueName, std::uint32_t type, const RegData& data,
                           std::uint32_t byteCount) override {
        return withKey("RegSetValueExW", key, kKeySetValue, [&](RegNode& node) {
            SimRegValue value{type, data.bytes};
            value.bytes.resize(byteCount, 0);
            node.values[asciiUpper(valueName)] = {valueName, value};
            return kErrorSuccess;
        });
    }

    LStatus RegQueryValueExW(Handle key, const std::wstring& valueName, std::uint32_t* type, RegData* data,
                             std::uint32_t* byteCount) override {
        return withKey("RegQueryValueExW", key, kKeyQueryValue, [&](RegNode& node) {
            const auto found = node.values.find(asciiUpper(valueName));
            if (found == node.values.end()) {
                return kErrorFileNotFound;
            }
            const SimRegValue& value = found->second.second;
            setIfGiven(type, value.type);
            const auto size = static_cast<std::uint32_t>(value.bytes.size());
            if (data != nullptr) {
                if (byteCount == nullptr) {
                    return kErrorInvalidParameter;
                }
                if (size > *byteCount) {
                    *byteCount = size;
                    return kErrorMoreData;
                }
                data->bytes = value.bytes;
            }
            setIfGiven(byteCount, size);
            return kErrorSuccess;
        });
    }

    LStatus RegDeleteValueW(Handle key, const std::wstring& valueName) override {
        return withKey("RegDeleteValueW", key, kKeySetValue, [&](RegNode& node) {
            return node.values.erase(asciiUpper(valueName)) == 0 ? kErrorFileNotFound : kErrorSuccess;
        });
    }

    LStatus RegDeleteKeyW(RegRoot /*root*/, const std::wstring& subKey) override {
        if (auto error = s_.check("RegDeleteKeyW")) {
            return status(*error);
        }
        const std::vector<std::wstring> parts = splitKeyPath(subKey, false);
        if (parts.empty()) {
            return status(kErrorAccessDenied); // the root itself cannot be deleted
        }
        const std::shared_ptr<RegNode> parent = findKey(s_.hklm, {parts.begin(), parts.end() - 1});
        const std::shared_ptr<RegNode> child = parent ? findKey(parent, {parts.back()}) : nullptr;
        if (!child || !child->children.empty()) {
            return status(child ? kErrorAccessDenied : kErrorFileNotFound);
        }
        // Handles still open on the key see it as deleted.
        child->deleted = true;
        parent->children.erase(asciiUpper(parts.back()));
        return status(kErrorSuccess);
    }

    LStatus RegEnumKeyExW(Handle key, std::uint32_t index, std::wstring& name,
                          std::uint32_t& nameChars) override {
        return withKey("RegEnumKeyExW", key, kKeyEnumerateSubKeys, [&](RegNode& node) {
            if (index >= node.children.size()) {
                return kErrorNoMoreItems;
            }
            const std::wstring& childName = std::next(node.children.begin(), index)->second->name;
            if (childName.size() + 1 > nameChars) {
                return kErrorMoreData;
            }
            name = childName;
            nameChars = static_cast<std::uint32_t>(childName.size());
            return kErrorSuccess;
        });
    }

    LStatus RegFlushKey(RegRoot /*root*/) override {
        return status(s_.check("RegFlushKey").value_or(kErrorSuccess));
    }

    LStatus RegCloseKey(Handle key) override { return status(s_.release(key, {Kind::Key})); }

private:
    static LStatus status(std::uint32_t error) { return static_cast<LStatus>(error); }

    // RegCreateKeyExW and RegOpenKeyExW: a handle to the key, in the view the access names.
    LStatus openKey(std::string_view call, const std::wstring& subKey, std::uint32_t access, Handle& key,
                    bool create) {
        key = kNullHandle;
        if (auto error = s_.check(call)) {
            return status(*error);
        }
        const std::vector<std::wstring> parts = splitKeyPath(subKey, (access & kKeyWow64_32Key) != 0);
        const std::shared_ptr<RegNode> node = create ? createKey(s_.hklm, parts) : findKey(s_.hklm, parts);
        if (node) {
            key = s_.addHandle({.kind = Kind::Key, .object = node, .access = access});
        }
        return status(node ? kErrorSuccess : kErrorFileNotFound);
    }

    // The call's error on the open key behind a handle, checked for the rights
    // it needs. Counts a use of `call` first: its injected error when that use fails.
    template <class Body> LStatus withKey(std::string_view call, Handle key, std::uint32_t right, Body body) {
        if (auto error = s_.check(call)) {
            return status(*error);
        }
        const HandleEntry* entry = s_.findHandle(key, Kind::Key);
        RegNode* node = entry == nullptr ? nullptr : static_cast<RegNode*>(entry->object.get());
        return status(node == nullptr                    ? kErrorInvalidHandle
                      : node->deleted                    ? kErrorKeyDeleted
                      : (entry->access & right) != right ? kErrorAccessDenied
                                                         : body(*node));
    }

    SimState& s_;
};

std::unique_ptr<IRegistry> makeRegistry(SimState& state) {
    return std::make_unique<SimRegistry>(state);
}

} // namespace tdu::platform::sim
