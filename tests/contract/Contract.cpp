#include "tests/contract/Contract.h"

namespace tdu::contract {

TEST_P(Contract, Holds) {
    const Row& row = GetParam();
    const std::unique_ptr<Machine> machine = machineFor(row.name);
    if (machine->wine() && row.wine != nullptr) {
        GTEST_SKIP() << "Wine: " << row.wine;
    }
    row.check(*machine);
}

Device::Device(const std::wstring& hardwareIds) : set(dev().SetupDiCreateDeviceInfoList(&kGuidDevClassNet)) {
    EXPECT_TRUE(
        dev().SetupDiCreateDeviceInfoW(set, L"TDUCONTRACT", kGuidDevClassNet, kDicdGenerateId, element));
    const RegData ids = RegData::text(hardwareIds + std::wstring(2, L'\0'));
    EXPECT_TRUE(dev().SetupDiSetDeviceRegistryPropertyW(set, element, kSpdrpHardwareId, ids,
                                                        static_cast<std::uint32_t>(ids.bytes.size())));
    EXPECT_TRUE(dev().SetupDiCallClassInstaller(kDifRegisterDevice, set, element));
    EXPECT_TRUE(dev().SetupDiGetDeviceInstanceIdW(set, element, instanceId, kMaxPath, nullptr));
}
Device::~Device() {
    dev().SetupDiDestroyDeviceInfoList(set);
}

std::vector<std::wstring> listedDevices(std::uint32_t flags) {
    std::vector<std::wstring> ids;
    const Handle set = dev().SetupDiGetClassDevsExW(nullptr, flags);
    DeviceElement element;
    for (std::uint32_t i = 0; dev().SetupDiEnumDeviceInfo(set, i, element); ++i) {
        dev().SetupDiGetDeviceInstanceIdW(set, element, ids.emplace_back(), kMaxPath, nullptr);
    }
    EXPECT_EQ(sys().GetLastError(), kErrorNoMoreItems);
    dev().SetupDiDestroyDeviceInfoList(set);
    return ids;
}

} // namespace tdu::contract
