#include "tests/unit/Scenario.h"

#include "app/TavrinDriverUtil.h"

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
* /disableDifx all | 0 | 9 product=all
* -disableCustomActions {X} | 0 | 10 product={X}
* /setprocessortype 0 /drivertype virtual | 0 | 3 cpu=0 type=virtual
* /install a /instid ROOT\NET\0000 /uninstall h /oeminf oem3.inf /startdevice YES | 0 | 1 inf=a instid=ROOT\NET\0000 oem=oem3.inf hwid=h start=YES
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
    const std::wstring D::*const fields[] = {
        &D::infPath,       &D::instanceId,  &D::oemInfName,       &D::componentName, &D::processorType,
        &D::hardwareId,    &D::startDevice, &D::netServiceAction, &D::allDriversArg, &D::reinstallMode,
        &D::installStatus, &D::productCode, &D::driverType};
    const std::vector<std::string> names =
        split("inf instid oem component cpu hwid start net all mode status product type", " ");
    std::string text = std::to_string(static_cast<int>(record.operationCode));
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += (record.*fields[i]).empty() ? "" : " " + names[i] + "=" + narrow(record.*fields[i]);
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
        EXPECT_TRUE(nothingLeftOpen(m.machine));
    }
}

// Every command reaches its handler, and the handler's result is the run's exit code (or the operation's).
TEST(RunFlow, EveryCommandReachesItsHandler) {
    runRowScenarios(kRow,
                 R"txt(no arguments|||-1 ...|Insufficient Parameters.;Failed to parse Command Line params.
no operation||/component tvrnva|2|Invalid Operation Code
a type alone||/drivertype virtual|2|Invalid Operation Code
processor type||/setprocessortype 0|0 ...|Command received to set processor type in registry
processor type failing|fail RegCreateKeyExW 1 5|/setprocessortype 1|2 ...|Command received to set processor type in registry
status||/setstatus 7|2|Command received to set driver install status;Invalid argument passed to /setstatus parameter
install||/install a.inf|0 ...|Command received to install a driver
uninstall||/uninstall HW|0 ...|Command received to uninstall a driver
a restart asked for by the removal|device ROOT\NET\0000 tvrnvamgr 0x100|/uninstall tvrnvamgr /component tvrnvamgr|3010 ...|Command received to uninstall a driver
net service without a component||/netserv REMOVE|2|Command received to install TVRNNS Net Service;Component Name is missing
net service, dash forms||-netserv REMOVE -component tvrnns|0 ...|Command received to install TVRNNS Net Service;Command received to remove net Service
install-all||/installdrivers 1|0 ...|Command received to install all Tavrin Drivers
uninstall-all||/uninstalldrivers 1|0 ...|Command received to un-install all Tavrin Drivers
reinstall||/reinstall 1|2 ...|Command received to reinstall a driver component
DIFx||/disableDifx all|0|Command received to disable Difx custom actions;Tavrin.exe does not exist, assuming it is fresh installation
custom actions||/disableCustomActions {X}|0|Command received to disable custom actions;Product Code of prior installer: {X};Failed to retrieve local cache MSI path, Error: 87
custom actions without a code||/disableCustomActions ""|2|Command received to disable custom actions;Product Code is empty
the bundle deletes the net service only once stopped: a running one would be marked and go behind its back|service tvrnns 1052|@UnInstallTavrinDrivers tvrnns 1|0 ...|Stopping 'tvrnns' service|? services: tvrnns)txt");
}

TEST(RunFlow, TheCommandLineIsLoggedAfterTheBanner) {
    const Row row{
        {"/component tvrnva"}, "Command Line Received: '/component tvrnva'\nInvalid Operation Code", false};
    RowMachine fresh(row);
    const wchar_t* argv[] = {L"C:\\x\\TavrinDriverUtil.exe", L"/component", L"tvrnva"};
    TDCmdLineParser parser;
    EXPECT_EQ(RunTavrinDriverUtil(L"/component tvrnva", 3, argv, parser), 2);
    const std::string bytes = fresh.machine.readFile(kLogPath).value_or("");
    EXPECT_TRUE(
        bytes.starts_with("\r\n\r\n\r\n" + std::string(96, '*') + "\r\nStarted TavrinDriverUtil.exe(pid:"));
}

} // namespace
} // namespace tdu::test
