#include "tests/unit/Scenario.h"

#include "app/TavrinDriverUtil.h"

namespace tdu::test {
namespace {

// Every command reaches its handler, and the handler's result is the run's exit code.
TEST(RunFlow, EveryCommandReachesItsHandler) {
    runScenarios(kRow,
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
custom actions without a code||/disableCustomActions ""|2|Command received to disable custom actions;Product Code is empty)txt");
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
