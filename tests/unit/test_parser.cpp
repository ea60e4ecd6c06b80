// The command line: what the parser records, what it refuses, and which handler each command reaches.
#include "tests/Scenario.h"
#include "tests/unit/SimTest.h"

#include "app/TavrinDriverUtil.h"
#include "service/ServiceHandler.h"

#include <algorithm>

namespace tdu::test {
namespace {

// The record: its operation code, then every value set.
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

// The help as the log holds it: cut to a line's 1022 units inside the set-status example, so the commands
// after it never show.
const std::string kHelp =
    "\nTavrin Driver Utility Help \n\nINSTALL COMMAND:"
    "\n>TavrinDriverUtil.exe /install <inf-file> [/hardwareid <hw-id>] [/instid <inst-id>]"
    " [/startdevice <YES/NO>] /component <comp-name>"
    "\nNote: /hardwareid, /instid & /startdevice are optional"
    "\n\nUN-INSTALL COMMAND:"
    "\n>TavrinDriverUtil.exe /uninstall <hardware-id> [/oeminf <oem-name>] /component <comp-name>"
    "\nNote: /oeminf is optional"
    "\n\nNET SERVICE ADD REMOVE COMMAND:"
    "\n>TavrinDriverUtil.exe /netserv <ADD/REMOVE> /component <comp-name>"
    "\n\nCOMMAND TO SET PROCESSOR TYPE:"
    "\n>TavrinDriverUtil.exe /setprocessortype 1\n\n"
    "\n\nCOMMAND TO INSTALL ALL TAVRIN DRIVERS:"
    "\n>TavrinDriverUtil.exe /installdrivers 1\n\n"
    "\n\nCOMMAND TO UN-INSTALL ALL TAVRIN DRIVERS:"
    "\n>TavrinDriverUtil.exe /uninstalldrivers 1\n\n"
    "\n\nCOMMAND TO RE-INSTALL ALL TAVRIN DRIVERS:"
    "\n>TavrinDriverUtil.exe /reinstall <1/2> /component <tvrnva/tvrnvamgr/tvrnns/SplitDNSFilter> \n\n"
    "\nNote:\n/reinstall 1: add to File Repository only"
    "\n/reinstall 2: add to File Repository and install/add driver as a device"
    "\n\nCOMMAND TO Set Install Status:"
    "\n>TavrinDriverUtil";

// One command line (its words parted at blanks, "" for an empty one): the parser's result, the record,
// and a refusal's message, which the help follows.
void shape(const std::string& line, int result, const std::string& record, const std::string& refusal = "",
           const char* file = __builtin_FILE(), int at = __builtin_LINE()) {
    const ::testing::ScopedTrace trace(file, at, line);
    FreshMachine m;
    std::vector<std::wstring> args{L"C:\\x\\TavrinDriverUtil.exe"};
    std::ranges::transform(words(line), std::back_inserter(args), wide);
    std::vector<const wchar_t*> argv;
    std::ranges::transform(args, std::back_inserter(argv),
                           [](const std::wstring& arg) { return arg.c_str(); });
    TDCmdLineParser parser;
    EXPECT_EQ(parser.ParseAndStoreCommandLineArgs(static_cast<unsigned>(argv.size()), argv.data()), result);
    EXPECT_EQ(rendered(parser.driverOperation()), record);
    EXPECT_EQ(logMessagesOf(m.machine),
              (refusal.empty() ? std::vector<std::string>{} : std::vector<std::string>{refusal, kHelp}));
    EXPECT_TRUE(nothingLeftOpen(m.machine));
}

TEST(Parser, Shapes) {
    shape("/install a.inf /component tvrnva /install b.inf", 0, "1 inf=b.inf component=tvrnva");
    shape("/uninstall HW1 /hardwareid HW2", 0, "2 hwid=HW2");
    shape("/installdrivers 1 /uninstalldrivers 1", 0, "5 all=1");
    shape("/reinstall -1", 0, "7 mode=-1");
    shape("/setstatus 5", 0, "8 status=5");
    shape("/setstatus \"\"", 0, "8");
    shape("/setprocessortype 0 /drivertype virtual", 0, "3 cpu=0 type=virtual");
    shape("/install a /instid ROOT\\NET\\0000 /uninstall h /oeminf oem3.inf /startdevice YES", 0,
          "1 inf=a instid=ROOT\\NET\\0000 oem=oem3.inf hwid=h start=YES");
    shape("/install", -1, "0", "Insufficient Parameters.");
    shape("/install a /component", -1, "0", "Incorrect Parameters");
    shape("/INSTALL a.inf", -1, "0", "Incorrect Parameters");
    shape("/install /component", -1, "1", "Incorrect Parameters");
    shape("/component tvrnva /oeminf -hardwareid", -1, "0 component=tvrnva", "Incorrect Parameters");
}

// Every command reaches its handler, and the handler's result is the run's exit code (or the operation's):
// a run's code and the messages that say which handler ran.
void reaches(const std::string& args, const std::string& code, const std::string& log,
             const std::string& planted = "", const char* file = __builtin_FILE(),
             int line = __builtin_LINE()) {
    runRow("== " + args + "\n" + planted + "\n> " + args + " => " + code + "\n" + log, file, line);
}

TEST(RunFlow, EveryCommandReachesItsHandler) {
    reaches("", "-1", "Insufficient Parameters.\nFailed to parse Command Line params.");
    reaches("/component tvrnva", "2", "= whole log\nInvalid Operation Code");
    reaches("/setprocessortype 0", "0", "Command received to set processor type in registry");
    reaches("/netserv REMOVE", "2",
            "= whole log\nCommand received to install TVRNNS Net Service\nComponent Name is missing");
    reaches("-netserv REMOVE -component tvrnns", "0",
            "Command received to install TVRNNS Net Service\nCommand received to remove net Service");
    reaches("/uninstalldrivers 1", "0", "Command received to un-install all Tavrin Drivers");
    reaches("/disableDifx all", "0",
            "= whole log\nCommand received to disable Difx custom actions\n"
            "Tavrin.exe does not exist, assuming it is fresh installation");
    reaches("/disableCustomActions {X}", "0",
            "= whole log\nCommand received to disable custom actions\nProduct Code of prior installer: {X}\n"
            "Failed to retrieve local cache MSI path, Error: 87");
    reaches("/disableCustomActions \"\"", "2",
            "= whole log\nCommand received to disable custom actions\nProduct Code is empty");
}

} // namespace
} // namespace tdu::test
