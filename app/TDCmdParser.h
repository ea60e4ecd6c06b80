// Turns the argument vector into one DriverOperation record. It checks only
// the shape of the command line; each handler checks its own values.
#pragma once

#include "app/DriverOperation.h"

#include <string>
#include <unordered_map>
#include <vector>

// An option as the parser sees it: its name without the leading "/" or "-", the field its value goes to and
// the command it selects (None for a modifier).
struct OptionRow {
    const wchar_t* name;
    std::wstring DriverOperation::*field;
    OperationCode command;
};

class TDCmdLineParser {
public:
    // The process-wide parser the entry point uses.
    static TDCmdLineParser& getInstance();
    // Every option accepted: the commands' options, then the modifiers.
    static std::vector<OptionRow> options();

    TDCmdLineParser();

    // 0 when the command line is well formed, -1 when the run must end.
    int ParseAndStoreCommandLineArgs(unsigned argc, const wchar_t* const* argv);
    void ShowHelp();

    [[nodiscard]] const DriverOperation& driverOperation() const { return driverOperation_; }

private:
    DriverOperation driverOperation_;
    std::unordered_map<std::wstring, std::wstring DriverOperation::*> optionTable;
};
