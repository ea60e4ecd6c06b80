#include "platform/sim/SimMachine.h"
#include "platform/WideText.h"
#include "platform/sim/SimNetConfig.h"
#include "platform/sim/SimServices.h"

#include <array>
#include <charconv>
#include <chrono>
#include <new>
#include <random>
#include <sstream>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tdu::platform::sim {

std::uint32_t notFound(const std::filesystem::path& file) {
    std::error_code ec;
    return std::filesystem::is_directory(file.parent_path(), ec) ? kErrorFileNotFound : kErrorPathNotFound;
}

std::string narrow(std::wstring_view text) {
    std::string out;
    for (const wchar_t ch : text) {
        out.push_back(static_cast<std::uint32_t>(ch) < 0x80U ? static_cast<char>(ch) : '?');
    }
    return out;
}

namespace {

std::filesystem::path makeRoot() {
    static unsigned counter = 0;
    std::random_device random;
    std::filesystem::path root = std::filesystem::temp_directory_path() /
                                 ("tdu-sim-" + std::to_string(random()) + '-' + std::to_string(++counter));
    std::filesystem::create_directories(root);
    return root;
}

std::vector<std::wstring> splitPath(std::wstring_view path) {
    std::vector<std::wstring> parts;
    for (std::size_t at = 0; at <= path.size();) {
        const std::size_t end = std::min(path.find_first_of(L"\\/", at), path.size());
        if (end > at) {
            parts.emplace_back(path.substr(at, end - at));
        }
        at = end + 1;
    }
    return parts;
}

// Windows names are case-insensitive: an existing entry that differs only in
// letter case is the one meant.
std::string caseFoldedEntry(const std::filesystem::path& folder, const std::wstring& name) {
    std::string encoded = hostName(name);
    std::error_code ec;
    if (std::filesystem::exists(folder / encoded, ec)) {
        return encoded;
    }
    const std::wstring wanted = asciiUpper(name);
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::string candidate = it->path().filename().string();
        if (asciiUpper(windowsName(candidate)) == wanted) {
            return candidate;
        }
    }
    return encoded;
}

} // namespace

std::string hostName(std::wstring_view name) {
    std::string out;
    for (const wchar_t ch : name) {
        const std::uint32_t value = codePoint(ch);
        if (value >= 0x20U && value < 0x7FU &&
            std::wstring_view(L"%\"*:<>?|").find(ch) == std::wstring_view::npos) {
            out.push_back(static_cast<char>(value));
        } else {
            constexpr char kHex[] = "0123456789ABCDEF";
            out.push_back('%');
            for (int shift = 20; shift >= 0; shift -= 4) {
                out.push_back(kHex[(value >> static_cast<unsigned>(shift)) & 0xFU]);
            }
        }
    }
    return out;
}

std::wstring windowsName(std::string_view hostName) {
    std::wstring out;
    for (std::size_t i = 0; i < hostName.size(); ++i) {
        std::uint32_t value = 0;
        const std::string_view digits = hostName.substr(i + 1, 6);
        if (hostName[i] == '%' && digits.size() == 6 &&
            std::from_chars(digits.data(), digits.data() + digits.size(), value, 16).ptr ==
                digits.data() + digits.size()) {
            i += digits.size();
        } else {
            value = static_cast<unsigned char>(hostName[i]);
        }
        out.push_back(static_cast<wchar_t>(value));
    }
    return out;
}

std::filesystem::path mapToHost(const std::filesystem::path& root, std::wstring_view windowsPath,
                                std::filesystem::file_status* entry) {
    std::string drive = "relative";
    std::wstring_view rest = windowsPath;
    if (rest.size() >= 2 && rest[1] == L':') {
        // Only a letter names a drive. Anything else ("/:", say) must not reach
        // the host's own folders: it names a drive this machine lacks.
        const std::wstring letter = asciiLower(std::wstring(1, rest[0]));
        drive = letter[0] >= L'a' && letter[0] <= L'z' ? narrow(letter) : "no-such-drive";
        rest.remove_prefix(2);
    }
    std::vector<std::filesystem::path> names{root / drive};
    for (const std::wstring& part : splitPath(rest)) {
        if (part == L"..") {
            names.size() > 1 ? names.pop_back() : void();
        } else if (part != L".") {
            names.push_back(names.back() / caseFoldedEntry(names.back(), part));
        }
    }
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::symlink_status(names.back(), ec);
    setIfGiven(entry, std::filesystem::exists(status) ? status : std::filesystem::file_status{});
    return names.back();
}

std::vector<std::wstring> splitKeyPath(std::wstring_view path, bool view32) {
    std::vector<std::wstring> parts = splitPath(path);
    if (view32 && !parts.empty() && asciiUpper(parts[0]) == L"SOFTWARE" &&
        (parts.size() < 2 || asciiUpper(parts[1]) != L"WOW6432NODE")) {
        parts.insert(parts.begin() + 1, L"Wow6432Node");
    }
    return parts;
}

std::shared_ptr<RegNode> findKey(const std::shared_ptr<RegNode>& root,
                                 const std::vector<std::wstring>& parts) {
    std::shared_ptr<RegNode> node = root;
    for (const std::wstring& part : parts) {
        const auto child = node->children.find(asciiUpper(part));
        if (child == node->children.end()) {
            return nullptr;
        }
        node = child->second;
    }
    return node;
}

#ifdef _WIN32
// The Windows build of the simulation appends through the run-time's
// streams, open only for each append, so that the file can be renamed while
// its handle is.
std::unique_ptr<HostFile> HostFile::open(const std::filesystem::path& file, bool create) {
    std::error_code ec;
    if (!create && !std::filesystem::exists(file, ec)) {
        return nullptr;
    }
    return std::ofstream(file, std::ios::binary | std::ios::app)
               ? std::unique_ptr<HostFile>(new HostFile(-1, file))
               : nullptr;
}
HostFile::~HostFile() = default;
bool HostFile::append(std::string_view bytes) const {
    std::ofstream stream(file_, std::ios::binary | std::ios::app);
    stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(stream.flush());
}
FileInformation HostFile::describe() const {
    std::error_code ec;
    return {.numberOfLinks = static_cast<std::uint32_t>(std::filesystem::hard_link_count(file_, ec)),
            .endOfFile = std::filesystem::file_size(file_, ec)};
}
#else
std::unique_ptr<HostFile> HostFile::open(const std::filesystem::path& file, bool create) {
    const int flags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0);
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): open's mode argument
    const int fd = ::open(file.c_str(), flags, 0644);
    return fd < 0 ? nullptr : std::unique_ptr<HostFile>(new HostFile(fd, file));
}

HostFile::~HostFile() {
    ::close(fd_);
}

bool HostFile::append(std::string_view bytes) const {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
        if (written <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

FileInformation HostFile::describe() const {
    struct stat about {};
    return ::fstat(fd_, &about) != 0
               ? FileInformation{}
               : FileInformation{.numberOfLinks = static_cast<std::uint32_t>(about.st_nlink),
                                 .endOfFile = static_cast<std::uint64_t>(about.st_size),
                                 .id = static_cast<std::uint64_t>(about.st_ino)};
}
#endif

SimState::SimState()
    : root(makeRoot()), environment{{L"PUBLIC", L"C:\\Users\\Public"},
                                    {L"PROGRAMFILES(X86)", L"C:\\Program Files (x86)"},
                                    {L"COMMONPROGRAMFILES(X86)", L"C:\\Program Files (x86)\\Common Files"},
                                    {L"WINDIR", L"C:\\Windows"}},
      hklm(std::make_shared<RegNode>()) {
    hklm->name = L"HKEY_LOCAL_MACHINE";
}

SimState::~SimState() {
    handles.clear(); // closes streams before their folder goes
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

std::optional<std::uint32_t> SimState::check(std::string_view call) {
    if (dead()) {
        lastError = kErrorProcessAborted;
        return kErrorProcessAborted;
    }
    trace.emplace_back(call);
    auto counted = uses.find(call);
    const unsigned use = ++(counted == uses.end() ? uses.emplace(call, 0).first : counted)->second;
    if (killAt != 0 && trace.size() == killAt) {
        killAt = 0;
        killed = pid;
        lastError = kErrorProcessAborted;
        return kErrorProcessAborted;
    }
    // What another process does at this moment comes first; it may itself
    // call, and add faults.
    std::vector<std::function<void()>> actions;
    for (const Fault& fault : faults) {
        if (fault.action && fault.call == call && fault.nth == use) {
            actions.push_back(fault.action);
        }
    }
    for (const auto& action : actions) {
        action();
    }
    for (const Fault& fault : faults) {
        if (!fault.action && fault.call == call && (fault.nth == 0 || fault.nth == use)) {
            if (fault.throws) {
                throw std::bad_alloc();
            }
            lastError = fault.error;
            return fault.error;
        }
    }
    return std::nullopt;
}

Handle SimState::addHandle(HandleEntry entry) {
    const Handle handle = nextHandle;
    nextHandle += 4;
    entry.pid = pid;
    handles.emplace(handle, std::move(entry));
    return handle;
}

HandleEntry* SimState::findHandle(Handle handle) {
    const auto found = handles.find(handle);
    return found == handles.end() ? nullptr : &found->second;
}

HandleEntry* SimState::entryFor(std::string_view call, Handle handle, Kind kind, std::uint32_t access) {
    if (check(call)) {
        return nullptr;
    }
    HandleEntry* entry = findHandle(handle, kind);
    if (entry == nullptr || (entry->access & access) != access) {
        return fail(entry == nullptr ? kErrorInvalidHandle : kErrorAccessDenied, nullptr);
    }
    return entry;
}

void SimState::closeHandle(Handle handle) {
    const auto found = handles.find(handle);
    std::erase_if(rangeLocks, [handle](const RangeLock& lock) { return lock.handle == handle; });
    const bool named = found->second.kind == Kind::Mutex || found->second.kind == Kind::Event;
    const std::shared_ptr<void> object = found->second.object;
    handles.erase(found);
    // A named object lives while some process holds a handle to it.
    if (named &&
        std::ranges::none_of(handles, [&](const auto& other) { return other.second.object == object; })) {
        namedObjects.erase(asciiUpper(std::static_pointer_cast<KernelObject>(object)->name));
    }
}

std::uint32_t SimState::release(Handle handle, std::initializer_list<Kind> kinds, std::string_view call) {
    const bool wasDead = dead();
    const std::optional<std::uint32_t> injected = wasDead || call.empty() ? std::nullopt : check(call);
    const HandleEntry* entry = findHandle(handle);
    const std::uint32_t error = wasDead ? kErrorProcessAborted
                                : entry == nullptr || std::ranges::find(kinds, entry->kind) == kinds.end()
                                    ? kErrorInvalidHandle
                                    : kErrorSuccess;
    error == kErrorSuccess ? closeHandle(handle) : void(lastError = error);
    return error == kErrorSuccess ? injected.value_or(kErrorSuccess) : error;
}

bool SimState::heldWithoutSharing(const std::filesystem::path& file, std::uint32_t share) const {
    return std::ranges::any_of(handles, [&](const auto& handle) {
        const HandleEntry& entry = handle.second;
        return entry.kind == Kind::File && entry.filePath == file && (entry.share & share) == 0;
    });
}

std::wstring SimState::userOf(std::uint32_t process) const {
    const auto user = processUsers.find(process);
    return user == processUsers.end() ? std::wstring(kLocalSystemSid) : user->second;
}

void SimState::runUntil(std::uint64_t deadline, const std::function<bool()>& done) {
    while (!done()) {
        const auto next = scheduled.begin();
        if (next == scheduled.end() || next->first > deadline) {
            break;
        }
        now = std::max(now, next->first);
        std::function<void()> action = std::move(next->second);
        scheduled.erase(next);
        action();
    }
    if (!done()) {
        now = std::max(now, deadline);
    }
}

SimMachine::SimMachine() : state_(std::make_unique<SimState>()) {
    regCreateKey(L"SOFTWARE\\Wow6432Node");
    regCreateKey(L"SYSTEM\\CurrentControlSet\\Services");
    for (const wchar_t* folder :
         {L"C:\\Users\\Public", L"C:\\Windows\\INF", L"C:\\Windows\\System32\\drivers"}) {
        createDirectories(folder);
    }
    state_->system = makeSystem(*state_);
    state_->registry = makeRegistry(*state_);
    state_->deviceSetup = makeDeviceSetup(*state_);
    state_->installerDb = makeInstallerDb(*state_);
    state_->fileVersion = makeFileVersion(*state_);
    state_->services = std::make_unique<SimServices>(*state_);
    state_->netConfig = std::make_unique<SimNetConfig>(*state_);
}

SimMachine::~SimMachine() = default;

Platform SimMachine::platform() {
    return {state_->system.get(),     state_->registry.get(),  state_->deviceSetup.get(),
            state_->services.get(),   state_->netConfig.get(), state_->installerDb.get(),
            state_->fileVersion.get()};
}

std::string SimMachine::openHandleReport() const {
    // The kinds' names, in the order of Kind.
    // clang-format off
    static constexpr std::array<const char*, 17> kNames{
        "file", "directory search", "mutex", "event", "registry key", "device information set", "heap block",
        "SC manager", "service", "INetCfg", "INetCfgLock", "INetCfgComponent", "INetCfgClass",
        "INetCfgClassSetup", "task memory", "installer database", "installer view"};
    // clang-format on
    std::ostringstream report;
    for (const auto& [handle, entry] : state_->handles) {
        report << kNames.at(static_cast<std::size_t>(entry.kind)) << " 0x" << std::hex << handle << std::dec
               << " (pid " << entry.pid << ")";
        if (entry.kind == Kind::Mutex || entry.kind == Kind::Event) {
            report << " " << narrow(std::static_pointer_cast<KernelObject>(entry.object)->name);
        } else if (entry.kind == Kind::Key) {
            report << " " << narrow(std::static_pointer_cast<RegNode>(entry.object)->name);
        }
        report << '\n';
    }
    return report.str();
}

void SimMachine::asProcess(std::uint32_t pid, const std::function<void()>& body) {
    const std::uint32_t saved = state_->pid;
    const std::uint32_t savedError = state_->lastError;
    state_->pid = pid;
    body();
    state_->pid = saved;
    state_->lastError = savedError; // the last error belongs to the thread
}

void SimMachine::endProcess(std::uint32_t pid) {
    std::vector<Handle> owned;
    for (const auto& [handle, entry] : state_->handles) {
        if (entry.pid == pid) {
            owned.push_back(handle);
        }
    }
    for (const auto& [name, object] : state_->namedObjects) {
        object->owner = object->owner == pid ? 0 : object->owner; // only a mutex has one
    }
    state_->killed = state_->killed == pid ? 0 : state_->killed;
    for (const Handle handle : owned) {
        const Kind kind = state_->handles.at(handle).kind;
        const std::shared_ptr<void> object = state_->handles.at(handle).object;
        state_->closeHandle(handle);
        state_->services->handleClosed(kind, object);
        state_->netConfig->handleClosed(kind, object);
    }
}

std::optional<std::string> readHostFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// NOLINTNEXTLINE(readability-make-member-function-const): it changes the machine's files
void SimMachine::writeFile(const std::wstring& windowsPath, const std::string& bytes) {
    const std::filesystem::path host = hostPath(windowsPath);
    state_->versions.erase(host);
    std::filesystem::create_directories(host.parent_path());
    std::ofstream out(host, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// NOLINTNEXTLINE(readability-make-member-function-const): it changes the machine's files
void SimMachine::createDirectories(const std::wstring& windowsPath) {
    std::filesystem::create_directories(hostPath(windowsPath));
}

std::shared_ptr<RegNode> createKey(const std::shared_ptr<RegNode>& root,
                                   const std::vector<std::wstring>& parts) {
    std::shared_ptr<RegNode> node = root;
    for (const std::wstring& part : parts) {
        std::shared_ptr<RegNode>& child = node->children[asciiUpper(part)];
        if (!child) {
            child = std::make_shared<RegNode>();
            child->name = part;
        }
        node = child;
    }
    return node;
}

std::vector<std::string> SimMachine::registryLines() const {
    std::vector<std::string> lines;
    const std::function<void(const RegNode&, const std::string&)> walk = [&](const RegNode& node,
                                                                             const std::string& path) {
        lines.push_back(path);
        for (const auto& [folded, value] : node.values) {
            std::ostringstream line;
            const std::vector<std::uint8_t>& bytes = value.second.bytes;
            line << path << " : " << narrow(value.first) << " = " << value.second.type << ' ';
            // Strings as text, so that names in them can be read; anything else in hex.
            const bool text = value.second.type == kRegSz || value.second.type == kRegMultiSz;
            for (std::size_t i = 0; text && i + 1 < bytes.size(); i += 2) {
                const auto unit = static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8U));
                line << (unit == 0 ? std::string("{0}") : narrow(std::wstring_view(&unit, 1)));
            }
            for (std::size_t i = 0; !text && i < bytes.size(); ++i) {
                line << std::hex << static_cast<unsigned>(bytes[i]) << ' ';
            }
            lines.push_back(line.str());
        }
        for (const auto& [folded, child] : node.children) {
            if (!child->deleted) {
                walk(*child, path + "\\" + narrow(child->name));
            }
        }
    };
    walk(*state_->hklm, "HKLM");
    return lines;
}

std::optional<SimRegValue> SimMachine::regValue(const std::wstring& path, const std::wstring& name) const {
    const std::shared_ptr<RegNode> node = findKey(state_->hklm, splitKeyPath(path, false));
    return !node || !node->values.contains(asciiUpper(name))
               ? std::nullopt
               : std::optional(node->values.at(asciiUpper(name)).second);
}

SimDevice* SimState::deviceOf(std::wstring_view instanceId) {
    const auto found = std::ranges::find_if(devices, [&](const SimDevice& device) {
        return equalsIgnoringAsciiCase(device.instanceId, instanceId);
    });
    return found == devices.end() ? nullptr : &*found;
}

LocalTime SimMachine::localTimeAfter(const LocalTime& start, std::uint64_t ms) {
    using namespace std::chrono;
    const sys_days day{year{start.year} / month{start.month} / std::chrono::day{start.day}};
    const auto stamp = time_point<system_clock, milliseconds>(day) + hours{start.hour} +
                       minutes{start.minute} + seconds{start.second} + milliseconds{start.milliseconds + ms};
    const sys_days today = floor<days>(stamp);
    const year_month_day date{today};
    const hh_mm_ss clock{stamp - today};
    return LocalTime{.year = static_cast<std::uint16_t>(static_cast<int>(date.year())),
                     .month = static_cast<std::uint16_t>(static_cast<unsigned>(date.month())),
                     .dayOfWeek = static_cast<std::uint16_t>(weekday{today}.c_encoding()),
                     .day = static_cast<std::uint16_t>(static_cast<unsigned>(date.day())),
                     .hour = static_cast<std::uint16_t>(clock.hours().count()),
                     .minute = static_cast<std::uint16_t>(clock.minutes().count()),
                     .second = static_cast<std::uint16_t>(clock.seconds().count()),
                     .milliseconds = static_cast<std::uint16_t>(clock.subseconds().count())};
}

std::uint32_t SimMachine::move(const std::wstring& from, const std::wstring& to) {
    const std::filesystem::path source = hostPath(from);
    if (state_->heldWithoutSharing(source, kFileShareDelete)) {
        return kErrorSharingViolation;
    }
    std::error_code ec;
    std::filesystem::rename(source, hostPath(to), ec);
    return ec ? kErrorAccessDenied : kErrorSuccess;
}

} // namespace tdu::platform::sim
