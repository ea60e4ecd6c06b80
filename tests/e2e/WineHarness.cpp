#include "WineHarness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace tdu::e2e {
namespace {

std::string readHostFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + file.string());
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string fromEnv(const char* variable, const char* buildDefault) {
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0' ? value : buildDefault;
}

std::string join(const std::vector<std::string>& parts, const std::string& separator = " ") {
    std::string text;
    for (const auto& part : parts) {
        text += (text.empty() ? "" : separator) + part;
    }
    return text;
}

// "Z:\..." for a host path: Wine maps drive Z: to the host root.
std::string windowsPathOf(const fs::path& hostPath) {
    std::string windows = "Z:" + fs::absolute(hostPath).lexically_normal().string();
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return windows;
}

// What points Wine at a prefix, over the caller's environment; the server's socket goes under TMPDIR:
// into the machine's folder, gone with it.
std::vector<std::string> wineEnvironment(const fs::path& prefix, const std::string& dllOverrides) {
    return {"WINEPREFIX=" + prefix.string(), "WINEDEBUG=-all", "LC_ALL=C.UTF-8",
            "TMPDIR=" + prefix.parent_path().string(), "WINEDLLOVERRIDES=" + dllOverrides};
}

// One template per Wine version, made once under a lock by whichever test comes first. mscoree and
// mshtml are off while it is made: otherwise wineboot offers to install Mono and Gecko.
const fs::path& templatePrefix() {
    static fs::path prefix;
    static std::once_flag once;
    std::call_once(once, [] {
        const fs::path work = fromEnv("TDU_E2E_WORK", TDU_DEFAULT_WORK);
        fs::create_directories(work / "machines");
        const auto env = wineEnvironment(work / "template", "mscoree,mshtml=");
        std::string version = Process({"wine", "--version"}, env, work / "version").wait();
        std::replace_if(
            version.begin(), version.end(), [](char c) { return !std::isalnum(c); }, '_');
        prefix = work / ("template-" + version);
        const int lock = open((work / "template.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        const std::unique_ptr<const int, void (*)(const int*)> unlock(&lock,
                                                                      [](const int* fd) { close(*fd); });
        flock(lock, LOCK_EX);
        if (fs::exists(prefix / "system.reg")) {
            return;
        }
        const fs::path building = work / "template.building";
        fs::remove_all(building);
        const auto buildEnv = wineEnvironment(building, "mscoree,mshtml=");
        Process({"wine", "wineboot", "-i"}, buildEnv, work / "boot").wait();
        Process({"wineserver", "-w"}, buildEnv, work / "boot").wait();
        fs::rename(building, prefix);
    });
    return prefix;
}

// The help text is longer than a message holds: the log gets its first 1022 characters.
bool isCutHelp(const std::string& message) {
    const std::string tail = "\nCOMMAND TO Set Install Status:\n>TavrinDriverUtil.exe /setstatus <0/1> ";
    const auto at = message.rfind(tail.substr(0, 32));
    return message.size() == 1022 &&
           message.starts_with("\nTavrin Driver Utility Help \n\nINSTALL COMMAND:\n") &&
           at != std::string::npos && tail.starts_with(message.substr(at));
}

} // namespace

Process::Process(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                 fs::path io)
    : io_(std::move(io)), shown_(join(argv)) {
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const std::string out = io_.string() + ".out";
    const std::string err = io_.string() + ".err";
    pid_ = fork();
    if (pid_ == 0) { // a single-threaded parent: the child may change its environment before exec
        setpgid(0, 0);
        unsetenv("DISPLAY");
        for (const std::string& variable : environment) {
            putenv(const_cast<char*>(variable.c_str()));
        }
        dup2(open("/dev/null", O_RDONLY), 0);
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        closefrom(3);
        execvp(args[0], args.data());
        _exit(127);
    }
    if (pid_ < 0) {
        throw std::runtime_error("cannot start " + shown_ + ": " + std::strerror(errno));
    }
    setpgid(pid_, pid_); // also here, so that a kill before the child's own call reaches the group
}

Process::Process(Process&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), io_(std::move(other.io_)), shown_(std::move(other.shown_)) {}

Process::~Process() {
    if (pid_ > 0) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::string Process::wait(std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int raw = 0;
    while (waitpid(pid_, &raw, WNOHANG) != pid_) {
        if (std::chrono::steady_clock::now() >= deadline) {
            throw std::runtime_error(shown_ + " did not end within " + std::to_string(timeout.count()) +
                                     " s");
        }
        std::this_thread::sleep_for(5ms);
    }
    pid_ = -1;
    if (!WIFEXITED(raw) || WEXITSTATUS(raw) != 0) {
        throw std::runtime_error(shown_ + " failed: " + readHostFile(io_.string() + ".err"));
    }
    return readHostFile(io_.string() + ".out");
}

std::uint32_t Process::exitCode(std::chrono::seconds timeout) {
    wait(timeout); // tdlaunch ends with 0 once it has written the code
    const std::string result = readHostFile(io_.string() + ".result");
    if (result.empty() || !std::all_of(result.begin(), result.end(), ::isdigit)) {
        throw std::runtime_error("no exit code for " + shown_);
    }
    return static_cast<std::uint32_t>(std::stoul(result));
}

WineMachine::WineMachine() {
    const fs::path& templ = templatePrefix();
    std::string folder = (templ.parent_path() / "machines" / "m-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
        throw std::runtime_error("mkdtemp " + folder);
    }
    folder_ = folder;
    prefix_ = folder_ / "prefix";
    environment_ = wineEnvironment(prefix_, "");
    host({"cp", "-a", "--reflink=auto", templ.string(), prefix_.string()});
    // A server of its own that outlives each run; it ends 300 s after its last client at the latest.
    host({"wineserver", "-p300"});
}

WineMachine::~WineMachine() {
    try {
        host({"wineserver", "-k"});
    } catch (const std::exception& e) {
        std::cerr << "e2e: " << e.what() << '\n';
    }
    if (fromEnv("TDU_E2E_KEEP", "") != "1") {
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }
}

std::string WineMachine::host(const std::vector<std::string>& argv) {
    return Process(argv, environment_, folder_ / ("host" + std::to_string(++io_))).wait();
}

Process WineMachine::start(const std::vector<std::string>& args, const std::string& program) {
    const fs::path io = folder_ / ("run" + std::to_string(++io_));
    std::vector<std::string> argv{"wine", (toolsFolder() / "tdlaunch.exe").string(),
                                  windowsPathOf(io) + ".result",
                                  program.empty() ? windowsPathOf(programUnderTest()) : program};
    argv.insert(argv.end(), args.begin(), args.end());
    return {argv, environment_, io};
}

fs::path WineMachine::hostPath(std::string_view windowsPath) const {
    if (!windowsPath.starts_with("C:\\")) {
        throw std::invalid_argument("not a C: path: " + std::string(windowsPath));
    }
    std::string path(windowsPath.substr(3));
    std::replace(path.begin(), path.end(), '\\', '/');
    return prefix_ / "drive_c" / path;
}

std::string WineMachine::readFile(std::string_view windowsPath) const {
    return readHostFile(hostPath(windowsPath));
}

void WineMachine::writeFile(std::string_view windowsPath, std::string_view content) const {
    const fs::path file = hostPath(windowsPath);
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
}

std::vector<std::string> WineMachine::listDir(std::string_view windowsPath) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(hostPath(windowsPath))) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

void WineMachine::plant(const std::string& facts) {
    std::istringstream lines(expand(facts));
    for (std::string line; std::getline(lines >> std::ws, line);) {
        if (line.starts_with("dir ")) {
            fs::create_directories(hostPath(line.substr(4)));
        } else if (line.starts_with("file ")) {
            writeFile(line.substr(5), "x");
        } else if (line == "drivers") {
            fs::create_directories(hostPath(expand("$drivers")));
            fs::copy(TDU_SAMPLES_DIR, hostPath(expand("$drivers")), fs::copy_options::recursive);
        } else {
            throw std::invalid_argument("cannot plant: " + line);
        }
    }
}

// The registry facts are read in one process: a reg.exe per key would cost a Wine process start each.
void WineMachine::expect(const std::string& facts) {
    std::vector<std::string> lines;
    std::vector<std::string> reader{"wine", (toolsFolder() / "tdreg.exe").string()};
    std::istringstream in(expand(facts));
    for (std::string line; std::getline(in >> std::ws, line);) {
        lines.push_back(line);
        const std::string fact = line.substr(line.starts_with('!') ? 1 : 0);
        if (fact.starts_with("key ") || fact.find(" : ") != std::string::npos) {
            reader.push_back(fact.starts_with("key ") ? fact.substr(4) : fact.substr(0, fact.find(" : ")));
        }
    }
    std::string registry = reader.size() > 2 ? "\n" + host(reader) : "";
    std::erase(registry, '\r');
    for (const std::string& line : lines) {
        const bool absent = line.starts_with('!');
        const std::string fact = line.substr(absent ? 1 : 0);
        if (const auto value = fact.find(" : "); value != std::string::npos) {
            const std::string head = "\n" + fact.substr(0, fact.find(" = ", value) + 3);
            const auto at = registry.find(head);
            EXPECT_EQ(at == std::string::npos ? head.substr(1) + "-"
                                              : registry.substr(at + 1, registry.find('\n', at + 1) - at - 1),
                      fact);
        } else if (fact.starts_with("key ")) {
            EXPECT_TRUE(registry.find("\n" + line + "\n") != std::string::npos) << line;
        } else if (fact.starts_with("file ") || fact.starts_with("dir ")) {
            const fs::path path = hostPath(fact.substr(fact.find(' ') + 1));
            EXPECT_EQ(fact[0] == 'f' ? fs::is_regular_file(path) : fs::is_directory(path), !absent) << line;
        } else {
            throw std::invalid_argument("cannot check: " + line);
        }
    }
}

std::string expand(std::string text) {
    const std::pair<std::string, std::string> names[] = {
        {"$drivers", R"(C:\Program Files (x86)\Tavrin Secure\TavrinDrivers)"},
        {"$inf", R"(C:\windows\inf)"},
        {"$sys", R"(C:\windows\system32\drivers)"},
        {"$enum", R"(HKLM\System\CurrentControlSet\Enum\ROOT)"},
        {"$services", R"(HKLM\System\CurrentControlSet\Services)"},
        {"$product32", R"(HKLM\Software\Wow6432Node\TavrinSecure\TavrinDrivers)"},
        {"$product", R"(HKLM\Software\TavrinSecure\TavrinDrivers)"},
        {"$tools", windowsPathOf(toolsFolder())}};
    for (const auto& [name, value] : names) {
        for (auto at = text.find(name); at != std::string::npos; at = text.find(name, at + value.size())) {
            text.replace(at, name.size(), value);
        }
    }
    return text;
}

fs::path programUnderTest() {
    return fs::absolute(fromEnv("TDU_EXE", TDU_DEFAULT_EXE));
}

fs::path toolsFolder() {
    return fs::absolute(fromEnv("TDU_LAUNCHER", TDU_DEFAULT_LAUNCHER)).parent_path();
}

std::vector<std::string> records(std::string_view log) {
    static const std::string stamp = R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2})";
    static const std::regex started(R"(Started TavrinDriverUtil\.exe\(pid:\d+\) at: \[ )" + stamp + " \\]");
    static const std::regex head(R"(\[)" + stamp + R"(\] \[([^\]]+)\(\d+\)\] \| (.*))");
    static const std::map<std::string, std::string> tags{
        {"TavrinDriverUtil.cpp", "main"}, {"TDCmdParser.cpp", "parse"}, {"TDriverOperator.cpp", "op"},
        {"ServiceHandler.cpp", "svc"},    {"DifxHandler.cpp", "difx"},  {"CustomActionHandler.h", "ca"}};
    if (std::regex_search(log.begin(), log.end(), std::regex("(^|[^\r])\n|\r([^\n]|$)"))) {
        throw std::runtime_error("a lone CR or LF");
    }
    if (!log.empty() && !log.ends_with("\r\n")) {
        throw std::runtime_error("a log line without its CR LF at the end");
    }
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < log.size(); at = log.find("\r\n", at) + 2) {
        lines.emplace_back(log.substr(at, log.find("\r\n", at) - at));
    }
    const std::string stars(96, '*');
    std::vector<std::pair<std::string, std::string>> found; // unit, message
    std::smatch match;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i + 5 < lines.size() && (lines[i] + lines[i + 1] + lines[i + 2]).empty() &&
            lines[i + 3] == stars && std::regex_match(lines[i + 4], started) && lines[i + 5] == stars) {
            found.emplace_back("<banner>", "");
            i += 5;
        } else if (std::regex_match(lines[i], match, head)) {
            found.emplace_back(tags.contains(match[1]) ? tags.at(match[1]) : match[1].str(), match[2].str());
        } else if (!found.empty() && found.back().first != "<banner>") {
            found.back().second += "\n" + lines[i];
        } else {
            throw std::runtime_error("no log record at: " + lines[i]);
        }
    }
    std::vector<std::string> result;
    for (const auto& [unit, message] : found) {
        result.push_back(unit == "<banner>" ? unit
                         : isCutHelp(message)
                             ? unit + "| <help>"
                             : unit + "| " + std::regex_replace(message, std::regex("\n"), "⏎"));
    }
    return result;
}

std::vector<std::string> lastRun(std::string_view log) {
    const auto all = records(log);
    const auto banner = std::find(all.rbegin(), all.rend(), "<banner>");
    return {banner == all.rend() ? all.begin() : std::prev(banner.base()), all.end()};
}

::testing::AssertionResult logMatches(const std::vector<std::string>& actual, const std::string& block) {
    std::vector<std::string> expected;
    std::istringstream lines(block);
    for (std::string line; std::getline(lines >> std::ws, line);) {
        expected.push_back(line);
    }
    const bool inOrder = !expected.empty() && expected.front() == "...";
    auto next = actual.begin();
    for (auto line = expected.begin() + (inOrder ? 1 : 0); inOrder && line != expected.end(); ++line) {
        next = std::find(next, actual.end(), *line);
        if (next++ == actual.end()) {
            return ::testing::AssertionFailure() << "missing, or out of order: " << *line;
        }
    }
    return inOrder || actual == expected
               ? ::testing::AssertionSuccess()
               : ::testing::AssertionFailure() << "the run logged:\n    " << join(actual, "\n    ");
}

} // namespace tdu::e2e
