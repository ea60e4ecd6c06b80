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

// The log opened by another program, as it asks: its handle; the process's end lets go of it.
platform::Handle openLog(std::uint32_t access, std::uint32_t share) {
    return platform::sys().CreateFileW(kLogPath, access, share, platform::kOpenAlways,
                                       platform::kFileAttributeNormal);
}

// What another instance does while it writes a line: the log open for appending and renaming, shared, and
// the writers' lock taken.
platform::Handle holdWritersLock() {
    using namespace platform;
    const Handle file =
        openLog(kFileAppendData | kDelete, kFileShareRead | kFileShareWrite | kFileShareDelete);
    EXPECT_TRUE(
        sys().LockFileEx(file, kLockfileExclusiveLock | kLockfileFailImmediately, 0x4000'0000'0000'0000, 1));
    return file;
}

// Whoever made the log folder and whatever it allowed, the run uses it only once nobody but SYSTEM and
// Administrators may do anything in it: users could otherwise plant entries in it, or hold the log with
// no more than a right to read it. A folder whose access list cannot be written gets no log.
TEST(LogWriter, TheLogFolderLetsNobodyButSystemAndAdministratorsIn) {
    const std::wstring trusted = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    // What the folder allowed before the run (empty: there was none), the error writing its list fails
    // with, what it allows after, and the log.
    for (const auto& [before, error, after, log] :
         {std::tuple<std::wstring, std::uint32_t, std::wstring, const char*>{L"", 0, trusted, "kept"},
          {L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)", 0, trusted, "kept"},
          {L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)", 0, trusted, "kept"},
          {L"D:(A;OICI;FA;;;WD)", 5, L"D:(A;OICI;FA;;;WD)", ""}}) {
        SCOPED_TRACE(narrow(before));
        FreshMachine fresh;
        if (!before.empty()) {
            fresh.machine.createDirectories(kFolder);
            fresh.machine.setFolderSecurity(kFolder, before);
        }
        if (error != 0) {
            fresh.machine.failCall("SetSecurityInfo", 0, error);
        }
        line(L"kept");
        EXPECT_EQ(fresh.machine.folderSecurity(kFolder), after);
        EXPECT_TRUE(logMatches(logMessagesOf(fresh.machine), log, true));
    }
}

// A first run makes the folder and writes its banner, then its lines: source names lose their folders,
// function names are never written, and a message is cut at 1022 UTF-16 units.
TEST_F(LogWriterTest, TheBannerThenWhatALineHolds) {
    sim.setCurrentProcess(5120);
    sim.setModulePath(L"C:\\Program Files (x86)\\Tavrin Secure\\TavrinDrivers\\TavrinDriverUtil.exe");
    log::LogWriter(true, L"TavrinDriverUtil.log", L"TavrinDriverUtil.cpp", 1, L"wWinMain", L"init");
    const std::string stars = "\r\n" + std::string(96, '*') + "\r\n";
    std::string expected =
        "\r\n\r\n" + stars + "Started TavrinDriverUtil.exe(pid:5120) at: [ 2026/12/04 04:25:34 ]" + stars;
    for (const auto& [source, written] : {std::pair{L"C:\\a\\b\\Unit.cpp", "Unit.cpp"},
                                          {L"/home/dev/src/Unit.cpp", "Unit.cpp"},
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

// A log above five mebibytes, or one a user owns (who could give themselves any access to it), goes to the
// backup name, replacing the backup of the same second, and the line starts a new log. A log of five
// mebibytes exactly stays, and a rotation step that fails still appends the line.
TEST(LogWriter, AFullLogOrAUsersGoesToTheBackupName) {
    const std::string full(5'242'881, 'x');
    const std::string kept = kLineBytes + "kept\r\n";
    // The log before, its owner (empty: the trusted one), a call that fails, the log and the backup after.
    for (const auto& [before, owner, failing, after, backup] :
         {std::tuple<std::string, std::wstring, std::string, std::string, std::string>{
              full.substr(1), L"", "", full.substr(1) + kept, "old"},
          {full, L"", "", kept, full},
          {"forged\r\n", L"S-1-5-21-1-2-3-1001", "", kept, "forged\r\n"},
          {full, L"", "GetFileInformationByHandle", full + kept, "old"},
          {full, L"", "SetFileInformationByHandle", full + kept, "old"}}) {
        SCOPED_TRACE(failing + " " + std::to_string(before.size()));
        FreshMachine fresh;
        fresh.machine.writeFile(kLogPath, before);
        fresh.machine.writeFile(kBackup, "old");
        owner.empty() ? void() : fresh.machine.setOwner(kLogPath, owner);
        fresh.machine.failCall(failing, 0, 32); // none when empty
        line(L"kept");
        EXPECT_TRUE(fresh.machine.readFile(kLogPath) == after)
            << fresh.machine.readFile(kLogPath).value_or("").size();
        EXPECT_TRUE(fresh.machine.readFile(kBackup) == backup)
            << fresh.machine.readFile(kBackup).value_or("").size();
        EXPECT_TRUE(nothingLeftOpen(fresh.machine));
    }
}

// Another program holds the log when a run writes its two lines, and lets go after the row's time or only
// after the run: the writers' lock (one byte at 2^62), the file shared for reading only (an earlier release
// between its open and close), or the file shared for reading and writing but not renaming (a reader). The
// run waits for it about a second in all on the platform's clock, once, and loses no line: past the wait
// it writes without the lock, or into a file of its own beside a log it cannot open.
TEST(LogWriter, AnotherHolderOfTheLogDelaysARunOnceAndTakesNoLine) {
    using namespace platform;
    constexpr std::uint64_t kAfterTheRun = 60'000;
    const std::map<std::string, std::function<void()>> holding{
        {"the lock", [] { holdWritersLock(); }},
        {"reading only", [] { openLog(kFileAppendData, kFileShareRead); }},
        {"no renaming", [] { openLog(0x1 /* FILE_READ_DATA */, kFileShareRead | kFileShareWrite); }}};
    const std::wstring ownFile = kFolder + std::wstring(L"\\PID4242_TavrinDriverUtil.log");
    // How the other program holds the log, how long, how long the run waited, and where its lines went.
    for (const auto& [holds, heldMs, waitedMs, file] :
         {std::tuple<std::string, std::uint64_t, std::uint64_t, std::wstring>{"the lock", 250, 250, kLogPath},
          {"the lock", kAfterTheRun, 1000, kLogPath},
          {"reading only", 250, 250, kLogPath},
          {"reading only", kAfterTheRun, 1000, ownFile},
          {"no renaming", kAfterTheRun, 0, kLogPath}}) {
        SCOPED_TRACE(holds + " for " + std::to_string(heldMs) + " ms");
        FreshMachine fresh;
        fresh.machine.createDirectories(kFolder);
        fresh.machine.asProcess(777, holding.at(holds));
        fresh.machine.at(heldMs, [&fresh] { fresh.machine.endProcess(777); });
        line(L"first");
        line(L"second");
        EXPECT_EQ(fresh.machine.nowMs(), waitedMs);
        fresh.machine.endProcess(777);
        EXPECT_EQ(logMessagesOf(fresh.machine, file), (std::vector<std::string>{"first", "second"}));
        EXPECT_TRUE(nothingLeftOpen(fresh.machine));
    }
}

// A writer that waited while the instance holding the lock rotated the log finds its file renamed: its
// line goes into the new log, which that instance's own line may have started, and the backup keeps the
// name of its rotation, a second earlier.
TEST(LogWriter, AWriterThatWaitedThroughAnotherRotationWritesIntoTheNewLog) {
    const std::string after = "[2026/12/04 04:25:35] [TDriverOperator.cpp(77)] | after\r\n";
    // What the other instance wrote into the new log, if anything, and how the new log starts.
    for (const auto& [written, log] :
         {std::pair<std::string, std::string>{"", after}, {"other\r\n", "other\r\n" + after}}) {
        SCOPED_TRACE(written);
        const std::string othersLine = written;
        FreshMachine fresh;
        platform::sim::SimMachine& sim = fresh.machine;
        sim.advance(900); // 04:25:34.900: the line, 200 ms later, is stamped a second later
        sim.writeFile(kLogPath, std::string(5'242'881, 'x'));
        platform::Handle held = platform::kNullHandle;
        sim.asProcess(777, [&held] { held = holdWritersLock(); });
        sim.at(1100, [&sim, held, &othersLine] {
            sim.asProcess(777, [held, &othersLine] {
                EXPECT_TRUE(platform::sys().SetFileInformationByHandle(held, {true, kBackup}));
                if (!othersLine.empty()) {
                    EXPECT_TRUE(platform::sys().WriteFile(holdWritersLock(), othersLine));
                }
            });
            sim.endProcess(777);
        });
        line(L"after");
        EXPECT_EQ(sim.readFile(kLogPath).value_or("").substr(0, 120), log);
        EXPECT_TRUE(sim.readFile(kBackup) == std::string(5'242'881, 'x'));
        EXPECT_TRUE(nothingLeftOpen(sim));
    }
}

// The path is kept for the process once expanded; only the log folder is ever created. A run's banner is
// its first write, and a line whose folder is refused is lost, never written elsewhere.
TEST(LogWriter, LostLinesWhenThereIsNowhereToWrite) {
    runScenarios({}, R"txt(
== the vendor folder gone
+ rm "C:\Users\Public\Tavrin Secure"
> /setstatus 7 => 2
? calls ExpandEnvironmentStringsW: 1
? dir C:\Users\Public:

== a folder that does not fit the path buffer
+ env PUBLIC C:\{p*250}
> /setstatus 7 => 2
= whole log
? calls ExpandEnvironmentStringsW: 3
? dir C:\Users\Public: Tavrin Secure

== a failed expansion loses its line only
+ fail ExpandEnvironmentStringsW 1 203
> /setstatus 7 => 2
= whole log
Command received to set driver install status
Invalid argument passed to /setstatus parameter
? calls ExpandEnvironmentStringsW: 2
? size "{logs}\TavrinDriverUtil.log": 196

== an owner that cannot be read: its line lost
+ fail GetSecurityInfo 1 5
> /setstatus 7 => 2
Invalid argument passed to /setstatus parameter
? size "{logs}\TavrinDriverUtil.log": 196

== a PUBLIC on a server's share: the log goes there
+ env PUBLIC \\server\share
+ dir "\\server\share\Tavrin Secure"
> /setstatus 7 => 2
? dir "\\server\share\Tavrin Secure\Logging": TavrinDriverUtil.log

)txt");
}

// A PUBLIC or a folder owner the run must not trust: no log at all, and no folder made in `folder`.
void noLog(const std::string& name, const std::string& planted, const std::string& folder,
           const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    runRow("== " + name + "\n" + planted + "\n> /setstatus 7 => 2\n= whole log\n? dir \"" + folder + "\":",
           file, line);
}

// A PUBLIC that is no full local path, with its vendor folder there.
void noLogUnder(const std::string& name, const std::string& value, const char* file = __builtin_FILE(),
                int line = __builtin_LINE()) {
    const std::string vendor = value + "\\Tavrin Secure";
    noLog(name, "+ env PUBLIC " + value + "\n+ dir \"" + vendor + "\"", vendor, file, line);
}

TEST(LogWriter, NoLogWhereTheFolderCannotBeTrusted) {
    noLogUnder("a relative PUBLIC", "Users\\Public");
    noLog("a PUBLIC on the drive's working folder", "+ env PUBLIC C:Users\\Public",
          "C:\\Users\\Public\\Tavrin Secure");
    noLogUnder("a PUBLIC rooted on no drive", "\\Users\\Public");
    noLogUnder("a PUBLIC in the device namespace", "\\\\.\\C:\\Users\\Public");
    noLogUnder("a PUBLIC in the raw namespace", "\\\\?\\C:\\Users\\Public");
    noLog("a vendor folder a user owns", "+ owner \"C:\\Users\\Public\\Tavrin Secure\" S-1-5-21-1-2-3-1001",
          "C:\\Users\\Public\\Tavrin Secure");
    noLog("a log folder a user owns", "+ dir \"{logs}\"\n+ owner \"{logs}\" S-1-5-21-1-2-3-1001", "{logs}");
}

// Links an ordinary user could plant in the public log folder before a run as LocalSystem: none may carry
// a byte of the log anywhere else, and the run's result stays what it is. A full log goes to the backup
// name, replacing what was there without writing through it; a link is never even written to. A host that
// cannot make the link skips the row.
void plantedLink(const std::string& name, const std::string& planted, const std::string& backup = "absent",
                 int writes = 0, const std::string& victimAfter = "9", const char* file = __builtin_FILE(),
                 int line = __builtin_LINE()) {
    runRow("== " + name + "\n+ file C:\\Windows\\System32\\victim.dll \"MZ victim\"\n+ dir C:\\Elsewhere\n" +
               planted + "\n> /setprocessortype 1 => 0\n? size C:\\Windows\\System32\\victim.dll: " +
               victimAfter + "\n? size \"{logs}\\BK_20261204_042534_TavrinDriverUtil.log\": " + backup +
               "\n? file C:\\Elsewhere\\Logging\\TavrinDriverUtil.log: absent" +
               "\n? file C:\\Elsewhere\\TavrinDriverUtil.log: absent\n? calls WriteFile: " +
               std::to_string(writes),
           file, line);
}

TEST(LogWriter, PlantedLinksAreNeverWrittenThrough) {
    const std::string log = "\"{logs}\\TavrinDriverUtil.log\"";
    const std::string backup = "\"{logs}\\BK_20261204_042534_TavrinDriverUtil.log\"";
    const std::string full = "+ file " + log + " {x*5242881}\n";
    const std::string victim = " C:\\Windows\\System32\\victim.dll ";
    plantedLink("a junction for the vendor folder",
                "+ rm \"C:\\Users\\Public\\Tavrin Secure\"\n+ dir C:\\Elsewhere\\Logging\n"
                "+ link C:\\Elsewhere \"C:\\Users\\Public\\Tavrin Secure\"");
    plantedLink("a junction for the log folder", "+ link C:\\Elsewhere \"{logs}\"");
    plantedLink("a symbolic link for the log", "+ dir \"{logs}\"\n+ link" + victim + log);
    plantedLink("a full log with a second name",
                "+ file" + victim + "{v*5242881}\n+ dir \"{logs}\"\n+ hardlink" + victim + log, "absent", 0,
                "5242881");
    plantedLink("a symbolic link at the backup name", full + "+ link" + victim + backup, "5242881", 5);
}

// A user who owns a folder above the log swaps it for a junction at the very moment of a call that acts
// on a name below it, as a process retrying across the lines of a run would: the folders are held from
// the first line on, so the swap is refused and nothing reaches the junction's target.
void swapped(const std::string& name, const std::string& planted, const std::string& at,
             const std::string& folder, const std::string& elsewhere, const std::string& logs,
             const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    runRow("== " + name + "\n" + planted + "\n+ swap " + at + " " + folder + " C:\\Elsewhere\n" +
               "> /setprocessortype 1 => 0\n? dir C:\\Elsewhere: " + elsewhere + "\n? dir \"{logs}\": " +
               logs + "\n? dir C:\\Elsewhere\\Logging:\n? dir C:\\Users\\Public: Tavrin Secure\n" +
               "? dir \"C:\\Users\\Public\\Tavrin Secure\": Logging\n? calls WriteFile: 5",
           file, line);
}

TEST(LogWriter, FoldersSwappedWhileHeldLeadNowhereElse) {
    const std::string logs = "\"{logs}\"";
    const std::string vendor = "\"C:\\Users\\Public\\Tavrin Secure\"";
    const std::string logFolder = "+ dir C:\\Elsewhere\n+ dir \"{logs}\"";
    const std::string vendorFolder = "+ dir C:\\Elsewhere\\Logging\n+ dir \"{logs}\"";
    swapped("the log folder at a later line's open", logFolder, "CreateFileW 4", logs, "",
            "TavrinDriverUtil.log");
    // A full log rotates at the next line: the backup and the new log end up side by side.
    const std::string full = "\n+ file \"{logs}\\TavrinDriverUtil.log\" {x*5242881}";
    const std::string both = "BK_20261204_042534_TavrinDriverUtil.log TavrinDriverUtil.log";
    swapped("the log folder at the rotation", logFolder + full, "SetFileInformationByHandle 1", logs, "",
            both);
    swapped("the vendor folder at the rotation", vendorFolder + full, "SetFileInformationByHandle 1", vendor,
            "Logging", both);
}

} // namespace
} // namespace tdu::test
