// The machine's state, shared by the simulated interfaces. Private to sim/.
#pragma once

#include "platform/WideText.h"
#include "platform/sim/SimInf.h"
#include "platform/sim/SimMachine.h"

#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>

namespace tdu::platform::sim {

struct RegNode {
    std::wstring name;
    std::map<std::wstring, std::shared_ptr<RegNode>> children; // by folded name: enumerated in order
    std::map<std::wstring, std::pair<std::wstring, SimRegValue>> values;
    bool deleted = false;
};

struct KernelObject {
    enum class Kind { Mutex, Event } kind = Kind::Mutex;
    std::wstring name;
    bool signalled = false;
    bool manualReset = false;
    std::uint32_t owner = 0; // process owning a mutex, 0 when free
    unsigned recursion = 0;
    bool abandoned = false;
};

struct SimDriverNode {
    std::uint64_t id = 0;
    std::wstring oemName;
    SimInfModel model;
    std::uint64_t date = 0;
    std::uint64_t version = 0;
};

struct SimElement {
    std::uint32_t devInst = 0;
    std::wstring instanceId;
    // Where the device stood in the tree when the set was built: looked at
    // first, so walking a large tree stays linear.
    std::size_t deviceHint = static_cast<std::size_t>(-1);
    Guid classGuid;
    bool registered = false;
    std::optional<std::vector<std::wstring>> hardwareIds; // of an element not yet registered
    DeviceInstallParams params;
    std::optional<RemoveDeviceParams> classInstallParams;
    std::vector<SimDriverNode> drivers;
};

struct SimDeviceSet {
    std::vector<SimElement> elements;
};

struct SimPackage {
    std::wstring oemName;
    std::string content;
    SimInf inf;
};

// A lock on a host file that other processes using the same machine folder
// see, as Windows refuses a second opener of a file held open without
// sharing. Held from open to close of a stream.
class HostFileLock {
public:
    // Null when another process holds the file.
    static std::unique_ptr<HostFileLock> tryLock(const std::filesystem::path& file);
    // Whether another process holds the file now.
    static bool heldElsewhere(const std::filesystem::path& file);
    ~HostFileLock();
    HostFileLock(const HostFileLock&) = delete;
    HostFileLock& operator=(const HostFileLock&) = delete;
    // Appends through the locked descriptor, which saves a second open of the
    // file; false when there is none (the Windows build).
    [[nodiscard]] bool writable() const { return fd_ >= 0; }
    bool append(std::string_view bytes) const;

private:
    explicit HostFileLock(int fd) : fd_(fd) {}
    int fd_;
};

struct HandleEntry {
    std::string kind; // for the leak report
    std::uint32_t pid = 0;
    std::shared_ptr<KernelObject> object;
    std::shared_ptr<RegNode> key;
    std::uint32_t access = 0;
    std::unique_ptr<HostFileLock> hostLock; // none for a link opened itself
    std::unique_ptr<std::ofstream> stream;  // where the lock cannot write
    std::filesystem::path streamPath;
    std::shared_ptr<SimDeviceSet> deviceSet;
    std::vector<FindData> found; // a directory search's entries
    std::size_t nextFound = 0;
    std::vector<std::uint8_t> block; // a heap block's bytes
};

struct Fault {
    std::string call;
    unsigned nth = 0;
    std::uint32_t error = 0;
    bool throws = false; // the call runs out of memory instead
};

class SimSystem;
class SimRegistry;
class SimDeviceSetup;
class SimInstallerDb;
class SimFileVersion;
class SimServices;
class SimNetConfig;

struct SimState {
    SimState();
    ~SimState();

    // Counts a use of `call`; the injected error when this use must fail.
    std::optional<std::uint32_t> check(std::string_view call);
    // A call's failure as the platform reports it: false, the reason left as
    // the last error.
    bool fail(std::uint32_t error) {
        lastError = error;
        return false;
    }

    Handle addHandle(HandleEntry entry);
    HandleEntry* findHandle(Handle handle);
    void closeHandle(Handle handle);

    void runUntil(std::uint64_t deadline, const std::function<bool()>& done);

    std::filesystem::path root;
    std::vector<Fault> faults;
    std::vector<std::string> trace;
    std::map<std::string, unsigned, std::less<>> uses;

    std::map<Handle, HandleEntry> handles;
    Handle nextHandle = 0x100;

    std::uint64_t now = 0;
    std::multimap<std::uint64_t, std::function<void()>> scheduled;
    LocalTime localTimeAtStart{2026, 12, 4, 4, 25, 34, 0};
    std::uint32_t tickAtStart = 1'000'000;

    std::uint32_t pid = 4242;
    std::wstring modulePath = L"C:\\Program Files (x86)\\Tavrin Secure\\TavrinDrivers\\TavrinDriverUtil.exe";
    std::uint32_t lastError = 0;

    std::map<std::wstring, std::pair<std::wstring, std::wstring>> environment; // folded name -> (name, value)
    std::map<std::wstring, std::shared_ptr<KernelObject>> namedObjects;        // by folded name
    std::shared_ptr<RegNode> hklm;

    std::vector<SimDevice> devices;
    std::vector<SimPackage> driverStore;
    std::vector<std::pair<std::wstring, std::wstring>> publications; // (published name, source INF)
    bool driverUpdateRestart = false;
    std::vector<std::wstring> sectionsRun;
    unsigned sharingViolations = 0;
    std::map<std::filesystem::path, std::wstring> folderSecurity;      // SDDL of folders a call created
    std::unordered_map<std::wstring, std::filesystem::path> hostPaths; // places found, by Windows path
    std::filesystem::path searched;                                    // the last place searched for
    std::wstring windowsDirectory = L"C:\\Windows";
    std::wstring detailInfFolder = L"C:\\Windows\\INF\\";
    std::uint32_t nextDevInst = 1;

    std::unique_ptr<SimSystem> system;
    std::unique_ptr<SimRegistry> registry;
    std::unique_ptr<SimDeviceSetup> deviceSetup;
    std::unique_ptr<SimInstallerDb> installerDb;
    std::unique_ptr<SimFileVersion> fileVersion;
    std::unique_ptr<SimServices> services;
    std::unique_ptr<SimNetConfig> netConfig;
};

// The host keeps ASCII names only: its own conversion of wide names depends
// on its locale, and a Windows name may hold any UTF-16 unit. Printable ASCII
// but "%" stands for itself; any other character is "%" and six hex digits,
// and so are those a Windows host refuses in a name (the double quote and
// "*:<>?|"), which a wrongly built path can hold: "\\?\C:\x" has "?" and "C:".
std::string hostName(std::wstring_view name);
std::wstring windowsName(std::string_view hostName);

// Where a Windows path ("C:\\Users\\x") lies below the machine's folder;
// `entry`, when given, receives what lies there (not following a link) if the
// lookup already saw it, and file_type::none otherwise.
std::filesystem::path mapToHost(const std::filesystem::path& root, std::wstring_view windowsPath,
                                std::filesystem::file_status* entry = nullptr);

// Registry paths: components split at backslashes, the 32-bit view's
// redirection of SOFTWARE applied when asked.
std::vector<std::wstring> splitKeyPath(std::wstring_view path, bool view32);
std::shared_ptr<RegNode> findKey(const std::shared_ptr<RegNode>& root,
                                 const std::vector<std::wstring>& parts);
// The key at `parts`, created with its missing parents.
std::shared_ptr<RegNode> createKey(const std::shared_ptr<RegNode>& root,
                                   const std::vector<std::wstring>& parts);

} // namespace tdu::platform::sim
