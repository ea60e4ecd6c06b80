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
#include <mutex>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace tdu::e2e {
namespace {

std::string fromEnv(const char* variable, const char* buildDefault) {
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0' ? value : buildDefault;
}

std::string join(const std::vector<std::string>& parts) {
    std::string text;
    for (const auto& part : parts) {
        text += (text.empty() ? "" : " ") + (part.find(' ') == std::string::npos ? part : "'" + part + "'");
    }
    return text;
}

bool sameNoCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return std::tolower(x) == std::tolower(y); });
}

// The caller's environment less what would point Wine elsewhere; a fixed locale keeps reg.exe's output
// the same on every host.
std::vector<std::string> wineEnvironment(const fs::path& prefix, const std::string& extra) {
    std::vector<std::string> result;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string_view text(*variable);
        if (!text.starts_with("WINE") && !text.starts_with("DISPLAY=") && !text.starts_with("LC_ALL=") &&
            !text.starts_with("TMPDIR=")) {
            result.emplace_back(text);
        }
    }
    // The server's socket goes under TMPDIR: into the machine's folder, gone with it.
    result.insert(result.end(), {"WINEPREFIX=" + prefix.string(), "WINEDEBUG=-all", "LC_ALL=C.UTF-8",
                                 "TMPDIR=" + prefix.parent_path().string(), extra});
    return result;
}

// Runs a host program to its end; its status, or an exception when it must succeed and did not.
int runToEnd(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
             const fs::path& io, bool mustSucceed = true, std::chrono::seconds timeout = 300s) {
    const auto status = HostProcess(argv, environment, io).wait(timeout);
    if (!status || (mustSucceed && *status != 0)) {
        throw std::runtime_error(join(argv) + " failed or timed out: " + readHostFile(io.string() + ".err"));
    }
    return *status;
}

// One template per Wine version, made once under a lock by whichever test comes first. mscoree and
// mshtml are off while it is made: otherwise wineboot offers to install Mono and Gecko.
const fs::path& templatePrefix() {
    static fs::path prefix;
    static std::once_flag once;
    std::call_once(once, [] {
        const fs::path work = fromEnv("TDU_E2E_WORK", TDU_DEFAULT_WORK);
        fs::create_directories(work / "machines");
        const auto env = wineEnvironment(work / "template", "WINEDLLOVERRIDES=mscoree,mshtml=");
        runToEnd({"wine", "--version"}, env, work / "version");
        std::string version = readHostFile(work / "version.out");
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
        const auto buildEnv = wineEnvironment(building, "WINEDLLOVERRIDES=mscoree,mshtml=");
        for (const std::vector<std::string>& step : {std::vector<std::string>{"wine", "wineboot", "-i"},
                                                     std::vector<std::string>{"wineserver", "-w"}}) {
            runToEnd(step, buildEnv, work / "boot");
        }
        fs::rename(building, prefix);
    });
    return prefix;
}

} // namespace

std::string readHostFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + file.string());
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

HostProcess::HostProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                         const fs::path& io) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const std::string out = io.string() + ".out";
    const std::string err = io.string() + ".err";
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    const auto pointers = [](const std::vector<std::string>& strings) {
        std::vector<char*> pointers;
        for (const auto& s : strings) {
            pointers.push_back(const_cast<char*>(s.c_str()));
        }
        pointers.push_back(nullptr);
        return pointers;
    };
    const auto args = pointers(argv);
    const auto envp = pointers(environment);
    const int rc = posix_spawnp(&pid_, args[0], &actions, &attributes, args.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + argv.front() + ": " + std::strerror(rc));
    }
}

HostProcess::HostProcess(HostProcess&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}

HostProcess::~HostProcess() {
    if (pid_ > 0) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::optional<int> HostProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int raw = 0;
        if (waitpid(pid_, &raw, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(5ms);
    }
}

BackgroundRun::BackgroundRun(HostProcess process, fs::path io, std::string shown)
    : process_(std::move(process)), io_(std::move(io)), shown_(std::move(shown)) {}

std::uint32_t BackgroundRun::wait(std::chrono::seconds timeout) {
    const auto status = process_.wait(timeout);
    if (!status) {
        throw std::runtime_error(shown_ + " did not end within " + std::to_string(timeout.count()) + " s");
    }
    // tdlaunch ends with 0 once it has written the code.
    const std::string result = *status == 0 ? readHostFile(io_.string() + ".result") : "";
    if (result.empty() || !std::all_of(result.begin(), result.end(), ::isdigit)) {
        throw std::runtime_error("no exit code for " + shown_ + ": " + readHostFile(io_.string() + ".err"));
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
    environment_ = wineEnvironment(prefix_, "WINEDLLOVERRIDES=");
    runToEnd({"cp", "-a", "--reflink=auto", templ.string(), prefix_.string()}, environment_,
             folder_ / "copy");
    // A server of its own that outlives each run; it ends 300 s after its last client at the latest.
    runToEnd({"wineserver", "-p300"}, environment_, folder_ / "server");
}

WineMachine::~WineMachine() {
    try {
        runToEnd({"wineserver", "-k"}, environment_, folder_ / "stop", false);
    } catch (const std::exception& e) {
        std::cerr << "e2e: " << e.what() << '\n';
    }
    if (fromEnv("TDU_E2E_KEEP", "") != "1") {
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }
}

std::string WineMachine::host(const std::vector<std::string>& argv) {
    const fs::path io = nextIo("host");
    runToEnd(argv, environment_, io);
    return readHostFile(io.string() + ".out");
}

BackgroundRun WineMachine::start(const std::vector<std::string>& args, const std::string& program) {
    const fs::path io = nextIo("run");
    std::vector<std::string> argv{"wine", launcherPath().string(), windowsPathOf(io.string() + ".result"),
                                  program.empty() ? windowsPathOf(programUnderTest()) : program};
    argv.insert(argv.end(), args.begin(), args.end());
    return BackgroundRun(HostProcess(argv, environment_, io), io, join({argv.begin() + 3, argv.end()}));
}

std::string WineMachine::wine(const std::vector<std::string>& command, int* status) {
    const fs::path io = nextIo("wine");
    std::vector<std::string> argv{"wine"};
    argv.insert(argv.end(), command.begin(), command.end());
    const int result = runToEnd(argv, environment_, io, status == nullptr, 60s);
    if (status != nullptr) {
        *status = result;
    }
    return readHostFile(io.string() + ".out") + readHostFile(io.string() + ".err");
}

fs::path WineMachine::hostPath(std::string_view windowsPath) const {
    if (windowsPath.size() < 2 || std::tolower(windowsPath[0]) != 'c' || windowsPath[1] != ':') {
        throw std::invalid_argument("not a C: path: " + std::string(windowsPath));
    }
    fs::path result = prefix_ / "drive_c";
    std::istringstream parts(std::string(windowsPath.substr(2)));
    for (std::string part; std::getline(parts, part, '\\');) {
        fs::path next = result / part;
        std::error_code ec;
        for (auto entry = fs::directory_iterator(result, ec); !fs::exists(next) && entry != fs::end(entry);
             ++entry) {
            next = sameNoCase(entry->path().filename().string(), part) ? entry->path() : next;
        }
        result = part.empty() ? result : next;
    }
    return result;
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

// reg.exe answers 1 for any failure; only "unable to find" means absent.
std::optional<std::string> WineMachine::regKey(const std::string& key) {
    int status = 0;
    std::string out = wine({"reg", "query", key, "/reg:64"}, &status);
    if (status != 0 && out.find("nable to find") == std::string::npos) {
        throw std::runtime_error("reg query " + key + ": " + out);
    }
    return status == 0 ? std::optional(out) : std::nullopt;
}

void WineMachine::plant(const std::string& facts) {
    std::istringstream lines(expand(facts));
    for (std::string line; std::getline(lines >> std::ws, line);) {
        const auto value = line.find(" : ");
        if (value != std::string::npos) {
            const auto eq = line.find(" = ", value);
            const std::string data = line.substr(eq + 3);
            wine({"reg", "add", line.substr(0, value), "/v", line.substr(value + 3, eq - value - 3), "/t",
                  data.substr(0, data.find(' ')), "/d", data.substr(data.find(' ') + 1), "/f", "/reg:64"});
        } else if (line.starts_with("key ")) {
            wine({"reg", "add", line.substr(4), "/f", "/reg:64"});
        } else if (line.starts_with("dir ")) {
            fs::create_directories(hostPath(line.substr(4)));
        } else if (const auto from = line.find(" < ");
                   line.starts_with("file ") && from != std::string::npos) {
            writeFile(line.substr(5, from - 5),
                      readHostFile(launcherPath().parent_path() / line.substr(from + 3)));
        } else if (line.starts_with("file ")) {
            writeFile(line.substr(5), "x");
        } else {
            throw std::invalid_argument("cannot plant: " + line);
        }
    }
}

void WineMachine::expect(const std::string& facts) {
    std::istringstream lines(expand(facts));
    for (std::string line; std::getline(lines >> std::ws, line);) {
        const bool absent = line.starts_with('!');
        const std::string fact = line.substr(absent ? 1 : 0);
        const auto value = fact.find(" : ");
        if (value != std::string::npos) {
            // A value's line: four blanks, the name, four blanks, the type, four blanks, the data.
            const auto eq = fact.find(" = ", value);
            const std::string head = "    " + fact.substr(value + 3, eq - value - 3) + "    ";
            std::istringstream listing(regKey(fact.substr(0, value)).value_or(""));
            std::string found = "-";
            for (std::string entry; std::getline(listing, entry);) {
                if (entry.ends_with('\r')) {
                    entry.pop_back();
                }
                if (sameNoCase(entry.substr(0, head.size()), head)) {
                    found = entry.substr(head.size());
                    const auto gap = found.find("    ");
                    found = gap == std::string::npos ? found : found.replace(gap, 4, " ");
                }
            }
            EXPECT_EQ(found, fact.substr(eq + 3)) << line;
        } else if (fact.starts_with("key ")) {
            EXPECT_EQ(regKey(fact.substr(4)).has_value(), !absent) << line;
        } else if (fact.starts_with("file ") || fact.starts_with("dir ")) {
            const fs::path path = hostPath(fact.substr(fact.find(' ') + 1));
            EXPECT_EQ(fact[0] == 'f' ? fs::is_regular_file(path) : fs::is_directory(path), !absent) << line;
        } else {
            throw std::invalid_argument("cannot check: " + line);
        }
    }
}

void WineMachine::stageDrivers() const {
    const fs::path drivers = hostPath(expand("$drivers"));
    fs::create_directories(drivers);
    fs::copy(TDU_SAMPLES_DIR, drivers, fs::copy_options::recursive);
}

std::string expand(std::string text) {
    static const std::pair<std::string, std::string> names[] = {
        {"$drivers", R"(C:\Program Files (x86)\Tavrin Secure\TavrinDrivers)"},
        {"$inf", R"(C:\windows\inf)"},
        {"$sys", R"(C:\windows\system32\drivers)"},
        {"$enum", R"(HKLM\System\CurrentControlSet\Enum\ROOT)"},
        {"$services", R"(HKLM\System\CurrentControlSet\Services)"},
        {"$product32", R"(HKLM\Software\Wow6432Node\TavrinSecure\TavrinDrivers)"},
        {"$product", R"(HKLM\Software\TavrinSecure\TavrinDrivers)"}};
    const std::string tools = windowsPathOf(launcherPath().parent_path());
    for (auto at = text.find("$tools"); at != std::string::npos;
         at = text.find("$tools", at + tools.size())) {
        text.replace(at, 6, tools);
    }
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

fs::path launcherPath() {
    return fs::absolute(fromEnv("TDU_LAUNCHER", TDU_DEFAULT_LAUNCHER));
}

std::string windowsPathOf(const fs::path& hostPath) {
    std::string windows = "Z:" + fs::absolute(hostPath).lexically_normal().string();
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return windows;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

} // namespace tdu::e2e
