// The simulated COM apartment and network configuration: installed
// components, a write lock that another client may hold, and configuration
// objects that see a working copy of the components from Initialize until
// Uninitialize, changed by Install and DeInstall and written back by Apply.
//
// Every interface pointer and task-memory block it hands out is counted in
// the machine's handle table; COM initialisations are counted per process.
#pragma once

#include "platform/NetConfig.h"
#include "platform/WideText.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tdu::platform::sim {

struct SimState;
enum class Kind;

struct SimNetComponent {
    std::wstring infId;
    Guid classGuid = kGuidDevClassNetService;
    // Other components that still need this one: DeInstall leaves it in
    // place and answers NETCFG_S_STILL_REFERENCED with their names.
    std::vector<std::wstring> referrers;
};

class SimNetConfig final : public INetConfig {
public:
    explicit SimNetConfig(SimState& state) : s_(state) {}

    void addComponent(const SimNetComponent& component) {
        components_[asciiUpper(component.infId)] = component;
    }
    [[nodiscard]] bool installed(const std::wstring& infId) const {
        return components_.contains(asciiUpper(infId));
    }
    // Every installed component's id.
    [[nodiscard]] std::vector<std::wstring> componentIds() const;

    // Another client takes the write lock, with a description of itself or
    // without; it keeps it until releaseOtherClientsLock().
    void holdWriteLock(const std::optional<std::wstring>& description) { lock_ = Lock{nullptr, description}; }
    void releaseOtherClientsLock();
    // A process's end closed one of its handles: the write lock its
    // references held ends with the last of them.
    void handleClosed(Kind kind, const std::shared_ptr<void>& object);
    [[nodiscard]] bool writeLockHeld() const { return lock_.has_value(); }
    // The description the current holder gave ("" when none or free).
    [[nodiscard]] std::wstring writeLockHolder() const {
        return lock_ ? lock_->description.value_or(L"") : L"";
    }

    // CoInitializeEx calls that succeeded minus CoUninitialize calls, for the
    // current process.
    [[nodiscard]] int comInitBalance() const;
    // Configuration objects released while still initialised or holding the
    // write lock.
    [[nodiscard]] unsigned abandonedObjects() const { return abandoned_; }
    // What the caller chose, a line for each such call: "AcquireWriteLock <timeout> <client>",
    // "DeInstall <token>", "Install <token> <flags>".
    [[nodiscard]] const std::vector<std::string>& requests() const { return requests_; }
    [[nodiscard]] unsigned applies() const { return applies_; }

    HResult CoInitializeEx(std::uint32_t coInit) override;
    void CoUninitialize() override;
    HResult CoCreateInstance(const Guid& clsid, Handle outer, std::uint32_t clsContext, const Guid& iid,
                             Handle& object) override;
    HResult QueryInterface(Handle object, const Guid& iid, Handle& result) override;
    std::uint32_t Release(Handle object) override;
    void CoTaskMemFree(Handle block) override;
    HResult AcquireWriteLock(Handle lock, std::uint32_t timeoutMs, const std::wstring& clientDescription,
                             Handle& holderDescription, std::wstring& holderText) override;
    HResult ReleaseWriteLock(Handle lock) override;
    HResult Initialize(Handle netCfg) override { return initialize("Initialize", netCfg, true); }
    HResult Uninitialize(Handle netCfg) override { return initialize("Uninitialize", netCfg, false); }
    HResult FindComponent(Handle netCfg, const std::wstring& infId, Handle& component) override;
    HResult QueryNetCfgClass(Handle netCfg, const Guid& classGuid, const Guid& iid, Handle& object) override;
    HResult Apply(Handle netCfg) override;
    HResult GetClassGuid(Handle component, Guid& classGuid) override;
    HResult DeInstall(Handle classSetup, Handle component, const OboToken& token, Handle& referrers,
                      std::wstring& referrersText) override;
    HResult Install(Handle classSetup, const std::wstring& infId, const OboToken& token,
                    std::uint32_t setupFlags, std::uint32_t upgradeFromBuildNo,
                    const std::wstring* answerFile, const std::wstring* answerSections,
                    Handle& component) override;

private:
    struct ConfigObject;
    // What an interface pointer's handle stands for; its kind tells the interface.
    struct Reference {
        std::shared_ptr<ConfigObject> object;
        std::wstring infId; // a component's
        Guid classGuid;     // a component's, a class's or a class setup's
    };

    // Its injected result, if any; a request of a live process is noted.
    std::optional<HResult> noted(std::string_view call, const std::string& request = "");
    Handle addReference(Kind kind, const Reference& reference);
    // The configuration object behind an INetCfg handle when it is initialised
    // as asked; null, with the call's error, otherwise. Notes `call` first,
    // unless it is empty: its injected result is the error.
    std::shared_ptr<ConfigObject> configFor(std::string_view call, Handle netCfg, bool initialized,
                                            HResult& error);
    // Initialize and Uninitialize: the working copy of the components lives from one to the other.
    HResult initialize(const char* call, Handle netCfg, bool initialize);
    Handle taskMemory(const std::vector<std::wstring>& strings, std::wstring& firstString);
    bool holdsLock(const ConfigObject& object) const { return lock_ && lock_->owner == &object; }

    SimState& s_;
    std::map<std::wstring, SimNetComponent> components_; // by folded id
    // The write lock while someone holds it: its owner (null: another
    // client) and the description it gave.
    struct Lock {
        const ConfigObject* owner = nullptr;
        std::optional<std::wstring> description;
    };
    std::optional<Lock> lock_;
    std::map<std::uint32_t, int> comInits_; // by process
    std::map<std::uint32_t, std::uint32_t> comModel_;
    unsigned abandoned_ = 0;
    std::vector<std::string> requests_;
    unsigned applies_ = 0;
};

} // namespace tdu::platform::sim
