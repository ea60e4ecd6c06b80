// The log file: its bytes, rotation, lines lost when there is nowhere to
// write, and links planted in its place.
#include "tests/unit/SimTest.h"

#include "log/LogWriter.h"

namespace tdu::test {
namespace {

using LogWriterTest = SimTest;

constexpr wchar_t kFolder[] = L"C:\\Users\\Public\\Tavrin Secure\\Logging";
constexpr wchar_t kBackup[] =
    L"C:\\Users\\Public\\Tavrin Secure\\Logging\\BK_20261204_042534_TavrinDriverUtil.log";
const std::string kStamp = "[2026/12/04 04:25:34] [";
const std::string kLineBytes = kStamp + "TDriverOperator.cpp(77)] | ";

void line(const std::wstring& message, const wchar_t* source = L"C:\\src\\operator\\TDriverOperator.cpp") {
    log::LogWriter(false, L"TavrinDriverUtil.log", source, 77, L"Caller::function", L"%s", message);
}

TEST_F(LogWriterTest, FirstRunCreatesAProtectedFolderAndWritesTheBannerThenLines) {
    sim.setCurrentProcess(5120);
    sim.setModulePath(L"C:\\Program Files (x86)\\Tavrin Secure\\TavrinDrivers\\TavrinDriverUtil.exe");
    log::LogWriter(true, L"TavrinDriverUtil.log", L"TavrinDriverUtil.cpp", 1, L"wWinMain", L"init");
    line(L"Command received to install a driver");
    const std::string stars(96, '*');
    EXPECT_EQ(logBytes(), "\r\n\r\n\r\n" + stars +
                              "\r\nStarted TavrinDriverUtil.exe(pid:5120) at: [ 2026/12/04 04:25:34 ]\r\n" +
                              stars + "\r\n" + kLineBytes + "Command received to install a driver\r\n");
    EXPECT_EQ(sim.folderSecurity(kFolder), L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)");
    // Only the banner names the executable.
    EXPECT_EQ(sim.callCount("K32GetModuleFileNameExW"), 1U);
    // The path is the folder text, one more separator and the name.
    EXPECT_TRUE(sim.readFile(std::wstring(kFolder) + L"\\\\TavrinDriverUtil.log").has_value());
}

// Source names lose their folders, function names are never written, and a
// message is cut at 1022 UTF-16 units.
TEST_F(LogWriterTest, WhatALineHolds) {
    std::string expected;
    for (const auto& [source, written] : {std::pair{L"C:\\a\\b\\Unit.cpp", "Unit.cpp"},
                                          {L"/home/dev/src/Unit.cpp", "Unit.cpp"},
                                          {L"mixed/dir\\Unit.cpp", "Unit.cpp"},
                                          {L"Unit.cpp", "Unit.cpp"},
                                          {L"", ""}}) {
        line(L"m", source);
        expected += kStamp + written + "(77)] | m\r\n";
    }
    line(std::wstring(1500, L'a'));
    line(std::wstring(1021, L'c') + L"\x20AC");
    EXPECT_EQ(logBytes(), expected + kLineBytes + std::string(1022, 'a') + "\r\n" + kLineBytes +
                              std::string(1021, 'c') + "?\r\n");
}

TEST_F(LogWriterTest, RotatesOnlyAboveFiveMebibytesAndTheSameSecondReplacesTheBackup) {
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
        sim.writeFile(kLogPath, std::string(5'242'881, 'x'));
        sim.clearFaults();
        // The rotation's file check is the first of two queries.
        sim.failCall(call, std::string(call) == "GetFileInformationByHandle" ? sim.callCount(call) + 1 : 0,
                     32);
        line(L"kept");
        EXPECT_EQ(logBytes().size(), 5'242'881 + kLineBytes.size() + 6);
    }
}

// The path is kept for the process once expanded; only the log folder is
// ever created. A run's banner is its first write.
TEST(LogWriter, LostLinesWhenThereIsNowhereToWrite) {
    runScenarios(
        kRow,
        R"txt(the vendor folder gone|rm "C:\Users\Public\Tavrin Secure"|/setstatus 7|2||? calls ExpandEnvironmentStringsW: 1;? dir C:\Users\Public:
a folder that does not fit the path buffer|env PUBLIC C:\{p*250}|/setstatus 7|2||? calls ExpandEnvironmentStringsW: 3;? dir C:\Users\Public: Tavrin Secure
a failed expansion loses its line only|fail ExpandEnvironmentStringsW 1 203|/setstatus 7|2|Command received to set driver install status;Invalid argument passed to /setstatus parameter|? calls ExpandEnvironmentStringsW: 2;? size "{logs}\TavrinDriverUtil.log": 196
PUBLIC missing: no log, nothing made under the working folder|env PUBLIC;dir "%PUBLIC%\Tavrin Secure"|/setstatus 7|2||? calls ExpandEnvironmentStringsW: 3;? dir "%PUBLIC%\Tavrin Secure":;? dir "C:\Users\Public\Tavrin Secure":
a relative PUBLIC: no log|env PUBLIC Users\Public;dir "Users\Public\Tavrin Secure"|/setstatus 7|2||? dir "Users\Public\Tavrin Secure":
a PUBLIC on the drive's working folder: no log|env PUBLIC C:Users\Public|/setstatus 7|2||? dir "C:\Users\Public\Tavrin Secure":
a PUBLIC rooted on no drive: no log|env PUBLIC \Users\Public;dir "\Users\Public\Tavrin Secure"|/setstatus 7|2||? dir "\Users\Public\Tavrin Secure":
a PUBLIC in the device namespace: no log|env PUBLIC \\.\C:\Users\Public;dir "\\.\C:\Users\Public\Tavrin Secure"|/setstatus 7|2||? dir "\\.\C:\Users\Public\Tavrin Secure":
a PUBLIC in the raw namespace: no log|env PUBLIC \\?\C:\Users\Public;dir "\\?\C:\Users\Public\Tavrin Secure"|/setstatus 7|2||? dir "\\?\C:\Users\Public\Tavrin Secure":
a PUBLIC on a server's share: the log goes there|env PUBLIC \\server\share;dir "\\server\share\Tavrin Secure"|/setstatus 7|2||? dir "\\server\share\Tavrin Secure\Logging": TavrinDriverUtil.log
another opener holds the file: its line lost|fail OpenAppendStream 1 32|/setstatus 7|2|Command received to set driver install status;Invalid argument passed to /setstatus parameter|? calls ExpandEnvironmentStringsW: 1;? size "{logs}\TavrinDriverUtil.log": 196)txt");
}

// Links an ordinary user could plant in the public log folder before a run as
// LocalSystem: none may carry a byte of the log anywhere else, and the run's
// result stays what it is. A full log goes to the backup name, replacing what
// was there without writing through it; a link is never even written to.
TEST(LogWriter, PlantedLinksAreNeverWrittenThrough) {
    runScenarios(
        R"txt(
== {1}
file C:\Windows\System32\victim.dll {2}
dir C:\Elsewhere
{3}
> /setprocessortype 1
= 0 ...
? size C:\Windows\System32\victim.dll: {4}
? size "{logs}\BK_20261204_042534_TavrinDriverUtil.log": {5}
? file C:\Elsewhere\Logging\TavrinDriverUtil.log: absent
? file C:\Elsewhere\TavrinDriverUtil.log: absent
? calls WriteStream: {6}
)txt",
        R"txt(a junction for the vendor folder|"MZ victim"|rm "C:\Users\Public\Tavrin Secure";dir C:\Elsewhere\Logging;link C:\Elsewhere "C:\Users\Public\Tavrin Secure"|9|absent|0
a junction for the log folder|"MZ victim"|link C:\Elsewhere "{logs}"|9|absent|0
a symbolic link for the log|"MZ victim"|dir "{logs}";link C:\Windows\System32\victim.dll "{logs}\TavrinDriverUtil.log"|9|absent|0
a second name of another file for the log|"MZ victim"|dir "{logs}";hardlink C:\Windows\System32\victim.dll "{logs}\TavrinDriverUtil.log"|9|absent|0
a full log with a second name|{v*5242881}|dir "{logs}";hardlink C:\Windows\System32\victim.dll "{logs}\TavrinDriverUtil.log"|5242881|absent|0
a symbolic link at the backup name|"MZ victim"|file "{logs}\TavrinDriverUtil.log" {x*5242881};link C:\Windows\System32\victim.dll "{logs}\BK_20261204_042534_TavrinDriverUtil.log"|9|5242881|5
a second name of another file at the backup name|"MZ victim"|file "{logs}\TavrinDriverUtil.log" {x*5242881};hardlink C:\Windows\System32\victim.dll "{logs}\BK_20261204_042534_TavrinDriverUtil.log"|9|5242881|5)txt");
}

} // namespace
} // namespace tdu::test
