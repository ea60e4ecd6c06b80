#include "tests/unit/Scenario.h"

#include "app/TDCmdParser.h"

#include <algorithm>

namespace tdu::test {
namespace {

// Rows: arguments | result | the record: its operation code, then every value
// set | a refusal's message, which the help follows.
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
* | -1 | 0 | Insufficient Parameters.
* /install | -1 | 0 | Insufficient Parameters.
* /install a /component | -1 | 0 | Incorrect Parameters
* /bogus a | -1 | 0 | Incorrect Parameters
* /INSTALL a.inf | -1 | 0 | Incorrect Parameters
* /disabledifx all | -1 | 0 | Incorrect Parameters
* install a.inf | -1 | 0 | Incorrect Parameters
* /install /component | -1 | 1 | Incorrect Parameters
* /component tvrnva /oeminf -hardwareid | -1 | 0 component=tvrnva | Incorrect Parameters
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

// The help reaches the log cut to a line's 1022 units, inside the set-status
// example; the undocumented command stays out of it.
std::string help() {
    FreshMachine fresh;
    TDCmdLineParser().ShowHelp();
    const std::vector<std::string> log = logMessagesOf(fresh.machine);
    EXPECT_EQ(log.size(), 1U);
    const std::string text = log.at(0);
    EXPECT_EQ(text.size(), 1022U);
    EXPECT_TRUE(text.ends_with("\n\nCOMMAND TO Set Install Status:\n>TavrinDriverUtil")) << text;
    EXPECT_EQ(text.find("disableDifx"), std::string::npos);
    return text;
}

TEST(Parser, Shapes) {
    const std::string helpText = help();
    for (const Row& row : rows(kRows)) {
        SCOPED_TRACE(row[0]);
        FreshMachine m;
        std::vector<std::wstring> args{L"C:\\x\\TavrinDriverUtil.exe"};
        std::ranges::transform(split(row[0], " "), std::back_inserter(args),
                               [](const std::string& arg) { return wide(arg == "\"\"" ? "" : arg); });
        std::vector<const wchar_t*> argv;
        std::ranges::transform(args, std::back_inserter(argv),
                               [](const std::wstring& arg) { return arg.c_str(); });
        TDCmdLineParser parser;
        EXPECT_EQ(parser.ParseAndStoreCommandLineArgs(static_cast<unsigned>(argv.size()), argv.data()),
                  std::stoi(row[1]));
        EXPECT_EQ(rendered(parser.driverOperation()), row[2]);
        EXPECT_EQ(logMessagesOf(m.machine),
                  (row[3].empty() ? std::vector<std::string>{} : std::vector<std::string>{row[3], helpText}));
        EXPECT_EQ(m.machine.openHandleCount(), 0U) << m.machine.openHandleReport();
    }
}

} // namespace
} // namespace tdu::test
