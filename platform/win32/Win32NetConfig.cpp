// COM and the network configuration interfaces. The GUIDs come from the
// core's own constants, so nothing here depends on which of them the
// import libraries happen to carry.
#include "platform/win32/LazyImport.h"
#include "platform/win32/Win32Platform.h"

#include <windows.h>

#include <bit>

#include <netcfgx.h>
#include <objbase.h>

namespace tdu::platform::win32 {

namespace {

constexpr wchar_t kOle32[] = L"ole32.dll";

template <class Interface> Interface* as(Handle handle) {
    return reinterpret_cast<Interface*>(static_cast<std::uintptr_t>(handle));
}
Handle fromPointer(const void* pointer) {
    return static_cast<Handle>(reinterpret_cast<std::uintptr_t>(pointer));
}

// Both layouts are held equal in SdkMirror.cpp.
GUID toGuid(const Guid& guid) {
    return std::bit_cast<GUID>(guid);
}

Guid fromGuid(const GUID& guid) {
    return std::bit_cast<Guid>(guid);
}

const wchar_t* textOrNull(const std::wstring* text) {
    return text == nullptr ? nullptr : text->c_str();
}

// The token's layout is the SDK's (SdkMirror.cpp).
OBO_TOKEN toToken(const OboToken& token) {
    return std::bit_cast<OBO_TOKEN>(token);
}

class Win32NetConfig final : public INetConfig {
public:
    HResult CoInitializeEx(std::uint32_t coInit) override {
        return TDU_LAZY(kOle32, CoInitializeEx, lastErrorHresult, nullptr, coInit);
    }
    void CoUninitialize() override {
        TDU_LAZY(kOle32, CoUninitialize, [] {});
    }

    HResult CoCreateInstance(const Guid& clsid, Handle outer, std::uint32_t clsContext, const Guid& iid,
                             Handle& object) override {
        const GUID classId = toGuid(clsid);
        const GUID interfaceId = toGuid(iid);
        void* created = nullptr;
        const HRESULT hr = TDU_LAZY(kOle32, CoCreateInstance, lastErrorHresult, classId, as<IUnknown>(outer),
                                    clsContext, interfaceId, &created);
        object = fromPointer(created);
        return hr;
    }

    HResult QueryInterface(Handle object, const Guid& iid, Handle& result) override {
        const GUID interfaceId = toGuid(iid);
        void* found = nullptr;
        const HRESULT hr = as<IUnknown>(object)->QueryInterface(interfaceId, &found);
        result = fromPointer(found);
        return hr;
    }

    std::uint32_t Release(Handle object) override { return as<IUnknown>(object)->Release(); }
    void CoTaskMemFree(Handle block) override {
        TDU_LAZY(
            kOle32, CoTaskMemFree, [] {}, as<void>(block));
    }

    HResult AcquireWriteLock(Handle lock, std::uint32_t timeoutMs, const std::wstring& clientDescription,
                             Handle& holderDescription, std::wstring& holderText) override {
        LPWSTR holder = nullptr;
        const HRESULT hr =
            as<INetCfgLock>(lock)->AcquireWriteLock(timeoutMs, clientDescription.c_str(), &holder);
        holderDescription = fromPointer(holder);
        holderText = holder == nullptr ? L"" : holder;
        return hr;
    }

    HResult ReleaseWriteLock(Handle lock) override { return as<INetCfgLock>(lock)->ReleaseWriteLock(); }
    HResult Initialize(Handle netCfg) override { return as<INetCfg>(netCfg)->Initialize(nullptr); }
    HResult Uninitialize(Handle netCfg) override { return as<INetCfg>(netCfg)->Uninitialize(); }
    HResult Apply(Handle netCfg) override { return as<INetCfg>(netCfg)->Apply(); }

    HResult FindComponent(Handle netCfg, const std::wstring& infId, Handle& component) override {
        INetCfgComponent* found = nullptr;
        const HRESULT hr = as<INetCfg>(netCfg)->FindComponent(infId.c_str(), &found);
        component = fromPointer(found);
        return hr;
    }

    HResult QueryNetCfgClass(Handle netCfg, const Guid& classGuid, const Guid& iid, Handle& object) override {
        const GUID classId = toGuid(classGuid);
        const GUID interfaceId = toGuid(iid);
        void* found = nullptr;
        const HRESULT hr = as<INetCfg>(netCfg)->QueryNetCfgClass(&classId, interfaceId, &found);
        object = fromPointer(found);
        return hr;
    }

    HResult GetClassGuid(Handle component, Guid& classGuid) override {
        GUID value{};
        const HRESULT hr = as<INetCfgComponent>(component)->GetClassGuid(&value);
        classGuid = fromGuid(value);
        return hr;
    }

    HResult DeInstall(Handle classSetup, Handle component, const OboToken& token, Handle& referrers,
                      std::wstring& referrersText) override {
        OBO_TOKEN obo = toToken(token);
        LPWSTR refs = nullptr;
        const HRESULT hr =
            as<INetCfgClassSetup>(classSetup)->DeInstall(as<INetCfgComponent>(component), &obo, &refs);
        referrers = fromPointer(refs);
        referrersText = refs == nullptr ? L"" : refs;
        return hr;
    }

    HResult Install(Handle classSetup, const std::wstring& infId, const OboToken& token,
                    std::uint32_t setupFlags, std::uint32_t upgradeFromBuildNo,
                    const std::wstring* answerFile, const std::wstring* answerSections,
                    Handle& component) override {
        OBO_TOKEN obo = toToken(token);
        INetCfgComponent* installed = nullptr;
        const HRESULT hr = as<INetCfgClassSetup>(classSetup)
                               ->Install(infId.c_str(), &obo, setupFlags, upgradeFromBuildNo,
                                         textOrNull(answerFile), textOrNull(answerSections), &installed);
        component = fromPointer(installed);
        return hr;
    }
};

} // namespace

INetConfig& win32NetConfig() {
    static Win32NetConfig instance;
    return instance;
}

} // namespace tdu::platform::win32
