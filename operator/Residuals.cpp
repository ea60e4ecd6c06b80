// What an earlier install of the net-service driver may have left outside
// the driver store: package folders in the legacy DIFx store and two keys.
#include "operator/OperatorLog.h"
#include "operator/TDriverOperator.h"
#include "platform/Owners.h"
#include "platform/PathChecks.h"

#include <array>

namespace {

using tdu::platform::sys;

constexpr wchar_t kStorePath[] = L"%WINDIR%\\System32\\DRVSTORE";
constexpr wchar_t kFolderPrefix[] = L"tvrnns_";
constexpr wchar_t kFileBase[] = L"tvrnns";
constexpr std::array kExtensions{L".inf", L".cat", L".sys"};
constexpr std::array kResidualKeys{L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\DIFxAPP"
                                   L"\\Components\\{9AC1F0E9-DE2F-4b2d-910C-65CAEE9153D9}",
                                   L"SYSTEM\\CurrentControlSet\\Services\\tvrnns"};

} // namespace

std::vector<std::wstring> listDirectoryNames(const std::wstring& prefix, bool directoriesOnly,
                                             const std::wstring& suffix) {
    std::vector<std::wstring> names;
    tdu::platform::FindData entry;
    const tdu::platform::FindHandle search(sys().FindFirstFileW(prefix + suffix, entry));
    if (!search) {
        return names;
    }
    do {
        const bool directory = (entry.attributes & tdu::platform::kFileAttributeDirectory) != 0;
        if (directory == directoriesOnly) {
            names.emplace_back(tdu::platform::textOf(entry.fileName));
        }
    } while (sys().FindNextFileW(search.get(), entry));
    return names;
}

namespace {

void eraseResidual(const std::wstring& path) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::cleanTVRNNSResiduals");
    TDU_LOG(L"Erasing: %s", path);
    std::error_code ec;
    if (path.empty() || !tdu::platform::pathExists(path, ec)) {
        TDU_LOG(L"File not found: %s", path);
        return;
    }
    if (sys().DeleteFileW(path)) {
        TDU_LOG(L"Successfully deleted: %s", path);
        return;
    }
    TDU_LOG(L"DeleteFile Failed for %s with last Error:%lu", path, sys().GetLastError());
    const int removed = sys()._wremove(path);
    if (removed == 0) {
        TDU_LOG(L"Successfully deleted: %s", path);
    } else {
        TDU_LOG(L"Tried to delete '%s' one more time, but failed with Error:%d", path, removed);
    }
}

// The package folders in the legacy store, each with its three files.
void cleanStore() {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::cleanTVRNNSResiduals");
    std::wstring store;
    const std::uint32_t expanded =
        sys().ExpandEnvironmentStringsW(kStorePath, store, tdu::platform::kMaxPath);
    // A store path that does not fit is never cut down to a shorter one, nor
    // is one that is not a full path completed by the working folder.
    if (const auto error = tdu::platform::expansionError(expanded, tdu::platform::kMaxPath, store)) {
        TDU_LOG(L"ExpandEnvironmentStrings Failed for 'WINDIR' with last Error:%lu", *error);
        return;
    }
    TDU_LOG(L"DRVStore path is: %s", store);
    std::error_code ec;
    if (!tdu::platform::pathExists(store, ec)) {
        TDU_LOG(L"DRVStore path does not exists: %s", store);
        return;
    }
    TDU_LOG(L"DRVStore path exists: %s", store);
    for (const std::wstring& folder : listDirectoryNames(store + L"\\" + kFolderPrefix, true, L"*")) {
        TDU_LOG(L"TVRNNS Dir: %s", folder);
        const std::wstring folderPath = std::wstring(store).append(L"\\").append(folder);
        for (const wchar_t* extension : kExtensions) {
            eraseResidual(std::wstring(folderPath).append(L"\\").append(kFileBase).append(extension));
        }
        if (!sys().RemoveDirectoryW(folderPath)) {
            TDU_LOG(L"RemoveDirectory Failed for '%s' with Error:%d", folder,
                    static_cast<std::int32_t>(sys().GetLastError()));
        }
    }
}

} // namespace

void TavrinDriverOperator::cleanTVRNNSResiduals() {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::cleanTVRNNSResiduals");
    TDU_LOG(L"Cleaning TVRNNS Residuals");
    cleanStore();
    // The keys go on every path, whatever happened to the folders.
    for (const wchar_t* key : kResidualKeys) {
        RegDelNode(key);
    }
}
