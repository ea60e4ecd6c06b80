#include "platform/sim/SimMachine.h"

#include <algorithm>
#include <stdexcept>

namespace tdu::platform::sim {

namespace {

constexpr std::uint32_t kErrorNoMoreFiles = 18;
constexpr std::uint32_t kErrorDirNotEmpty = 145;
constexpr std::uint32_t kErrorDirectory = 267;
constexpr std::uint32_t kVolumeSerialNumber = 0x7DF0'5157;
// The access rights that sharing governs: reading, writing, deleting.
constexpr std::uint32_t kReadRights = 0x1 | 0x20 | 0x80000000 | 0x10000000; // data, execute, generic
constexpr std::uint32_t kWriteRights = 0x2 | 0x4 | 0x40000000 | 0x10000000; // data, append, generic
constexpr std::uint32_t kDeleteRights = kDelete | 0x10000000;               // and generic all
// The process heap is never closed, so it stays out of the handle table.
constexpr Handle kProcessHeap = 0x7FF0'0000'0000;

// The program's patterns end in one "*", which stands for any run.
bool wildcardMatch(std::wstring_view pattern, std::wstring_view name) {
    return pattern.ends_with(L'*') ? name.starts_with(pattern.substr(0, pattern.size() - 1))
                                   : name == pattern;
}

// The owner an SDDL text names ("O:BA", "O:SY" or a SID), empty when none.
std::wstring ownerIn(std::wstring_view descriptor) {
    if (!descriptor.starts_with(L"O:")) {
        return {};
    }
    const std::wstring_view owner = descriptor.substr(2, descriptor.find(L':', 2) - 3);
    return owner == L"BA" ? L"S-1-5-32-544" : owner == L"SY" ? L"S-1-5-18" : std::wstring(owner);
}

constexpr std::uint32_t kEventModifyState = 0x2;

// The rights an object's descriptor (SDDL) allows the account `user`: the
// allow entries that name it, or a group it is in, with rights "GA" or a
// number. LocalSystem and Administrators are in BA; every account is in WD
// and AU, and any other in BU. A descriptor without a DACL allows all.
std::uint32_t allowedTo(std::wstring_view descriptor, std::wstring_view user) {
    const std::size_t dacl = descriptor.find(L"D:");
    if (dacl == std::wstring_view::npos) {
        return ~0U;
    }
    const bool admin = user == kLocalSystemSid || user == L"S-1-5-32-544";
    std::uint32_t allowed = 0;
    for (std::size_t open = descriptor.find(L'(', dacl); open != std::wstring_view::npos;
         open = descriptor.find(L'(', open + 1)) {
        // type;flags;rights;object;inherited object;account
        const std::vector<std::wstring> fields = SimInf::fields(
            std::wstring(descriptor.substr(open + 1, descriptor.find(L')', open) - open - 1)), L';');
        const std::wstring& account = fields.at(5);
        if (fields[0] == L"A" &&
            (account == user || account == L"WD" || account == L"AU" || account == (admin ? L"BA" : L"BU") ||
             (account == L"SY" && user == kLocalSystemSid))) {
            allowed |=
                fields[2] == L"GA" ? ~0U : static_cast<std::uint32_t>(std::stoul(fields[2], nullptr, 0));
        }
    }
    return allowed;
}
} // namespace

class SimSystem final : public ISystem {
public:
    explicit SimSystem(SimState& state) : s_(state) {}

    std::uint32_t GetLastError() override { return s_.lastError; }
    void SetLastError(std::uint32_t error) override { s_.lastError = error; }
    std::uint32_t ExpandEnvironmentStringsW(std::wstring_view source, std::wstring& destination,
                                            std::uint32_t capacity) override {
        if (auto error = s_.check("ExpandEnvironmentStringsW")) {
            return 0;
        }
        std::wstring expanded;
        for (std::size_t pos = 0; pos < source.size();) {
            const std::size_t open = source.find(L'%', pos);
            const std::size_t close = open == std::wstring_view::npos ? open : source.find(L'%', open + 1);
            if (close == std::wstring_view::npos) {
                expanded.append(source.substr(pos));
                break;
            }
            const auto variable =
                s_.environment.find(asciiUpper(std::wstring(source.substr(open + 1, close - open - 1))));
            // An unknown variable stays as written; its closing mark may open the next.
            const bool known = variable != s_.environment.end();
            expanded.append(source.substr(pos, open - pos))
                .append(known ? std::wstring_view(variable->second) : source.substr(open, close - open));
            pos = known ? close + 1 : close;
        }
        // The size with its null, copied or needed.
        const auto needed = static_cast<std::uint32_t>(expanded.size() + 1);
        destination = needed <= capacity ? expanded : destination;
        return needed <= capacity ? needed : s_.fail(kErrorInsufficientBuffer, needed);
    }

    bool CreateDirectoryW(const std::wstring& path, std::wstring_view securityDescriptor) override {
        if (auto error = s_.check("CreateDirectoryW")) {
            return false;
        }
        const std::filesystem::path target = host(path);
        std::error_code ec;
        const std::uint32_t error =
            std::filesystem::exists(std::filesystem::symlink_status(target, ec)) ? kErrorAlreadyExists
            : !std::filesystem::is_directory(target.parent_path(), ec)           ? kErrorPathNotFound
            : !std::filesystem::create_directory(target, ec)                     ? kErrorAccessDenied
                                                                                 : kErrorSuccess;
        if (error != kErrorSuccess) {
            return s_.fail(error);
        }
        s_.folderSecurity[target] = securityDescriptor;
        s_.owners[target] = s_.userOf(s_.pid);
        return true;
    }

    // A host symbolic link stands for any reparse point: a junction or mount point
    // when it leads to a folder.
    std::uint32_t GetFileAttributesW(const std::wstring& path) override {
        if (auto error = s_.check("GetFileAttributesW")) {
            return kInvalidFileAttributes;
        }
        std::filesystem::file_status entry;
        const std::filesystem::path& target = host(path, &entry);
        std::error_code ec;
        if (!std::filesystem::exists(entry)) {
            return s_.fail(notFound(target), kInvalidFileAttributes);
        }
        const bool link = std::filesystem::is_symlink(entry);
        const bool folder = std::filesystem::is_directory(link ? std::filesystem::status(target, ec) : entry);
        return (link ? kFileAttributeReparsePoint : 0) |
               (folder ? kFileAttributeDirectory : kFileAttributeNormal);
    }

    bool DeleteFileW(const std::wstring& path) override { return removeFile("DeleteFileW", path); }

    int _wremove(const std::wstring& path) override { // NOLINT(bugprone-reserved-identifier)
        return removeFile("_wremove", path) ? 0 : -1;
    }

    bool RemoveDirectoryW(const std::wstring& path) override {
        if (auto error = s_.check("RemoveDirectoryW")) {
            return false;
        }
        const std::filesystem::path target = host(path);
        std::error_code ec;
        const std::uint32_t error = !std::filesystem::exists(target, ec)              ? kErrorFileNotFound
                                    : !std::filesystem::is_directory(target, ec)      ? kErrorDirectory
                                    : !std::filesystem::is_empty(target, ec)          ? kErrorDirNotEmpty
                                    : s_.heldWithoutSharing(target, kFileShareDelete) ? kErrorSharingViolation
                                    : !std::filesystem::remove(target, ec)            ? kErrorAccessDenied
                                                                                      : kErrorSuccess;
        return error == kErrorSuccess || s_.fail(error);
    }

    Handle FindFirstFileW(const std::wstring& pattern, FindData& data) override {
        if (auto error = s_.check("FindFirstFileW")) {
            return kInvalidHandle;
        }
        const std::size_t cut = pattern.find_last_of(L"\\/");
        const std::wstring folder = cut == std::wstring::npos ? L"" : pattern.substr(0, cut);
        const std::wstring wanted = asciiUpper(cut == std::wstring::npos ? pattern : pattern.substr(cut + 1));
        std::error_code ec;
        const std::filesystem::path where = host(folder);
        if (!std::filesystem::is_directory(where, ec)) {
            return s_.fail(kErrorPathNotFound, kInvalidHandle);
        }
        // By name, as NTFS lists a folder; the program's patterns never match "." or "..".
        std::vector<FindData> entries;
        for (std::filesystem::directory_iterator it(where, ec), end; !ec && it != end; it.increment(ec)) {
            const std::wstring name = windowsName(it->path().filename().string());
            if (wildcardMatch(wanted, asciiUpper(name))) {
                entries.push_back(
                    {.attributes = it->is_directory() ? kFileAttributeDirectory : kFileAttributeNormal});
                setText(entries.back().fileName, name);
            }
        }
        std::ranges::sort(entries, {},
                          [](const FindData& one) { return asciiUpper(std::wstring(textOf(one.fileName))); });
        if (entries.empty()) {
            return s_.fail(kErrorFileNotFound, kInvalidHandle);
        }
        data = entries.front();
        return s_.addHandle({.kind = Kind::Search, .found = std::move(entries), .nextFound = 1});
    }

    bool FindNextFileW(Handle search, FindData& data) override {
        HandleEntry* entry = s_.entryFor("FindNextFileW", search, Kind::Search);
        if (entry == nullptr || entry->nextFound >= entry->found.size()) {
            return entry != nullptr && s_.fail(kErrorNoMoreFiles);
        }
        data = entry->found[entry->nextFound++];
        return true;
    }

    bool FindClose(Handle search) override { return s_.release(search, {Kind::Search}) == kErrorSuccess; }

    std::uint32_t GetWindowsDirectoryW(std::wstring& path, std::uint32_t capacity) override {
        if (auto error = s_.check("GetWindowsDirectoryW")) {
            return 0;
        }
        // The length copied, or the size needed with its null when it does not fit.
        const auto length = static_cast<std::uint32_t>(s_.windowsDirectory.size());
        path = length < capacity ? s_.windowsDirectory : path;
        return length < capacity ? length : length + 1;
    }

    bool FileTimeToSystemTime(std::uint64_t fileTime, LocalTime& systemTime) override {
        if (auto error = s_.check("FileTimeToSystemTime")) {
            return false;
        }
        if (fileTime >= 0x8000000000000000ULL) {
            return s_.fail(kErrorInvalidParameter);
        }
        systemTime =
            SimMachine::localTimeAfter(LocalTime{.year = 1601, .month = 1, .day = 1}, fileTime / 10'000);
        return true;
    }

    // A host link stands for any reparse point. Sharing is checked against the
    // handles of this machine's processes.
    Handle CreateFileW(const std::wstring& path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                       std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) override {
        if (auto error = s_.check("CreateFileW")) {
            return kInvalidHandle;
        }
        std::filesystem::file_status entryStatus;
        const std::filesystem::path named = host(path, &entryStatus);
        std::error_code ec;
        const bool openLink = (flagsAndAttributes & kFileFlagOpenReparsePoint) != 0;
        const bool link = std::filesystem::is_symlink(entryStatus);
        // A link not opened itself is followed: the handle is what it leads to.
        const std::filesystem::path target = link && !openLink && std::filesystem::exists(named, ec)
                                                 ? std::filesystem::canonical(named, ec)
                                                 : named;
        const std::filesystem::file_status what =
            link && !openLink ? std::filesystem::status(target, ec) : entryStatus;
        const bool present = std::filesystem::exists(what);
        const bool folder = link ? std::filesystem::is_directory(std::filesystem::status(target, ec))
                                 : std::filesystem::is_directory(what);
        // The program opens what exists or creates it: no other disposition is
        // modelled.
        const auto refused = [](std::uint32_t access, std::uint32_t share) {
            return ((access & kReadRights) != 0 && (share & kFileShareRead) == 0) ||
                   ((access & kWriteRights) != 0 && (share & kFileShareWrite) == 0) ||
                   ((access & kDeleteRights) != 0 && (share & kFileShareDelete) == 0);
        };
        const bool shared = std::ranges::none_of(s_.handles, [&](const auto& other) {
            return other.second.kind == Kind::File && other.second.filePath == target &&
                   (refused(desiredAccess, other.second.share) || refused(other.second.access, shareMode));
        });
        // A dangling link is not followed to create what it names.
        const bool opensOnly = creationDisposition == kOpenExisting || link;
        const std::uint32_t error =
            !present && (opensOnly || notFound(target) == kErrorPathNotFound) ? notFound(target)
            : folder && (flagsAndAttributes & kFileFlagBackupSemantics) == 0  ? kErrorAccessDenied
            : !shared                                                         ? kErrorSharingViolation
                                                                              : kErrorSuccess;
        if (error != kErrorSuccess) {
            return s_.fail(error, kInvalidHandle);
        }
        HandleEntry entry{.access = desiredAccess,
                          .filePath = target,
                          .share = shareMode,
                          .folder = folder,
                          .link = link && openLink};
        // A link opened itself carries no file: what it leads to is never touched.
        if (!entry.folder && !entry.link) {
            entry.hostFile = HostFile::open(target, !present);
            if (!entry.hostFile) {
                return s_.fail(kErrorAccessDenied, kInvalidHandle);
            }
            if (!present) {
                s_.owners[target] = s_.userOf(s_.pid);
            }
        }
        const Handle handle = s_.addHandle(std::move(entry));
        s_.lastError = present && creationDisposition == kOpenAlways ? kErrorAlreadyExists : kErrorSuccess;
        return handle;
    }

    bool GetFileInformationByHandleEx(Handle file, FileBasicInfo& information) override {
        const auto described = describedFile("GetFileInformationByHandleEx", file);
        information = described ? FileBasicInfo{.fileAttributes = described->attributes} : information;
        return described.has_value();
    }

    bool GetFileInformationByHandleEx(Handle file, FileStandardInfo& information) override {
        const auto described = describedFile("GetFileInformationByHandleEx", file);
        information = described
                          ? FileStandardInfo{.endOfFile = static_cast<std::int64_t>(described->endOfFile),
                                             .numberOfLinks = described->numberOfLinks,
                                             .directory = static_cast<std::uint8_t>(
                                                 (described->attributes & kFileAttributeDirectory) != 0)}
                          : information;
        return described.has_value();
    }

    // The volume's serial is the machine's.
    bool GetFileInformationByHandle(Handle file, ByHandleFileInformation& information) override {
        const auto described = describedFile("GetFileInformationByHandle", file);
        if (described) {
            information = ByHandleFileInformation{
                .fileAttributes = described->attributes,
                .volumeSerialNumber = kVolumeSerialNumber,
                .fileSizeHigh = static_cast<std::uint32_t>(described->endOfFile >> 32U),
                .fileSizeLow = static_cast<std::uint32_t>(described->endOfFile & 0xFFFF'FFFFU),
                .numberOfLinks = described->numberOfLinks,
                .fileIndexHigh = static_cast<std::uint32_t>(described->id >> 32U),
                .fileIndexLow = static_cast<std::uint32_t>(described->id & 0xFFFF'FFFFU)};
        }
        return described.has_value();
    }

    bool SetFileInformationByHandle(Handle file, const FileRenameInformation& rename) override {
        HandleEntry* entry = s_.entryFor("SetFileInformationByHandle", file, Kind::File);
        if (entry == nullptr) {
            return false;
        }
        if ((entry->access & kDeleteRights) == 0) {
            return s_.fail(kErrorAccessDenied);
        }
        const std::filesystem::path source = entry->filePath;
        std::filesystem::file_status there;
        const std::filesystem::path target = host(rename.fileName, &there);
        std::error_code ec;
        if (std::filesystem::exists(there) && target != source) {
            // What lies at the name is replaced, a link included, never written through.
            if (!rename.replaceIfExists) {
                return s_.fail(kErrorAlreadyExists);
            }
            if (std::filesystem::is_directory(there) ||
                std::ranges::any_of(s_.handles, [&](const auto& h) { return h.second.filePath == target; })) {
                return s_.fail(kErrorAccessDenied);
            }
        }
        std::filesystem::rename(source, target, ec);
        if (ec) {
            return s_.fail(kErrorAccessDenied);
        }
        // Windows follows the file: every handle to it, and so its ranges, see the new name.
        for (auto& [handle, other] : s_.handles) {
            if (other.kind == Kind::File && other.filePath == source) {
                other.filePath = target;
                if (other.hostFile) {
                    other.hostFile->moved(target);
                }
            }
        }
        if (const auto owner = s_.owners.extract(source)) {
            s_.owners[target] = owner.mapped();
        }
        return true;
    }

    // A range another handle of this machine's processes holds is refused.
    bool LockFileEx(Handle file, std::uint32_t flags, std::uint64_t offset, std::uint64_t length) override {
        HandleEntry* entry = s_.entryFor("LockFileEx", file, Kind::File);
        if (entry == nullptr) {
            return false;
        }
        if (!entry->hostFile) {
            return s_.fail(kErrorInvalidParameter);
        }
        // The program waits for a lock itself: one that blocks is not modelled.
        if ((flags & kLockfileFailImmediately) == 0) {
            throw std::logic_error("a blocking lock is not modelled");
        }
        // Another handle's range, or one this handle holds already: a lock is never taken twice.
        if (rangeTaken(entry->filePath, kNullHandle, offset, length)) {
            return s_.fail(kErrorLockViolation);
        }
        s_.rangeLocks.push_back(RangeLock{file, offset, length});
        return true;
    }

    bool WriteFile(Handle file, std::string_view bytes) override {
        HandleEntry* entry = s_.entryFor("WriteFile", file, Kind::File);
        if (entry == nullptr) {
            return false;
        }
        if (entry->folder || (entry->access & kWriteRights) == 0) {
            return s_.fail(kErrorAccessDenied);
        }
        if (entry->link) {
            return true; // into the link's own data, which nothing here reads
        }
        return rangeTaken(entry->filePath, file, entry->hostFile->describe().endOfFile, bytes.size())
                   ? s_.fail(kErrorLockViolation)
                   : entry->hostFile->append(bytes) || s_.fail(kErrorAccessDenied);
    }

    std::uint32_t GetSecurityInfo(Handle object, std::uint32_t objectType, std::uint32_t securityInformation,
                                  std::wstring& ownerSid) override {
        if (auto error = s_.check("GetSecurityInfo")) {
            return *error;
        }
        const HandleEntry* entry = s_.findHandle(object);
        const bool file = entry != nullptr && entry->kind == Kind::File;
        // The owner is read only through a handle that may read the descriptor,
        // as the object type it is.
        s_.lastError = entry == nullptr || (!file && entry->kind != Kind::Mutex && entry->kind != Kind::Event)
                           ? kErrorInvalidHandle
                       : objectType != (file ? kSeFileObject : kSeKernelObject) ? kErrorInvalidParameter
                       : file && (entry->access & kReadControl) == 0            ? kErrorAccessDenied
                                                                                : kErrorSuccess;
        ownerSid.clear();
        if (s_.lastError != kErrorSuccess) {
            return s_.lastError;
        }
        if ((securityInformation & kOwnerSecurityInformation) != 0) {
            const auto owner = s_.owners.find(entry->filePath);
            ownerSid = !file ? std::static_pointer_cast<KernelObject>(entry->object)->ownerSid
                       : owner == s_.owners.end() ? std::wstring(kLocalSystemSid)
                                                  : owner->second;
        }
        return kErrorSuccess;
    }

    // A file or folder's access list, written through a handle that may write it.
    std::uint32_t SetSecurityInfo(Handle object, std::uint32_t objectType, std::uint32_t securityInformation,
                                  std::wstring_view securityDescriptor) override {
        if (auto error = s_.check("SetSecurityInfo")) {
            return *error;
        }
        const HandleEntry* entry = s_.findHandle(object, Kind::File);
        s_.lastError = entry == nullptr ? kErrorInvalidHandle
                       : objectType != kSeFileObject || !securityDescriptor.starts_with(L"D:") ||
                               (securityInformation & kDaclSecurityInformation) == 0
                           ? kErrorInvalidParameter
                       : (entry->access & kWriteDac) == 0 ? kErrorAccessDenied
                                                          : kErrorSuccess;
        if (s_.lastError == kErrorSuccess) {
            s_.folderSecurity[entry->filePath] = securityDescriptor;
        }
        return s_.lastError;
    }

    bool GetTokenUser(std::uint32_t desiredAccess, std::wstring& userSid) override {
        if (auto error = s_.check("GetTokenUser")) {
            return false;
        }
        if ((desiredAccess & kTokenQuery) == 0) {
            return s_.fail(kErrorAccessDenied);
        }
        userSid = s_.userOf(s_.pid);
        return true;
    }

    LocalTime GetLocalTime() override { return SimMachine::localTimeAfter(s_.localTimeAtStart, s_.now); }

    std::uint32_t GetTickCount() override { return static_cast<std::uint32_t>(s_.tickAtStart + s_.now); }

    void Sleep(std::uint32_t milliseconds) override {
        s_.runUntil(s_.now + milliseconds, [] { return false; });
    }

    std::uint32_t GetCurrentProcessId() override { return s_.pid; }
    std::uint32_t K32GetModuleFileNameExW(std::wstring& path, std::uint32_t capacity) override {
        if (auto error = s_.check("K32GetModuleFileNameExW")) {
            path.clear();
            return 0;
        }
        // What fits with its null is copied, the rest cut off; its length is the answer.
        path = capacity == 0 ? path : s_.modulePath.substr(0, capacity - 1);
        const auto copied = static_cast<std::uint32_t>(capacity == 0 ? 0 : path.size());
        return s_.modulePath.size() < capacity ? copied : s_.fail(kErrorInsufficientBuffer, copied);
    }

    Handle CreateMutexW(std::wstring_view securityDescriptor, bool initialOwner,
                        const std::wstring& name) override {
        return createNamed("CreateMutexW", Kind::Mutex, securityDescriptor, initialOwner, false, false, name);
    }

    Handle CreateEventW(std::wstring_view securityDescriptor, bool manualReset, bool initialState,
                        const std::wstring& name) override {
        return createNamed("CreateEventW", Kind::Event, securityDescriptor, false, manualReset, initialState,
                           name);
    }

    Handle OpenMutexW(std::uint32_t desiredAccess, bool /*inheritHandle*/,
                      const std::wstring& name) override {
        return openNamed("OpenMutexW", Kind::Mutex, name, desiredAccess);
    }

    Handle OpenEventW(std::uint32_t desiredAccess, bool /*inheritHandle*/,
                      const std::wstring& name) override {
        return openNamed("OpenEventW", Kind::Event, name, desiredAccess);
    }

    bool SetEvent(Handle event) override { return signal("SetEvent", event, true); }

    bool ResetEvent(Handle event) override { return signal("ResetEvent", event, false); }

    // "Global\" names live in the machine's directory, others in the session's.
    bool NtQueryObjectName(Handle object, std::wstring& name) override {
        name.clear();
        if (s_.check("NtQueryObjectName")) {
            return false;
        }
        const HandleEntry* entry = s_.findHandle(object);
        if (entry == nullptr || (entry->kind != Kind::Mutex && entry->kind != Kind::Event)) {
            return s_.fail(kErrorInvalidHandle);
        }
        constexpr std::wstring_view kGlobal = L"Global\\";
        const std::wstring_view own = std::static_pointer_cast<KernelObject>(entry->object)->name;
        name = own.starts_with(kGlobal) ? L"\\BaseNamedObjects\\" + std::wstring(own.substr(kGlobal.size()))
                                        : L"\\Sessions\\1\\BaseNamedObjects\\" + std::wstring(own);
        return true;
    }

    bool ReleaseMutex(Handle mutex) override {
        const auto held = s_.objectFor<KernelObject>("ReleaseMutex", mutex, Kind::Mutex);
        if (!held) {
            return false;
        }
        if (held->owner != s_.pid) {
            return s_.fail(kErrorNotOwner);
        }
        held->owner = 0;
        return true;
    }

    // The program waits on its event only.
    std::uint32_t WaitForSingleObject(Handle handle, std::uint32_t milliseconds) override {
        const auto event =
            s_.objectFor<KernelObject>("WaitForSingleObject", handle, Kind::Event, kSynchronize);
        if (!event) {
            return kWaitFailed;
        }
        if (milliseconds == kInfinite && !event->signalled && s_.scheduled.empty()) {
            throw std::logic_error("simulated wait would never end");
        }
        const std::uint32_t waiter = s_.pid;
        s_.runUntil(milliseconds == kInfinite ? UINT64_MAX : s_.now + milliseconds,
                    [&] { return event->signalled; });
        s_.pid = waiter;
        if (!event->signalled) {
            return kWaitTimeout;
        }
        event->signalled = event->manualReset;
        return kWaitObject0;
    }

    bool CloseHandle(Handle object) override {
        return s_.release(object, {Kind::File, Kind::Mutex, Kind::Event}) == kErrorSuccess;
    }

    Handle GetProcessHeap() override { return kProcessHeap; }

    // A block's bytes are never handed out, so only its size is kept.
    Handle HeapAlloc(Handle heap, std::uint32_t /*flags*/, std::size_t bytes) override {
        if (auto error = s_.check("HeapAlloc")) {
            return kNullHandle;
        }
        if (heap != kProcessHeap) {
            return s_.fail(kErrorInvalidHandle, kNullHandle);
        }
        return s_.addHandle({.kind = Kind::HeapBlock, .blockBytes = bytes});
    }

    bool HeapFree(Handle heap, std::uint32_t /*flags*/, Handle block) override {
        if (s_.dead()) {
            return s_.fail(kErrorProcessAborted);
        }
        if (heap != kProcessHeap || s_.findHandle(block, Kind::HeapBlock) == nullptr) {
            return s_.fail(kErrorInvalidParameter);
        }
        s_.closeHandle(block);
        return true;
    }

private:
    Handle createNamed(const char* call, Kind kind, std::wstring_view securityDescriptor, bool initialOwner,
                       bool manualReset, bool initialState, const std::wstring& name) {
        if (auto error = s_.check(call)) {
            return kNullHandle;
        }
        const std::wstring reached = linkedTo(name);
        std::shared_ptr<KernelObject>& object = s_.namedObjects[asciiUpper(reached)];
        const bool reused = object != nullptr;
        // An existing object is opened with all access, which its descriptor must allow.
        if (reused &&
            (allowedTo(object->securityDescriptor, s_.userOf(s_.pid)) & allAccess(kind)) != allAccess(kind)) {
            return s_.fail(kErrorAccessDenied, kNullHandle);
        }
        if (const std::wstring owner = ownerIn(securityDescriptor); !reused) {
            object = std::make_shared<KernelObject>(
                KernelObject{.kind = kind,
                             .name = reached,
                             .ownerSid = owner.empty() ? s_.userOf(s_.pid) : owner,
                             .securityDescriptor = std::wstring(securityDescriptor),
                             .signalled = initialState,
                             .manualReset = manualReset,
                             .owner = kind == Kind::Mutex && initialOwner ? s_.pid : 0});
        }
        const Handle handle = handleTo(kind, object, allAccess(kind));
        // The platform reports an existing object through the last error of a
        // successful create, and the caller gets no ownership of it.
        if (handle != kNullHandle) {
            s_.lastError = reused ? kErrorAlreadyExists : kErrorSuccess;
        }
        return handle;
    }

    Handle openNamed(const char* call, Kind kind, const std::wstring& name, std::uint32_t access) {
        if (auto error = s_.check(call)) {
            return kNullHandle;
        }
        const auto existing = s_.namedObjects.find(asciiUpper(linkedTo(name)));
        if (existing == s_.namedObjects.end()) {
            return s_.fail(kErrorFileNotFound, kNullHandle);
        }
        return (allowedTo(existing->second->securityDescriptor, s_.userOf(s_.pid)) & access) != access
                   ? s_.fail(kErrorAccessDenied, kNullHandle)
                   : handleTo(kind, existing->second, access);
    }

    bool signal(const char* call, Handle event, bool signalled) {
        const auto object = s_.objectFor<KernelObject>(call, event, Kind::Event, kEventModifyState);
        if (object) {
            object->signalled = signalled;
        }
        return object != nullptr;
    }

    Handle handleTo(Kind kind, const std::shared_ptr<KernelObject>& object, std::uint32_t access) {
        return object->kind != kind ? s_.fail(kErrorInvalidHandle, kNullHandle)
                                    : s_.addHandle({.kind = kind, .object = object, .access = access});
    }

    static std::uint32_t allAccess(Kind kind) {
        return kind == Kind::Mutex ? kMutexAllAccess : kEventAllAccess;
    }

    // The name a link in the object namespace leads to; the name itself when it is none.
    std::wstring linkedTo(const std::wstring& name) const {
        const auto link = s_.objectLinks.find(asciiUpper(name));
        return link == s_.objectLinks.end() ? name : link->second;
    }

    std::filesystem::path host(const std::wstring& path,
                               std::filesystem::file_status* entry = nullptr) const {
        return mapToHost(s_.root, path, entry);
    }

    // DeleteFileW and _wremove: refused for a folder or a file held open.
    bool removeFile(const char* call, const std::wstring& path) {
        if (auto error = s_.check(call)) {
            return false;
        }
        const std::filesystem::path target = host(path);
        std::error_code ec;
        if (!std::filesystem::exists(target, ec)) {
            return s_.fail(notFound(target));
        }
        return s_.heldWithoutSharing(target, kFileShareDelete)
                   ? s_.fail(kErrorSharingViolation)
                   : (!std::filesystem::is_directory(target, ec) && std::filesystem::remove(target, ec)) ||
                         s_.fail(kErrorAccessDenied);
    }

    // Whether a byte range of `target` overlaps one another handle locked.
    bool rangeTaken(const std::filesystem::path& target, Handle by, std::uint64_t offset,
                    std::uint64_t length) const {
        return std::ranges::any_of(s_.rangeLocks, [&](const RangeLock& lock) {
            return s_.handles.at(lock.handle).filePath == target && lock.handle != by && length != 0 &&
                   lock.length != 0 && offset < lock.offset + lock.length && lock.offset < offset + length;
        });
    }

    // What the open file or folder behind a handle is: the answer of `call`.
    // The host's own identity of the file where it has one, as the file index;
    // otherwise its place, which this machine keeps up to date through renames.
    std::optional<FileInformation> describedFile(const char* call, Handle file) {
        HandleEntry* entry = s_.entryFor(call, file, Kind::File);
        if (entry == nullptr) {
            return std::nullopt;
        }
        FileInformation information =
            entry->hostFile ? entry->hostFile->describe() : FileInformation{.numberOfLinks = 1};
        information.attributes = (entry->link ? kFileAttributeReparsePoint : 0) |
                                 (entry->folder ? kFileAttributeDirectory : kFileAttributeNormal);
        information.id =
            information.id != 0 ? information.id : std::hash<std::string>{}(entry->filePath.string());
        return information;
    }

    SimState& s_;
};

std::unique_ptr<ISystem> makeSystem(SimState& state) {
    return std::make_unique<SimSystem>(state);
}

} // namespace tdu::platform::sim
