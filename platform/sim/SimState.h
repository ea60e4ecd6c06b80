// The machine's state, shared by the simulated interfaces; tests set it up
// and read it through SimMachine only.
#pragma once

#include "platform/Platform.h"
#include "platform/WideText.h"
#include "platform/sim/SimInf.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tdu::platform::sim {

// A host file's bytes; nothing when it cannot be read.
std::optional<std::string> readHostFile(const std::filesystem::path& path);
// What a call on a missing file answers: ERROR_FILE_NOT_FOUND in a folder
// that exists, ERROR_PATH_NOT_FOUND otherwise.
std::uint32_t notFound(const std::filesystem::path& file);
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

// What `projection` makes of each of `range`'s elements, in order.
template <class R, class P> auto listOf(const R& range, P projection) {
    std::vector<std::decay_t<std::invoke_result_t<P&, std::ranges::range_reference_t<const R>>>> list;
    std::ranges::transform(range, std::back_inserter(list), projection);
    return list;
}

// Fills in an out-parameter that the caller may leave null.
template <class T, class V> void setIfGiven(T* out, const V& value) {
    if (out != nullptr) {
        *out = value;
    }
}

// What a killed process's calls fail with (ERROR_PROCESS_ABORTED).
inline constexpr std::uint32_t kErrorProcessAborted = 1067;

struct RegNode {
    std::wstring name;
    std::map<std::wstring, std::shared_ptr<RegNode>> children; // by folded name: enumerated in order
    std::map<std::wstring, std::pair<std::wstring, SimRegValue>> values;
    bool deleted = false;
};

// What a handle stands for, and so the type of its object: a KernelObject for
// Mutex and Event, a RegNode for Key, a SimDeviceSet, a SimServices::Service,
// a SimNetConfig::Reference for the five NetCfg kinds, a SimInstallerDb::
// Database or View; none for the others (a file, search or heap block keeps
// its state in the entry itself).
// clang-format off
enum class Kind { File, Search, Mutex, Event, Key, DeviceSet, HeapBlock, Manager, Service, NetCfg, NetCfgLock,
                  NetCfgComponent, NetCfgClass, NetCfgClassSetup, TaskMemory, Database, View };
// clang-format on

struct KernelObject {
    Kind kind = Kind::Mutex;
    std::wstring name;
    std::wstring ownerSid;
    std::wstring securityDescriptor; // as its creator gave it
    bool signalled = false;
    bool manualReset = false;
    std::uint32_t owner = 0; // process owning a mutex, 0 when free
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
    std::wstring instanceId{};
    Guid classGuid{};
    bool registered = false;
    std::optional<std::vector<std::wstring>> hardwareIds{}; // of an element not yet registered
    DeviceInstallParams params{};
    std::optional<RemoveDeviceParams> classInstallParams{};
    std::vector<SimDriverNode> drivers{};
};

using SimDeviceSet = std::vector<SimElement>;

struct SimPackage {
    std::wstring oemName;
    std::string content;
    SimInf inf;
};

// What an open file or folder is: its attributes, how many names it has, its
// size and its identity.
struct FileInformation {
    std::uint32_t attributes = 0;
    std::uint32_t numberOfLinks = 0;
    std::uint64_t endOfFile = 0;
    std::uint64_t id = 0;
};

// An open host file behind a simulated file handle.
class HostFile {
public:
    // Null when the host refuses the file; `create` makes a missing one.
    static std::unique_ptr<HostFile> open(const std::filesystem::path& file, bool create);
    ~HostFile();
    HostFile(const HostFile&) = delete;
    HostFile& operator=(const HostFile&) = delete;
    bool append(std::string_view bytes) const;
    // The open file's size, names and identity (0 where the host has none).
    [[nodiscard]] FileInformation describe() const;
    // The file was renamed: a host without descriptors finds it there now.
    void moved(const std::filesystem::path& to) { file_ = to; }

private:
    explicit HostFile(int fd, std::filesystem::path file) : fd_(fd), file_(std::move(file)) {}
    int fd_;
    std::filesystem::path file_;
};

// A byte range locked through a handle: of the file the handle has open, wherever it lies now.
struct RangeLock {
    Handle handle = kNullHandle;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

struct HandleEntry {
    Kind kind = Kind::File;
    std::shared_ptr<void> object{}; // of the type its kind names
    std::uint32_t access = 0;
    std::uint32_t pid = 0;
    // An open file or folder: where it lies on the host (its current name),
    // how it was opened, and the host file (none for a folder or a link
    // opened itself).
    std::filesystem::path filePath{};
    std::uint32_t share = 0;
    bool folder = false;
    bool link = false;
    std::unique_ptr<HostFile> hostFile{};
    std::vector<FindData> found{}; // a directory search's entries
    std::size_t nextFound = 0;
    std::size_t blockBytes = 0; // a heap block's size
};

struct Fault {
    std::string call;
    unsigned nth = 0;
    std::uint32_t error = 0;
    bool throws = false;          // the call runs out of memory instead
    std::function<void()> action; // what another process does at that moment; the call then goes on
};

class SimServices;
class SimNetConfig;

struct SimState {
    SimState();
    ~SimState();

    // Counts a use of `call`; the injected error when this use must fail.
    // A killed process's calls are not counted and fail.
    std::optional<std::uint32_t> check(std::string_view call);
    // Whether the current process was killed: none of its calls may reach the machine.
    [[nodiscard]] bool dead() const { return killed != 0 && pid == killed; }
    // A call's failure as the platform reports it: `result` (false unless
    // given), the reason left as the last error.
    template <class T = bool> T fail(std::uint32_t error, T result = T{}) {
        lastError = error;
        return result;
    }

    Handle addHandle(HandleEntry entry);
    HandleEntry* findHandle(Handle handle);
    // The entry behind a handle of that kind; null otherwise.
    HandleEntry* findHandle(Handle handle, Kind kind) {
        HandleEntry* entry = findHandle(handle);
        return entry != nullptr && entry->kind == kind ? entry : nullptr;
    }
    template <class T> std::shared_ptr<T> objectOf(Handle handle, Kind kind) {
        const HandleEntry* entry = findHandle(handle, kind);
        return entry == nullptr ? nullptr : std::static_pointer_cast<T>(entry->object);
    }
    // Counts a use of `call`, then the entry behind a handle of `kind` opened
    // with `access`; null, the call failed with the platform's error, otherwise.
    HandleEntry* entryFor(std::string_view call, Handle handle, Kind kind, std::uint32_t access = 0);
    template <class T>
    std::shared_ptr<T> objectFor(std::string_view call, Handle handle, Kind kind, std::uint32_t access = 0) {
        const HandleEntry* entry = entryFor(call, handle, kind, access);
        return entry == nullptr ? nullptr : std::static_pointer_cast<T>(entry->object);
    }
    // Closes an open handle; closing a file also lets go of its byte ranges.
    void closeHandle(Handle handle);
    // A call that releases a handle of one of `kinds`: its error, ERROR_SUCCESS
    // when released, left as the last error otherwise. A killed process's call
    // releases nothing. A close is failable when it names its `call`; an
    // injected failure still releases the handle, as the caller cannot release
    // it a second time and counting it as held would only hide real leaks.
    std::uint32_t release(Handle handle, std::initializer_list<Kind> kinds, std::string_view call = {});
    [[nodiscard]] std::wstring userOf(std::uint32_t process) const;
    // Whether a handle to `file` is open without sharing `share` (one of the FILE_SHARE_ flags).
    [[nodiscard]] bool heldWithoutSharing(const std::filesystem::path& file, std::uint32_t share) const;
    // The device node with this instance id; null when there is none.
    SimDevice* deviceOf(std::wstring_view instanceId);

    void runUntil(std::uint64_t deadline, const std::function<bool()>& done);

    std::filesystem::path root;
    std::vector<Fault> faults;
    std::vector<std::string> trace;
    std::map<std::string, unsigned, std::less<>> uses;
    std::size_t killAt = 0;   // the trace's length at which the process dies; 0: never
    std::uint32_t killed = 0; // the killed process, until its end is done

    std::map<Handle, HandleEntry> handles;
    Handle nextHandle = 0x100;

    std::uint64_t now = 0;
    std::multimap<std::uint64_t, std::function<void()>> scheduled;
    LocalTime localTimeAtStart{
        .year = 2026, .month = 12, .dayOfWeek = 5, .day = 4, .hour = 4, .minute = 25, .second = 34};
    std::uint32_t tickAtStart = 1'000'000;

    std::uint32_t pid = 4242;
    std::wstring modulePath = L"C:\\Program Files (x86)\\Tavrin "
                              L"Secure\\TavrinDrivers\\TavrinDriverUtil.exe";
    std::uint32_t lastError = 0;

    std::map<std::wstring, std::wstring> environment;                   // folded name -> value
    std::map<std::wstring, std::shared_ptr<KernelObject>> namedObjects; // by folded name
    std::map<std::wstring, std::wstring> objectLinks; // links among them: folded name -> the name led to
    std::shared_ptr<RegNode> hklm;

    std::vector<SimDevice> devices;
    std::vector<SimPackage> driverStore;
    std::vector<std::pair<std::wstring, std::wstring>> publications; // (published name, source INF)
    bool driverUpdateRestart = false;
    std::vector<std::wstring> sectionsRun;
    std::vector<RangeLock> rangeLocks;
    std::map<std::uint32_t, std::wstring> processUsers;           // SID text; LocalSystem when absent
    std::map<std::filesystem::path, std::wstring> owners;         // of files and folders; SYSTEM when absent
    std::map<std::filesystem::path, std::wstring> folderSecurity; // SDDL of folders a call created or wrote
    std::map<std::filesystem::path, FixedFileInfo> versions;      // of files that carry a version resource
    std::wstring windowsDirectory = L"C:\\Windows";
    std::wstring detailInfFolder = L"C:\\Windows\\INF\\";
    std::uint32_t nextDevInst = 1;

    std::map<std::wstring, std::wstring> products; // folded code -> cached package path
    // Cached installer packages by folded path: each one's InstallExecuteSequence as last committed.
    std::map<std::wstring, std::shared_ptr<std::vector<SimSequenceRow>>> packages;

    std::unique_ptr<ISystem> system;
    std::unique_ptr<IRegistry> registry;
    std::unique_ptr<IDeviceSetup> deviceSetup;
    std::unique_ptr<IInstallerDb> installerDb;
    std::unique_ptr<IFileVersion> fileVersion;
    std::unique_ptr<SimServices> services;
    std::unique_ptr<SimNetConfig> netConfig;
};

// The platform's interfaces on a machine's state, one file each.
std::unique_ptr<ISystem> makeSystem(SimState& state);
std::unique_ptr<IRegistry> makeRegistry(SimState& state);
std::unique_ptr<IDeviceSetup> makeDeviceSetup(SimState& state);
std::unique_ptr<IInstallerDb> makeInstallerDb(SimState& state);
std::unique_ptr<IFileVersion> makeFileVersion(SimState& state);

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
