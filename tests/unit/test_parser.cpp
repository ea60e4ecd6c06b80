#include "tests/unit/Scenario.h"

namespace tdu::test {
namespace {

// Rows: arguments | result | the record: its operation code, then every value set.
constexpr char kRows[] = R"(
* /install a.inf /component tvrnva /install b.inf | 0 | 1 inf=b.inf component=tvrnva
* /uninstall HW1 /hardwareid HW2 | 0 | 2 hwid=HW2
* /installdrivers 1 /uninstalldrivers 1 | 0 | 5 all=1
* -netserv REMOVE -component tvrnns | 0 | 4 component=tvrnns net=REMOVE
* /reinstall -1 | 0 | 7 mode=-1
* /setstatus 5 | 0 | 8 status=5
* /setstatus "" | 0 | 8
* /drivertype virtual | 0 | 0 type=virtual
* /disableDifx all | 0 | 9 product=all
* -disableCustomActions {X} | 0 | 10 product={X}
* /setprocessortype 0 | 0 | 3 cpu=0
* /install a /instid ROOT\NET\0000 | 0 | 1 inf=a instid=ROOT\NET\0000
* /uninstall h /oeminf oem3.inf /startdevice YES | 0 | 2 oem=oem3.inf hwid=h start=YES
* | -1 | 0
Insufficient Parameters. | $HELP
* /install | -1 | 0
Insufficient Parameters. | $HELP
* /install a /component | -1 | 0
Incorrect Parameters | $HELP
* /bogus a | -1 | 0
Incorrect Parameters | $HELP
* /INSTALL a.inf | -1 | 0
Incorrect Parameters | $HELP
* /disabledifx all | -1 | 0
Incorrect Parameters | $HELP
* install a.inf | -1 | 0
Incorrect Parameters | $HELP
* /install /component | -1 | 1
Incorrect Parameters | $HELP
* /component tvrnva /oeminf -hardwareid | -1 | 0 component=tvrnva
Incorrect Parameters | $HELP
)";

std::string rendered(const DriverOperation& record) {
    using D = DriverOperation;
    const std::pair<const char*, std::wstring D::*> fields[] = {
        {"inf", &D::infPath},          {"instid", &D::instanceId},
        {"oem", &D::oemInfName},       {"component", &D::componentName},
        {"cpu", &D::processorType},    {"hwid", &D::hardwareId},
        {"start", &D::startDevice},    {"net", &D::netServiceAction},
        {"all", &D::allDriversArg},    {"mode", &D::reinstallMode},
        {"status", &D::installStatus}, {"product", &D::productCode},
        {"type", &D::driverType}};
    std::string text = std::to_string(static_cast<int>(record.operationCode));
    for (const auto& [name, field] : fields) {
        text += (record.*field).empty() ? "" : " " + std::string(name) + "=" + narrow(record.*field);
    }
    return text;
}

TEST(Parser, Shapes) {
    for (const Scenario& row :
         scenarios(kRows, {{"$HELP", R"(\nTavrin Driver Utility Help \n\nINSTALL COMMAND:[cut])"}})) {
        SCOPED_TRACE(row[0]);
        RowMachine m;
        const std::vector<std::wstring> args = argsOf(row[0]);
        TDCmdLineParser parser;
        EXPECT_EQ(parser.ParseAndStoreCommandLineArgs(static_cast<unsigned>(args.size()), argv(args).data()),
                  std::stoi(row[1]));
        EXPECT_EQ(rendered(parser.driverOperation()), row[2]);
        expectLog(m.log(), row.log);
    }
}

TEST(Parser, TheHelpReachesTheLogCutInTheSetStatusLine) {
    RowMachine m;
    TDCmdLineParser().ShowHelp();
    const auto entries = m.entries();
    ASSERT_EQ(entries.size(), 1U);
    const std::string& help = entries[0].message;
    EXPECT_EQ(entries[0].source, "TDCmdParser.cpp");
    EXPECT_EQ(help.size(), 1022U);
    EXPECT_TRUE(help.ends_with("\n\nCOMMAND TO Set Install Status:\n>TavrinDriverUtil")) << help;
    EXPECT_EQ(help.find("disableDifx"), std::string::npos);
}

} // namespace
} // namespace tdu::test
