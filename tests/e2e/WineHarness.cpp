#include "WineHarness.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>

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

// A host program with what points Wine at a prefix over the caller's environment (the server's socket goes
// under TMPDIR: into the machine's folder, gone with it), stdin from /dev/null and its output in <io>.out
// and <io>.err. timeout(1) runs it in a process group of its own and kills the group at the deadline: wine
// with what it started. Its standard output once it has ended with 0; it throws otherwise.
std::string hostRun(const std::vector<std::string>& argv, const fs::path& prefix, const fs::path& io,
                    std::chrono::seconds timeout = 300s, const std::string& dllOverrides = "") {
    const auto quoted = [](const std::string& word) {
        return " '" + std::regex_replace(word, std::regex("'"), R"('\'')") + "'";
    };
    std::string command = "timeout -s KILL " + std::to_string(timeout.count()) +
                          " env -u DISPLAY WINEDEBUG=-all LC_ALL=C.UTF-8 WINEDLLOVERRIDES=" + dllOverrides +
                          quoted("WINEPREFIX=" + prefix.string()) +
                          quoted("TMPDIR=" + prefix.parent_path().string());
    for (const std::string& word : argv) {
        command += quoted(word);
    }
    command += " </dev/null >" + quoted(io.string() + ".out") + " 2>" + quoted(io.string() + ".err");
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error(join(argv) + " failed or took over " + std::to_string(timeout.count()) +
                                 " s: " + readHostFile(io.string() + ".err"));
    }
    return readHostFile(io.string() + ".out");
}

// One template per Wine version, made once under a lock by whichever test comes first. mscoree and
// mshtml are off while it is made: otherwise wineboot offers to install Mono and Gecko.
const fs::path& templatePrefix() {
    static const fs::path prefix = [] {
        const fs::path work = fromEnv("TDU_E2E_WORK", TDU_DEFAULT_WORK);
        fs::create_directories(work / "machines");
        std::string version = hostRun({"wine", "--version"}, work / "template", work / "version");
        std::replace_if(
            version.begin(), version.end(), [](char c) { return !std::isalnum(c); }, '_');
        const fs::path made = work / ("template-" + version);
        hostRun(
            {"flock", (work / "template.lock").string(), "sh", "-c",
             R"(test -e "$0/system.reg" || { rm -rf "$1" && wineboot -i && wineserver -w && mv "$1" "$0"; })",
             made.string(), (work / "template.building").string()},
            work / "template.building", work / "boot", 300s, "mscoree,mshtml=");
        return made;
    }();
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
    if (fromEnv("TDU_E2E_KEEP", "") != "1") {
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }
}

std::string WineMachine::host(const std::vector<std::string>& argv) {
    return hostRun(argv, prefix_, folder_ / ("host" + std::to_string(++io_)));
}

std::uint32_t WineMachine::run(const std::vector<std::string>& args, const std::string& program,
                               std::chrono::seconds timeout) {
    const fs::path io = folder_ / ("run" + std::to_string(++io_));
    std::vector<std::string> argv{"wine", (toolsFolder() / "tdlaunch.exe").string()};
    for (const std::string& name : unset_) {
        argv.insert(argv.end(), {"/unset", name});
    }
    if (!workingFolder_.empty()) {
        argv.insert(argv.end(), {"/cd", workingFolder_});
    }
    argv.insert(argv.end(), {windowsPathOf(io) + ".result",
                             program.empty() ? windowsPathOf(programUnderTest()) : program});
    argv.insert(argv.end(), args.begin(), args.end());
    hostRun(argv, prefix_, io, timeout); // tdlaunch ends with 0 once it has written the code
    const std::string result = readHostFile(io.string() + ".result");
    if (!std::regex_match(result, std::regex(R"(\d+)"))) {
        throw std::runtime_error("no exit code for " + join(argv));
    }
    return static_cast<std::uint32_t>(std::stoul(result));
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
        } else if (line == "drivers" || line.starts_with("drivers ")) {
            const fs::path drivers = hostPath(line == "drivers" ? expand("$drivers") : line.substr(8));
            fs::create_directories(drivers);
            fs::copy(TDU_SAMPLES_DIR, drivers, fs::copy_options::recursive);
        } else if (line.starts_with("unset ")) {
            std::istringstream names(line.substr(6));
            unset_.insert(unset_.end(), std::istream_iterator<std::string>(names), {});
        } else if (line.starts_with("cwd ")) {
            workingFolder_ = line.substr(4);
        } else {
            throw std::invalid_argument("cannot plant: " + line);
        }
    }
}

// The registry facts are read in one process: a reg.exe per key would cost a Wine process start each.
void WineMachine::expect(const std::string& facts) {
    std::vector<std::string> lines;
    std::vector<std::string> reader{"wine", (toolsFolder() / "tdlaunch.exe").string(), "/reg"};
    std::istringstream in(expand(facts));
    for (std::string line; std::getline(in >> std::ws, line);) {
        lines.push_back(line);
        const std::string fact = line.substr(line.starts_with('!') ? 1 : 0);
        if (fact.starts_with("key ") || fact.find(" : ") != std::string::npos) {
            reader.push_back(fact.starts_with("key ") ? fact.substr(4) : fact.substr(0, fact.find(" : ")));
        }
    }
    std::string registry = reader.size() > 3 ? "\n" + host(reader) : "";
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
        {"$components", R"(Microsoft\Windows\CurrentVersion\DIFxAPP\Components)"},
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
    if (std::regex_search(log.begin(), log.end(), std::regex("(^|[^\r])\n|\r([^\n]|$)|[^\n]$"))) {
        throw std::runtime_error("a lone CR or LF, or a last line without its CR LF");
    }
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < log.size(); at = log.find("\r\n", at) + 2) {
        lines.emplace_back(log.substr(at, log.find("\r\n", at) - at));
    }
    std::vector<std::pair<std::string, std::string>> found; // unit, message
    std::smatch match;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i + 5 < lines.size() && (lines[i] + lines[i + 1] + lines[i + 2]).empty() &&
            lines[i + 3] == std::string(96, '*') && std::regex_match(lines[i + 4], started) &&
            lines[i + 5] == lines[i + 3]) {
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
