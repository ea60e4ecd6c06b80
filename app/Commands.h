// The commands, one row each: the option that selects it, the field its value
// goes to, the dispatcher's line and handler, and its part of the help text.
// Adding a command means adding its row, its handler, its README line and its
// tests; the parser, the dispatcher and the help follow from the row.
#pragma once

#include "app/DriverOperation.h"

#include <span>
#include <string>

class TavrinDriverOperator;

struct CommandRow {
    const wchar_t* option; // without its leading "/" or "-"
    std::wstring DriverOperation::*field;
    OperationCode code;
    const wchar_t* received; // logged by the dispatcher before it calls the handler
    int (*handler)(TavrinDriverOperator&, const DriverOperation&);
    std::span<const wchar_t* const> help; // in the help's order, which the rows follow
};

// An option that only carries a value for a command.
struct ModifierRow {
    const wchar_t* option;
    std::wstring DriverOperation::*field;
};

std::span<const CommandRow> commandTable();
std::span<const ModifierRow> modifierTable();
