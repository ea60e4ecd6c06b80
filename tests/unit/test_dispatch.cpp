#include "tests/unit/Scenario.h"

#include "operator/TDriverOperator.h"
#include "platform/DeviceSetup.h"

namespace tdu::test {
namespace {

// Rows: command line | set-up (faults, or "restart": a device whose removal asks for a restart) | exit code.
// The log follows "Command Line Received: '<command line>'".
constexpr char kRows[] = R"(
*  | | -1
Insufficient Parameters. | \nTavrin Driver Utility Help \n\nINSTALL COMMAND:[cut]
Failed to parse Command Line params.
* /component tvrnva | | 2
Invalid Operation Code
* /drivertype virtual | | 2
Invalid Operation Code
* /setprocessortype 0 | | 0
Command received to set processor type in registry | [more]
* /setprocessortype 1 | RegCreateKeyExW 1 5 | 2
Command received to set processor type in registry | [more]
* /setstatus 7 | | 2
Command received to set driver install status | Invalid argument passed to /setstatus parameter
* /install a.inf | | 0
Command received to install a driver | [more]
* /uninstall HW | | 0
Command received to uninstall a driver | [more]
* /uninstall tvrnvamgr /component tvrnvamgr | restart | 3010
Command received to uninstall a driver | [more]
* /netserv REMOVE | | 2
Command received to install TVRNNS Net Service | Component Name is missing
* -netserv REMOVE -component tvrnns | | 0
Command received to install TVRNNS Net Service | Command received to remove net Service | [more]
* /installdrivers 1 | | 0
Command received to install all Tavrin Drivers | [more]
* /uninstalldrivers 1 | | 0
Command received to un-install all Tavrin Drivers | [more]
* /reinstall 1 | | 2
Command received to reinstall a driver component | [more]
* /disableDifx all | | 0
Command received to disable Difx custom actions | Tavrin.exe does not exist, assuming it is fresh installation
* /disableCustomActions {X} | | 0
Command received to disable custom actions | Product Code of prior installer: {X}
Failed to retrieve local cache MSI path, Error: 87
* /disableCustomActions "" | | 2
Command received to disable custom actions | Product Code is empty
)";

TEST(RunFlow, EveryCommandReachesItsHandlerAndItsResultTheExitCode) {
    for (const Scenario& row : scenarios(kRows)) {
        SCOPED_TRACE(row[0]);
        RowMachine m;
        if (row[1] == "restart") {
            m.machine.addDevice({L"ROOT\\NET\\0000", platform::kGuidDevClassNet,
                                 std::vector<std::wstring>{L"tvrnvamgr"}, true, platform::kDiNeedReboot,
                                 L""});
        } else {
            applyFaults(m.machine, row[1]);
        }
        EXPECT_EQ(runFlow(row[0]), std::stoi(row[2]));
        std::vector<std::string> expected{"Command Line Received: '" + row[0] + "'"};
        expected.insert(expected.end(), row.log.begin(), row.log.end());
        expectLog(m.log(), expected);
        const std::string bytes = m.machine.readFile(kLogPath).value_or("");
        EXPECT_TRUE(bytes.starts_with("\r\n\r\n\r\n" + std::string(96, '*') +
                                      "\r\nStarted TavrinDriverUtil.exe(pid:"));
        EXPECT_EQ(m.entries().at(0).source, "TavrinDriverUtil.cpp");
    }
}

TEST(RunFlow, ANullCommandLineIsNotLogged) {
    RowMachine m;
    const std::vector<std::wstring> args = argsOf("/component tvrnva");
    TDCmdLineParser parser;
    EXPECT_EQ(RunTavrinDriverUtil(nullptr, 3, argv(args).data(), parser), 2);
    EXPECT_EQ(m.log(), std::vector<std::string>{"Invalid Operation Code"});
}

TEST(RunFlow, AnOperationCodeOutsideTheTableIsRefused) {
    RowMachine m;
    DriverOperation record;
    record.operationCode = static_cast<OperationCode>(11);
    EXPECT_EQ(TavrinDriverOperator::getInstance().PerformDriverOperation(record), 2);
    EXPECT_EQ(m.log(), std::vector<std::string>{"Invalid Operation Code"});
}

} // namespace
} // namespace tdu::test
