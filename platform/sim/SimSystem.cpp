#include "platform/sim/SimSystem.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace tdu::platform::sim {

namespace {

constexpr std::uint32_t kErrorSharingViolation = 32;
constexpr std::uint32_t kErrorNoMoreFiles = 18;
constexpr std::uint32_t kErrorDirNotEmpty = 145;
constexpr std::uint32_t kErrorDirectory = 267;
constexpr std::uint32_t kFileAttributeNormal = 0x80;
// The process heap is never closed, so it stays out of the handle table.
constexpr Handle kProcessHeap = 0x7FF0'0000'0000;
// What a fresh block holds unless zeroing was asked for.
constexpr std::uint8_t kUninitialisedByte = 0xBA;

// The platform's wildcard match: "*" any run, "?" one character.
bool wildcardMatch(std::wstring_view pattern, std::wstring_view name) {
    if (pattern.empty()) {
        return name.empty();
    }
    if (pattern.front() == L'*') {
        for (std::size_t skip = 0; skip <= name.size(); ++skip) {
            if (wildcardMatch(pattern.substr(1), name.substr(skip))) {
                return true;
            }
        }
        return false;
    }
    return !name.empty() && (pattern.front() == L'?' || pattern.front() == name.front()) &&
           wildcardMatch(pattern.substr(1), name.substr(1));
}
} // namespace

// The log asks for the same few names on every line: a name's place is
// remembered and only checked to be still there. The place lives until the
// next search.
const std::filesystem::path& SimSystem::host(const std::wstring& path,
                                             std::filesystem::file_status* entry) const {
    std::error_code ec;
    std::filesystem::file_status found;
    if (const auto known = s_.hostPaths.find(path); known != s_.hostPaths.end()) {
        if (found = std::filesystem::symlink_status(known->second, ec); std::filesystem::exists(found)) {
            *(entry == nullptr ? &found : entry) = found;
            return known->second;
        }
    }
    s_.searched = mapToHost(s_.root, path, &found);
    if (std::filesystem::exists(found)) {
        s_.hostPaths[path] = s_.searched;
    }
    *(entry == nullptr ? &found : entry) = found;
    return s_.searched;
}

std::uint32_t SimSystem::ExpandEnvironmentStringsW(std::wstring_view source, std::wstring& destination,
                                                   std::uint32_t capacity) {
    if (auto error = s_.check("ExpandEnvironmentStringsW")) {
        return 0;
    }
    std::wstring expanded;
    std::size_t pos = 0;
    while (pos < source.size()) {
        const std::size_t open = source.find(L'%', pos);
        if (open == std::wstring_view::npos) {
            expanded.append(source.substr(pos));
            break;
        }
        expanded.append(source.substr(pos, open - pos));
        const std::size_t close = source.find(L'%', open + 1);
        if (close == std::wstring_view::npos) {
            expanded.append(source.substr(open));
            break;
        }
        const auto variable =
            s_.environment.find(asciiUpper(std::wstring(source.substr(open + 1, close - open - 1))));
        if (variable == s_.environment.end()) {
            // An unknown variable stays as written; its closing mark may open the next.
            expanded.append(source.substr(open, close - open));
            pos = close;
        } else {
            expanded.append(variable->second.second);
            pos = close + 1;
        }
    }
    const auto needed = static_cast<std::uint32_t>(expanded.size() + 1);
    if (needed > capacity) {
        s_.lastError = kErrorInsufficientBuffer;
        return needed;
    }
    destination = expanded;
    return needed;
}

bool SimSystem::CreateDirectoryW(const std::wstring& path, std::wstring_view securityDescriptor) {
    if (auto error = s_.check("CreateDirectoryW")) {
        return false;
    }
    const std::filesystem::path target = host(path);
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::symlink_status(target, ec))) {
        return s_.fail(kErrorAlreadyExists);
    }
    if (!std::filesystem::is_directory(target.parent_path(), ec)) {
        return s_.fail(kErrorPathNotFound);
    }
    if (!std::filesystem::create_directory(target, ec)) {
        return s_.fail(kErrorAccessDenied);
    }
    s_.folderSecurity[target] = securityDescriptor;
    return true;
}

// A host symbolic link stands for any reparse point: a junction or mount point
// when it leads to a folder.
std::uint32_t SimSystem::GetFileAttributesW(const std::wstring& path) {
    if (auto error = s_.check("GetFileAttributesW")) {
        return kInvalidFileAttributes;
    }
    std::filesystem::file_status entry;
    const std::filesystem::path& target = host(path, &entry);
    std::error_code ec;
    if (!std::filesystem::exists(entry)) {
        s_.fail(std::filesystem::is_directory(target.parent_path(), ec) ? kErrorFileNotFound
                                                                        : kErrorPathNotFound);
        return kInvalidFileAttributes;
    }
    const bool link = std::filesystem::is_symlink(entry);
    const bool folder = std::filesystem::is_directory(link ? std::filesystem::status(target, ec) : entry);
    return (link ? kFileAttributeReparsePoint : 0) |
           (folder ? kFileAttributeDirectory : kFileAttributeNormal);
}

bool SimSystem::removeFile(const char* call, const std::wstring& path) {
    if (auto error = s_.check(call)) {
        return false;
    }
    const std::filesystem::path target = host(path);
    std::error_code ec;
    if (!std::filesystem::exists(target, ec)) {
        return s_.fail(std::filesystem::is_directory(target.parent_path(), ec) ? kErrorFileNotFound
                                                                               : kErrorPathNotFound);
    }
    for (const auto& [handle, entry] : s_.handles) {
        if (entry.kind == "file stream" && entry.streamPath == target) {
            return s_.fail(kErrorSharingViolation);
        }
    }
    return (!std::filesystem::is_directory(target, ec) && std::filesystem::remove(target, ec)) ||
           s_.fail(kErrorAccessDenied);
}

bool SimSystem::DeleteFileW(const std::wstring& path) {
    return removeFile("DeleteFileW", path);
}

int SimSystem::_wremove(const std::wstring& path) { // NOLINT(bugprone-reserved-identifier)
    return removeFile("_wremove", path) ? 0 : -1;
}

bool SimSystem::RemoveDirectoryW(const std::wstring& path) {
    if (auto error = s_.check("RemoveDirectoryW")) {
        return false;
    }
    const std::filesystem::path target = host(path);
    std::error_code ec;
    if (!std::filesystem::exists(target, ec)) {
        return s_.fail(kErrorFileNotFound);
    }
    if (!std::filesystem::is_directory(target, ec)) {
        return s_.fail(kErrorDirectory);
    }
    if (!std::filesystem::is_empty(target, ec)) {
        return s_.fail(kErrorDirNotEmpty);
    }
    return std::filesystem::remove(target, ec) || s_.fail(kErrorAccessDenied);
}

Handle SimSystem::FindFirstFileW(const std::wstring& pattern, FindData& data) {
    if (auto error = s_.check("FindFirstFileW")) {
        return kInvalidHandle;
    }
    const std::size_t cut = pattern.find_last_of(L"\\/");
    const std::wstring folder = cut == std::wstring::npos ? L"" : pattern.substr(0, cut);
    const std::wstring wanted = asciiUpper(cut == std::wstring::npos ? pattern : pattern.substr(cut + 1));
    std::error_code ec;
    const std::filesystem::path where = host(folder);
    if (!std::filesystem::is_directory(where, ec)) {
        s_.fail(kErrorPathNotFound);
        return kInvalidHandle;
    }
    // A folder lists its own "." and ".." first, as the platform's does.
    std::vector<FindData> entries{{kFileAttributeDirectory, L"."}, {kFileAttributeDirectory, L".."}};
    std::vector<FindData> named;
    for (std::filesystem::directory_iterator it(where, ec), end; !ec && it != end; it.increment(ec)) {
        named.push_back(FindData{it->is_directory() ? kFileAttributeDirectory : kFileAttributeNormal,
                                 windowsName(it->path().filename().string())});
    }
    std::sort(named.begin(), named.end(), [](const FindData& a, const FindData& b) {
        return asciiUpper(a.fileName) < asciiUpper(b.fileName);
    });
    entries.insert(entries.end(), named.begin(), named.end());
    std::erase_if(entries,
                  [&](const FindData& entry) { return !wildcardMatch(wanted, asciiUpper(entry.fileName)); });
    if (entries.empty()) {
        s_.fail(kErrorFileNotFound);
        return kInvalidHandle;
    }
    data = entries.front();
    HandleEntry entry;
    entry.kind = "directory search";
    entry.found = std::move(entries);
    entry.nextFound = 1;
    return s_.addHandle(std::move(entry));
}

bool SimSystem::FindNextFileW(Handle search, FindData& data) {
    if (auto error = s_.check("FindNextFileW")) {
        return false;
    }
    HandleEntry* entry = s_.findHandle(search);
    if (entry == nullptr || entry->kind != "directory search") {
        return s_.fail(kErrorInvalidHandle);
    }
    if (entry->nextFound >= entry->found.size()) {
        return s_.fail(kErrorNoMoreFiles);
    }
    data = entry->found[entry->nextFound++];
    return true;
}

bool SimSystem::FindClose(Handle search) {
    HandleEntry* entry = s_.findHandle(search);
    if (entry == nullptr || entry->kind != "directory search") {
        return s_.fail(kErrorInvalidHandle);
    }
    s_.closeHandle(search);
    return true;
}

std::uint32_t SimSystem::GetWindowsDirectoryW(std::wstring& path, std::uint32_t capacity) {
    if (auto error = s_.check("GetWindowsDirectoryW")) {
        return 0;
    }
    const auto length = static_cast<std::uint32_t>(s_.windowsDirectory.size());
    if (length + 1 > capacity) {
        return length + 1;
    }
    path = s_.windowsDirectory;
    return length;
}

bool SimSystem::FileTimeToSystemTime(std::uint64_t fileTime, LocalTime& systemTime) {
    if (auto error = s_.check("FileTimeToSystemTime")) {
        return false;
    }
    if (fileTime >= 0x8000000000000000ULL) {
        return s_.fail(kErrorInvalidParameter);
    }
    systemTime = SimMachine::localTimeAfter(LocalTime{1601, 1, 1, 0, 0, 0, 0}, fileTime / 10'000);
    return true;
}

bool SimSystem::exists(const std::wstring& path, std::error_code& ec) {
    if (auto error = s_.check("exists")) {
        ec = std::error_code(static_cast<int>(*error), std::system_category());
        return false;
    }
    std::filesystem::file_status entry;
    const std::filesystem::path& target = host(path, &entry);
    return std::filesystem::is_regular_file(entry) || std::filesystem::is_directory(entry) ||
           std::filesystem::exists(target, ec);
}

std::uint64_t SimSystem::file_size(const std::wstring& path, std::error_code& ec) {
    if (auto error = s_.check("file_size")) {
        ec = std::error_code(static_cast<int>(*error), std::system_category());
        return 0;
    }
    // A name found before is asked first: only a miss there pays for the search.
    const auto known = s_.hostPaths.find(path);
    std::uintmax_t size = known == s_.hostPaths.end() ? 0 : std::filesystem::file_size(known->second, ec);
    if (known == s_.hostPaths.end() || ec) {
        ec.clear();
        size = std::filesystem::file_size(host(path), ec);
    }
    return ec ? 0 : static_cast<std::uint64_t>(size);
}

void SimSystem::rename(const std::wstring& from, const std::wstring& to, std::error_code& ec) {
    if (auto error = s_.check("rename")) {
        ec = std::error_code(static_cast<int>(*error), std::system_category());
        return;
    }
    const std::filesystem::path source = host(from);
    bool held = HostFileLock::heldElsewhere(source);
    for (const auto& [handle, entry] : s_.handles) {
        held = held || (entry.kind == "file stream" && entry.streamPath == source);
    }
    if (held) {
        // Windows refuses to move a file another opener holds.
        ec = std::error_code(static_cast<int>(kErrorSharingViolation), std::system_category());
        return;
    }
    std::filesystem::rename(source, host(to), ec);
}

Handle SimSystem::OpenAppendStream(const std::wstring& path) {
    if (auto error = s_.check("OpenAppendStream")) {
        return kNullHandle;
    }
    std::filesystem::file_status found;
    const std::filesystem::path& target = host(path, &found);
    for (const auto& [handle, entry] : s_.handles) {
        if (entry.kind == "file stream" && entry.streamPath == target) {
            ++s_.sharingViolations;
            s_.fail(kErrorSharingViolation);
            return kNullHandle;
        }
    }
    std::error_code ec;
    if (!std::filesystem::exists(found) && !std::filesystem::is_directory(target.parent_path(), ec)) {
        s_.fail(kErrorPathNotFound);
        return kNullHandle;
    }
    HandleEntry entry;
    entry.kind = "file stream";
    entry.streamPath = target;
    // A link at the name is opened itself: what it leads to is never touched.
    if (!std::filesystem::is_symlink(
            std::filesystem::exists(found) ? found : std::filesystem::symlink_status(target, ec))) {
        entry.hostLock = HostFileLock::tryLock(target);
        if (!entry.hostLock) {
            ++s_.sharingViolations;
            s_.fail(kErrorSharingViolation);
            return kNullHandle;
        }
        if (!entry.hostLock->writable()) {
            entry.stream = std::make_unique<std::ofstream>(target, std::ios::binary | std::ios::app);
            if (!*entry.stream) {
                s_.fail(kErrorAccessDenied);
                return kNullHandle;
            }
        }
    }
    return s_.addHandle(std::move(entry));
}

bool SimSystem::GetFileInformationByHandle(Handle stream, FileInformation& information) {
    if (auto error = s_.check("GetFileInformationByHandle")) {
        return false;
    }
    HandleEntry* entry = s_.findHandle(stream);
    if (entry == nullptr || entry->kind != "file stream") {
        return s_.fail(kErrorInvalidHandle);
    }
    // A stream without a host lock is a link opened itself.
    std::error_code ec;
    information.attributes = entry->hostLock ? kFileAttributeNormal : kFileAttributeReparsePoint;
    information.numberOfLinks =
        entry->hostLock ? static_cast<std::uint32_t>(std::filesystem::hard_link_count(entry->streamPath, ec))
                        : 1;
    return true;
}

bool SimSystem::WriteStream(Handle stream, std::string_view bytes) {
    if (auto error = s_.check("WriteStream")) {
        return false;
    }
    HandleEntry* entry = s_.findHandle(stream);
    if (entry == nullptr || entry->kind != "file stream") {
        return s_.fail(kErrorInvalidHandle);
    }
    if (!entry->hostLock) {
        return true; // into the link's own data, which nothing here reads
    }
    if (!entry->stream) {
        return entry->hostLock->append(bytes);
    }
    entry->stream->write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    entry->stream->flush();
    return static_cast<bool>(*entry->stream);
}

bool SimSystem::CloseStream(Handle stream) {
    HandleEntry* entry = s_.findHandle(stream);
    if (entry == nullptr || entry->kind != "file stream") {
        return s_.fail(kErrorInvalidHandle);
    }
    s_.closeHandle(stream);
    return true;
}

LocalTime SimSystem::GetLocalTime() {
    return SimMachine::localTimeAfter(s_.localTimeAtStart, s_.now);
}

std::uint32_t SimSystem::GetTickCount() {
    return static_cast<std::uint32_t>(s_.tickAtStart + s_.now);
}

void SimSystem::Sleep(std::uint32_t milliseconds) {
    s_.runUntil(s_.now + milliseconds, [] { return false; });
}

std::uint32_t SimSystem::K32GetModuleFileNameExW(std::wstring& path, std::uint32_t capacity) {
    if (auto error = s_.check("K32GetModuleFileNameExW")) {
        path.clear();
        return 0;
    }
    if (capacity == 0) {
        return static_cast<std::uint32_t>(s_.fail(kErrorInsufficientBuffer));
    }
    path = s_.modulePath.substr(0, capacity - 1);
    if (s_.modulePath.size() >= capacity) {
        s_.lastError = kErrorInsufficientBuffer;
    }
    return static_cast<std::uint32_t>(path.size());
}

Handle SimSystem::createNamed(const char* call, KernelObject::Kind kind, bool initialOwner, bool manualReset,
                              bool initialState, const std::wstring& name) {
    if (auto error = s_.check(call)) {
        return kNullHandle;
    }
    std::shared_ptr<KernelObject>& object = s_.namedObjects[asciiUpper(name)];
    const bool reused = object != nullptr;
    if (!reused) {
        object = std::make_shared<KernelObject>();
        object->kind = kind;
        object->name = name;
        object->manualReset = manualReset;
        object->signalled = initialState;
        if (kind == KernelObject::Kind::Mutex && initialOwner) {
            object->owner = s_.pid;
            object->recursion = 1;
        }
    }
    const Handle handle = handleTo(kind, object);
    // The platform reports an existing object through the last error of a
    // successful create, and the caller gets no ownership of it.
    if (handle != kNullHandle) {
        s_.lastError = reused ? kErrorAlreadyExists : kErrorSuccess;
    }
    return handle;
}

Handle SimSystem::handleTo(KernelObject::Kind kind, const std::shared_ptr<KernelObject>& object) {
    if (object->kind != kind) {
        s_.fail(kErrorInvalidHandle);
        return kNullHandle;
    }
    HandleEntry entry;
    entry.kind = kind == KernelObject::Kind::Mutex ? "mutex" : "event";
    entry.object = object;
    return s_.addHandle(std::move(entry));
}

Handle SimSystem::openNamed(const char* call, KernelObject::Kind kind, const std::wstring& name) {
    if (auto error = s_.check(call)) {
        return kNullHandle;
    }
    const auto existing = s_.namedObjects.find(asciiUpper(name));
    if (existing == s_.namedObjects.end()) {
        s_.fail(kErrorFileNotFound);
        return kNullHandle;
    }
    return handleTo(kind, existing->second);
}

Handle SimSystem::CreateMutexW(bool initialOwner, const std::wstring& name) {
    return createNamed("CreateMutexW", KernelObject::Kind::Mutex, initialOwner, false, false, name);
}

Handle SimSystem::CreateEventW(bool manualReset, bool initialState, const std::wstring& name) {
    return createNamed("CreateEventW", KernelObject::Kind::Event, false, manualReset, initialState, name);
}

Handle SimSystem::OpenMutexW(std::uint32_t /*desiredAccess*/, bool /*inheritHandle*/,
                             const std::wstring& name) {
    return openNamed("OpenMutexW", KernelObject::Kind::Mutex, name);
}

Handle SimSystem::OpenEventW(std::uint32_t /*desiredAccess*/, bool /*inheritHandle*/,
                             const std::wstring& name) {
    return openNamed("OpenEventW", KernelObject::Kind::Event, name);
}

bool SimSystem::SetEvent(Handle event) {
    if (auto error = s_.check("SetEvent")) {
        return false;
    }
    HandleEntry* entry = s_.findHandle(event);
    if (entry == nullptr || !entry->object || entry->object->kind != KernelObject::Kind::Event) {
        return s_.fail(kErrorInvalidHandle);
    }
    entry->object->signalled = true;
    return true;
}

bool SimSystem::ReleaseMutex(Handle mutex) {
    if (auto error = s_.check("ReleaseMutex")) {
        return false;
    }
    HandleEntry* entry = s_.findHandle(mutex);
    if (entry == nullptr || !entry->object || entry->object->kind != KernelObject::Kind::Mutex) {
        return s_.fail(kErrorInvalidHandle);
    }
    KernelObject& object = *entry->object;
    if (object.owner != s_.pid || object.recursion == 0) {
        return s_.fail(kErrorNotOwner);
    }
    if (--object.recursion == 0) {
        object.owner = 0;
    }
    return true;
}

std::uint32_t SimSystem::WaitForSingleObject(Handle handle, std::uint32_t milliseconds) {
    if (auto error = s_.check("WaitForSingleObject")) {
        return kWaitFailed;
    }
    HandleEntry* entry = s_.findHandle(handle);
    if (entry == nullptr || !entry->object) {
        s_.fail(kErrorInvalidHandle);
        return kWaitFailed;
    }
    const std::shared_ptr<KernelObject> object = entry->object;
    const std::uint32_t waiter = s_.pid;
    auto available = [&] {
        return object->kind == KernelObject::Kind::Event ? object->signalled
                                                         : object->owner == 0 || object->owner == waiter;
    };
    if (!available()) {
        if (milliseconds == kInfinite && s_.scheduled.empty()) {
            throw std::logic_error("simulated wait would never end");
        }
        const std::uint64_t deadline =
            milliseconds == kInfinite ? UINT64_MAX : s_.now + static_cast<std::uint64_t>(milliseconds);
        s_.runUntil(deadline, available);
        s_.pid = waiter;
        if (!available()) {
            return kWaitTimeout;
        }
    }
    if (object->kind == KernelObject::Kind::Event) {
        if (!object->manualReset) {
            object->signalled = false;
        }
        return kWaitObject0;
    }
    object->owner = waiter;
    ++object->recursion;
    if (object->abandoned) {
        object->abandoned = false;
        return kWaitAbandoned;
    }
    return kWaitObject0;
}

bool SimSystem::CloseHandle(Handle object) {
    HandleEntry* entry = s_.findHandle(object);
    if (entry == nullptr || !entry->object) {
        return s_.fail(kErrorInvalidHandle);
    }
    s_.closeHandle(object);
    return true;
}

Handle SimSystem::GetProcessHeap() {
    return kProcessHeap;
}

Handle SimSystem::HeapAlloc(Handle heap, std::uint32_t flags, std::size_t bytes) {
    if (auto error = s_.check("HeapAlloc")) {
        return kNullHandle;
    }
    if (heap != kProcessHeap) {
        s_.fail(kErrorInvalidHandle);
        return kNullHandle;
    }
    HandleEntry entry;
    entry.kind = "heap block";
    entry.block.assign(bytes, (flags & kHeapZeroMemory) != 0 ? std::uint8_t{0} : kUninitialisedByte);
    return s_.addHandle(std::move(entry));
}

bool SimSystem::HeapFree(Handle heap, std::uint32_t /*flags*/, Handle block) {
    HandleEntry* entry = s_.findHandle(block);
    if (heap != kProcessHeap || entry == nullptr || entry->kind != "heap block") {
        return s_.fail(kErrorInvalidParameter);
    }
    s_.closeHandle(block);
    return true;
}

} // namespace tdu::platform::sim
