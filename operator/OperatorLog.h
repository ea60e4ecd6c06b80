// Every file of the operator logs under the operator's own source name, so
// the log reads the same however the operator is split into files.
#pragma once

#include "log/LogWriter.h"

constexpr const wchar_t* kLogSource = L"TDriverOperator.cpp";
