#include "app/TDCmdParser.h"
#include "app/Commands.h"
#include "app/ExitCode.h"

#include "log/LogWriter.h"

#include <string_view>

namespace {

constexpr const wchar_t* kLogSource = L"TDCmdParser.cpp";

} // namespace

TDCmdLineParser& TDCmdLineParser::getInstance() {
    static TDCmdLineParser instance;
    return instance;
}

std::vector<OptionRow> TDCmdLineParser::options() {
    std::vector<OptionRow> rows;
    for (const CommandRow& row : commandTable()) {
        rows.push_back({row.option, row.field, row.code});
    }
    for (const ModifierRow& row : modifierTable()) {
        rows.push_back({row.option, row.field, OperationCode::None});
    }
    return rows;
}

TDCmdLineParser::TDCmdLineParser() {
    for (const OptionRow& row : options()) {
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
            for (const CommandRow& row : commandTable()) {
                if (option.substr(1) == row.option) {
                    driverOperation_.operationCode = row.code;
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
    for (const CommandRow& row : commandTable()) {
        for (const wchar_t* piece : row.help) {
            help += piece;
        }
    }
    TDU_LOG(L"\nTavrin Driver Utility Help %s", help);
}
