#include "tests/unit/SimTest.h"

#include "app/TDCmdParser.h"

namespace tdu::test {
namespace {

class ParserTest : public SimTest {
protected:
    int parse(std::vector<const wchar_t*> args) {
        args.insert(args.begin(), L"C:\\x\\TavrinDriverUtil.exe");
        return parser.ParseAndStoreCommandLineArgs(static_cast<unsigned>(args.size()), args.data());
    }
    const DriverOperation& record() const { return parser.driverOperation(); }

    TDCmdLineParser parser;
};

struct ShapeCase {
    const char* name;
    std::vector<const wchar_t*> args;
    int result;
    OperationCode code;
    std::wstring DriverOperation::*field; // checked when not null
    std::wstring value;
};

TEST_F(ParserTest, Shapes) {
    using O = OperationCode;
    using D = DriverOperation;
    const ShapeCase cases[] = {
        {"repeated command: last value wins",
         {L"/install", L"a.inf", L"/component", L"tvrnva", L"/install", L"b.inf"},
         0,
         O::Install,
         &D::infPath,
         L"b.inf"},
        {"sibling option replaces the value",
         {L"/uninstall", L"HW1", L"/hardwareid", L"HW2"},
         0,
         O::Uninstall,
         &D::hardwareId,
         L"HW2"},
        {"first command wins",
         {L"/installdrivers", L"1", L"/uninstalldrivers", L"1"},
         0,
         O::InstallDrivers,
         &D::allDriversArg,
         L"1"},
        {"dash form",
         {L"-netserv", L"REMOVE", L"-component", L"tvrnns"},
         0,
         O::NetService,
         &D::componentName,
         L"tvrnns"},
        {"value starting with a dash", {L"/reinstall", L"-1"}, 0, O::Reinstall, &D::reinstallMode, L"-1"},
        {"values are not validated here", {L"/setstatus", L"5"}, 0, O::SetStatus, &D::installStatus, L"5"},
        {"empty value", {L"/setstatus", L""}, 0, O::SetStatus, &D::installStatus, L""},
        {"modifier only", {L"/drivertype", L"virtual"}, 0, O::None, &D::driverType, L"virtual"},
        {"capital D", {L"/disableDifx", L"all"}, 0, O::DisableDifx, &D::productCode, L"all"},
        {"custom actions",
         {L"-disableCustomActions", L"{X}"},
         0,
         O::DisableCustomActions,
         &D::productCode,
         L"{X}"},
        {"processor type", {L"/setprocessortype", L"0"}, 0, O::SetProcessorType, &D::processorType, L"0"},
        {"instance id",
         {L"/install", L"a", L"/instid", L"ROOT\\NET\\0000"},
         0,
         O::Install,
         &D::instanceId,
         L"ROOT\\NET\\0000"},
        {"start device and oem",
         {L"/uninstall", L"h", L"/oeminf", L"oem3.inf", L"/startdevice", L"YES"},
         0,
         O::Uninstall,
         &D::oemInfName,
         L"oem3.inf"},
        {"no arguments", {}, -1, O::None, nullptr, L""},
        {"option alone", {L"/install"}, -1, O::None, nullptr, L""},
        {"option without its value", {L"/install", L"a", L"/component"}, -1, O::None, nullptr, L""},
        {"capitalised option", {L"/INSTALL", L"a.inf"}, -1, O::None, nullptr, L""},
        {"lower-case difx", {L"/disabledifx", L"all"}, -1, O::None, nullptr, L""},
        {"no prefix", {L"install", L"a.inf"}, -1, O::None, nullptr, L""},
        {"option as value: the pair's command stays set",
         {L"/install", L"/component"},
         -1,
         O::Install,
         nullptr,
         L""},
        {"option as value after a good pair",
         {L"/component", L"tvrnva", L"/oeminf", L"-hardwareid"},
         -1,
         O::None,
         &D::componentName,
         L"tvrnva"},
    };
    for (const ShapeCase& c : cases) {
        SCOPED_TRACE(c.name);
        TDCmdLineParser fresh;
        parser = fresh;
        EXPECT_EQ(parse(c.args), c.result);
        EXPECT_EQ(record().operationCode, c.code);
        if (c.field != nullptr) {
            EXPECT_EQ(record().*(c.field), c.value);
        }
    }
}

TEST_F(ParserTest, FailuresLogTheReasonAndTheHelp) {
    const struct {
        std::vector<const wchar_t*> args;
        const char* reason;
    } cases[] = {
        {{}, "Insufficient Parameters."},
        {{L"/install"}, "Insufficient Parameters."},
        {{L"/install", L"a", L"/component"}, "Incorrect Parameters"},
        {{L"/bogus", L"a"}, "Incorrect Parameters"},
        {{L"/component", L"/oeminf"}, "Incorrect Parameters"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(sim.hostPath(kLogPath));
        TDCmdLineParser fresh;
        parser = fresh;
        EXPECT_EQ(parse(c.args), -1);
        const auto messages = logMessages();
        ASSERT_EQ(messages.size(), 2U) << c.reason;
        EXPECT_EQ(messages[0], c.reason);
        EXPECT_TRUE(messages[1].starts_with("\nTavrin Driver Utility Help \n\nINSTALL COMMAND:"));
    }
}

TEST_F(ParserTest, TheHelpReachesTheLogCutInTheSetStatusLine) {
    parser.ShowHelp();
    const auto entries = logEntries();
    ASSERT_EQ(entries.size(), 1U);
    const std::string& help = entries[0].message;
    EXPECT_EQ(entries[0].source, "TDCmdParser.cpp");
    EXPECT_EQ(help.size(), 1022U);
    EXPECT_TRUE(help.ends_with("\n\nCOMMAND TO Set Install Status:\n>TavrinDriverUtil"))
        << help.substr(help.size() - 40);
    EXPECT_EQ(help.find("disableDifx"), std::string::npos);
}

TEST_F(ParserTest, TheOptionTableHoldsBothFormsOfEveryOption) {
    for (const wchar_t* name :
         {L"install", L"uninstall", L"setprocessortype", L"netserv", L"installdrivers", L"uninstalldrivers",
          L"reinstall", L"setstatus", L"disableDifx", L"disableCustomActions", L"hardwareid", L"instid",
          L"startdevice", L"component", L"oeminf", L"drivertype"}) {
        for (const wchar_t* prefix : {L"/", L"-"}) {
            const std::wstring option = std::wstring(prefix) + name;
            TDCmdLineParser fresh;
            parser = fresh;
            EXPECT_EQ(parse({option.c_str(), L"v"}), 0) << narrow(option);
        }
    }
}

} // namespace
} // namespace tdu::test
