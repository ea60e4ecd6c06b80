// A simulated Windows machine for the native tests: registry with both views,
// named kernel objects shared by simulated processes, files under a private
// temporary folder standing for the drive, environment, a virtual clock.
//
// Two powers make it the test bed for every path:
// - fault injection: any failable call can be made to fail with a chosen
//   error on its Nth use;
// - accounting: every handle, key and stream it hands out is counted, so a
//   test can assert that a path released everything it acquired.
#pragma once

#include "platform/sim/SimState.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tdu::platform::sim {

class SimMachine {
public:
    SimMachine();
    ~SimMachine();
    SimMachine(const SimMachine&) = delete;
    SimMachine& operator=(const SimMachine&) = delete;

    // The interfaces to bind with bindPlatform().
    Platform platform();

    // Fault injection: the nth use (1-based) of `call` fails with `error`;
    // nth 0 fails every use. A failed call returns what the real call returns
    // on failure (a status, a null handle, false, WAIT_FAILED or an error
    // code) and leaves `error` as the last error.
    void failCall(const std::string& call, unsigned nth, std::uint32_t error) {
        state_->faults.push_back(Fault{call, nth, error, false, {}});
    }
    // The nth use of `call` runs out of memory (throws std::bad_alloc).
    void throwOnCall(const std::string& call, unsigned nth) {
        state_->faults.push_back(Fault{call, nth, 0, true, {}});
    }
    // At the nth use (1-based) of `call`, before the call does anything,
    // `action` runs: what another process does at that very moment. The call
    // then goes on.
    void onCall(const std::string& call, unsigned nth, std::function<void()> action) {
        state_->faults.push_back(Fault{call, nth, 0, false, std::move(action)});
    }
    // The current process is killed at the nth failable call from now
    // (1-based), as Windows ends a process: from that call on, no call of the
    // process reaches the machine. Each does nothing and fails (a sleep only
    // lets the clock run), so the program runs on to its end without a trace;
    // the call it died at is the last of callTrace(). The machine's state
    // stays for the next process; endProcess() closes what the dead one held.
    void killAtCall(unsigned nth) { state_->killAt = state_->trace.size() + nth; }
    // Every failable call made so far, in order: the list a fault sweep walks.
    [[nodiscard]] const std::vector<std::string>& callTrace() const { return state_->trace; }
    [[nodiscard]] unsigned callCount(const std::string& call) const {
        const auto found = state_->uses.find(call);
        return found == state_->uses.end() ? 0 : found->second;
    }

    // Accounting of handles, keys and streams still open.
    [[nodiscard]] std::size_t openHandleCount() const { return state_->handles.size(); }
    [[nodiscard]] std::string openHandleReport() const;

    // Virtual clock, in milliseconds since the machine started. Waits and
    // sleeps advance it and run the actions scheduled up to their end.
    [[nodiscard]] std::uint64_t nowMs() const { return state_->now; }
    void at(std::uint64_t whenMs, std::function<void()> action) {
        state_->scheduled.emplace(whenMs, std::move(action));
    }
    void advance(std::uint64_t ms) {
        state_->runUntil(state_->now + ms, [] { return false; });
    }
    void setLocalTime(const LocalTime& atStart) { state_->localTimeAtStart = atStart; }
    // The local time `ms` after `start`: what GetLocalTime answers once the
    // virtual clock has run that long.
    static LocalTime localTimeAfter(const LocalTime& start, std::uint64_t ms);
    void setTickCountAtStart(std::uint32_t ticks) { state_->tickAtStart = ticks; }

    // Simulated processes: calls are made on behalf of the current one.
    void setCurrentProcess(std::uint32_t pid) { state_->pid = pid; }
    void asProcess(std::uint32_t pid, const std::function<void()>& body);
    // The account a process runs as (SID text); LocalSystem unless set.
    void setProcessUser(std::uint32_t pid, const std::wstring& sid) { state_->processUsers[pid] = sid; }
    // Closes the process's handles, lets go of the mutexes it owns and of the
    // locks it held through them (a killed process is then gone).
    void endProcess(std::uint32_t pid);
    void setModulePath(const std::wstring& path) { state_->modulePath = path; }

    void setEnvironment(const std::wstring& name, const std::wstring& value) {
        state_->environment[asciiUpper(name)] = value;
    }
    void removeEnvironment(const std::wstring& name) { state_->environment.erase(asciiUpper(name)); }

    // Files: a Windows path ("C:\\Users\\Public\\x") and where it lies here.
    [[nodiscard]] std::filesystem::path hostPath(const std::wstring& windowsPath) const {
        return mapToHost(state_->root, windowsPath);
    }
    [[nodiscard]] std::optional<std::string> readFile(const std::wstring& windowsPath) const {
        return readHostFile(hostPath(windowsPath));
    }
    void writeFile(const std::wstring& windowsPath, const std::string& bytes);
    void createDirectories(const std::wstring& windowsPath);
    // The access (SDDL) a folder was given when a call created it or wrote it last.
    [[nodiscard]] std::optional<std::wstring> folderSecurity(const std::wstring& windowsPath) const {
        const auto folder = state_->folderSecurity.find(hostPath(windowsPath));
        return folder == state_->folderSecurity.end() ? std::nullopt : std::optional(folder->second);
    }
    void setFolderSecurity(const std::wstring& windowsPath, const std::wstring& sddl) {
        state_->folderSecurity[hostPath(windowsPath)] = sddl;
    }
    // Who owns a file or folder: LocalSystem unless set, or the account of
    // the process whose call created it.
    void setOwner(const std::wstring& windowsPath, const std::wstring& sid) {
        state_->owners[hostPath(windowsPath)] = sid;
    }
    // Another process renames an entry (MoveFileExW): refused with
    // ERROR_SHARING_VIOLATION while a handle to it is open without delete
    // sharing. The error, ERROR_SUCCESS when moved.
    std::uint32_t move(const std::wstring& from, const std::wstring& to);

    // Registry, by native path below HKLM ("SOFTWARE\\Wow6432Node\\...").
    void regCreateKey(const std::wstring& path) { createKey(state_->hklm, splitKeyPath(path, false)); }
    void regSetValue(const std::wstring& path, const std::wstring& name, const SimRegValue& value) {
        createKey(state_->hklm, splitKeyPath(path, false))->values[asciiUpper(name)] = {name, value};
    }
    [[nodiscard]] bool regKeyExists(const std::wstring& path) const {
        return findKey(state_->hklm, splitKeyPath(path, false)) != nullptr;
    }
    // Every key below HKLM by its native path, each followed by its values
    // ("<path> : <name> = <type> <data>": strings as text, other data as its
    // bytes in hex).
    [[nodiscard]] std::vector<std::string> registryLines() const;
    [[nodiscard]] std::optional<SimRegValue> regValue(const std::wstring& path,
                                                      const std::wstring& name) const;

    [[nodiscard]] bool namedObjectExists(const std::wstring& name) const {
        return state_->namedObjects.contains(asciiUpper(name));
    }
    // Every named object there is, by name.
    [[nodiscard]] std::vector<std::wstring> namedObjects() const {
        return listOf(state_->namedObjects, [](const auto& one) { return one.second->name; });
    }
    // A link in the object namespace: opening or creating `name` reaches `target`.
    void linkNamedObject(const std::wstring& name, const std::wstring& target) {
        state_->objectLinks[asciiUpper(name)] = target;
    }
    // The descriptor (SDDL) its creator gave a named object; nullopt when none exists.
    [[nodiscard]] std::optional<std::wstring> namedObjectSecurity(const std::wstring& name) const {
        const auto object = state_->namedObjects.find(asciiUpper(name));
        return object == state_->namedObjects.end() ? std::nullopt
                                                    : std::optional(object->second->securityDescriptor);
    }

    // Device tree and driver store.
    void addDevice(const SimDevice& device) { state_->devices.push_back(device); }
    [[nodiscard]] std::vector<SimDevice> devices() const { return state_->devices; }
    [[nodiscard]] std::optional<SimDevice> device(const std::wstring& instanceId) const {
        const SimDevice* found = state_->deviceOf(instanceId);
        return found == nullptr ? std::nullopt : std::optional(*found);
    }
    // Published packages by their oem names, in publication order.
    [[nodiscard]] std::vector<std::wstring> publishedPackages() const {
        return listOf(state_->driverStore, &SimPackage::oemName);
    }
    // Every publication so far, in order: the name given and the INF it was copied from.
    [[nodiscard]] const std::vector<std::pair<std::wstring, std::wstring>>& publications() const {
        return state_->publications;
    }
    // Whether a driver update asks for a restart.
    void setDriverUpdateRestart(bool restart) { state_->driverUpdateRestart = restart; }
    // The command lines of the INF sections run, in order.
    [[nodiscard]] std::vector<std::wstring> sectionsRun() const { return state_->sectionsRun; }
    void setWindowsDirectory(const std::wstring& path) { state_->windowsDirectory = path; }
    // How driver details spell the store's folder (Wine writes "C:/windows/inf\\").
    void setDetailInfFolder(const std::wstring& folder) { state_->detailInfFolder = folder; }

    // Installed products: a product code known to the installer with its
    // cached package ("LocalPackage"), and what that package's
    // InstallExecuteSequence holds as last committed.
    void installProduct(const std::wstring& productCode, const std::wstring& localPackage,
                        const std::vector<SimSequenceRow>& installExecuteSequence);
    // The product stays registered; its package is gone.
    void deleteCachedPackage(const std::wstring& localPackage) {
        state_->packages.erase(asciiUpper(localPackage));
    }
    [[nodiscard]] std::vector<SimSequenceRow> installExecuteSequence(const std::wstring& localPackage) const;

    // A file that carries a version resource with this fixed file information.
    void writeVersionedFile(const std::wstring& windowsPath, const FixedFileInfo& info);

    // The service control manager and the network configuration, with their
    // scripting knobs (SimServices.h, SimNetConfig.h).
    [[nodiscard]] SimServices& services() { return *state_->services; }
    [[nodiscard]] SimNetConfig& netConfig() { return *state_->netConfig; }

private:
    std::unique_ptr<SimState> state_;
};

} // namespace tdu::platform::sim
