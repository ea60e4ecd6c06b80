// The rows' machine natively: a fresh simulated machine for each.
#include "platform/sim/SimMachine.h"
#include "platform/sim/SimServices.h"
#include "tests/contract/Contract.h"

#include <filesystem>

namespace tdu::contract {
namespace {

class SimulatedMachine final : public Machine {
public:
    SimulatedMachine() {
        bindPlatform(sim_.platform());
        sim_.createDirectories(L"C:\\contract");
    }
    [[nodiscard]] bool wine() const override { return false; }
    std::wstring folder() override { return L"C:\\contract\\"; }
    void plantFile(const std::wstring& path, const std::string& bytes) override {
        sim_.writeFile(path, bytes);
    }
    void setEnvironment(const std::wstring& name, const std::wstring& value) override {
        sim_.setEnvironment(name, value);
    }
    void plantLink(const std::wstring& target, const std::wstring& link) override {
        sim_.writeFile(target, "x");
        std::filesystem::create_symlink(sim_.hostPath(target), sim_.hostPath(link));
    }
    std::wstring package(const std::wstring& component) override {
        sim_.createDirectories(L"C:\\drivers");
        std::filesystem::copy(TDU_SAMPLES_DIR "/x64Drivers/" + component, sim_.hostPath(L"C:\\drivers"));
        return L"C:\\drivers\\" + component + L".inf";
    }
    void plantService(const std::wstring& name) override {
        sim_.services().addService(
            {.name = name, .displayName = L"", .state = kServiceStopped, .dependsOn = {}});
    }
    void plantAbsentDevice(const std::wstring& hardwareId) override {
        sim_.addDevice({L"ROOT\\NET\\0009", kGuidDevClassNet, std::vector{hardwareId}, false, 0, L"", 0});
    }
    void installProduct() override {
        sim_.installProduct(kProduct, L"C:\\Windows\\Installer\\1a2b.msi", {{L"TduAction", L"1", 1001}});
    }
    std::wstring versionedFile() override {
        sim_.writeVersionedFile(L"C:\\contract\\v.exe", {.fileVersionMS = 0x00170001});
        return L"C:\\contract\\v.exe";
    }

private:
    sim::SimMachine sim_;
};

} // namespace

std::unique_ptr<Machine> machineFor(const std::string& /*row*/) {
    return std::make_unique<SimulatedMachine>();
}

} // namespace tdu::contract
