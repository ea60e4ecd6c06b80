// Adds or removes a network service component through the system's network
// configuration. Everything happens under the system-wide write lock, which
// serialises us with every other client that changes the configuration.
// Removal always comes first: "add" means "reinstall".
#include "app/ExitCode.h"
#include "log/LogError.h"
#include "operator/OperatorLog.h"
#include "operator/TDriverOperator.h"
#include "platform/Owners.h"
#include "platform/WideText.h"

namespace {

using tdu::platform::ComPtr;
using tdu::platform::Handle;
using tdu::platform::Held;
using tdu::platform::HResult;
using tdu::platform::netcfg;
using tdu::platform::TaskMem;

constexpr std::uint32_t kWriteLockTimeoutMs = 15'000;
// The name other clients are told holds the lock while we do.
constexpr wchar_t kLockClientDescription[] = L"DevInstSrv(setupapi)";
constexpr char kHrFunctionName[] = "TavrinDriverOperator::HrReinstallNetService";

constexpr wchar_t kManufacturer[] = L"Tavrin Secure, LLC";
constexpr wchar_t kProduct[] = L"Tavrin Secure";
constexpr wchar_t kDisplayName[] = L"Tavrin Secure";

// The request's texts, as every message of the reinstall repeats them.
struct Request {
    std::wstring componentId;
    std::wstring manufacturer;
    std::wstring product;
    std::wstring displayName;

    [[nodiscard]] tdu::platform::OboToken token() const {
        return tdu::platform::OboToken{.type = tdu::platform::kOboSoftware,
                                       .manufacturer = manufacturer.c_str(),
                                       .product = product.c_str(),
                                       .displayName = displayName.c_str()};
    }
};

std::wstring textOf(const wchar_t* text) {
    return text == nullptr ? std::wstring(L"(null)") : std::wstring(text);
}

} // namespace

// Every message of the reinstall but two names the function and repeats the
// request in front of its text. TDU_NETCFG_ERROR logs a failed step's HRESULT
// (its last argument) and hands it back.
#define TDU_NETCFG_PREFIX L"%hs(\"%s\",\"%s\",\"%s\",\"%s\"): "
#define TDU_NETCFG_REQUEST(request)                                                                          \
    kHrFunctionName, (request).componentId, (request).manufacturer, (request).product, (request).displayName
#define TDU_NETCFG_LOG(request, text, ...)                                                                   \
    TDU_LOG(TDU_NETCFG_PREFIX text, TDU_NETCFG_REQUEST(request) __VA_OPT__(, ) __VA_ARGS__)
#define TDU_NETCFG_ERROR(hr, request, text)                                                                  \
    TDU_LOG_ERROR(hr, TDU_NETCFG_PREFIX text, TDU_NETCFG_REQUEST(request))

namespace {

// Writes the configuration changed under the lock. The two phases spell
// their failure differently, and the log keeps both spellings.
HResult apply(const Request& request, Handle netCfg, bool removalPhase) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::HrReinstallNetService");
    const HResult hr = netcfg().Apply(netCfg);
    if (hr == tdu::platform::kNetcfgSReboot) {
        TDU_NETCFG_LOG(request, L"A reboot is required to apply the new configuration. HRESULT=%#x\n", hr);
    } else if (hr < 0 && removalPhase) {
        TDU_NETCFG_LOG(request, L"The new configuraiton could not be applied. HRESULT=%#x\n", hr);
    } else if (hr < 0) {
        TDU_NETCFG_LOG(request, L"The new configuration could not be applied. HRESULT=%#x\n", hr);
    }
    return hr;
}

// The class setup interface for `classGuid`. `classObject` holds the class
// object it came from, which must outlive it.
HResult classSetup(const Request& request, Handle netCfg, const tdu::platform::Guid& classGuid,
                   ComPtr& classObject, ComPtr& setup) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::HrReinstallNetService");
    HResult hr =
        netcfg().QueryNetCfgClass(netCfg, classGuid, tdu::platform::kIidINetCfgClass, classObject.put());
    if (hr < 0) {
        return TDU_NETCFG_ERROR(hr, request, L"Failed to get NetCfgClass object. HRESULT=%#x\n");
    }
    hr = netcfg().QueryInterface(classObject.get(), tdu::platform::kIidINetCfgClassSetup, setup.put());
    if (hr < 0) {
        TDU_NETCFG_LOG(request, L"Failed to get NetCfgClassSetup interface. HRESULT=%#x\n", hr);
    }
    return hr;
}

// Takes the write lock, waiting up to kWriteLockTimeoutMs. Held by another
// client, it is not ours to release: the answer is "no write lock".
HResult acquireWriteLock(const Request& request, Handle lock) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::HrReinstallNetService");
    TaskMem holder;
    std::wstring holderText;
    const HResult hr = netcfg().AcquireWriteLock(lock, kWriteLockTimeoutMs, kLockClientDescription,
                                                 holder.put(), holderText);
    if (hr == tdu::platform::kSFalse) {
        if (holder) {
            TDU_NETCFG_LOG(request, L"Failed to get NetCfgLock. Lock held by \"%ls\"\n", holderText);
        } else {
            TDU_NETCFG_LOG(request, L"Failed to get NetCfgLock.\n");
        }
        return tdu::platform::kNetcfgENoWriteLock;
    }
    if (hr < 0) {
        return TDU_NETCFG_ERROR(hr, request, L"AcquireWriteLock() failed HRESULT=%#x\n");
    }
    return hr;
}

HResult removeComponent(const Request& request, Handle netCfg) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::HrReinstallNetService");
    ComPtr component;
    HResult hr = netcfg().FindComponent(netCfg, request.componentId, component.put());
    if (hr != tdu::platform::kSOk) {
        return TDU_NETCFG_ERROR(hr, request, L"Failed to find component. HRESULT=%#x\n");
    }
    tdu::platform::Guid classGuid;
    hr = netcfg().GetClassGuid(component.get(), classGuid);
    if (hr < 0) {
        return TDU_NETCFG_ERROR(hr, request, L"Failed to get component class GUID. HRESULT=%#x\n");
    }
    ComPtr classObject;
    ComPtr setup;
    hr = classSetup(request, netCfg, classGuid, classObject, setup);
    if (hr < 0) {
        return hr;
    }
    const tdu::platform::OboToken token = request.token();
    TDU_LOG(L"Removing component %s oboToken={OBO_SOFTWARE, \"%ls\", \"%ls\", \"%ls\", %#x}\n",
            request.componentId, request.manufacturer, request.product, request.displayName,
            token.registered);
    TaskMem referrers;
    std::wstring referrersText;
    hr = netcfg().DeInstall(setup.get(), component.get(), token, referrers.put(), referrersText);
    if (hr == tdu::platform::kNetcfgSStillReferenced) {
        TDU_NETCFG_LOG(request, L"The component was not removed and is still referenced by \"%ls\"\n",
                       referrersText);
        referrers.reset();
    } else if (hr == tdu::platform::kNetcfgSReboot) {
        TDU_NETCFG_LOG(request, L"A reboot is required to complete removal of component. HRESULT=%#x\n", hr);
    } else if (hr == tdu::platform::kNetcfgENeedReboot) {
        return TDU_NETCFG_ERROR(hr, request,
                                L"A reboot is required.  The component was not removed. HRESULT=%#x\n");
    } else if (hr < 0) {
        return TDU_NETCFG_ERROR(hr, request, L"The component could not be removed. HRESULT=%#x\n");
    }
    return apply(request, netCfg, true);
}

HResult installComponent(const Request& request, Handle netCfg) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::HrReinstallNetService");
    ComPtr classObject;
    ComPtr setup;
    HResult hr = classSetup(request, netCfg, tdu::platform::kGuidDevClassNetService, classObject, setup);
    if (hr < 0) {
        return hr;
    }
    const tdu::platform::OboToken token = request.token();
    TDU_NETCFG_LOG(
        request, L"Installing component %s oboToken={OBO_SOFTWARE, \"%ls\", \"%ls\", \"%ls\", %#x}\n",
        request.componentId, request.manufacturer, request.product, request.displayName, token.registered);
    ComPtr installed;
    hr = netcfg().Install(setup.get(), request.componentId, token, tdu::platform::kNsfPostSysInstall, 0,
                          nullptr, nullptr, installed.put());
    if (hr == tdu::platform::kNetcfgSReboot) {
        TDU_NETCFG_LOG(request, L"A reboot is required to complete re-install of component. HRESULT=%#x\n",
                       hr);
    } else if (hr == tdu::platform::kNetcfgENeedReboot) {
        return TDU_NETCFG_ERROR(hr, request,
                                L"A reboot is required.  The component was not re-installed. HRESULT=%#x\n");
    } else if (hr < 0) {
        return TDU_NETCFG_ERROR(hr, request, L"The component could not be re-installed. HRESULT=%#x\n");
    }
    return apply(request, netCfg, false);
}

} // namespace

int TavrinDriverOperator::AddRemoveNetService(const DriverOperation& record) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::AddRemoveNetService");
    if (record.netServiceAction.empty()) {
        TDU_LOG(L"Parameters are missing");
        return tdu::exit_code::kOperationFailed;
    }
    if (record.componentName.empty()) {
        TDU_LOG(L"Component Name is missing");
        return tdu::exit_code::kOperationFailed;
    }
    const std::wstring action = tdu::platform::asciiUpper(record.netServiceAction);
    bool add = false;
    if (action == L"ADD") {
        TDU_LOG(L"Command received to add net Service");
        add = true;
    } else if (action == L"REMOVE") {
        TDU_LOG(L"Command received to remove net Service");
    } else {
        TDU_LOG(L"Incorrect Value for net servc");
        return tdu::exit_code::kOperationFailed;
    }
    if (HrReinstallNetService(record.componentName.c_str(), kManufacturer, kProduct, kDisplayName, add) >=
        0) {
        TDU_LOG(L"Add/Remove of net service:%s Succeeded", record.componentName);
        return tdu::exit_code::kSuccess;
    }
    TDU_LOG(L"Add/Remove of net service:%s Failed", record.componentName);
    return tdu::exit_code::kOperationFailed;
}

std::int32_t TavrinDriverOperator::HrReinstallNetService(const wchar_t* componentId,
                                                         const wchar_t* manufacturer, const wchar_t* product,
                                                         const wchar_t* displayName, bool add) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::HrReinstallNetService");
    if (componentId == nullptr) {
        TDU_LOG(L"Parameters are null");
        return tdu::platform::kEFail;
    }
    const Request request{componentId, textOf(manufacturer), textOf(product), textOf(displayName)};

    HResult hr = netcfg().CoInitializeEx(tdu::platform::kCoinitApartmentThreaded |
                                         tdu::platform::kCoinitDisableOle1Dde);
    if (hr < 0) {
        return TDU_NETCFG_ERROR(hr, request, L"CoInitializeEx()->%#x\n");
    }
    // S_FALSE (already initialised here) is balanced all the same.
    const Held apartment([] { netcfg().CoUninitialize(); });

    ComPtr netCfg;
    hr = netcfg().CoCreateInstance(tdu::platform::kClsidCNetCfg, tdu::platform::kNullHandle,
                                   tdu::platform::kClsctxAll, tdu::platform::kIidINetCfg, netCfg.put());
    if (hr < 0) {
        return TDU_NETCFG_ERROR(hr, request, L"Failed to create NetCfg object. HRESULT=%#x\n");
    }
    ComPtr lock;
    hr = netcfg().QueryInterface(netCfg.get(), tdu::platform::kIidINetCfgLock, lock.put());
    if (hr < 0) {
        return TDU_NETCFG_ERROR(hr, request, L"Failed to get NetCfgLock interface. HRESULT=%#x\n");
    }
    hr = acquireWriteLock(request, lock.get());
    if (hr < 0) {
        return hr;
    }
    const Held writeLock([lock = lock.get()] { netcfg().ReleaseWriteLock(lock); });

    hr = netcfg().Initialize(netCfg.get());
    if (hr < 0) {
        return TDU_NETCFG_ERROR(hr, request, L"Failed to initialize NetCfg. HRESULT=%#x\n");
    }
    const Held initialized([config = netCfg.get()] { netcfg().Uninitialize(config); });

    // The removal phase's outcome does not stop the install phase; an add
    // reports what the install phase did.
    hr = removeComponent(request, netCfg.get());
    if (add) {
        hr = installComponent(request, netCfg.get());
    }
    return hr;
}
