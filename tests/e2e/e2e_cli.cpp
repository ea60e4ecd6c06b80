// The Windows build run as the installer runs it, under Wine: command line, exit code, log file and product
// key as a real process leaves them. Each test gets a machine of its own.
#include "E2eLog.h"
#include "WineHarness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <concepts>
#include <ctime>
#include <iomanip>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace tdu::e2e {
namespace {

using namespace std::chrono_literals;

constexpr auto kHandshakeTimeout = 30s;
using Cli = ProgramTest;

// ---- time ------------------------------------------------------------------------------------------------

// Seconds since the epoch of a local time written with this strftime format.
std::time_t localTime(const std::string& text, const char* format) {
    std::tm parts{};
    std::istringstream in(text);
    in >> std::get_time(&parts, format);
    if (in.fail()) {
        ADD_FAILURE() << "'" << text << "' does not read as " << format;
        return 0;
    }
    parts.tm_isdst = -1;
    return std::mktime(&parts);
}

// Wine takes the local time from the host's zone, so the program's stamps fall within the host's view of
// the run.
class RunWindow {
public:
    RunWindow() : from_(std::time(nullptr)) {}
    void close() { to_ = std::time(nullptr); }
    void expectInside(const std::string& stamp, const char* format) const {
        const std::time_t at = localTime(stamp, format);
        EXPECT_GE(at, from_ - 1) << stamp;
        EXPECT_LE(at, to_ + 1) << stamp;
    }

private:
    std::time_t from_;
    std::time_t to_ = 0;
};

std::string programFileName() {
    return programUnderTest().filename().string();
}

// ---- malformed command lines -----------------------------------------------------------------------------

struct MalformedCase {
    std::string name;
    std::vector<std::string> args;
    std::string commandLine; // as the launcher quotes it and the program logs it
    std::string reason;
};

class MalformedCommandLine : public Cli, public ::testing::WithParamInterface<MalformedCase> {};

// Every malformed command line ends the run with -1 before any operation starts, also after an unknown
// option or an option name given as a value.
TEST_P(MalformedCommandLine, EndsWithMinusOneAndTheHelp) {
    const auto& param = GetParam();
    createVendorFolder();

    EXPECT_EQ(machine.run(param.args), kParseFailure);

    const auto records = log();
    EXPECT_EQ(summarize(records),
              (std::vector<std::string>{std::string(kBannerMark), received(param.commandLine),
                                        entry(kParserUnit, param.reason), entry(kParserUnit, kHelpMark),
                                        entry(kEntryUnit, "Failed to parse Command Line params.")}));
    expectCutHelp(records);
    EXPECT_FALSE(machine.regKeyExists(kProductKeyIn32BitView));
}

INSTANTIATE_TEST_SUITE_P(
    E2e, MalformedCommandLine,
    ::testing::Values(
        MalformedCase{"NoArguments", {}, "", "Insufficient Parameters."},
        MalformedCase{"CommandWithoutValue", {"/install"}, "/install", "Insufficient Parameters."},
        MalformedCase{"TrailingOptionWithoutValue",
                      {"/setstatus", "0", "/component"},
                      "/setstatus 0 /component",
                      "Incorrect Parameters"},
        MalformedCase{"OptionInCapitals", {"/INSTALL", "x"}, "/INSTALL x", "Incorrect Parameters"},
        MalformedCase{"UnknownOptionAfterCommand",
                      {"/setprocessortype", "1", "/bogus", "x"},
                      "/setprocessortype 1 /bogus x",
                      "Incorrect Parameters"},
        MalformedCase{"OptionNameAsValue",
                      {"/setprocessortype", "/component"},
                      "/setprocessortype /component",
                      "Incorrect Parameters"}),
    caseName<MalformedCase>);

// ---- no command ------------------------------------------------------------------------------------------

struct ModifiersCase {
    std::string name;
    std::vector<std::string> args;
    std::string commandLine;
};

class ModifiersOnly : public Cli, public ::testing::WithParamInterface<ModifiersCase> {};

TEST_P(ModifiersOnly, AreAnInvalidOperation) {
    const auto& param = GetParam();
    createVendorFolder();

    EXPECT_EQ(machine.run(param.args), kRefused);

    EXPECT_EQ(summarize(log()),
              (std::vector<std::string>{std::string(kBannerMark), received(param.commandLine),
                                        entry(kOperatorUnit, "Invalid Operation Code")}));
}

INSTANTIATE_TEST_SUITE_P(
    E2e, ModifiersOnly,
    ::testing::Values(ModifiersCase{"Component", {"/component", "tvrnva"}, "/component tvrnva"},
                      ModifiersCase{"DriverType", {"/drivertype", "virtual"}, "/drivertype virtual"}),
    caseName<ModifiersCase>);

// ---- processor type --------------------------------------------------------------------------------------

struct ProcessorTypeCase {
    std::string name;
    std::string value;
};

class SetProcessorType : public Cli, public ::testing::WithParamInterface<ProcessorTypeCase> {};

// Whatever value is given, the 32-bit view of the product key receives Processor_X64 = 1.
TEST_P(SetProcessorType, WritesTheMarkerIntoThe32BitView) {
    const auto& param = GetParam();
    createVendorFolder();

    EXPECT_EQ(machine.run({"/setprocessortype", param.value}), kSuccess);

    EXPECT_EQ(machine.regQueryValue(kProductKeyIn32BitView, "Processor_X64"), (RegValue{"REG_DWORD", "0x1"}));
    EXPECT_FALSE(machine.regKeyExists(kProductKey)) << "the native view must stay untouched";
    EXPECT_EQ(summarize(log()),
              (std::vector<std::string>{
                  std::string(kBannerMark), received("/setprocessortype " + param.value),
                  entry(kOperatorUnit, "Command received to set processor type in registry"),
                  entry(kOperatorUnit, "Processor Architecture is: Processor_X64"),
                  entry(kOperatorUnit, "Successfully set registry: Processor_X64"),
                  entry(kOperatorUnit, "Saved Processor Architecture to Registry: Processor_X64")}));
}

INSTANTIATE_TEST_SUITE_P(E2e, SetProcessorType,
                         ::testing::Values(ProcessorTypeCase{"One", "1"}, ProcessorTypeCase{"Zero", "0"}),
                         caseName<ProcessorTypeCase>);

// ---- installation status ---------------------------------------------------------------------------------

const std::string kStatusCommand = entry(kOperatorUnit, "Command received to set driver install status");

TEST_F(Cli, SetStatusStartIsReleasedByTheEndFromAnotherProcess) {
    createVendorFolder();

    auto starting = machine.start({"/setstatus", "0"});
    // The ending run must find the starting run's mutex, which exists once the start reports its wait.
    ASSERT_TRUE(waitUntil([&] { return logHas("Started installation of the drivers"); }, kHandshakeTimeout));
    EXPECT_EQ(machine.run({"/setstatus", "1"}), kSuccess);
    EXPECT_EQ(starting.wait(kHandshakeTimeout), kSuccess);

    const auto summary = summarize(log());
    const auto endingBanner = std::find(summary.begin() + 1, summary.end(), kBannerMark);
    ASSERT_NE(endingBanner, summary.end()) << "the ending run wrote no banner";
    EXPECT_EQ(std::vector<std::string>(summary.begin(), endingBanner),
              (std::vector<std::string>{std::string(kBannerMark), received("/setstatus 0"), kStatusCommand,
                                        entry(kOperatorUnit, "Set status from command line is: 0"),
                                        entry(kOperatorUnit, "TSAC Installation Started"),
                                        entry(kOperatorUnit, "Started installation of the drivers")}));

    // From the ending run's banner on both processes write: each keeps its own order, but the woken start
    // may log before or after the end's last line. Wine does not lock the log file while a run appends
    // (Windows does), so no line is lost here; on Windows a line whose open collides can be dropped.
    const std::vector<std::string> wakeLines{
        entry(kOperatorUnit, "Installation of the drivers completed Successfully"),
        entry(kOperatorUnit, "Released Installation started event")};
    std::vector<std::string> ending;
    std::vector<std::string> woken;
    for (auto it = endingBanner; it != summary.end(); ++it) {
        const bool wake = std::find(wakeLines.begin(), wakeLines.end(), *it) != wakeLines.end();
        (wake ? woken : ending).push_back(*it);
    }
    EXPECT_EQ(ending, (std::vector<std::string>{
                          std::string(kBannerMark), received("/setstatus 1"), kStatusCommand,
                          entry(kOperatorUnit, "Set status from command line is: 1"),
                          entry(kOperatorUnit, "TSAC Installation Ended"),
                          entry(kOperatorUnit, "Successfully set event for install completion")}));
    EXPECT_EQ(woken, wakeLines);
    const auto ended =
        std::find(summary.begin(), summary.end(), entry(kOperatorUnit, "TSAC Installation Ended"));
    EXPECT_LT(ended, std::find(summary.begin(), summary.end(), wakeLines.front()))
        << "the start woke before the end";
}

TEST_F(Cli, SetStatusEndWithoutStartSucceeds) {
    createVendorFolder();

    EXPECT_EQ(machine.run({"/setstatus", "1"}), kSuccess);

    EXPECT_EQ(
        summarize(log()),
        (std::vector<std::string>{
            std::string(kBannerMark), received("/setstatus 1"), kStatusCommand,
            entry(kOperatorUnit, "Set status from command line is: 1"),
            entry(kOperatorUnit, "TSAC Installation Ended"),
            entry(kOperatorUnit, "No Installation is in progress, failed to acquire install start event")}));
}

struct StatusValueCase {
    std::string name;
    std::string value;
    std::string commandLine;
};

class SetStatusValue : public Cli, public ::testing::WithParamInterface<StatusValueCase> {};

TEST_P(SetStatusValue, OtherThanZeroOrOneIsRefused) {
    const auto& param = GetParam();
    createVendorFolder();

    // A run that took a bad value for 0 would wait ten minutes for an end.
    EXPECT_EQ(machine.run({"/setstatus", param.value}, kHandshakeTimeout), kRefused);

    EXPECT_EQ(
        summarize(log()),
        (std::vector<std::string>{std::string(kBannerMark), received(param.commandLine), kStatusCommand,
                                  entry(kOperatorUnit, "Invalid argument passed to /setstatus parameter")}));
}

INSTANTIATE_TEST_SUITE_P(E2e, SetStatusValue,
                         ::testing::Values(StatusValueCase{"Five", "5", "/setstatus 5"},
                                           StatusValueCase{"DoubleZero", "00", "/setstatus 00"},
                                           StatusValueCase{"Empty", "", "/setstatus \"\""},
                                           StatusValueCase{"BlankThenOne", " 1", "/setstatus \" 1\""}),
                         caseName<StatusValueCase>);

// ---- log file --------------------------------------------------------------------------------------------

TEST_F(Cli, FirstRunCreatesTheLogFolderAndStartsWithTheBanner) {
    createVendorFolder();
    ASSERT_FALSE(machine.exists(kLogFolder));
    RunWindow window;

    EXPECT_EQ(machine.run({"/component", "tvrnva"}), kRefused);
    window.close();

    // Byte for byte: the banner naming the program, then "[time] [unit(line)] | message" lines in CR LF.
    const std::string first = machine.readFile(kLogFile);
    const std::regex start(bannerPattern(literalPattern(programFileName())) + R"(\[()" + kTimestamp +
                           R"()\] \[)" + literalPattern(std::string(kEntryUnit)) +
                           R"(\(\d+\)\] \| Command Line Received: '/component tvrnva')" + "\r\n");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(first, match, start, std::regex_constants::match_continuous)) << first;
    window.expectInside(match[1].str(), "%Y/%m/%d %H:%M:%S");
    window.expectInside(match[2].str(), "%Y/%m/%d %H:%M:%S");
    expectCrLfOnly(first);
    EXPECT_EQ(summarize(parseLog(first)),
              (std::vector<std::string>{std::string(kBannerMark), received("/component tvrnva"),
                                        entry(kOperatorUnit, "Invalid Operation Code")}));

    // A later run appends its banner right after the last line: three empty lines separate the runs.
    EXPECT_EQ(machine.run({"/component", "tvrnva"}), kRefused);
    const std::string both = machine.readFile(kLogFile);
    ASSERT_GT(both.size(), first.size());
    EXPECT_EQ(both.substr(0, first.size()), first);
    EXPECT_TRUE(std::regex_search(both.cbegin() + static_cast<std::ptrdiff_t>(first.size()), both.cend(),
                                  std::regex(bannerPattern(literalPattern(programFileName()))),
                                  std::regex_constants::match_continuous))
        << both.substr(first.size());
}

// Logging never stops a run: without its parent folder the log folder cannot be made, and nothing is
// written.
TEST_F(Cli, RunWithoutTheVendorFolderLogsNothingAndStillEnds) {
    EXPECT_EQ(machine.run({"/component", "tvrnva"}), kRefused);

    EXPECT_FALSE(machine.exists(kVendorFolder));
}

struct RotationCase {
    std::string name;
    std::size_t initialSize;
    // The size is tested before each message: at exactly the threshold the banner is appended first and
    // the run's next line then finds the file over it.
    bool bannerGoesIntoBackup;
};

class LogRotation : public Cli, public ::testing::WithParamInterface<RotationCase> {};

std::string filler(std::size_t size) {
    std::string text;
    text.reserve(size + 32);
    for (unsigned n = 0; text.size() < size; ++n) {
        text += "earlier run line " + std::to_string(n) + "\r\n";
    }
    text.resize(size);
    return text;
}

TEST_P(LogRotation, MovesAnOversizedLogToATimestampedBackup) {
    const auto& param = GetParam();
    machine.mkdirs(kLogFolder);
    const std::string earlier = filler(param.initialSize);
    machine.writeFile(kLogFile, earlier);
    RunWindow window;

    EXPECT_EQ(machine.run({"/component", "tvrnva"}), kRefused);
    window.close();

    const std::regex backupName(R"(BK_(\d{8}_\d{6})_TavrinDriverUtil\.log)");
    std::vector<std::string> backups;
    for (const auto& name : machine.listDir(kLogFolder)) {
        if (std::regex_match(name, backupName)) {
            backups.push_back(name);
        }
    }
    ASSERT_EQ(backups.size(), 1u) << "backups: " << ::testing::PrintToString(machine.listDir(kLogFolder));
    window.expectInside(backups.front().substr(3, 15), "%Y%m%d_%H%M%S");

    const std::string backup = machine.readFile(std::string(kLogFolder) + "\\" + backups.front());
    ASSERT_GE(backup.size(), earlier.size());
    EXPECT_TRUE(backup.compare(0, earlier.size(), earlier) == 0)
        << "the backup does not begin with the old log";
    const std::vector<std::string> runLines{received("/component tvrnva"),
                                            entry(kOperatorUnit, "Invalid Operation Code")};
    if (param.bannerGoesIntoBackup) {
        EXPECT_EQ(summarize(parseLog(std::string_view(backup).substr(earlier.size()))),
                  std::vector<std::string>{std::string(kBannerMark)});
        EXPECT_EQ(summarize(log()), runLines);
    } else {
        EXPECT_EQ(backup.size(), earlier.size());
        std::vector<std::string> expected{std::string(kBannerMark)};
        expected.insert(expected.end(), runLines.begin(), runLines.end());
        EXPECT_EQ(summarize(log()), expected);
    }
}

INSTANTIATE_TEST_SUITE_P(E2e, LogRotation,
                         ::testing::Values(RotationCase{"OneByteOverThreshold", kRotationThreshold + 1,
                                                        false},
                                           RotationCase{"AtThreshold", kRotationThreshold, true}),
                         caseName<RotationCase>);

} // namespace
} // namespace tdu::e2e
