#include "app/TDCmdParser.h"
#include "app/ExitCode.h"

#include "log/LogWriter.h"

#include <array>
#include <string_view>

namespace {

constexpr const wchar_t* kLogSource = L"TDCmdParser.cpp";

// In the order commands are recognised: the first command on the line wins.
constexpr std::array<OptionRow, 16> kOptions{{
    {L"install", &DriverOperation::infPath, OperationCode::Install},
    {L"uninstall", &DriverOperation::hardwareId, OperationCode::Uninstall},
    {L"setprocessortype", &DriverOperation::processorType, OperationCode::SetProcessorType},
    {L"netserv", &DriverOperation::netServiceAction, OperationCode::NetService},
    {L"installdrivers", &DriverOperation::allDriversArg, OperationCode::InstallDrivers},
    {L"uninstalldrivers", &DriverOperation::allDriversArg, OperationCode::UninstallDrivers},
    {L"reinstall", &DriverOperation::reinstallMode, OperationCode::Reinstall},
    {L"setstatus", &DriverOperation::installStatus, OperationCode::SetStatus},
    {L"disableDifx", &DriverOperation::productCode, OperationCode::DisableDifx},
    {L"disableCustomActions", &DriverOperation::productCode, OperationCode::DisableCustomActions},
    {L"hardwareid", &DriverOperation::hardwareId, OperationCode::None},
    {L"instid", &DriverOperation::instanceId, OperationCode::None},
    {L"startdevice", &DriverOperation::startDevice, OperationCode::None},
    {L"component", &DriverOperation::componentName, OperationCode::None},
    {L"oeminf", &DriverOperation::oemInfName, OperationCode::None},
    {L"drivertype", &DriverOperation::driverType, OperationCode::None},
}};

constexpr std::array<const wchar_t*, 25> kHelpPieces{
    L"\n\nINSTALL COMMAND:",
    L"\n>TavrinDriverUtil.exe /install <inf-file> [/hardwareid <hw-id>] [/instid <inst-id>] [/startdevice "
    L"<YES/NO>] /component <comp-name>",
    L"\nNote: /hardwareid, /instid & /startdevice are optional",
    L"\n\nUN-INSTALL COMMAND:",
    L"\n>TavrinDriverUtil.exe /uninstall <hardware-id> [/oeminf <oem-name>] /component <comp-name>",
    L"\nNote: /oeminf is optional",
    L"\n\nNET SERVICE ADD REMOVE COMMAND:",
    L"\n>TavrinDriverUtil.exe /netserv <ADD/REMOVE> /component <comp-name>",
    L"\n\nCOMMAND TO SET PROCESSOR TYPE:",
    L"\n>TavrinDriverUtil.exe /setprocessortype 1\n\n",
    L"\n\nCOMMAND TO INSTALL ALL TAVRIN DRIVERS:",
    L"\n>TavrinDriverUtil.exe /installdrivers 1\n\n",
    L"\n\nCOMMAND TO UN-INSTALL ALL TAVRIN DRIVERS:",
    L"\n>TavrinDriverUtil.exe /uninstalldrivers 1\n\n",
    L"\n\nCOMMAND TO RE-INSTALL ALL TAVRIN DRIVERS:",
    L"\n>TavrinDriverUtil.exe /reinstall <1/2> /component <tvrnva/tvrnvamgr/tvrnns/SplitDNSFilter> \n\n",
    L"\nNote:\n/reinstall 1: add to File Repository only",
    L"\n/reinstall 2: add to File Repository and install/add driver as a device",
    L"\n\nCOMMAND TO Set Install Status:",
    L"\n>TavrinDriverUtil.exe /setstatus <0/1> \n",
    L"\n\nCOMMAND TO Disable Difx Custom actions from old installer:",
    L"\n>TavrinDriverUtil.exe /disableDifx <product-code>|all\n",
    L"\nNote:\n/disableDifx all: will try to find product code from R10 to R15 GA clients",
    L"\n\nCOMMAND TO Disable Custom actions from prior installer:",
    L"\n>TavrinDriverUtil.exe /disableCustomActions <product-code>\n",
};

} // namespace

TDCmdLineParser& TDCmdLineParser::getInstance() {
    static TDCmdLineParser instance;
    return instance;
}

std::span<const OptionRow> TDCmdLineParser::options() {
    return kOptions;
}

TDCmdLineParser::TDCmdLineParser() {
    for (const OptionRow& row : kOptions) {
        optionTable.emplace(std::wstring(L"/") + row.name, row.field);
        optionTable.emplace(std::wstring(L"-") + row.name, row.field);
    }
}

int TDCmdLineParser::ParseAndStoreCommandLineArgs(unsigned argc, const wchar_t* const* argv) {
    TDU_LOG_FUNCTION(L"TDCmdLineParser::ParseAndStoreCommandLineArgs");
    if (argc < 3) {
        TDU_LOG(L"Insufficient Parameters.");
        ShowHelp();
        return tdu::exit_code::kMalformedCommandLine;
    }
    if (argc % 2 == 0) {
        TDU_LOG(L"Incorrect Parameters");
        ShowHelp();
        return tdu::exit_code::kMalformedCommandLine;
    }
    auto argument = [argv](unsigned index) -> std::wstring_view {
        return argv[index] == nullptr ? std::wstring_view{} : std::wstring_view{argv[index]};
    };
    for (unsigned i = 1; i + 1 < argc; i += 2) {
        const std::wstring option(argument(i));
        const std::wstring value(argument(i + 1));
        const auto entry = optionTable.find(option);
        // An unknown option, or an option where a value belongs, ends the run
        // like the other malformed shapes: no operation runs on half its values.
        if (entry == optionTable.end()) {
            TDU_LOG(L"Incorrect Parameters");
            ShowHelp();
            return tdu::exit_code::kMalformedCommandLine;
        }
        if (driverOperation_.operationCode == OperationCode::None) {
            for (const OptionRow& row : kOptions) {
                if (row.command != OperationCode::None && option.substr(1) == row.name) {
                    driverOperation_.operationCode = row.command;
                    break;
                }
            }
        }
        if (optionTable.contains(value)) {
            TDU_LOG(L"Incorrect Parameters");
            ShowHelp();
            return tdu::exit_code::kMalformedCommandLine;
        }
        driverOperation_.*(entry->second) = value;
    }
    return tdu::exit_code::kSuccess;
}

void TDCmdLineParser::ShowHelp() {
    TDU_LOG_FUNCTION(L"TDCmdLineParser::ShowHelp");
    std::wstring help;
    for (const wchar_t* piece : kHelpPieces) {
        help += piece;
    }
    TDU_LOG(L"\nTavrin Driver Utility Help %s", help);
}
