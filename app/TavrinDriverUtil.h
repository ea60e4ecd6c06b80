// The run flow from command line to exit code: banner, command line, parse,
// dispatch. The platform's entry point calls it once per process.
#pragma once

#include "app/TDCmdParser.h"

// Runs the one operation of this process and returns its exit code.
int RunTavrinDriverUtil(const wchar_t* lpCmdLine, unsigned argc, const wchar_t* const* argv,
                        TDCmdLineParser& parser);
int RunTavrinDriverUtil(const wchar_t* lpCmdLine, unsigned argc, const wchar_t* const* argv);
