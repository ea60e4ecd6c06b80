#include "tests/unit/SimTest.h"

#include "app/TavrinDriverUtil.h"
#include "log/LogWriter.h"

namespace tdu::test {
namespace {

using log::LogWriter;

const std::wstring kFile = L"TavrinDriverUtil.log";
const std::string kStars(96, '*');
constexpr wchar_t kFolder[] = L"C:\\Users\\Public\\Tavrin Secure\\Logging";
constexpr wchar_t kBackup[] =
    L"C:\\Users\\Public\\Tavrin Secure\\Logging\\BK_20261204_042534_TavrinDriverUtil.log";
const std::string kLineBytes = "[2026/12/04 04:25:34] [TDriverOperator.cpp(77)] | ";

class LogWriterTest : public SimTest {
protected:
    void line(const std::wstring& message,
              const wchar_t* source = L"C:\\src\\operator\\TDriverOperator.cpp") {
        LogWriter(false, kFile, source, 77, L"Caller::function", L"%s", message);
    }
    void banner() { LogWriter(true, kFile, L"TavrinDriverUtil.cpp", 1, L"wWinMain", L"init"); }
};

TEST_F(LogWriterTest, FirstRunCreatesAProtectedFolderAndWritesTheBannerThenLines) {
    sim.setCurrentProcess(5120);
    sim.setModulePath(L"C:\\Program Files (x86)\\Tavrin Secure\\TavrinDrivers\\TavrinDriverUtil.exe");
    banner();
    line(L"Command received to install a driver");
    EXPECT_EQ(logBytes(), "\r\n\r\n\r\n" + kStars +
                              "\r\nStarted TavrinDriverUtil.exe(pid:5120) at: [ 2026/12/04 04:25:34 ]\r\n" +
                              kStars + "\r\n" + kLineBytes + "Command received to install a driver\r\n");
    EXPECT_EQ(sim.folderSecurity(kFolder), L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)");
    // Only the banner names the executable.
    EXPECT_EQ(sim.callCount("K32GetModuleFileNameExW"), 1U);
    // The path is the folder text, one more separator and the name.
    EXPECT_TRUE(sim.readFile(std::wstring(kFolder) + L"\\\\TavrinDriverUtil.log").has_value());
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
    line(std::wstring(1021, L'c') + L"\x20AC");
    EXPECT_EQ(logMessages(),
              (std::vector<std::string>{std::string(1022, 'a'), std::string(1021, 'c') + "?"}));
}

TEST_F(LogWriterTest, RotatesOnlyAboveFiveMebibytesAndTheSameSecondReplacesTheBackup) {
    sim.createDirectories(kFolder);
    sim.writeFile(kLogPath, std::string(5'242'880, '0'));
    line(L"kept");
    EXPECT_FALSE(sim.readFile(kBackup).has_value());
    EXPECT_EQ(logBytes().size(), 5'242'880 + kLineBytes.size() + 6);
    for (const char fill : {'1', '2'}) {
        sim.writeFile(kLogPath, std::string(5'242'881, fill));
        line(L"after");
        EXPECT_EQ(logBytes(), kLineBytes + "after\r\n");
        EXPECT_EQ(sim.readFile(kBackup), std::string(5'242'881, fill));
    }
}

TEST_F(LogWriterTest, AFailedRotationStepStillAppendsTheLine) {
    for (const char* call : {"exists", "file_size", "rename", "GetFileInformationByHandle"}) {
        SCOPED_TRACE(call);
        sim.createDirectories(kFolder);
        sim.writeFile(kLogPath, std::string(5'242'881, 'x'));
        sim.clearFaults();
        // The rotation's file check is the first of two queries.
        sim.failCall(call, std::string(call) == "GetFileInformationByHandle" ? sim.callCount(call) + 1 : 0,
                     32);
        line(L"kept");
        EXPECT_EQ(logBytes().size(), 5'242'881 + kLineBytes.size() + 6);
    }
}

TEST_F(LogWriterTest, LostLinesWhenThereIsNowhereToWrite) {
    const struct {
        const char* why;
        void (*prepare)(platform::sim::SimMachine&);
        std::vector<std::string> kept;
        unsigned expansions; // the path is kept for the process once expanded
    } cases[] = {
        {"no vendor folder: only the last level is created",
         [](platform::sim::SimMachine& m) {
             std::filesystem::remove_all(m.hostPath(L"C:\\Users\\Public\\Tavrin Secure"));
         },
         {},
         1},
        {"the folder does not fit the path buffer",
         [](platform::sim::SimMachine& m) { m.setEnvironment(L"PUBLIC", L"C:\\" + std::wstring(250, L'p')); },
         {},
         3},
        {"the expansion fails once",
         [](platform::sim::SimMachine& m) { m.failCall("ExpandEnvironmentStringsW", 1, 203); },
         {"two", "three"},
         2},
        {"another opener holds the file",
         [](platform::sim::SimMachine& m) { m.failCall("OpenAppendStream", 1, 32); },
         {"two", "three"},
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        FreshMachine fresh;
        c.prepare(fresh.machine);
        const bool vendor =
            std::filesystem::exists(fresh.machine.hostPath(L"C:\\Users\\Public\\Tavrin Secure"));
        for (const wchar_t* message : {L"one", L"two", L"three"}) {
            line(message);
        }
        EXPECT_EQ(logMessagesOf(fresh.machine), c.kept);
        EXPECT_EQ(fresh.machine.callCount("ExpandEnvironmentStringsW"), c.expansions);
        EXPECT_EQ(std::filesystem::exists(fresh.machine.hostPath(L"C:\\Users\\Public\\Tavrin Secure")),
                  vendor);
    }
}

// Links an ordinary user could plant in the public log folder before a run as
// LocalSystem: none may carry a byte of the log anywhere else, and the run's
// result stays what it is.
bool symlink(platform::sim::SimMachine& m, const wchar_t* target, const wchar_t* link, bool folder) {
    std::error_code ec;
    if (folder) {
        std::filesystem::create_directory_symlink(m.hostPath(target), m.hostPath(link), ec);
    } else {
        std::filesystem::create_symlink(m.hostPath(target), m.hostPath(link), ec);
    }
    return !ec;
}

constexpr wchar_t kVictim[] = L"C:\\Windows\\System32\\victim.dll";
constexpr wchar_t kElsewhere[] = L"C:\\Elsewhere";

bool hardLink(platform::sim::SimMachine& m, const wchar_t* link) {
    std::error_code ec;
    std::filesystem::create_hard_link(m.hostPath(kVictim), m.hostPath(link), ec);
    return !ec && std::filesystem::hard_link_count(m.hostPath(link), ec) == 2;
}

TEST_F(LogWriterTest, PlantedLinksAreNeverWrittenThrough) {
    const struct {
        const char* what;
        bool (*plant)(platform::sim::SimMachine&);
        bool rotated = false; // the full log went to the backup name, replacing what was there
    } cases[] = {
        {"a junction for the vendor folder",
         [](platform::sim::SimMachine& m) {
             std::filesystem::remove_all(m.hostPath(L"C:\\Users\\Public\\Tavrin Secure"));
             m.createDirectories(L"C:\\Elsewhere\\Logging");
             return symlink(m, kElsewhere, L"C:\\Users\\Public\\Tavrin Secure", true);
         }},
        {"a junction for the log folder",
         [](platform::sim::SimMachine& m) { return symlink(m, kElsewhere, kFolder, true); }},
        {"a symbolic link for the log",
         [](platform::sim::SimMachine& m) {
             m.createDirectories(kFolder);
             return symlink(m, kVictim, kLogPath, false);
         }},
        {"a second name of another file for the log",
         [](platform::sim::SimMachine& m) {
             m.createDirectories(kFolder);
             return hardLink(m, kLogPath);
         }},
        {"a full log with a second name",
         [](platform::sim::SimMachine& m) {
             m.writeFile(kVictim, std::string(5'242'881, 'v'));
             m.createDirectories(kFolder);
             return hardLink(m, kLogPath);
         }},
        {"a symbolic link at the backup name",
         [](platform::sim::SimMachine& m) {
             m.writeFile(kLogPath, std::string(5'242'881, 'x'));
             return symlink(m, kVictim, kBackup, false);
         },
         true},
        {"a second name of another file at the backup name",
         [](platform::sim::SimMachine& m) {
             m.writeFile(kLogPath, std::string(5'242'881, 'x'));
             return hardLink(m, kBackup);
         },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FreshMachine fresh;
        fresh.machine.writeFile(kVictim, "MZ victim");
        fresh.machine.createDirectories(kElsewhere);
        if (!c.plant(fresh.machine)) {
            // The Windows build's host (Wine) makes no symbolic links and its
            // run-time counts no second names.
            continue;
        }
        const std::string before = fresh.machine.readFile(kVictim).value_or("");
        const wchar_t* argv[] = {L"C:\\x\\TavrinDriverUtil.exe", L"/setprocessortype", L"1"};
        EXPECT_EQ(RunTavrinDriverUtil(L"/setprocessortype 1", 3, argv), 0);
        EXPECT_EQ(fresh.machine.readFile(kVictim), before);
        EXPECT_EQ(fresh.machine.readFile(kBackup).value_or("").size(), c.rotated ? 5'242'881U : 0U);
        EXPECT_EQ(fresh.machine.readFile(L"C:\\Elsewhere\\Logging\\TavrinDriverUtil.log"), std::nullopt);
        EXPECT_EQ(fresh.machine.readFile(L"C:\\Elsewhere\\TavrinDriverUtil.log"), std::nullopt);
        EXPECT_EQ(fresh.machine.openHandleCount(), 0U) << fresh.machine.openHandleReport();
    }
}

} // namespace
} // namespace tdu::test
