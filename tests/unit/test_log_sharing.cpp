// Several processes writing one log through the simulated machine's file
// layer, as instances the installer starts together do: each opens the log
// shared, as the program asks, and writes its line under the writers'
// byte-range lock, which the machine places on the host so that the other
// processes meet it. Separate processes only exist natively: the Windows
// build of the tests reports the case skipped.
#include "tests/unit/SimTest.h"

#ifndef _WIN32
#include "log/LogWriter.h"

#include <cstdio>
#include <map>
#include <sys/wait.h>
#include <unistd.h>

namespace tdu::test {
namespace {

using LogSharingTest = SimTest;

constexpr int kProcesses = 8;
constexpr int kLinesEach = 150;
constexpr wchar_t kFolder[] = L"C:\\Users\\Public\\Tavrin Secure\\Logging";

// kLinesEach log calls in each of kProcesses children on the machine's folder, none of whose opens may be
// refused. The names of the folder's files, sorted so that backups ("BK_...") come before the log they
// were rotated out of; between them they hold every child's lines, each whole, in order and once.
std::vector<std::string> writeFromChildren(platform::sim::SimMachine& machine) {
    log::resetLogPathCache();
    std::vector<pid_t> children;
    for (int child = 0; child < kProcesses; ++child) {
        if (const pid_t pid = ::fork(); pid != 0) {
            children.push_back(pid);
            continue;
        }
        int code = 255; // it crashed or threw
        try {
            machine.setCurrentProcess(static_cast<std::uint32_t>(1000 + child));
            constexpr const wchar_t* kLogSource = L"Child.cpp";
            TDU_LOG_FUNCTION(L"child");
            for (int line = 0; line < kLinesEach; ++line) {
                TDU_LOG(L"child %d line %d", child, line);
            }
            code = static_cast<int>(std::min(machine.sharingViolations(), 254U));
        } catch (...) {
        }
        ::_exit(code); // the machine folder belongs to the parent
    }
    for (const pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "refused opens, or a crash: " << status;
    }
    std::vector<std::string> names;
    for (const auto& file : std::filesystem::directory_iterator(machine.hostPath(kFolder))) {
        names.push_back(file.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    std::map<int, int> last;
    int arrived = 0;
    for (const std::string& name : names) {
        for (const LogEntry& entry :
             parseLog(machine.readFile(kFolder + (L"\\" + wide(name))).value_or(""))) {
            int child = 0;
            int line = 0;
            char more = 0;
            if (entry.source == "Child.cpp" &&
                std::sscanf(entry.message.c_str(), "child %d line %d%c", &child, &line, &more) == 2) {
                int& previous = last.try_emplace(child, -1).first->second;
                EXPECT_LT(previous, line) << "child " << child << ": out of order or repeated";
                previous = line;
                ++arrived;
            } else {
                EXPECT_NE(entry.source, "Child.cpp") << "torn: " << entry.message;
            }
        }
    }
    EXPECT_EQ(arrived, kProcesses * kLinesEach);
    return names;
}

TEST_F(LogSharingTest, EveryLineArrivesWhole) {
    EXPECT_EQ(writeFromChildren(sim), std::vector<std::string>{"TavrinDriverUtil.log"});
    // Every line feed ends a line that parses whole: no torn or mixed line.
    const std::string text = logBytes();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), static_cast<long>(parseLog(text).size()));
}

// The first writer renames the full log; those who waited for it find their file renamed and write into
// the new one.
TEST_F(LogSharingTest, OneRotationWhenAllFindTheLogFull) {
    std::string big;
    while (big.size() <= 5'242'880) {
        big += "[2026/12/04 04:25:34] [Filler.cpp(1)] | " + std::string(4000, 'f') + "\r\n";
    }
    sim.writeFile(kLogPath, big);
    EXPECT_EQ(writeFromChildren(sim),
              (std::vector<std::string>{"BK_20261204_042534_TavrinDriverUtil.log", "TavrinDriverUtil.log"}));
    const std::string backup =
        sim.readFile(kFolder + std::wstring(L"\\BK_20261204_042534_TavrinDriverUtil.log")).value_or("");
    EXPECT_TRUE(backup == big) << "the backup holds " << backup.size() << " bytes, not " << big.size();
}

} // namespace
} // namespace tdu::test
#else
TEST(LogSharingTest, SeparateProcesses) {
    GTEST_SKIP() << "the Windows build's host runs no separate simulated processes";
}
#endif
