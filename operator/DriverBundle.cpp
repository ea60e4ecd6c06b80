// The product's driver set as a whole: which components it has, where their
// packages lie in the drivers folder the installer lays out, and the fixed
// orders they come off and go on in. Every component's outcome is logged and
// the sequence goes on; only a drivers folder that cannot be expanded changes
// the result.
#include "app/ExitCode.h"
#include "operator/OperatorLog.h"
#include "operator/TDriverOperator.h"
#include "platform/PathChecks.h"
#include "platform/Platform.h"
#include "service/ServiceHandler.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace {

using tdu::platform::dev;
using tdu::platform::RegData;
using tdu::platform::sys;

constexpr wchar_t kDriversFolder[] = L"%PROGRAMFILES(X86)%\\Tavrin Secure\\TavrinDrivers\\";
constexpr std::uint32_t kFolderChars = 260;
constexpr std::uint32_t kFullMode = 1;
constexpr std::wstring_view kVirtualAdapterFolder = L"tvrnva_virtual";

// What one run of a bundle operation hands from step to step. Each step
// builds the requests it gives the primitives itself, so no value of one
// component's request can reach another's.
struct BundleRun {
    TavrinDriverOperator& op;
    const DriverOperation* request; // the parsed command line; install only
    bool fullMode;                  // devices, services and the net service included
    std::wstring folder;            // the expanded drivers folder
};

enum class Next { Continue, Stop };

struct Component;
using InstallStep = void (*)(BundleRun&, const Component&);
using UninstallStep = Next (*)(BundleRun&, const Component&);

struct Component {
    std::wstring_view name;
    std::wstring_view folder;      // below x64Drivers; the INF base name is the same
    std::wstring_view installId;   // given to InstallDriver in full mode; empty: staged only
    std::wstring_view uninstallId; // given to UninstallDriver in full mode
    bool reinstallable;
    bool absentAsExist;  // the monitor's absence line reads "does not exist"
    InstallStep install; // null: the bundle does not install it
    UninstallStep uninstall;
};

// Whether the component's INF is there; otherwise the log says it is
// missing, or why that could not be told (a folder we may not read, say):
// either way the component is skipped.
bool infThere(const std::wstring& path, const Component& component) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::infThere");
    std::error_code ec;
    const bool present = tdu::platform::pathExists(path, ec);
    if (ec) {
        TDU_LOG(L"Failed to check Inf Path: %s with last Error: %lu", path,
                static_cast<std::uint32_t>(ec.value()));
        return false;
    }
    if (!present && component.absentAsExist) {
        TDU_LOG(L"%s does not exist", path);
    } else if (!present) {
        TDU_LOG(L"%s does not exists", path);
    }
    return present;
}

std::wstring infPathOf(const std::wstring& folder, std::wstring_view subFolder, std::wstring_view infBase) {
    return std::wstring(folder)
        .append(L"x64Drivers\\")
        .append(subFolder)
        .append(L"\\")
        .append(infBase)
        .append(L".inf");
}

// False (logged) when the folder cannot be expanded; a folder that does not
// fit the buffer counts as a failure, never as a cut-off path, and so does
// one that is not a full path (a variable missing from the environment).
bool expandDriversFolder(std::wstring& folder) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::expandDriversFolder");
    folder.clear();
    const std::uint32_t needed = sys().ExpandEnvironmentStringsW(kDriversFolder, folder, kFolderChars);
    if (const auto error = tdu::platform::expansionError(needed, kFolderChars, folder)) {
        TDU_LOG(L"ExpandEnvironmentStrings failed with last Error: %lu", *error);
        return false;
    }
    return true;
}

// Logs a step's outcome for one component (or one package): "<step> Failed
// for: <what> with return: <code>" or "<step> succeeded for <what>". The
// result comes back unchanged.
int logOutcome(std::wstring_view step, std::wstring_view what, int result) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::InstallTavrinDrivers");
    if (result != 0) {
        TDU_LOG(L"%s Failed for: %s with return: %u", step, what, static_cast<std::uint32_t>(result));
    } else {
        TDU_LOG(L"%s succeeded for %s", step, what);
    }
    return result;
}

// --- install steps -----------------------------------------------------------

// A plain package: published under the component's name, and in full mode
// given a device when the component has a hardware id.
void installPackage(BundleRun& run, const Component& component) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::InstallTavrinDrivers");
    DriverOperation record;
    record.infPath = infPathOf(run.folder, component.folder, component.folder);
    if (infThere(record.infPath, component)) {
        record.componentName = component.name;
        if (run.fullMode) {
            record.hardwareId = component.installId;
        }
        logOutcome(L"InstallDriver", component.name, run.op.InstallDriver(record));
    }
}

// The adapter comes in two flavours from two folders under one INF name;
// the flavour is recorded only once its package is in.
void installAdapter(BundleRun& run, const Component& component) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::InstallTavrinDrivers");
    const bool isVirtual = run.op.isDriverTypeVirtual(*run.request);
    DriverOperation record;
    record.infPath = std::wstring(run.folder)
                         .append(L"x64Drivers\\")
                         .append(isVirtual ? kVirtualAdapterFolder : component.folder);
    TDU_LOG(L"Installing TVRNVA from: '%s'", record.infPath);
    record.infPath.append(L"\\").append(component.folder).append(L".inf");
    if (infThere(record.infPath, component)) {
        record.componentName = component.name;
        const int result = run.op.InstallDriver(record);
        logOutcome(L"InstallDriver", component.name, result);
        if (result == 0) {
            const std::wstring_view driverType = isVirtual ? L"virtual" : L"ethernet";
            if (!run.op.Set32BitRegData(L"DriverType", tdu::platform::kRegSz, RegData::text(driverType),
                                        RegData::utf16Length(driverType) * 2)) {
                TDU_LOG(L"Failed to set registry for DriverType");
            }
        }
    }
}

// The filter's own INF section runs whatever became of its package.
void installFilter(BundleRun& run, const Component& component) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::InstallTavrinDrivers");
    DriverOperation record;
    record.infPath = infPathOf(run.folder, component.folder, component.folder);
    if (infThere(record.infPath, component)) {
        record.componentName = component.name;
        if (run.op.InstallDriver(record) != 0) {
            TDU_LOG(L"InstallDriver failed for %s", component.name);
        }
        logOutcome(L"InstallSplitDnsFilter", component.name, run.op.InstallSplitDnsFilter(record));
    }
}

// The monitor's service comes from its INF's DefaultInstall.NTamd64 section,
// run whatever became of its package.
void installMonitor(BundleRun& run, const Component& component) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::InstallTavrinDrivers");
    DriverOperation record;
    record.infPath = infPathOf(run.folder, component.folder, component.folder);
    if (infThere(record.infPath, component)) {
        record.componentName = component.name;
        logOutcome(L"InstallDriver", component.name, run.op.InstallDriver(record));
        // 128: default path in the INF's own folder, no reboot. The path goes
        // in unquoted, as the platform takes the rest of the line as the path.
        // The folder is at most 259 characters, so the line always fits the
        // platform's 1024.
        const std::wstring commandLine = L"DefaultInstall.NTamd64 128 " + record.infPath;
        TDU_LOG(L"Installing DERAzo service via InstallHinfSectionW: %s", commandLine);
        dev().InstallHinfSectionW(commandLine, 0);
    }
}

// --- uninstall steps ---------------------------------------------------------

// The service is deleted only after it stopped; the package goes whatever
// became of the service, with the marker so no device is looked for.
Next uninstallNetService(BundleRun& run, const Component& component) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::UnInstallTavrinDrivers");
    const std::wstring name(component.name);
    if (run.fullMode) {
        DriverOperation removal;
        removal.netServiceAction = L"REMOVE";
        removal.componentName = name;
        TDU_LOG(L"Stopping '%s' service", name);
        ServiceHandler& service = ServiceHandler::getInstance().init(name);
        if (service.stop()) {
            service.remove();
        }
        logOutcome(L"AddRemoveNetService", name, run.op.AddRemoveNetService(removal));
    }
    DriverOperation package;
    package.hardwareId = kNotADeviceDriver;
    package.componentName = name;
    logOutcome(L"UninstallDriver", component.name, run.op.UninstallDriver(package));
    run.op.cleanTVRNNSResiduals();
    return Next::Continue;
}

// In full mode the component's devices go with its package.
Next uninstallDevicePackage(BundleRun& run, const Component& component) {
    DriverOperation record;
    record.componentName = component.name;
    if (run.fullMode) {
        record.hardwareId = component.uninstallId;
    }
    logOutcome(L"UninstallDriver", component.name, run.op.UninstallDriver(record));
    return Next::Continue;
}

// The package goes only after the filter's own section came off; a folder
// that cannot be expanded ends the whole operation here.
Next uninstallFilter(BundleRun& run, const Component& component) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::UnInstallTavrinDrivers");
    if (!expandDriversFolder(run.folder)) {
        return Next::Stop;
    }
    DriverOperation sections;
    sections.infPath = infPathOf(run.folder, component.folder, component.folder);
    if (!infThere(sections.infPath, component)) {
        return Next::Continue;
    }
    if (logOutcome(L"UnInstallSplitDnsFilter", component.name, run.op.UnInstallSplitDnsFilter(sections)) !=
        0) {
        return Next::Continue;
    }
    DriverOperation package;
    package.componentName = component.name;
    // Only a failure of the package's removal is logged here.
    if (const int removed = run.op.UninstallDriver(package); removed != 0) {
        logOutcome(L"UninstallDriver", component.name, removed);
    }
    return Next::Continue;
}

// The monitor's service is deleted even when it would not stop: a service
// left behind would hold its driver file.
Next uninstallMonitor(BundleRun& run, const Component& component) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::UnInstallTavrinDrivers");
    if (!expandDriversFolder(run.folder)) {
        return Next::Continue;
    }
    DriverOperation record;
    record.infPath = infPathOf(run.folder, component.folder, component.folder);
    if (!infThere(record.infPath, component)) {
        return Next::Continue;
    }
    const std::wstring name(component.name);
    TDU_LOG(L"Stopping '%s' service", name);
    ServiceHandler& service = ServiceHandler::getInstance().init(name);
    if (service.stop()) {
        TDU_LOG(L"Service stopped, now removing");
    } else {
        TDU_LOG(L"Service stop failed or service doesn't exist, attempting remove anyway");
    }
    service.remove();
    record.componentName = name;
    logOutcome(L"UninstallDriver", component.name, run.op.UninstallDriver(record));
    return Next::Continue;
}

// The component table: the product's driver set, one row per component.
constexpr auto kComponents = std::to_array<Component>({
    {L"tvrnns", L"", L"", L"", true, false, nullptr, &uninstallNetService},
    {L"tvrnvamgr", L"tvrnvamgr", L"tvrnvamgr", L"tvrnvamgr", true, false, &installPackage,
     &uninstallDevicePackage},
    {L"tvrnva", L"tvrnva", L"", kAdapterHardwareId, true, false, &installAdapter, &uninstallDevicePackage},
    {L"SplitDNSFilter", L"SplitDNSFilter", L"", L"", true, false, &installFilter, &uninstallFilter},
    {L"DERAzo", L"DERAzo", L"", L"", false, true, &installMonitor, &uninstallMonitor},
});

consteval const Component* component(std::wstring_view name) {
    for (const Component& row : kComponents) {
        if (row.name == name) {
            return &row;
        }
    }
    return nullptr;
}

// The manager goes on before the adapter it serves and comes off after it.
constexpr std::array kInstallOrder{component(L"tvrnvamgr"), component(L"tvrnva"),
                                   component(L"SplitDNSFilter"), component(L"DERAzo")};
constexpr std::array kUninstallOrder{component(L"tvrnns"), component(L"tvrnva"), component(L"tvrnvamgr"),
                                     component(L"SplitDNSFilter"), component(L"DERAzo")};
static_assert(std::ranges::none_of(kInstallOrder, [](const Component* row) { return row == nullptr; }) &&
              std::ranges::none_of(kUninstallOrder, [](const Component* row) { return row == nullptr; }));

bool selected(const std::wstring* componentFilter, const Component& row) {
    return componentFilter == nullptr || *componentFilter == row.name;
}

bool isFullMode(const std::uint32_t* installDevice) {
    return installDevice == nullptr || *installDevice == kFullMode;
}

} // namespace

std::uint32_t TavrinDriverOperator::UnInstallTavrinDrivers(const std::wstring* componentFilter,
                                                           const std::uint32_t* installDevice) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::UnInstallTavrinDrivers");
    BundleRun run{*this, nullptr, isFullMode(installDevice), {}};
    for (const Component* row : kUninstallOrder) {
        if (selected(componentFilter, *row) && row->uninstall(run, *row) == Next::Stop) {
            return tdu::exit_code::kOperationFailed;
        }
    }
    if (componentFilter != nullptr) {
        return tdu::exit_code::kSuccess;
    }
    // Packages of the product's network components that no step names by
    // component leave the store only here.
    std::vector<DriverStoreEntry> staged;
    ListDriverInfs(&staged);
    if (staged.empty()) {
        return tdu::exit_code::kSuccess;
    }
    TDU_LOG(L"There are %zu oemInfs to be cleaned", staged.size());
    for (const DriverStoreEntry& entry : staged) {
        DriverOperation record;
        record.oemInfName = entry.infName;
        logOutcome(L"UninstallDriver", entry.hardwareId + L"(" + entry.infName + L")",
                   UninstallDriver(record));
    }
    return tdu::exit_code::kSuccess;
}

std::uint32_t TavrinDriverOperator::InstallTavrinDrivers(const DriverOperation& request,
                                                         const std::wstring* componentFilter,
                                                         const std::uint32_t* installDevice) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::InstallTavrinDrivers");
    TDU_LOG(L"Uninstall Tavrin Drivers before installing it");
    if (componentFilter == nullptr) {
        UnInstallTavrinDrivers(nullptr, nullptr);
        TDU_LOG(L"Listing Driver Infs");
        if (const int listed = ListDriverInfs(nullptr); listed != 0) {
            TDU_LOG(L"ListDriverInfs Failed with error: %u", static_cast<std::uint32_t>(listed));
        }
        TDU_LOG(L"Removing Inf Cache");
        if (const int removed = RemoveINFCACHE(); removed != 0) {
            TDU_LOG(L"RemoveINFCACHE Failed with error: %u", static_cast<std::uint32_t>(removed));
        }
    }
    BundleRun run{*this, &request, isFullMode(installDevice), {}};
    if (!expandDriversFolder(run.folder)) {
        return tdu::exit_code::kOperationFailed;
    }
    for (const Component* row : kInstallOrder) {
        if (selected(componentFilter, *row)) {
            row->install(run, *row);
        }
    }
    if (componentFilter == nullptr) {
        TDU_LOG(L"Listing Driver Infs after all drivers are installed");
        ListDriverInfs(nullptr);
    }
    return tdu::exit_code::kSuccess;
}

std::uint32_t TavrinDriverOperator::ReInstallDriver(const DriverOperation& request) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::ReInstallDriver");
    if (request.reinstallMode != L"1" && request.reinstallMode != L"2") {
        TDU_LOG(L"Invalid argument passed to /reinstall parameter");
        return tdu::exit_code::kOperationFailed;
    }
    if (request.componentName.empty()) {
        TDU_LOG(L"Component name is missing");
        return tdu::exit_code::kOperationFailed;
    }
    bool accepted = false;
    for (const Component& row : kComponents) {
        accepted = accepted || (row.reinstallable && row.name == request.componentName);
    }
    if (!accepted) {
        TDU_LOG(L"Invalid Component name: %s", request.componentName);
        return tdu::exit_code::kOperationFailed;
    }
    // Mode 1 keeps to the driver store; mode 2 takes devices and services too.
    const std::uint32_t installDevice = request.reinstallMode == L"1" ? 0 : kFullMode;
    if (UnInstallTavrinDrivers(&request.componentName, &installDevice) != 0) {
        TDU_LOG(L"UnInstallTavrinDrivers Failed for component: %s", request.componentName);
        return tdu::exit_code::kOperationFailed;
    }
    if (InstallTavrinDrivers(request, &request.componentName, &installDevice) != 0) {
        TDU_LOG(L"InstallTavrinDrivers Failed for component: %s", request.componentName);
        return tdu::exit_code::kOperationFailed;
    }
    return tdu::exit_code::kSuccess;
}
