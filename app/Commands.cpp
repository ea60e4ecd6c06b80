#include "app/Commands.h"

#include "installer_db/DifxHandler.h"
#include "operator/TDriverOperator.h"

#include <array>

// The command table's way to the operator's private steps.
struct OperatorDispatch {
    static int disableCA(TavrinDriverOperator& op, const DriverOperation& record) {
        return op.disableCA(record.productCode);
    }
};

namespace {

// A handler that is one member of the operator taking the record; its status
// is the exit code.
template <auto Operation> int call(TavrinDriverOperator& op, const DriverOperation& record) {
    return static_cast<int>((op.*Operation)(record));
}

constexpr std::array kInstallHelp{
    L"\n\nINSTALL COMMAND:",
    L"\n>TavrinDriverUtil.exe /install <inf-file> [/hardwareid <hw-id>] [/instid <inst-id>] [/startdevice "
    L"<YES/NO>] /component <comp-name>",
    L"\nNote: /hardwareid, /instid & /startdevice are optional",
};
constexpr std::array kUninstallHelp{
    L"\n\nUN-INSTALL COMMAND:",
    L"\n>TavrinDriverUtil.exe /uninstall <hardware-id> [/oeminf <oem-name>] /component <comp-name>",
    L"\nNote: /oeminf is optional",
};
constexpr std::array kNetServiceHelp{
    L"\n\nNET SERVICE ADD REMOVE COMMAND:",
    L"\n>TavrinDriverUtil.exe /netserv <ADD/REMOVE> /component <comp-name>",
};
constexpr std::array kProcessorTypeHelp{
    L"\n\nCOMMAND TO SET PROCESSOR TYPE:",
    L"\n>TavrinDriverUtil.exe /setprocessortype 1\n\n",
};
constexpr std::array kInstallDriversHelp{
    L"\n\nCOMMAND TO INSTALL ALL TAVRIN DRIVERS:",
    L"\n>TavrinDriverUtil.exe /installdrivers 1\n\n",
};
constexpr std::array kUninstallDriversHelp{
    L"\n\nCOMMAND TO UN-INSTALL ALL TAVRIN DRIVERS:",
    L"\n>TavrinDriverUtil.exe /uninstalldrivers 1\n\n",
};
constexpr std::array kReinstallHelp{
    L"\n\nCOMMAND TO RE-INSTALL ALL TAVRIN DRIVERS:",
    L"\n>TavrinDriverUtil.exe /reinstall <1/2> /component <tvrnva/tvrnvamgr/tvrnns/SplitDNSFilter> \n\n",
    L"\nNote:\n/reinstall 1: add to File Repository only",
    L"\n/reinstall 2: add to File Repository and install/add driver as a device",
};
constexpr std::array kSetStatusHelp{
    L"\n\nCOMMAND TO Set Install Status:",
    L"\n>TavrinDriverUtil.exe /setstatus <0/1> \n",
};
constexpr std::array kDisableDifxHelp{
    L"\n\nCOMMAND TO Disable Difx Custom actions from old installer:",
    L"\n>TavrinDriverUtil.exe /disableDifx <product-code>|all\n",
    L"\nNote:\n/disableDifx all: will try to find product code from R10 to R15 GA clients",
};
constexpr std::array kDisableCustomActionsHelp{
    L"\n\nCOMMAND TO Disable Custom actions from prior installer:",
    L"\n>TavrinDriverUtil.exe /disableCustomActions <product-code>\n",
};

// In the help's order. Which row comes first decides nothing else: an option
// names one row, and the first command on the command line wins.
constexpr auto kCommands = std::to_array<CommandRow>({
    {L"install", &DriverOperation::infPath, OperationCode::Install, L"Command received to install a driver",
     &call<&TavrinDriverOperator::InstallDriver>, kInstallHelp},
    {L"uninstall", &DriverOperation::hardwareId, OperationCode::Uninstall,
     L"Command received to uninstall a driver", &call<&TavrinDriverOperator::UninstallDriver>,
     kUninstallHelp},
    {L"netserv", &DriverOperation::netServiceAction, OperationCode::NetService,
     L"Command received to install TVRNNS Net Service", &call<&TavrinDriverOperator::AddRemoveNetService>,
     kNetServiceHelp},
    {L"setprocessortype", &DriverOperation::processorType, OperationCode::SetProcessorType,
     L"Command received to set processor type in registry",
     // The value given with the command is not passed: the marker is fixed.
     [](TavrinDriverOperator& op, const DriverOperation&) { return op.SetProcessorTypeInReg(); },
     kProcessorTypeHelp},
    {L"installdrivers", &DriverOperation::allDriversArg, OperationCode::InstallDrivers,
     L"Command received to install all Tavrin Drivers",
     [](TavrinDriverOperator& op, const DriverOperation& record) {
         return static_cast<int>(op.InstallTavrinDrivers(record, nullptr, nullptr));
     },
     kInstallDriversHelp},
    {L"uninstalldrivers", &DriverOperation::allDriversArg, OperationCode::UninstallDrivers,
     L"Command received to un-install all Tavrin Drivers",
     // The whole set, whatever else the command line holds.
     [](TavrinDriverOperator& op, const DriverOperation&) {
         return static_cast<int>(op.UnInstallTavrinDrivers(nullptr, nullptr));
     },
     kUninstallDriversHelp},
    {L"reinstall", &DriverOperation::reinstallMode, OperationCode::Reinstall,
     L"Command received to reinstall a driver component", &call<&TavrinDriverOperator::ReInstallDriver>,
     kReinstallHelp},
    {L"setstatus", &DriverOperation::installStatus, OperationCode::SetStatus,
     L"Command received to set driver install status", &call<&TavrinDriverOperator::setStatus>,
     kSetStatusHelp},
    {L"disableDifx", &DriverOperation::productCode, OperationCode::DisableDifx,
     L"Command received to disable Difx custom actions",
     [](TavrinDriverOperator&, const DriverOperation& record) {
         return DifxHandler::disableDifxCAs(record.productCode);
     },
     kDisableDifxHelp},
    {L"disableCustomActions", &DriverOperation::productCode, OperationCode::DisableCustomActions,
     L"Command received to disable custom actions", &OperatorDispatch::disableCA, kDisableCustomActionsHelp},
});

// The help mentions none of these on its own lines; /drivertype not at all.
constexpr auto kModifiers = std::to_array<ModifierRow>({
    {L"hardwareid", &DriverOperation::hardwareId},
    {L"instid", &DriverOperation::instanceId},
    {L"startdevice", &DriverOperation::startDevice},
    {L"component", &DriverOperation::componentName},
    {L"oeminf", &DriverOperation::oemInfName},
    {L"drivertype", &DriverOperation::driverType},
});

} // namespace

std::span<const CommandRow> commandTable() {
    return kCommands;
}

std::span<const ModifierRow> modifierTable() {
    return kModifiers;
}
