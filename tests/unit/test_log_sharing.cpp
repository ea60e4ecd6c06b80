// Several processes writing one log through the simulated machine's file
// layer, which refuses a second opener across processes as Windows does.
// Separate processes only exist natively; the Windows build of the tests
// leaves this out.
#ifndef _WIN32
#include "tests/unit/SimTest.h"

#include "log/LogWriter.h"

#include <iostream>
#include <regex>
#include <sys/wait.h>
#include <unistd.h>

namespace tdu::test {
namespace {

constexpr int kProcesses = 8;
constexpr int kLinesEach = 150;
constexpr int kCrashed = 255;
constexpr wchar_t kLogFolderPath[] = L"C:\\Users\\Public\\Tavrin Secure\\Logging";

// Runs `lines` log calls in each of kProcesses children on the machine's
// folder; the exit codes are the opens each child had refused.
std::vector<int> writeFromChildren(platform::sim::SimMachine& machine) {
    log::resetLogPathCache();
    std::vector<pid_t> children;
    for (int child = 0; child < kProcesses; ++child) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            int code = kCrashed;
            try {
                machine.setCurrentProcess(static_cast<std::uint32_t>(1000 + child));
                constexpr const wchar_t* kLogSource = L"Child.cpp";
                TDU_LOG_FUNCTION(L"child");
                for (int line = 0; line < kLinesEach; ++line) {
                    TDU_LOG(L"child %d line %d", child, line);
                }
                code = static_cast<int>(std::min(machine.sharingViolations(), 254U));
            } catch (...) {
                code = kCrashed;
            }
            ::_exit(code); // the machine folder belongs to the parent
        }
        children.push_back(pid);
    }
    std::vector<int> codes;
    for (const pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        codes.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status));
    }
    return codes;
}

class LogSharingTest : public SimTest {
protected:
    // The children's lines in every log file of the folder, per child in
    // order: backups ("BK_...") before the log they were rotated out of.
    std::map<int, std::vector<int>> linesByChild() const {
        static const std::regex line(R"(child (\d+) line (\d+))");
        std::vector<std::wstring> names;
        for (const auto& file : std::filesystem::directory_iterator(sim.hostPath(kLogFolderPath))) {
            names.push_back(file.path().filename().wstring());
        }
        std::sort(names.begin(), names.end());
        std::map<int, std::vector<int>> found;
        for (const std::wstring& name : names) {
            for (const LogEntry& entry :
                 parseLog(sim.readFile(std::wstring(kLogFolderPath) + L"\\" + name).value_or(""))) {
                std::smatch match;
                if (entry.source == "Child.cpp") {
                    EXPECT_TRUE(std::regex_match(entry.message, match, line)) << "torn: " << entry.message;
                    found[std::stoi(match[1])].push_back(std::stoi(match[2]));
                }
            }
        }
        return found;
    }
};

TEST_F(LogSharingTest, LinesArriveWholeOrNotAtAll) {
    const std::vector<int> refused = writeFromChildren(sim);
    int dropped = 0;
    for (const int code : refused) {
        ASSERT_NE(code, kCrashed);
        ASSERT_GE(code, 0) << "a child died of a signal";
        dropped += code;
    }
    // Every line feed ends a line that parses whole: no torn or mixed line.
    const std::string text = logBytes();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), static_cast<long>(parseLog(text).size()));
    const auto found = linesByChild();
    int arrived = 0;
    for (const auto& [child, lines] : found) {
        EXPECT_TRUE(std::is_sorted(lines.begin(), lines.end())) << "child " << child << " out of order";
        arrived += static_cast<int>(lines.size());
    }
    std::cout << "opens refused: " << dropped << "\n";
    // Only a refused open loses a line.
    EXPECT_EQ(arrived, kProcesses * kLinesEach - dropped);
}

TEST_F(LogSharingTest, RotationRaceKeepsWholeFiles) {
    std::string big;
    const std::string filler = "[2026/12/04 04:25:34] [Filler.cpp(1)] | " + std::string(4000, 'f') + "\r\n";
    while (big.size() <= log::kRotationThreshold) {
        big += filler;
    }
    sim.createDirectories(kLogFolderPath);
    sim.writeFile(kLogPath, big);

    for (const int code : writeFromChildren(sim)) {
        ASSERT_NE(code, kCrashed) << "an exception escaped the log writer";
        ASSERT_GE(code, 0) << "a child died of a signal";
    }
    // The virtual clock stands still, so every rotation falls in one second:
    // one backup name, each later rotation replacing the earlier backup.
    std::vector<std::string> names;
    for (const auto& file : std::filesystem::directory_iterator(sim.hostPath(kLogFolderPath))) {
        names.push_back(file.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names,
              (std::vector<std::string>{"BK_20261204_042534_TavrinDriverUtil.log", "TavrinDriverUtil.log"}));
    // Refused opens and replaced backups lose lines; a refused look at the
    // full file before its rename only skips that rotation.
    int arrived = 0;
    for (const auto& [child, lines] : linesByChild()) {
        EXPECT_TRUE(std::adjacent_find(lines.begin(), lines.end(), std::greater_equal<>()) == lines.end())
            << "child " << child << " out of order or repeated";
        arrived += static_cast<int>(lines.size());
    }
    EXPECT_GT(arrived, 0);
    EXPECT_LE(sim.readFile(kLogPath)->size(), log::kRotationThreshold);
}

} // namespace
} // namespace tdu::test
#endif
