// The kernel and run-time calls: expansion, files and folders, their records, locks and renames, named
// objects, owners, time and the heap.
#include "tests/contract/Contract.h"

namespace tdu::contract {
namespace {

constexpr wchar_t kSddl[] = L"D:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)";
constexpr std::uint32_t kShareAll = kFileShareRead | kFileShareWrite | kFileShareDelete;

Handle open(const std::wstring& path, std::uint32_t access = kFileAppendData, std::uint32_t share = kShareAll,
            std::uint32_t flags = kFileAttributeNormal, std::uint32_t disposition = kOpenAlways) {
    return sys().CreateFileW(path, access, share, disposition, flags);
}

const Row kSystem[] = {
    {"AnExpansionTooLongIsCountedInCharactersAndNotWritten",
     [](Machine& m) {
         m.setEnvironment(L"TDU_LONG", std::wstring(300, L'x'));
         std::wstring out = L"kept";
         EXPECT_EQ(sys().ExpandEnvironmentStringsW(L"%TDU_LONG%\\y", out, kMaxPath), 303U);
         EXPECT_EQ(sys().GetLastError(), kErrorInsufficientBuffer);
         EXPECT_EQ(out, L"kept");
         EXPECT_EQ(sys().ExpandEnvironmentStringsW(L"%TDU_LONG%\\y%TDU_UNSET%", out, 400), 314U);
         EXPECT_EQ(out, std::wstring(300, L'x') + L"\\y%TDU_UNSET%");
     }},
    {"FoldersSearchesAndTheirErrorsAndAFolderOpensOnlyWithBackupSemantics",
     [](Machine& m) {
         const std::wstring a = m.folder() + L"a";
         EXPECT_EQ(answer(sys().CreateDirectoryW(a + L"\\b", kSddl)), kErrorPathNotFound);
         EXPECT_TRUE(sys().CreateDirectoryW(a, kSddl));
         EXPECT_EQ(answer(sys().CreateDirectoryW(a, kSddl)), kErrorAlreadyExists);
         EXPECT_EQ(sys().GetFileAttributesW(a) & kFileAttributeDirectory, kFileAttributeDirectory);
         m.plantFile(a + L"\\one.inf", "x");
         FindData data;
         const Handle search = sys().FindFirstFileW(a + L"\\one*", data);
         EXPECT_EQ(textOf(data.fileName), L"one.inf");
         EXPECT_EQ(answer(sys().FindNextFileW(search, data)), 18U); // no more files
         EXPECT_TRUE(sys().FindClose(search));
         EXPECT_EQ(answer(sys().FindFirstFileW(a + L"\\none*", data) != kInvalidHandle), kErrorFileNotFound);
         EXPECT_EQ(answer(sys().FindFirstFileW(a + L"\\b\\one*", data) != kInvalidHandle),
                   kErrorPathNotFound);
         EXPECT_EQ(answer(sys().RemoveDirectoryW(a)), 145U); // not empty
         EXPECT_EQ(sys()._wremove(a + L"\\one.inf"), 0);
         EXPECT_EQ(sys()._wremove(a + L"\\one.inf"), -1);
         EXPECT_TRUE(sys().RemoveDirectoryW(a));
         EXPECT_EQ(answer(sys().GetFileAttributesW(a) != kInvalidFileAttributes), kErrorFileNotFound);
         // A folder opens only with backup semantics.
         EXPECT_EQ(
             answer(open(m.folder(), kFileReadAttributes, kShareAll, 0, kOpenExisting) != kInvalidHandle),
             kErrorAccessDenied);
         const Handle folder =
             open(m.folder(), kFileReadAttributes, kShareAll, kFileFlagBackupSemantics, kOpenExisting);
         FileStandardInfo standard;
         EXPECT_TRUE(sys().GetFileInformationByHandleEx(folder, standard));
         EXPECT_EQ(standard.directory, 1);
         EXPECT_TRUE(sys().CloseHandle(folder));
     }},
    {"OpenAlwaysSaysWhenTheFileWasThereAndShareModesAndLocksRefuse",
     [](Machine& m) {
         const std::wstring f = m.folder() + L"f";
         const Handle first = open(f, kFileAppendData, kFileShareRead);
         EXPECT_EQ(sys().GetLastError(), kErrorSuccess);
         EXPECT_EQ(answer(open(f) != kInvalidHandle), kErrorSharingViolation);
         EXPECT_EQ(answer(sys().DeleteFileW(f)), kErrorSharingViolation);
         EXPECT_TRUE(sys().CloseHandle(first));
         const Handle one = open(f);
         EXPECT_EQ(sys().GetLastError(), kErrorAlreadyExists);
         const Handle two = open(f);
         const std::uint32_t flags = kLockfileExclusiveLock | kLockfileFailImmediately;
         EXPECT_TRUE(sys().LockFileEx(one, flags, 1ULL << 40, 1));
         EXPECT_EQ(answer(sys().LockFileEx(two, flags, 1ULL << 40, 1)), kErrorLockViolation);
         EXPECT_TRUE(sys().CloseHandle(one));
         EXPECT_TRUE(sys().LockFileEx(two, flags, 1ULL << 40, 1));
         EXPECT_TRUE(sys().CloseHandle(two));
         EXPECT_TRUE(sys().DeleteFileW(f));
         EXPECT_EQ(answer(sys().DeleteFileW(f)), kErrorFileNotFound);
     }},
    {"ARenameReplacesOnlyWhenAskedToAndWrittenBytesShowInEveryRecord",
     [](Machine& m) {
         m.plantFile(m.folder() + L"old", "old!");
         const Handle file = open(m.folder() + L"new", kDelete | kFileAppendData);
         EXPECT_TRUE(sys().WriteFile(file, "new"));
         EXPECT_EQ(answer(sys().SetFileInformationByHandle(file, {.fileName = m.folder() + L"old"})),
                   kErrorAlreadyExists);
         EXPECT_TRUE(sys().SetFileInformationByHandle(
             file, {.replaceIfExists = true, .fileName = m.folder() + L"old"}));
         FileStandardInfo standard;
         FileBasicInfo basic;
         EXPECT_TRUE(sys().GetFileInformationByHandleEx(file, standard));
         EXPECT_EQ(std::tuple(standard.endOfFile, standard.numberOfLinks, standard.directory),
                   std::tuple(3, 1U, 0));
         EXPECT_TRUE(sys().GetFileInformationByHandleEx(file, basic));
         EXPECT_EQ(basic.fileAttributes & (kFileAttributeDirectory | kFileAttributeReparsePoint), 0U);
         EXPECT_TRUE(sys().CloseHandle(file));
         EXPECT_EQ(sys().GetFileAttributesW(m.folder() + L"new"), kInvalidFileAttributes);
         const Handle renamed = open(m.folder() + L"old");
         ByHandleFileInformation classic;
         EXPECT_TRUE(sys().GetFileInformationByHandle(renamed, classic));
         EXPECT_EQ(std::tuple(classic.fileSizeLow, classic.numberOfLinks), std::tuple(3U, 1U));
         EXPECT_TRUE(sys().CloseHandle(renamed));
     }},
    {"ANamedObjectCreatedAgainSaysItExisted",
     [](Machine&) {
         const std::wstring name = L"TduContract";
         const Handle mutex = sys().CreateMutexW(kSddl, true, name + L"Mtx");
         const Handle event = sys().CreateEventW(kSddl, true, false, name + L"Evt");
         EXPECT_EQ(sys().GetLastError(), kErrorSuccess);
         const Handle mutex2 = sys().CreateMutexW(kSddl, true, name + L"Mtx");
         EXPECT_EQ(sys().GetLastError(), kErrorAlreadyExists);
         sys().SetLastError(kErrorSuccess);
         const Handle event2 = sys().CreateEventW(kSddl, true, false, name + L"Evt");
         EXPECT_EQ(sys().GetLastError(), kErrorAlreadyExists);
         EXPECT_TRUE(sys().ReleaseMutex(mutex));
         EXPECT_EQ(answer(sys().ReleaseMutex(mutex2)), kErrorNotOwner);
         EXPECT_EQ(sys().WaitForSingleObject(event2, 0), kWaitTimeout);
         const Handle opened = sys().OpenEventW(kEventAllAccess, false, name + L"Evt");
         EXPECT_TRUE(sys().SetEvent(opened));
         EXPECT_EQ(sys().WaitForSingleObject(event, 0), kWaitObject0);
         for (const Handle handle : {mutex, mutex2, event, event2, opened}) {
             EXPECT_TRUE(sys().CloseHandle(handle));
         }
         EXPECT_EQ(answer(sys().OpenMutexW(kSynchronize, false, name + L"Mtx") != kNullHandle),
                   kErrorFileNotFound);
     }},
    {"OwnersAreReadAsSidText",
     [](Machine& m) {
         std::wstring user;
         std::wstring owner;
         EXPECT_TRUE(sys().GetTokenUser(kTokenQuery, user));
         EXPECT_TRUE(user.starts_with(L"S-1-5-"));
         const Handle file = open(m.folder() + L"f", kReadControl);
         EXPECT_EQ(answer(sys().WriteFile(file, "x")), kErrorAccessDenied); // opened without the right
         EXPECT_EQ(sys().GetSecurityInfo(file, kSeFileObject, kOwnerSecurityInformation, owner),
                   kErrorSuccess);
         EXPECT_TRUE(owner.starts_with(L"S-1-5-"));
         EXPECT_TRUE(sys().CloseHandle(file));
     }},
    {"TimeProcessHeapAndTheSystemsPathsMeasuredBeforeTheyAreCut",
     [](Machine&) {
         LocalTime time;
         EXPECT_TRUE(sys().FileTimeToSystemTime(116444736000000000ULL, time)); // 1970-01-01, a Thursday
         EXPECT_EQ(std::tuple(time.year, time.month, time.day, time.dayOfWeek), std::tuple(1970, 1, 1, 4));
         EXPECT_EQ(answer(sys().FileTimeToSystemTime(1ULL << 63, time)), kErrorInvalidParameter);
         EXPECT_GE(sys().GetLocalTime().year, 2020);
         const std::uint32_t ticks = sys().GetTickCount();
         sys().Sleep(1);
         EXPECT_LT(sys().GetTickCount() - ticks, 60'000U);
         EXPECT_NE(sys().GetCurrentProcessId(), 0U);
         const Handle heap = sys().GetProcessHeap();
         const Handle block = sys().HeapAlloc(heap, kHeapZeroMemory, 16);
         EXPECT_NE(block, kNullHandle);
         EXPECT_TRUE(sys().HeapFree(heap, 0, block));
         // The system's paths are measured before they are cut.
         std::wstring path = L"kept";
         EXPECT_EQ(sys().GetWindowsDirectoryW(path, 3), 11U);
         EXPECT_EQ(path, L"kept");
         EXPECT_EQ(sys().GetWindowsDirectoryW(path, kMaxPath), 10U);
         EXPECT_EQ(path.size(), 10U);
         const std::uint32_t length = sys().K32GetModuleFileNameExW(path, kMaxPath);
         EXPECT_EQ(length, path.size());
         EXPECT_TRUE(path.ends_with(L".exe"));
     }},
    {"AReparsePointShowsInItsAttributes",
     [](Machine& m) {
         m.plantLink(m.folder() + L"target", m.folder() + L"link");
         EXPECT_NE(sys().GetFileAttributesW(m.folder() + L"link") & kFileAttributeReparsePoint, 0U);
     },
     "no symbolic link can be made (a host's is followed)"},
};
TDU_CONTRACT_ROWS(System, kSystem);

} // namespace
} // namespace tdu::contract
