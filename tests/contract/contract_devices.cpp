// Device setup: the driver store, devices, their properties and install parameters, the flags that change
// the answers, and the records with a size field.
#include "tests/contract/Contract.h"

namespace tdu::contract {
namespace {

// Whether a SetupDiGetClassDevsExW set with these flags holds the device of this instance id.
bool listed(const std::wstring& instanceId, std::uint32_t flags) {
    const Handle set = dev().SetupDiGetClassDevsExW(nullptr, flags);
    DeviceElement element;
    std::wstring id;
    unsigned found = 0;
    for (std::uint32_t i = 0; dev().SetupDiEnumDeviceInfo(set, i, element); ++i) {
        dev().SetupDiGetDeviceInstanceIdW(set, element, id, kMaxPath, nullptr);
        found += id == instanceId ? 1 : 0;
    }
    EXPECT_EQ(sys().GetLastError(), kErrorNoMoreItems);
    dev().SetupDiDestroyDeviceInfoList(set);
    return found == 1;
}

// A device of the class Net made and registered under a generated id, with these hardware ids: its set
// (destroyed at the end of the row) and element.
struct Device {
    explicit Device(const std::wstring& hardwareIds)
        : set(dev().SetupDiCreateDeviceInfoList(&kGuidDevClassNet)) {
        EXPECT_TRUE(
            dev().SetupDiCreateDeviceInfoW(set, L"TDUCONTRACT", kGuidDevClassNet, kDicdGenerateId, element));
        const RegData ids = RegData::text(hardwareIds + std::wstring(2, L'\0'));
        EXPECT_TRUE(dev().SetupDiSetDeviceRegistryPropertyW(set, element, kSpdrpHardwareId, ids,
                                                            static_cast<std::uint32_t>(ids.bytes.size())));
        EXPECT_TRUE(dev().SetupDiCallClassInstaller(kDifRegisterDevice, set, element));
        EXPECT_TRUE(dev().SetupDiGetDeviceInstanceIdW(set, element, instanceId, kMaxPath, nullptr));
    }
    ~Device() { dev().SetupDiDestroyDeviceInfoList(set); }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    Handle set = kNullHandle;
    DeviceElement element;
    std::wstring instanceId;
};

std::wstring published(const std::wstring& inf, std::uint32_t style = kSpCopyNoOverwrite) {
    std::wstring destination;
    const bool copied = dev().SetupCopyOEMInfW(inf, kSpostPath, style, destination, kMaxPath);
    EXPECT_TRUE(copied || sys().GetLastError() == kErrorFileExists);
    return destination;
}

const Row kDevices[] = {
    {"APackageIsPublishedEvenForABufferTooSmallForItsPathAndNamedAgainWhenPublishedTwice",
     [](Machine& m) {
         const std::wstring package = m.package(L"tvrnvamgr");
         std::wstring first;
         // Fewer characters than the path needs, but as many bytes: a size in bytes would be written past.
         EXPECT_EQ(answer(dev().SetupCopyOEMInfW(package, kSpostPath, kSpCopyNoOverwrite, first, 20)),
                   kErrorInsufficientBuffer);
         EXPECT_EQ(first, L"");
         EXPECT_EQ(answer(dev().SetupCopyOEMInfW(package, kSpostPath, kSpCopyNoOverwrite, first, kMaxPath)),
                   kErrorFileExists);
         std::wstring again;
         EXPECT_TRUE(dev().SetupCopyOEMInfW(package, kSpostPath, 0, again, kMaxPath));
         EXPECT_EQ(again, first);
         EXPECT_TRUE(first.ends_with(L".inf") && sys().GetFileAttributesW(first) != kInvalidFileAttributes);
     }},
    {"ARegisteredDeviceAnswersItsIdsRefusesRecordsOfAnotherSizeAndItsIdTakenAndIsRemoved",
     [](Machine&) {
         const Device device(L"tducontract");
         const auto& [set, element, instanceId] = device;
         std::wstring id = L"kept";
         std::uint32_t needed = 0;
         EXPECT_FALSE(dev().SetupDiGetDeviceInstanceIdW(set, element, id, 5, &needed));
         EXPECT_EQ(std::tuple(sys().GetLastError(), needed, id),
                   std::tuple(kErrorInsufficientBuffer, 22U, L"kept"));
         EXPECT_TRUE(instanceId.starts_with(L"ROOT\\TDUCONTRACT\\"));
         RegData ids;
         std::uint32_t type = 0;
         EXPECT_FALSE(dev().SetupDiGetDeviceRegistryPropertyW(set, element, kSpdrpHardwareId, &type, nullptr,
                                                              0, &needed));
         EXPECT_EQ(std::tuple(sys().GetLastError(), needed), std::tuple(kErrorInsufficientBuffer, 26U));
         EXPECT_TRUE(dev().SetupDiGetDeviceRegistryPropertyW(set, element, kSpdrpHardwareId, &type, &ids,
                                                             needed, &needed));
         EXPECT_EQ(std::tuple(type, ids.multiStrings()),
                   std::tuple(kRegMultiSz, std::vector<std::wstring>{L"tducontract"}));
         DeviceElement other;
         EXPECT_EQ(answer(dev().SetupDiCreateDeviceInfoW(set, instanceId, kGuidDevClassNet, 0, other)),
                   kErrorDevinstAlreadyExists);
         EXPECT_TRUE(
             dev().SetupDiCreateDeviceInfoW(set, L"TDUCONTRACT", kGuidDevClassNet, kDicdGenerateId, other));
         EXPECT_TRUE(dev().SetupDiDeleteDeviceInfo(set, other));
         other.cbSize = 0;
         // An invalid user buffer.
         EXPECT_EQ(answer(dev().SetupDiEnumDeviceInfo(set, 0, other)), 1784U);
         DeviceInstallParams params{.cbSize = 8};
         EXPECT_EQ(answer(dev().SetupDiGetDeviceInstallParamsW(set, element, params)), 1784U);
         params.cbSize = kSizeOfDevInstallParams;
         EXPECT_TRUE(dev().SetupDiGetDeviceInstallParamsW(set, element, params));
         params.flags |= kDiDoNotCallConfigMg;
         EXPECT_TRUE(dev().SetupDiSetDeviceInstallParamsW(set, element, params));
         EXPECT_TRUE(listed(instanceId, kDigcfAllClasses | kDigcfPresent));
         EXPECT_TRUE(dev().SetupDiCallClassInstaller(kDifRemove, set, element));
         EXPECT_FALSE(listed(instanceId, kDigcfAllClasses));
     }},
    {"ADeviceThatIsNotPresentIsNotListedWithDigcfPresent",
     [](Machine& m) {
         m.plantAbsentDevice(L"tducontract");
         EXPECT_FALSE(listed(L"ROOT\\NET\\0009", kDigcfAllClasses | kDigcfPresent));
     },
     "no device can be made absent"},
    {"AnUpdateInstallsOnlyABetterDriverAndOnlyForItsIdsAndAPackageInUseGoesOnlyWhenForced",
     [](Machine& m) {
         const Device device(L"tvrnvamgr");
         const std::wstring package = m.package(L"tvrnvamgr");
         EXPECT_TRUE(dev().UpdateDriverForPlugAndPlayDevicesW(L"tvrnvamgr", package, 0, nullptr));
         EXPECT_EQ(answer(dev().UpdateDriverForPlugAndPlayDevicesW(L"tvrnvamgr", package, 0, nullptr)),
                   kErrorNoMoreItems);
         EXPECT_FALSE(dev().UpdateDriverForPlugAndPlayDevicesW(L"tducontractnone", package, kInstallFlagForce,
                                                               nullptr));
         const std::wstring inf = published(package);
         const std::wstring name = inf.substr(inf.rfind(L'\\') + 1);
         EXPECT_EQ(answer(dev().SetupUninstallOEMInfW(name, 0)), kErrorInfInUseByDevices);
         EXPECT_TRUE(dev().SetupUninstallOEMInfW(name, kSuoiForceDelete));
         EXPECT_EQ(sys().GetFileAttributesW(inf), kInvalidFileAttributes);
     },
     "UpdateDriverForPlugAndPlayDevicesW installs without comparing drivers, even with no device of the id; "
     "SetupUninstallOEMInfW deletes a package its devices use"},
    {"TheDriverListOffersThePublishedPackage",
     [](Machine& m) {
         const std::wstring inf = published(m.package(L"tvrnvamgr"));
         const Device device(L"tvrnvamgr");
         const auto& [set, element, instanceId] = device;
         DeviceInstallParams params;
         EXPECT_TRUE(dev().SetupDiGetDeviceInstallParamsW(set, element, params));
         params.flagsEx |= kDiFlagsExUseClassForCompat | kDiFlagsExAllowExcludedDrvs;
         EXPECT_TRUE(dev().SetupDiSetDeviceInstallParamsW(set, element, params));
         EXPECT_TRUE(dev().SetupDiBuildDriverInfoList(set, element, kSpditCompatDriver));
         DriverInfo driver;
         EXPECT_TRUE(dev().SetupDiEnumDriverInfoW(set, element, kSpditCompatDriver, 0, driver));
         DriverInfoDetail detail;
         std::uint32_t needed = 0;
         EXPECT_FALSE(dev().SetupDiGetDriverInfoDetailW(set, element, driver, detail,
                                                        kSizeOfDrvInfoDetailData, &needed));
         EXPECT_EQ(std::tuple(sys().GetLastError(), needed), std::tuple(kErrorInsufficientBuffer, 1598U));
         EXPECT_TRUE(textOf(detail.infFileName).ends_with(inf.substr(inf.rfind(L'\\'))));
         EXPECT_EQ(answer(dev().SetupDiEnumDriverInfoW(set, element, kSpditCompatDriver, 1, driver)),
                   kErrorNoMoreItems);
         EXPECT_TRUE(dev().SetupDiCallClassInstaller(kDifRemove, set, element));
     }},
    {"TheNetClassByNameIsCountedBeforeItIsGiven",
     [](Machine&) {
         std::vector<Guid> guids;
         std::uint32_t needed = 0;
         EXPECT_FALSE(dev().SetupDiClassGuidsFromNameW(L"Net", guids, 0, &needed));
         EXPECT_EQ(std::tuple(sys().GetLastError(), needed, guids.size()),
                   std::tuple(kErrorInsufficientBuffer, 1U, 0U));
     },
     "the prefix registers no class by the name Net"},
    {"AnInfSectionRunsItsRegistryLines",
     [](Machine& m) {
         const std::wstring inf = m.package(L"SplitDNSFilter");
         const auto installed = [] {
             Handle key = kNullHandle;
             EXPECT_EQ(reg().RegOpenKeyExW(RegRoot::LocalMachine, L"SOFTWARE\\TavrinSecure\\SplitDNSFilter",
                                           kKeyRead, key),
                       0);
             std::uint32_t bytes = 4;
             RegData value;
             const LStatus status = reg().RegQueryValueExW(key, L"Installed", nullptr, &value, &bytes);
             EXPECT_EQ(reg().RegCloseKey(key), 0);
             return std::tuple(status, value.bytes);
         };
         dev().InstallHinfSectionW(L"DefaultInstall 128 " + inf, 0);
         EXPECT_EQ(installed(), std::tuple(0, RegData::dword(1).bytes));
         dev().InstallHinfSectionW(L"DefaultUnInstall 128 " + inf, 0);
         EXPECT_EQ(std::get<0>(installed()), 2);
     }},
};
TDU_CONTRACT_ROWS(Devices, kDevices);

} // namespace
} // namespace tdu::contract
