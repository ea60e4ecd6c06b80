#include "tests/unit/SimTest.h"

#include "log/LogWriter.h"

namespace tdu::test {
namespace {

using log::LogWriter;

const std::wstring kFile = L"TavrinDriverUtil.log";
const std::string kStars(96, '*');

class LogWriterTest : public SimTest {
protected:
    void line(const std::wstring& message,
              const wchar_t* source = L"C:\\src\\operator\\TDriverOperator.cpp") {
        LogWriter(false, kFile, source, 77, L"Caller::function", L"%s", message);
    }
    void banner() { LogWriter(true, kFile, L"TavrinDriverUtil.cpp", 1, L"wWinMain", L"init"); }
};

TEST_F(LogWriterTest, FirstRunCreatesTheFolderAndWritesTheBannerThenLines) {
    sim.setCurrentProcess(5120);
    sim.setModulePath(L"C:\\Program Files (x86)\\Tavrin Secure\\TavrinDrivers\\TavrinDriverUtil.exe");
    banner();
    line(L"Command received to install a driver");
    EXPECT_EQ(
        logBytes(),
        "\r\n\r\n\r\n" + kStars +
            "\r\nStarted TavrinDriverUtil.exe(pid:5120) at: [ 2026/12/04 04:25:34 ]\r\n" + kStars + "\r\n" +
            "[2026/12/04 04:25:34] [TDriverOperator.cpp(77)] | Command received to install a driver\r\n");
}

TEST_F(LogWriterTest, SourceNamesLoseTheirFoldersAndFunctionNamesAreNeverWritten) {
    const struct {
        const wchar_t* source;
        std::string written;
    } cases[] = {
        {L"C:\\a\\b\\Unit.cpp", "[Unit.cpp(77)]"},
        {L"/home/dev/src/Unit.cpp", "[Unit.cpp(77)]"},
        {L"mixed/dir\\Unit.cpp", "[Unit.cpp(77)]"},
        {L"Unit.cpp", "[Unit.cpp(77)]"},
        {L"", "[(77)]"},
    };
    for (const auto& c : cases) {
        line(L"m", c.source);
        EXPECT_NE(logBytes().find(c.written + " | m\r\n"), std::string::npos) << c.written;
    }
    EXPECT_EQ(logBytes().find("Caller::function"), std::string::npos);
}

TEST_F(LogWriterTest, MessagesAreCutAt1022Units) {
    line(std::wstring(1500, L'a'));
    line(std::wstring(1022, L'b'));
    line(std::wstring(1021, L'c') + L"\x20AC");
    const auto messages = logMessages();
    ASSERT_EQ(messages.size(), 3U);
    EXPECT_EQ(messages[0], std::string(1022, 'a'));
    EXPECT_EQ(messages[1], std::string(1022, 'b'));
    EXPECT_EQ(messages[2], std::string(1021, 'c') + "?");
}

TEST_F(LogWriterTest, RotatesOnlyAboveFiveMebibytes) {
    const struct {
        std::size_t size;
        bool rotated;
    } cases[] = {{5'242'880, false}, {5'242'881, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const std::wstring backup =
            L"C:\\Users\\Public\\Tavrin Secure\\Logging\\BK_20261204_042534_TavrinDriverUtil.log";
        sim.createDirectories(L"C:\\Users\\Public\\Tavrin Secure\\Logging");
        std::filesystem::remove(sim.hostPath(backup));
        sim.writeFile(kLogPath, std::string(c.size, 'x'));
        line(L"after");
        const std::string current = logBytes();
        if (c.rotated) {
            EXPECT_EQ(sim.readFile(backup).value_or("").size(), c.size);
            EXPECT_EQ(current.substr(0, 1), "[");
            EXPECT_EQ(logMessages(), std::vector<std::string>{"after"});
        } else {
            EXPECT_FALSE(sim.readFile(backup).has_value());
            EXPECT_EQ(current.size(),
                      c.size +
                          std::string("[2026/12/04 04:25:34] [TDriverOperator.cpp(77)] | after\r\n").size());
        }
    }
}

TEST_F(LogWriterTest, TwoRotationsInOneSecondShareTheBackupName) {
    sim.createDirectories(L"C:\\Users\\Public\\Tavrin Secure\\Logging");
    const std::wstring backup =
        L"C:\\Users\\Public\\Tavrin Secure\\Logging\\BK_20261204_042534_TavrinDriverUtil.log";
    sim.writeFile(kLogPath, std::string(5'242'881, '1'));
    line(L"first");
    sim.writeFile(kLogPath, std::string(5'242'882, '2'));
    line(L"second");
    const std::string kept = sim.readFile(backup).value_or("");
    EXPECT_EQ(kept.size(), 5'242'882U);
    EXPECT_EQ(kept.front(), '2');
}

TEST_F(LogWriterTest, AFailedRotationStepStillAppendsTheLine) {
    for (const char* call : {"exists", "file_size", "rename"}) {
        SCOPED_TRACE(call);
        sim.createDirectories(L"C:\\Users\\Public\\Tavrin Secure\\Logging");
        sim.writeFile(kLogPath, std::string(5'242'881, 'x'));
        sim.clearFaults();
        // The first "exists" call tests the folder; the rotation's is the second.
        sim.failCall(call, std::string(call) == "exists" ? sim.callCount("exists") + 2 : 0, 32);
        line(L"kept");
        EXPECT_EQ(logBytes().size(),
                  5'242'881U +
                      std::string("[2026/12/04 04:25:34] [TDriverOperator.cpp(77)] | kept\r\n").size());
    }
}

TEST_F(LogWriterTest, LostMessagesWhenThereIsNowhereToWrite) {
    // The log folder's parent is missing: only the last level is created.
    std::filesystem::remove_all(sim.hostPath(L"C:\\Users\\Public\\Tavrin Secure"));
    line(L"lost");
    EXPECT_FALSE(sim.readFile(kLogPath).has_value());
    EXPECT_FALSE(std::filesystem::exists(sim.hostPath(L"C:\\Users\\Public\\Tavrin Secure")));
}

TEST_F(LogWriterTest, AFailedExpansionLosesTheMessageAndIsRetried) {
    sim.failCall("ExpandEnvironmentStringsW", 1, 203);
    line(L"lost");
    line(L"kept");
    EXPECT_EQ(logMessages(), std::vector<std::string>{"kept"});
    EXPECT_EQ(sim.callCount("ExpandEnvironmentStringsW"), 2U);
    line(L"cached");
    EXPECT_EQ(sim.callCount("ExpandEnvironmentStringsW"), 2U); // the path is kept for the process
}

TEST_F(LogWriterTest, AFolderLongerThanThePathBufferIsNotUsed) {
    sim.setEnvironment(L"PUBLIC", L"C:\\" + std::wstring(250, L'p'));
    line(L"lost");
    EXPECT_EQ(sim.callCount("OpenAppendStream"), 0U);
}

TEST_F(LogWriterTest, AnOpenCollisionDropsTheLine) {
    line(L"one");
    sim.failCall("OpenAppendStream", 2, 32);
    line(L"two");
    line(L"three");
    EXPECT_EQ(logMessages(), (std::vector<std::string>{"one", "three"}));
}

TEST_F(LogWriterTest, TheLogPathHasTheDoubledSeparator) {
    line(L"x");
    EXPECT_TRUE(
        sim.readFile(L"C:\\Users\\Public\\Tavrin Secure\\Logging\\\\TavrinDriverUtil.log").has_value());
    EXPECT_TRUE(std::filesystem::is_directory(sim.hostPath(L"C:\\Users\\Public\\Tavrin Secure\\Logging")));
}

} // namespace
} // namespace tdu::test
