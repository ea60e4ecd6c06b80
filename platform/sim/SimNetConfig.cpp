#include "platform/sim/SimNetConfig.h"

#include "platform/sim/SimMachine.h"

#include <sstream>

namespace tdu::platform::sim {

namespace {

constexpr HResult kRpcEChangedMode = hresult(0x80010106);
constexpr HResult kRegdbEClassNotReg = hresult(0x80040154);
constexpr HResult kClassENoAggregation = hresult(0x80040110);

std::string hex(std::uint32_t value) {
    std::ostringstream text;
    text << "0x" << std::hex << value;
    return text.str();
}

std::string tokenText(const OboToken& token) {
    auto text = [](const wchar_t* value) { return value == nullptr ? std::string("null") : narrow(value); };
    return "{" + std::to_string(token.type) + ", " + (token.pncc == kNullHandle ? "null" : "component") +
           ", " + text(token.manufacturer) + ", " + text(token.product) + ", " + text(token.displayName) +
           ", " + std::to_string(token.registered) + "}";
}

bool isNetClass(const Guid& guid) {
    return guid == kGuidDevClassNet || guid == kGuidDevClassNetClient || guid == kGuidDevClassNetService ||
           guid == kGuidDevClassNetTrans;
}

bool isReference(Kind kind) {
    return kind >= Kind::NetCfg && kind <= Kind::NetCfgClassSetup;
}

} // namespace

struct SimNetConfig::ConfigObject {
    bool initialized = false;
    std::map<std::wstring, SimNetComponent> working; // by folded id
    unsigned references = 0;
};

std::vector<std::wstring> SimNetConfig::componentIds() const {
    return listOf(components_, [](const auto& one) { return one.second.infId; });
}

void SimNetConfig::releaseOtherClientsLock() {
    if (lock_ && lock_->owner == nullptr) {
        lock_.reset();
    }
}

int SimNetConfig::comInitBalance() const {
    const auto found = comInits_.find(s_.pid);
    return found == comInits_.end() ? 0 : found->second;
}

// A dead process's calls never reach the configuration.
std::optional<HResult> SimNetConfig::noted(std::string_view call, const std::string& request) {
    if (!request.empty() && !s_.dead()) {
        requests_.push_back(std::string(call) + " " + request);
    }
    const auto result = s_.check(call);
    return result ? std::optional(static_cast<HResult>(*result)) : std::nullopt;
}

Handle SimNetConfig::addReference(Kind kind, const Reference& reference) {
    ++reference.object->references;
    return s_.addHandle({.kind = kind, .object = std::make_shared<Reference>(reference)});
}

Handle SimNetConfig::taskMemory(const std::vector<std::wstring>& strings, std::wstring& firstString) {
    firstString = strings.empty() ? std::wstring() : strings.front();
    return s_.addHandle({.kind = Kind::TaskMemory});
}

void SimNetConfig::handleClosed(Kind kind, const std::shared_ptr<void>& object) {
    if (!isReference(kind)) {
        return;
    }
    const std::shared_ptr<ConfigObject> config = std::static_pointer_cast<Reference>(object)->object;
    if (--config->references == 0 && holdsLock(*config)) {
        lock_.reset();
    }
}

HResult SimNetConfig::CoInitializeEx(std::uint32_t coInit) {
    if (auto result = noted("CoInitializeEx")) {
        return *result;
    }
    int& count = comInits_[s_.pid];
    const std::uint32_t model = coInit & kCoinitApartmentThreaded;
    if (count > 0 && comModel_[s_.pid] != model) {
        return kRpcEChangedMode;
    }
    comModel_[s_.pid] = model;
    return count++ == 0 ? kSOk : kSFalse;
}

void SimNetConfig::CoUninitialize() {
    comInits_[s_.pid] -= s_.dead() ? 0 : 1; // below zero shows an unbalanced call
}

HResult SimNetConfig::CoCreateInstance(const Guid& clsid, Handle outer, std::uint32_t /*clsContext*/,
                                       const Guid& iid, Handle& object) {
    object = kNullHandle;
    if (auto result = noted("CoCreateInstance")) {
        return *result;
    }
    const HResult refused = comInitBalance() <= 0                          ? kCoENotInitialized
                            : clsid != kClsidCNetCfg                       ? kRegdbEClassNotReg
                            : outer != kNullHandle                         ? kClassENoAggregation
                            : iid != kIidINetCfg && iid != kIidINetCfgLock ? kENoInterface
                                                                           : kSOk;
    if (refused != kSOk) {
        return refused;
    }
    object = addReference(iid == kIidINetCfg ? Kind::NetCfg : Kind::NetCfgLock,
                          Reference{std::make_shared<ConfigObject>(), L"", Guid{}});
    return kSOk;
}

HResult SimNetConfig::QueryInterface(Handle object, const Guid& iid, Handle& result) {
    result = kNullHandle;
    const HandleEntry* found = s_.findHandle(object);
    const bool reference = found != nullptr && isReference(found->kind);
    if (auto injected = noted("QueryInterface")) {
        return *injected;
    }
    if (!reference) {
        return kEPointer;
    }
    // The program asks a configuration object for its lock and a class for its
    // setup.
    if (found->kind == Kind::NetCfg && iid == kIidINetCfgLock) {
        result = addReference(Kind::NetCfgLock, *std::static_pointer_cast<Reference>(found->object));
    } else if (found->kind == Kind::NetCfgClass && iid == kIidINetCfgClassSetup) {
        result = addReference(Kind::NetCfgClassSetup, *std::static_pointer_cast<Reference>(found->object));
    }
    return result == kNullHandle ? kENoInterface : kSOk;
}

std::uint32_t SimNetConfig::Release(Handle object) {
    if (s_.dead()) {
        return 0;
    }
    const HandleEntry* found = s_.findHandle(object);
    if (found == nullptr || !isReference(found->kind)) {
        return 0;
    }
    const std::shared_ptr<ConfigObject> target = std::static_pointer_cast<Reference>(found->object)->object;
    s_.closeHandle(object);
    if (--target->references > 0) {
        return target->references;
    }
    if (target->initialized || holdsLock(*target)) {
        ++abandoned_;
    }
    if (holdsLock(*target)) {
        lock_->owner = nullptr; // held for good: nobody is left to release it
    }
    return 0;
}

void SimNetConfig::CoTaskMemFree(Handle block) {
    if (!s_.dead() && s_.findHandle(block, Kind::TaskMemory) != nullptr) {
        s_.closeHandle(block);
    }
}

HResult SimNetConfig::AcquireWriteLock(Handle lock, std::uint32_t timeoutMs,
                                       const std::wstring& clientDescription, Handle& holderDescription,
                                       std::wstring& holderText) {
    holderDescription = kNullHandle;
    holderText.clear();
    if (auto result =
            noted("AcquireWriteLock", std::to_string(timeoutMs) + " " + narrow(clientDescription))) {
        return *result;
    }
    const Reference* reference = s_.objectOf<Reference>(lock, Kind::NetCfgLock).get();
    if (reference == nullptr) {
        return kEPointer;
    }
    const ConfigObject* object = reference->object.get();
    if (lock_ && lock_->owner != object) {
        s_.runUntil(s_.now + timeoutMs, [this] { return !lock_; });
    }
    if (lock_ && lock_->owner != object) {
        if (lock_->description) {
            holderDescription = taskMemory({*lock_->description}, holderText);
        }
        return kSFalse;
    }
    lock_ = Lock{object, clientDescription};
    return kSOk;
}

HResult SimNetConfig::ReleaseWriteLock(Handle lock) {
    if (auto result = noted("ReleaseWriteLock")) {
        return *result;
    }
    const Reference* reference = s_.objectOf<Reference>(lock, Kind::NetCfgLock).get();
    if (reference != nullptr && holdsLock(*reference->object)) {
        lock_.reset();
    }
    return reference == nullptr ? kEPointer : kSOk;
}

std::shared_ptr<SimNetConfig::ConfigObject> SimNetConfig::configFor(std::string_view call, Handle netCfg,
                                                                    bool initialized, HResult& error) {
    if (auto result = call.empty() ? std::nullopt : noted(call)) {
        error = *result;
        return nullptr;
    }
    const Reference* reference = s_.objectOf<Reference>(netCfg, Kind::NetCfg).get();
    error = reference == nullptr                            ? kEPointer
            : reference->object->initialized == initialized ? kSOk
            : initialized                                   ? kNetcfgENotInitialized
                                                            : kNetcfgEAlreadyInitialized;
    return error == kSOk ? reference->object : nullptr;
}

// Changes that were never applied are dropped.
HResult SimNetConfig::initialize(const char* call, Handle netCfg, bool initialize) {
    HResult error = kSOk;
    if (const auto config = configFor(call, netCfg, !initialize, error)) {
        config->initialized = initialize;
        config->working = initialize ? components_ : std::map<std::wstring, SimNetComponent>{};
    }
    return error;
}

HResult SimNetConfig::FindComponent(Handle netCfg, const std::wstring& infId, Handle& component) {
    component = kNullHandle;
    HResult error = kSOk;
    const auto config = configFor("FindComponent", netCfg, true, error);
    if (!config) {
        return error;
    }
    const auto found = config->working.find(asciiUpper(infId));
    if (found == config->working.end()) {
        return kSFalse;
    }
    component =
        addReference(Kind::NetCfgComponent, Reference{config, found->second.infId, found->second.classGuid});
    return kSOk;
}

HResult SimNetConfig::QueryNetCfgClass(Handle netCfg, const Guid& classGuid, const Guid& iid,
                                       Handle& object) {
    object = kNullHandle;
    HResult error = kSOk;
    const auto config = configFor("QueryNetCfgClass", netCfg, true, error);
    error = !config                                                   ? error
            : !isNetClass(classGuid)                                  ? kEInvalidArg
            : iid != kIidINetCfgClass && iid != kIidINetCfgClassSetup ? kENoInterface
                                                                      : kSOk;
    if (error != kSOk) {
        return error;
    }
    object = addReference(iid == kIidINetCfgClass ? Kind::NetCfgClass : Kind::NetCfgClassSetup,
                          Reference{config, L"", classGuid});
    return kSOk;
}

HResult SimNetConfig::Apply(Handle netCfg) {
    const std::optional<HResult> result = noted("Apply");
    applies_ += s_.dead() ? 0 : 1;
    if (result && *result < 0) {
        return *result;
    }
    HResult error = kSOk;
    const auto config = configFor("", netCfg, true, error);
    if (!config || !holdsLock(*config)) {
        return config ? kNetcfgENoWriteLock : error;
    }
    components_ = config->working;
    return result.value_or(kSOk);
}

HResult SimNetConfig::GetClassGuid(Handle component, Guid& classGuid) {
    const Reference* reference = s_.objectOf<Reference>(component, Kind::NetCfgComponent).get();
    if (auto result = noted("GetClassGuid")) {
        return *result;
    }
    if (reference == nullptr) {
        return kEPointer;
    }
    classGuid = reference->classGuid;
    return kSOk;
}

HResult SimNetConfig::DeInstall(Handle classSetup, Handle component, const OboToken& token, Handle& referrers,
                                std::wstring& referrersText) {
    const Reference* target = s_.objectOf<Reference>(component, Kind::NetCfgComponent).get();
    referrers = kNullHandle;
    referrersText.clear();
    const std::optional<HResult> result = noted("DeInstall", tokenText(token));
    if (result && *result < 0) {
        return *result;
    }
    const Reference* setup = s_.objectOf<Reference>(classSetup, Kind::NetCfgClassSetup).get();
    const HResult refused = setup == nullptr || target == nullptr                         ? kEPointer
                            : !(target->classGuid == setup->classGuid) || token.type == 0 ? kEInvalidArg
                            : !holdsLock(*setup->object) ? kNetcfgENoWriteLock
                                                         : kSOk;
    if (refused != kSOk) {
        return refused;
    }
    auto& working = setup->object->working;
    const auto found = working.find(asciiUpper(target->infId));
    if (found == working.end()) {
        return kEInvalidArg;
    }
    // A component others still need stays, and they are named.
    const bool needed = !found->second.referrers.empty();
    if (needed || result == kNetcfgSStillReferenced) {
        referrers = taskMemory(found->second.referrers, referrersText);
    }
    if (!needed) {
        working.erase(found);
    }
    return result.value_or(needed ? kNetcfgSStillReferenced : kSOk);
}

HResult SimNetConfig::Install(Handle classSetup, const std::wstring& infId, const OboToken& token,
                              std::uint32_t setupFlags, std::uint32_t /*upgradeFromBuildNo*/,
                              const std::wstring* /*answerFile*/, const std::wstring* /*answerSections*/,
                              Handle& component) {
    component = kNullHandle;
    const std::optional<HResult> result = noted("Install", tokenText(token) + " " + hex(setupFlags));
    if (result && *result < 0) {
        return *result;
    }
    const Reference* setup = s_.objectOf<Reference>(classSetup, Kind::NetCfgClassSetup).get();
    const HResult refused = setup == nullptr             ? kEPointer
                            : token.type == 0            ? kEInvalidArg
                            : !holdsLock(*setup->object) ? kNetcfgENoWriteLock
                                                         : kSOk;
    if (refused != kSOk) {
        return refused;
    }
    const SimNetComponent& added =
        setup->object->working.try_emplace(asciiUpper(infId), SimNetComponent{infId, setup->classGuid, {}})
            .first->second;
    component = addReference(Kind::NetCfgComponent, Reference{setup->object, infId, added.classGuid});
    return result.value_or(kSOk);
}

} // namespace tdu::platform::sim
