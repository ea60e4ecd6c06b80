#include "tests/unit/SimTest.h"

#include "app/TavrinDriverUtil.h"
#include "operator/TDriverOperator.h"

namespace tdu::test {
namespace {

class RunFlowTest : public SimTest {
protected:
    int run(const wchar_t* commandLine, std::vector<const wchar_t*> args) {
        args.insert(args.begin(), L"C:\\x\\TavrinDriverUtil.exe");
        TDCmdLineParser parser;
        return RunTavrinDriverUtil(commandLine, static_cast<unsigned>(args.size()), args.data(), parser);
    }
};

TEST_F(RunFlowTest, NoArgumentsEndsWithMinusOneAfterTheHelp) {
    EXPECT_EQ(run(L"", {}), -1);
    EXPECT_TRUE(logBytes().starts_with("\r\n\r\n\r\n" + std::string(96, '*') +
                                       "\r\nStarted TavrinDriverUtil.exe(pid:"));
    const auto entries = logEntries();
    ASSERT_EQ(entries.size(), 4U);
    EXPECT_EQ(entries[0].source, "TavrinDriverUtil.cpp");
    EXPECT_EQ(entries[0].message, "Command Line Received: ''");
    EXPECT_EQ(entries[1].message, "Insufficient Parameters.");
    EXPECT_TRUE(entries[2].message.starts_with("\nTavrin Driver Utility Help "));
    EXPECT_EQ(entries[3].message, "Failed to parse Command Line params.");
    EXPECT_EQ(entries[3].source, "TavrinDriverUtil.cpp");
}

TEST_F(RunFlowTest, ANullCommandLineIsNotLogged) {
    EXPECT_EQ(run(nullptr, {L"/component", L"tvrnva"}), 2);
    EXPECT_EQ(logMessages(), std::vector<std::string>{"Invalid Operation Code"});
}

TEST_F(RunFlowTest, EveryCommandIsAnnouncedFirst) {
    const struct {
        std::vector<const wchar_t*> args;
        const char* received; // "" when no command was recognised
        int result;
    } cases[] = {
        {{L"/component", L"tvrnva"}, "", 2},
        {{L"/drivertype", L"virtual"}, "", 2},
        {{L"/setprocessortype", L"0"}, "Command received to set processor type in registry", 0},
        {{L"/setstatus", L"7"}, "Command received to set driver install status", 2},
        {{L"/install", L"a.inf"}, "Command received to install a driver", 0},
        {{L"/uninstall", L"HW"}, "Command received to uninstall a driver", 0},
        {{L"/netserv", L"REMOVE"}, "Command received to install TVRNNS Net Service", 2},
        {{L"/installdrivers", L"1"}, "Command received to install all Tavrin Drivers", 0},
        {{L"/uninstalldrivers", L"1"}, "Command received to un-install all Tavrin Drivers", 0},
        {{L"/reinstall", L"1"}, "Command received to reinstall a driver component", 2},
        {{L"/disableDifx", L"all"}, "Command received to disable Difx custom actions", 0},
        {{L"/disableCustomActions", L"{X}"}, "Command received to disable custom actions", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.received);
        std::filesystem::remove(sim.hostPath(kLogPath));
        EXPECT_EQ(run(L"args", c.args), c.result);
        const auto entries = logEntries();
        ASSERT_GE(entries.size(), 2U);
        EXPECT_EQ(entries[0].message, "Command Line Received: 'args'");
        if (*c.received == '\0') {
            EXPECT_EQ(entries[1].message, "Invalid Operation Code");
        } else {
            EXPECT_EQ(entries[1].message, c.received);
            EXPECT_EQ(entries[1].source, "TDriverOperator.cpp");
        }
    }
}

TEST_F(RunFlowTest, AnOperationCodeOutsideTheTableIsRefused) {
    DriverOperation record;
    record.operationCode = static_cast<OperationCode>(11);
    EXPECT_EQ(TavrinDriverOperator::getInstance().PerformDriverOperation(record), 2);
    EXPECT_EQ(logMessages(), std::vector<std::string>{"Invalid Operation Code"});
}

TEST_F(RunFlowTest, TheExitCodeIsTheHandlersResult) {
    sim.failCall("RegCreateKeyExW", 1, 5);
    EXPECT_EQ(run(L"", {L"/setprocessortype", L"1"}), 2);
    EXPECT_EQ(run(L"", {L"/setstatus", L"1"}), 0);
}

} // namespace
} // namespace tdu::test
