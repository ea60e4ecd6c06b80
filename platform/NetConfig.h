// COM and the network configuration objects (INetCfg, INetCfgLock,
// INetCfgComponent, INetCfgClass, INetCfgClassSetup). An interface pointer is
// an opaque handle: every one handed out is one reference, given back with
// Release. Task memory the platform allocates for the caller is a handle too,
// given back with CoTaskMemFree. Each method returns the call's HRESULT.
#pragma once

#include "platform/Types.h"

#include <cstdint>
#include <string>

namespace tdu::platform {

using HResult = std::int32_t;

constexpr HResult hresult(std::uint32_t bits) {
    return static_cast<HResult>(bits);
}

inline constexpr HResult kSOk = 0;
inline constexpr HResult kSFalse = 1;
inline constexpr HResult kEFail = hresult(0x80004005);
inline constexpr HResult kENoInterface = hresult(0x80004002);
inline constexpr HResult kEPointer = hresult(0x80004003);
inline constexpr HResult kEInvalidArg = hresult(0x80070057);
inline constexpr HResult kCoENotInitialized = hresult(0x800401F0);
inline constexpr HResult kNetcfgSReboot = hresult(0x0004A020);
inline constexpr HResult kNetcfgSStillReferenced = hresult(0x0004A023);
inline constexpr HResult kNetcfgEAlreadyInitialized = hresult(0x8004A020);
inline constexpr HResult kNetcfgENotInitialized = hresult(0x8004A021);
inline constexpr HResult kNetcfgENoWriteLock = hresult(0x8004A024);
inline constexpr HResult kNetcfgENeedReboot = hresult(0x8004A025);

inline constexpr std::uint32_t kCoinitApartmentThreaded = 0x2;
inline constexpr std::uint32_t kCoinitDisableOle1Dde = 0x4;
inline constexpr std::uint32_t kClsctxAll = 0x17;
inline constexpr std::uint32_t kNsfPostSysInstall = 0x2;
inline constexpr std::uint32_t kOboSoftware = 3;

inline constexpr Guid kClsidCNetCfg{
    0x5B035261, 0x40F9, 0x11D1, {0xAA, 0xEC, 0x00, 0x80, 0x5F, 0xC1, 0x27, 0x0E}};
inline constexpr Guid kIidINetCfg{
    0xC0E8AE93, 0x306E, 0x11D1, {0xAA, 0xCF, 0x00, 0x80, 0x5F, 0xC1, 0x27, 0x0E}};
inline constexpr Guid kIidINetCfgLock{
    0xC0E8AE9F, 0x306E, 0x11D1, {0xAA, 0xCF, 0x00, 0x80, 0x5F, 0xC1, 0x27, 0x0E}};
inline constexpr Guid kIidINetCfgClass{
    0xC0E8AE97, 0x306E, 0x11D1, {0xAA, 0xCF, 0x00, 0x80, 0x5F, 0xC1, 0x27, 0x0E}};
inline constexpr Guid kIidINetCfgClassSetup{
    0xC0E8AE9D, 0x306E, 0x11D1, {0xAA, 0xCF, 0x00, 0x80, 0x5F, 0xC1, 0x27, 0x0E}};
inline constexpr Guid kIidINetCfgComponent{
    0xC0E8AE99, 0x306E, 0x11D1, {0xAA, 0xCF, 0x00, 0x80, 0x5F, 0xC1, 0x27, 0x0E}};

// OBO_TOKEN, with the SDK's layout. The strings must outlive the call that
// receives the token.
struct OboToken {
    std::uint32_t type = 0;
    Handle pncc = kNullHandle;
    const wchar_t* manufacturer = nullptr;
    const wchar_t* product = nullptr;
    const wchar_t* displayName = nullptr;
    std::int32_t registered = 0;
};

class INetConfig {
public:
    virtual ~INetConfig() = default;

    // COM on the calling thread: CoInitializeEx(NULL, coInit).
    virtual HResult CoInitializeEx(std::uint32_t coInit) = 0;
    virtual void CoUninitialize() = 0;
    virtual HResult CoCreateInstance(const Guid& clsid, Handle outer, std::uint32_t clsContext,
                                     const Guid& iid, Handle& object) = 0;
    virtual HResult QueryInterface(Handle object, const Guid& iid, Handle& result) = 0;
    virtual std::uint32_t Release(Handle object) = 0;
    virtual void CoTaskMemFree(Handle block) = 0;

    // INetCfgLock. With S_FALSE another client holds the lock; its
    // description, when it gave one, comes as task memory and as text.
    virtual HResult AcquireWriteLock(Handle lock, std::uint32_t timeoutMs,
                                     const std::wstring& clientDescription, Handle& holderDescription,
                                     std::wstring& holderText) = 0;
    virtual HResult ReleaseWriteLock(Handle lock) = 0;

    // INetCfg (the reserved pointer of Initialize is always null).
    virtual HResult Initialize(Handle netCfg) = 0;
    virtual HResult Uninitialize(Handle netCfg) = 0;
    virtual HResult FindComponent(Handle netCfg, const std::wstring& infId, Handle& component) = 0;
    virtual HResult QueryNetCfgClass(Handle netCfg, const Guid& classGuid, const Guid& iid,
                                     Handle& object) = 0;
    virtual HResult Apply(Handle netCfg) = 0;

    // INetCfgComponent.
    virtual HResult GetClassGuid(Handle component, Guid& classGuid) = 0;

    // INetCfgClassSetup. A null answer file or section list is passed as null.
    // `referrers` is task memory holding a multi-string; `referrersText` is
    // what a C string reads of it: its first entry.
    virtual HResult DeInstall(Handle classSetup, Handle component, const OboToken& token, Handle& referrers,
                              std::wstring& referrersText) = 0;
    virtual HResult Install(Handle classSetup, const std::wstring& infId, const OboToken& token,
                            std::uint32_t setupFlags, std::uint32_t upgradeFromBuildNo,
                            const std::wstring* answerFile, const std::wstring* answerSections,
                            Handle& component) = 0;
};

} // namespace tdu::platform
