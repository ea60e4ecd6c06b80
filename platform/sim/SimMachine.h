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

#include "platform/Platform.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tdu::platform::sim {

struct SimState;
class SimServices;
class SimNetConfig;

// A host file's bytes; nothing when it cannot be read.
std::optional<std::string> readHostFile(const std::filesystem::path& path);
// Names for reports and traces: ASCII kept, any other character shown as "?".
std::string narrow(std::wstring_view text);

// Who a simulated process runs as, and who owns what nobody else created:
// LocalSystem, as the installer runs the program and creates its folders.
inline constexpr wchar_t kLocalSystemSid[] = L"S-1-5-18";

// A device node of the simulated machine.
struct SimDevice {
    std::wstring instanceId;
    Guid classGuid;
    std::optional<std::vector<std::wstring>> hardwareIds; // nullopt: the device has no such property
    bool present = true;
    std::uint32_t removalFlags = 0; // install-parameter flags its removal leaves (a restart request)
    std::wstring driverInf;         // the published package installed on it
    std::uint32_t installFlags = 0; // the install parameters' flags it was registered with
};

struct SimRegValue {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> bytes;
};

// One row of a cached installer package's InstallExecuteSequence; an empty
// condition is the engine's null.
struct SimSequenceRow {
    std::wstring action;
    std::wstring condition;
    int sequence = 0;
    bool operator==(const SimSequenceRow&) const = default;
};

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
    void failCall(const std::string& call, unsigned nth, std::uint32_t error);
    // The nth use of `call` runs out of memory (throws std::bad_alloc).
    void throwOnCall(const std::string& call, unsigned nth);
    // At the nth use (1-based) of `call`, before the call does anything,
    // `action` runs: what another process does at that very moment. The call
    // then goes on.
    void onCall(const std::string& call, unsigned nth, std::function<void()> action);
    void clearFaults();
    // The current process is killed at the nth failable call from now
    // (1-based), as Windows ends a process: from that call on, no call of the
    // process reaches the machine. Each does nothing and fails (a sleep only
    // lets the clock run), so the program runs on to its end without a trace;
    // the call it died at is the last of callTrace(). The machine's state
    // stays for the next process; endProcess() closes what the dead one held.
    void killAtCall(unsigned nth);
    // Every failable call made so far, in order: the list a fault sweep walks.
    [[nodiscard]] const std::vector<std::string>& callTrace() const;
    [[nodiscard]] unsigned callCount(const std::string& call) const;

    // Accounting of handles, keys and streams still open.
    [[nodiscard]] std::size_t openHandleCount() const;
    [[nodiscard]] std::string openHandleReport() const;

    // Virtual clock, in milliseconds since the machine started. Waits and
    // sleeps advance it and run the actions scheduled up to their end.
    [[nodiscard]] std::uint64_t nowMs() const;
    void at(std::uint64_t whenMs, std::function<void()> action);
    void advance(std::uint64_t ms);
    void setLocalTime(const LocalTime& atStart);
    // The local time `ms` after `start`: what GetLocalTime answers once the
    // virtual clock has run that long.
    static LocalTime localTimeAfter(const LocalTime& start, std::uint64_t ms);
    void setTickCountAtStart(std::uint32_t ticks);

    // Simulated processes: calls are made on behalf of the current one.
    void setCurrentProcess(std::uint32_t pid);
    [[nodiscard]] std::uint32_t currentProcess() const;
    void asProcess(std::uint32_t pid, const std::function<void()>& body);
    // The account a process runs as (SID text); LocalSystem unless set.
    void setProcessUser(std::uint32_t pid, const std::wstring& sid);
    // Closes the process's handles, lets go of the mutexes it owns and of the
    // locks it held through them (a killed process is then gone).
    void endProcess(std::uint32_t pid);
    void setModulePath(const std::wstring& path);

    void setEnvironment(const std::wstring& name, const std::wstring& value);
    void removeEnvironment(const std::wstring& name);

    // Files: a Windows path ("C:\\Users\\Public\\x") and where it lies here.
    [[nodiscard]] std::filesystem::path hostPath(const std::wstring& windowsPath) const;
    [[nodiscard]] std::optional<std::string> readFile(const std::wstring& windowsPath) const;
    void writeFile(const std::wstring& windowsPath, const std::string& bytes);
    void createDirectories(const std::wstring& windowsPath);
    // The access (SDDL) a folder was given when a call created it.
    [[nodiscard]] std::optional<std::wstring> folderSecurity(const std::wstring& windowsPath) const;
    // Who owns a file or folder: LocalSystem unless set, or the account of
    // the process whose call created it.
    void setOwner(const std::wstring& windowsPath, const std::wstring& sid);
    // Another process renames an entry (MoveFileExW): refused with
    // ERROR_SHARING_VIOLATION while a handle to it is open without delete
    // sharing. The error, ERROR_SUCCESS when moved.
    std::uint32_t move(const std::wstring& from, const std::wstring& to);
    // Opens of a file refused because another opener, of this or of another
    // process on the same machine folder, held it.
    [[nodiscard]] unsigned sharingViolations() const;

    // Registry, by native path below HKLM ("SOFTWARE\\Wow6432Node\\...").
    void regCreateKey(const std::wstring& path);
    void regSetValue(const std::wstring& path, const std::wstring& name, const SimRegValue& value);
    [[nodiscard]] bool regKeyExists(const std::wstring& path) const;
    // Every key below HKLM by its native path, each followed by its values
    // ("<path> : <name> = <type> <data>": strings as text, other data as its
    // bytes in hex).
    [[nodiscard]] std::vector<std::string> registryLines() const;
    [[nodiscard]] std::optional<SimRegValue> regValue(const std::wstring& path,
                                                      const std::wstring& name) const;

    [[nodiscard]] bool namedObjectExists(const std::wstring& name) const;
    // Every named object there is, by name.
    [[nodiscard]] std::vector<std::wstring> namedObjects() const;
    // The descriptor (SDDL) its creator gave a named object; nullopt when none exists.
    [[nodiscard]] std::optional<std::wstring> namedObjectSecurity(const std::wstring& name) const;

    // Device tree and driver store.
    void addDevice(const SimDevice& device);
    [[nodiscard]] std::vector<SimDevice> devices() const;
    [[nodiscard]] std::optional<SimDevice> device(const std::wstring& instanceId) const;
    // Published packages by their oem names, in publication order.
    [[nodiscard]] std::vector<std::wstring> publishedPackages() const;
    // Every publication so far, in order: the name given and the INF it was copied from.
    [[nodiscard]] const std::vector<std::pair<std::wstring, std::wstring>>& publications() const;
    // Whether a driver update asks for a restart.
    void setDriverUpdateRestart(bool restart);
    // The command lines of the INF sections run, in order.
    [[nodiscard]] std::vector<std::wstring> sectionsRun() const;
    void setWindowsDirectory(const std::wstring& path);
    // How driver details spell the store's folder (Wine writes "C:/windows/inf\\").
    void setDetailInfFolder(const std::wstring& folder);

    // Installed products: a product code known to the installer with its
    // cached package ("LocalPackage"), and what that package's
    // InstallExecuteSequence holds as last committed.
    void installProduct(const std::wstring& productCode, const std::wstring& localPackage,
                        const std::vector<SimSequenceRow>& installExecuteSequence);
    // The product stays registered; its package is gone.
    void deleteCachedPackage(const std::wstring& localPackage);
    [[nodiscard]] std::vector<SimSequenceRow> installExecuteSequence(const std::wstring& localPackage) const;

    // A file that carries a version resource with this fixed file information.
    void writeVersionedFile(const std::wstring& windowsPath, const FixedFileInfo& info);

    // The service control manager and the network configuration, with their
    // scripting knobs (SimServices.h, SimNetConfig.h).
    [[nodiscard]] SimServices& services();
    [[nodiscard]] SimNetConfig& netConfig();

private:
    std::unique_ptr<SimState> state_;
};

} // namespace tdu::platform::sim
