#include "WineHarness.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

namespace tdu::e2e {
namespace {

std::string readHost(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + file.string());
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// "Z:\..." for a host path: Wine maps drive Z: to the host root.
std::string windowsPathOf(const fs::path& hostPath) {
    std::string windows = "Z:" + fs::absolute(hostPath).lexically_normal().string();
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return windows;
}

// A host program with what points Wine at a prefix over the caller's environment (the server's socket goes
// under TMPDIR: into the machine's folder, gone with it; mscoree and mshtml off, or wineboot offers to
// install Mono and Gecko), stdin from /dev/null and its output in <io>.out and <io>.err. timeout(1) runs it
// in a process group of its own and kills the group at the deadline: wine with what it started. Its standard
// output once it has ended with 0; it throws otherwise.
std::string hostRun(const std::vector<std::string>& argv, const fs::path& prefix, const std::string& io,
                    std::chrono::seconds timeout = 300s) {
    const auto quoted = [](const std::string& word) {
        std::string text = " '";
        for (const char c : word) {
            text += c == '\'' ? std::string(R"('\'')") : std::string(1, c);
        }
        return text + "'";
    };
    std::string command = "timeout -s KILL " + std::to_string(timeout.count()) +
                          " env -u DISPLAY WINEDEBUG=-all LC_ALL=C.UTF-8 WINEDLLOVERRIDES=mscoree,mshtml=" +
                          quoted("WINEPREFIX=" + prefix.string()) +
                          quoted("TMPDIR=" + prefix.parent_path().string());
    for (const std::string& word : argv) {
        command += quoted(word);
    }
    command += " </dev/null >" + quoted(io + ".out") + " 2>" + quoted(io + ".err");
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error(command + "\nfailed or timed out: " + readHost(io + ".err"));
    }
    return readHost(io + ".out");
}

// One template per Wine version, made once under a lock by whichever test comes first.
const fs::path& templatePrefix() {
    static const fs::path prefix = [] {
        const fs::path work = TDU_DEFAULT_WORK;
        fs::create_directories(work / "machines");
        std::string version = hostRun({"wine", "--version"}, work / "template", (work / "version").string());
        std::replace_if(
            version.begin(), version.end(), [](char c) { return std::isalnum(c) == 0; }, '_');
        const fs::path made = work / ("template-" + version);
        hostRun(
            {"flock", (work / "template.lock").string(), "sh", "-c",
             R"(test -e "$0/system.reg" || { rm -rf "$1" && wineboot -i && wineserver -w && mv "$1" "$0"; })",
             made.string(), (work / "template.building").string()},
            work / "template.building", (work / "boot").string());
        return made;
    }();
    return prefix;
}

} // namespace

WineMachine::WineMachine() {
    const fs::path& templ = templatePrefix();
    std::string folder = (templ.parent_path() / "machines" / "m-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
        throw std::runtime_error("mkdtemp " + folder);
    }
    folder_ = folder;
    prefix_ = folder_ / "prefix";
    host({"cp", "-a", "--reflink=auto", templ.string(), prefix_.string()});
    // A server of its own that outlives each run; it ends 300 s after its last client at the latest.
    host({"wineserver", "-p300"});
}

WineMachine::~WineMachine() {
    // The server's socket lies under the TMPDIR it was started with.
    (void)std::system(
        ("TMPDIR='" + folder_.string() + "' WINEPREFIX='" + prefix_.string() + "' wineserver -k").c_str());
    if (const char* keep = std::getenv("TDU_E2E_KEEP"); keep == nullptr || std::string_view(keep) != "1") {
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }
}

std::string WineMachine::host(const std::vector<std::string>& argv) {
    return hostRun(argv, prefix_, (folder_ / ("host" + std::to_string(++io_))).string());
}

std::uint32_t WineMachine::run(const std::vector<std::string>& args, const std::string& program,
                               std::chrono::seconds timeout) {
    const std::string io = (folder_ / ("run" + std::to_string(++io_))).string();
    std::vector<std::string> argv{"wine", (kToolsFolder / "tdlaunch.exe").string(),
                                  windowsPathOf(io + ".code"),
                                  program.empty() ? windowsPathOf(kProgramUnderTest) : program};
    argv.insert(argv.end(), args.begin(), args.end());
    hostRun(argv, prefix_, io, timeout); // tdlaunch ends with 0 once it has written the code
    return static_cast<std::uint32_t>(std::stoul(readHost(io + ".code")));
}

fs::path WineMachine::hostPath(std::string_view windowsPath) const {
    if (!windowsPath.starts_with("C:\\")) {
        throw std::invalid_argument("not a C: path: " + std::string(windowsPath));
    }
    std::string path(windowsPath.substr(3));
    std::replace(path.begin(), path.end(), '\\', '/');
    return prefix_ / "drive_c" / path;
}

std::string WineMachine::read(std::string_view windowsPath) const {
    return readHost(hostPath(windowsPath));
}

std::vector<std::string> WineMachine::list(std::string_view windowsPath) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(hostPath(windowsPath))) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The registry facts are read in one process: a reg.exe per key would cost a Wine process start each.
void WineMachine::expect(const std::string& facts, const char* file, int callerLine) {
    const ::testing::ScopedTrace checked(file, callerLine, "these facts");
    std::vector<std::string> keyFacts;
    std::vector<std::string> reader{"wine", (kToolsFolder / "tdlaunch.exe").string(), "/reg"};
    std::istringstream in(facts);
    for (std::string line; std::getline(in >> std::ws, line);) {
        if (const std::string fact = line.substr(line.starts_with('!') ? 1 : 0);
            fact.starts_with("file ") || fact.starts_with("dir ")) {
            const fs::path path = hostPath(fact.substr(fact.find(' ') + 1));
            EXPECT_EQ(fact[0] == 'f' ? fs::is_regular_file(path) : fs::is_directory(path), fact == line)
                << line;
        } else { // "[!]key K" or "K : V = ...": what the reader prints for K, or "K : V = " absent
            const auto value = line.find(" : ");
            reader.push_back(value != std::string::npos ? line.substr(0, value) : fact.substr(4));
            keyFacts.push_back(line);
        }
    }
    std::string registry = keyFacts.empty() ? "" : "\n" + host(reader);
    std::erase(registry, '\r');
    for (const std::string& line : keyFacts) {
        const bool none = line.ends_with(" = -");
        const std::string sought = "\n" + (none ? line.substr(0, line.size() - 1) : line + "\n");
        EXPECT_EQ(registry.find(sought) == std::string::npos, none) << line << "\nin:" << registry;
    }
}

std::vector<std::string> records(std::string_view log) {
    static const std::map<std::string, std::string> units{
        {"TavrinDriverUtil.cpp", "main"}, {"TDCmdParser.cpp", "parse"}, {"TDriverOperator.cpp", "op"},
        {"ServiceHandler.cpp", "svc"},    {"DifxHandler.cpp", "difx"},  {"CustomActionHandler.h", "ca"}};
    std::vector<std::string> found;
    for (const test::LogRecord& record : test::logRecords(log, true)) {
        const std::string unit = units.contains(record.source) ? units.at(record.source) : record.source;
        found.push_back(record.source.empty() ? "<banner>" : unit + "| " + record.message);
    }
    return found;
}

::testing::AssertionResult logMatches(const std::vector<std::string>& actual, const std::string& block) {
    std::vector<std::string> expected;
    std::istringstream lines(block);
    for (std::string line; std::getline(lines >> std::ws, line);) {
        expected.push_back(line);
    }
    const bool inOrder = !expected.empty() && expected.front() == "...";
    const auto problem =
        test::logProblem(actual, {expected.begin() + (inOrder ? 1 : 0), expected.end()}, !inOrder);
    return problem ? ::testing::AssertionFailure() << problem->second : ::testing::AssertionSuccess();
}

} // namespace tdu::e2e
