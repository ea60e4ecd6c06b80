// Runs the Windows build under Wine for the end-to-end tests and reads what it leaves: the machine's facts
// and the log. Each WineMachine is a copy of one template prefix (wineboot is slow, and made once) with a
// wineserver of its own, so services live between runs. Programs run through tdlaunch.exe, which records
// the full 32-bit exit code a Linux parent of wine cannot see. TDU_E2E_KEEP=1 keeps the machines.
#pragma once

#include "tests/Scenario.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tdu::e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline const std::string kVendorFolder = R"(C:\users\Public\Tavrin Secure)";
inline const std::string kLogFolder = kVendorFolder + R"(\Logging)";
inline const std::string kLogFile = kLogFolder + R"(\TavrinDriverUtil.log)";

class WineMachine {
public:
    WineMachine();
    ~WineMachine();
    WineMachine(const WineMachine&) = delete;
    WineMachine& operator=(const WineMachine&) = delete;

    // The program under test, or any Windows program (a Windows path, or a name CreateProcessW finds,
    // such as "msiexec.exe"), with these arguments: its full exit code. Safe to call from several threads.
    std::uint32_t run(const std::vector<std::string>& args, const std::string& program = "",
                      std::chrono::seconds timeout = 60s);
    // A host program (wixl, wine) with this machine's Wine settings, run to its end: its standard output;
    // it throws unless it ended with 0.
    std::string host(const std::vector<std::string>& argv);

    // Host location of a "C:\..." path, written as it lies on disk (Wine would match it without regard to
    // case; a fact that something is absent must not pass for the case alone).
    fs::path hostPath(std::string_view windowsPath) const;
    std::string read(std::string_view windowsPath) const;
    std::vector<std::string> list(std::string_view windowsPath) const; // sorted

    // Checks the machine's facts, one a line:
    //   file P, dir P, key K, K : V = TYPE data   present (a multi-string shows each NUL as \0)
    //   !file P, !dir P, !key K, K : V = -        absent
    // A failed check names the caller's line.
    void expect(const std::string& facts, const char* file = __builtin_FILE(),
                int callerLine = __builtin_LINE());

private:
    fs::path folder_;
    fs::path prefix_;
    std::atomic<unsigned> io_ = 0;
};

inline const fs::path kProgramUnderTest = TDU_DEFAULT_EXE;
// tdlaunch.exe and the stand-ins beside it
inline const fs::path kToolsFolder = fs::path(TDU_DEFAULT_LAUNCHER).parent_path();

using test::like;
// A log's records: "<banner>" or "unit| message", the units shortened (main, parse, op, svc, difx, ca). It
// throws on a line that is no record, a lone CR or LF, or a last line without its CR LF.
std::vector<std::string> records(std::string_view log);
// The records against a text block, one record a line: the whole of them, unless the block's first line is
// "...": then its lines come in this order with others between them ("!" and "\\n" as in logProblem).
::testing::AssertionResult logMatches(const std::vector<std::string>& actual, const std::string& block);

} // namespace tdu::e2e
