// The service control manager, the network configuration objects, the installer engine and version
// resources.
#include "tests/contract/Contract.h"

namespace tdu::contract {
namespace {

// The network configuration object with its write lock held and initialised, released at the end.
struct NetCfg {
    NetCfg() {
        EXPECT_EQ(netcfg().CoInitializeEx(kCoinitApartmentThreaded | kCoinitDisableOle1Dde), kSOk);
        EXPECT_EQ(netcfg().CoCreateInstance(kClsidCNetCfg, kNullHandle, kClsctxAll, kIidINetCfg, object),
                  kSOk);
        EXPECT_EQ(netcfg().QueryInterface(object, kIidINetCfgLock, lock), kSOk);
        Handle holder = kNullHandle;
        std::wstring holderText;
        EXPECT_EQ(netcfg().AcquireWriteLock(lock, 15000, L"contract", holder, holderText), kSOk);
        EXPECT_EQ(netcfg().Initialize(object), kSOk);
    }
    ~NetCfg() {
        EXPECT_EQ(netcfg().Uninitialize(object), kSOk);
        EXPECT_EQ(netcfg().ReleaseWriteLock(lock), kSOk);
        netcfg().Release(lock);
        netcfg().Release(object);
        netcfg().CoUninitialize();
    }
    NetCfg(const NetCfg&) = delete;
    NetCfg& operator=(const NetCfg&) = delete;
    Handle object = kNullHandle;
    Handle lock = kNullHandle;
};

const Row kServices[] = {
    {"AStoppedServiceIsQueriedRefusesAStopAndIsDeletedOnce",
     [](Machine& m) {
         m.plantService(L"tducontract");
         IServiceControl& sc = scm();
         const Handle manager = sc.OpenSCManagerW(nullptr, nullptr, kScManagerAllAccess);
         EXPECT_EQ(answer(sc.OpenServiceW(manager, L"tducontractnone", kServiceQueryStatus) != kNullHandle),
                   kErrorServiceDoesNotExist);
         const Handle service =
             sc.OpenServiceW(manager, L"tducontract",
                             kServiceQueryStatus | kServiceStop | kServiceEnumerateDependents | kDelete);
         ServiceStatusProcess status;
         std::uint32_t needed = 0;
         EXPECT_FALSE(sc.QueryServiceStatusEx(service, kScStatusProcessInfo, status, 8, needed));
         EXPECT_EQ(std::tuple(sys().GetLastError(), needed), std::tuple(kErrorInsufficientBuffer, 36U));
         EXPECT_TRUE(sc.QueryServiceStatusEx(service, kScStatusProcessInfo, status,
                                             kServiceStatusProcessBytes, needed));
         EXPECT_EQ(status.dwCurrentState, kServiceStopped);
         EXPECT_EQ(answer(sc.ControlService(service, kServiceControlStop, status)), kErrorServiceNotActive);
         std::uint32_t returned = 1;
         std::vector<EnumServiceStatus> entries;
         EXPECT_TRUE(
             sc.EnumDependentServicesW(service, kServiceActive, kNullHandle, 0, needed, returned, entries));
         EXPECT_EQ(returned, 0U);
         EXPECT_TRUE(sc.DeleteService(service));
         EXPECT_EQ(answer(sc.DeleteService(service)), kErrorServiceMarkedForDelete);
         EXPECT_TRUE(sc.CloseServiceHandle(service));
         EXPECT_TRUE(sc.CloseServiceHandle(manager));
     }},
    {"TheNetworkConfigurationIsLockedAndInitialised", [](Machine&) { const NetCfg config; }},
    {"AComponentIsInstalledAppliedAndRemovedWithoutReferrers",
     [](Machine&) {
         const NetCfg config;
         Handle setup = kNullHandle;
         Handle component = kNullHandle;
         Handle referrers = kNullHandle;
         EXPECT_EQ(
             netcfg().QueryNetCfgClass(config.object, kGuidDevClassNetService, kIidINetCfgClassSetup, setup),
             kSOk);
         OboToken token;
         token.type = kOboSoftware;
         EXPECT_EQ(netcfg().Install(setup, L"tducontract", token, kNsfPostSysInstall, 0, nullptr, nullptr,
                                    component),
                   kSOk);
         EXPECT_EQ(netcfg().Apply(config.object), kSOk);
         std::wstring text;
         EXPECT_EQ(netcfg().DeInstall(setup, component, token, referrers, text), kSOk);
         EXPECT_EQ(std::tuple(referrers, text), std::tuple(kNullHandle, L""));
         netcfg().CoTaskMemFree(referrers);
         for (const Handle object : {component, setup}) {
             netcfg().Release(object);
         }
     },
     "INetCfg::QueryNetCfgClass answers E_NOTIMPL"},
    {"AProductsPackageIsMeasuredBeforeItIsGivenAndItsSequenceUpdatedOnCommitAndABadUpdateRefused",
     [](Machine& m) {
         IInstallerDb& db = installerDb();
         std::wstring value = L"kept";
         std::uint32_t chars = kMaxPath;
         const auto info = [&](const std::wstring& product) {
             return db.MsiGetProductInfoW(product, kInstallPropertyLocalPackage, value, chars);
         };
         EXPECT_EQ(info(L"{00000000-0000-0000-0000-0000000000C6}"), kErrorUnknownProduct);
         EXPECT_EQ(info(L"C7"), 87U);
         m.installProduct();
         chars = 0;
         EXPECT_EQ(info(kProduct), 234U);
         const std::uint32_t needed = chars;
         EXPECT_EQ(info(kProduct), 234U); // no room for the NUL
         EXPECT_EQ(std::tuple(chars, value), std::tuple(needed, L"kept"));
         chars = needed + 1;
         EXPECT_EQ(info(kProduct), 0U);
         EXPECT_EQ(std::tuple(value.size(), chars), std::tuple(needed, needed));
         EXPECT_TRUE(value.ends_with(L".msi")) << value;
         Handle database = kNullHandle;
         Handle view = kNullHandle;
         EXPECT_EQ(db.MsiOpenDatabaseW(value, kMsiDbOpenTransact, database), 0U);
         EXPECT_EQ(
             db.MsiDatabaseOpenViewW(
                 database, L"UPDATE InstallExecuteSequence SET Condition='0' WHERE Action='TduAction'", view),
             0U);
         EXPECT_EQ(db.MsiViewExecute(view, kNullHandle), 0U);
         EXPECT_EQ(db.MsiViewClose(view), 0U);
         EXPECT_EQ(db.MsiCloseHandle(view), 0U);
         EXPECT_EQ(db.MsiDatabaseOpenViewW(database, L"UPDATE nonsense", view), kErrorBadQuerySyntax);
         EXPECT_EQ(db.MsiDatabaseCommit(database), 0U);
         EXPECT_EQ(db.MsiCloseHandle(database), 0U);
     }},
    {"TheFixedFileInformationIsTheRootBlocks",
     [](Machine& m) {
         std::uint32_t handle = 1;
         const std::uint32_t size = fileVersion().GetFileVersionInfoSizeW(m.versionedFile(), handle);
         EXPECT_GE(size, kFixedFileInfoBytes);
         std::vector<std::uint8_t> block(size);
         EXPECT_TRUE(fileVersion().GetFileVersionInfoW(m.versionedFile(), handle, size, block));
         FixedFileInfo info;
         std::uint32_t length = 0;
         EXPECT_TRUE(fileVersion().VerQueryValueW(block, kVersionRootBlock, info, length));
         EXPECT_EQ(std::tuple(info.signature, info.fileVersionMS, info.fileVersionLS, length),
                   std::tuple(0xFEEF04BDU, 0x00170001U, 0U, 52U));
         EXPECT_EQ(fileVersion().GetFileVersionInfoSizeW(m.folder() + L"none.exe", handle), 0U);
         EXPECT_EQ(sys().GetLastError(), kErrorFileNotFound);
     }},
};
TDU_CONTRACT_ROWS(Services, kServices);

} // namespace
} // namespace tdu::contract
