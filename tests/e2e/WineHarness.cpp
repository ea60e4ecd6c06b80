#include "WineHarness.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <set>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

// Build defaults; the environment variables of the same purpose override them.
#ifndef TDU_DEFAULT_EXE
#define TDU_DEFAULT_EXE ""
#endif
#ifndef TDU_DEFAULT_LAUNCHER
#define TDU_DEFAULT_LAUNCHER ""
#endif
#ifndef TDU_DEFAULT_WORK
#define TDU_DEFAULT_WORK ""
#endif

extern char** environ;

namespace tdu::e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Bumped whenever the way the template is made changes, so that older templates are rebuilt.
constexpr std::string_view kTemplateFormat = "tdu-e2e template 1\n";
constexpr std::string_view kTemplateStampFile = ".tdu-e2e-template";
constexpr std::string_view kKeepMarkerFile = "keep";
// wineboot -i takes 5 to 11 s; a slow or loaded machine gets ample room.
constexpr std::chrono::seconds kTemplateTimeout{300};
// cp -a of the ~700 MB template, wineserver start and stop.
constexpr std::chrono::seconds kHostToolTimeout{120};
// A wineserver whose test binary was killed shuts down after this long without a process; a live test
// never leaves its machine idle for that long.
constexpr int kServerIdleSeconds = 300;
constexpr auto kLongestPollPause = 10ms;

std::string join(const std::vector<std::string>& parts) {
    std::string text;
    for (const auto& part : parts) {
        if (!text.empty()) {
            text += ' ';
        }
        text += part.find(' ') == std::string::npos ? part : "'" + part + "'";
    }
    return text;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

bool containsNoCase(std::string_view text, std::string_view word) {
    return std::search(text.begin(), text.end(), word.begin(), word.end(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           }) != text.end();
}

std::string readAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + file.string());
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string readIfPresent(const fs::path& file) {
    std::error_code ec;
    return fs::exists(file, ec) ? readAll(file) : std::string{};
}

void writeAll(const fs::path& file, std::string_view content) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    if (!out) {
        throw std::runtime_error("cannot write " + file.string());
    }
}

std::string fromEnvOrBuild(const char* variable, const char* buildDefault) {
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0' ? value : buildDefault;
}

fs::path workDir() {
    std::string dir = fromEnvOrBuild("TDU_E2E_WORK", TDU_DEFAULT_WORK);
    if (dir.empty()) {
        dir = "/tmp/tdu-e2e-" + std::to_string(getuid());
    }
    fs::create_directories(dir);
    return fs::absolute(dir);
}

// The caller's environment minus everything that would point Wine at another prefix or a display, plus
// the given NAME=value entries.
std::vector<std::string> environmentWith(const std::vector<std::string>& entries) {
    std::set<std::string, std::less<>> replaced{"WINEPREFIX", "WINEDEBUG",       "WINEDLLOVERRIDES",
                                                "WINEARCH",   "WINESERVER",      "WINELOADER",
                                                "DISPLAY",    "WAYLAND_DISPLAY", "LC_ALL"};
    for (const auto& entry : entries) {
        replaced.insert(entry.substr(0, entry.find('=')));
    }
    std::vector<std::string> result;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string_view text(*variable);
        if (replaced.find(text.substr(0, text.find('='))) == replaced.end()) {
            result.emplace_back(text);
        }
    }
    result.insert(result.end(), entries.begin(), entries.end());
    return result;
}

// A fixed locale keeps reg.exe's messages and the prefix's code page the same on every host.
std::vector<std::string> wineEnvironment(const fs::path& prefix, std::vector<std::string> extra = {}) {
    extra.push_back("WINEPREFIX=" + prefix.string());
    extra.push_back("WINEDEBUG=-all");
    extra.push_back("LC_ALL=C.UTF-8");
    return environmentWith(extra);
}

int runToEnd(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
             const fs::path& out, const fs::path& err, std::chrono::seconds timeout) {
    HostProcess process(argv, environment, out, err);
    const auto status = process.wait(timeout);
    if (!status) {
        process.killGroup();
        throw TimeoutError(join(argv) + " did not end within " + std::to_string(timeout.count()) + " s");
    }
    return *status;
}

void requireSuccess(int status, const std::vector<std::string>& argv, const fs::path& err) {
    if (status != 0) {
        throw std::runtime_error(join(argv) + " failed with status " + std::to_string(status) + ": " +
                                 readIfPresent(err));
    }
}

// Where this prefix's wineserver keeps its socket: Debian's server records a private folder under
// $TMPDIR in <prefix>/wineserver; upstream Wine uses /tmp/.wine-<uid>. Only the lock file stays behind
// when the server ends.
fs::path serverSocketDir(const fs::path& prefix) {
    struct stat info {};
    if (stat(prefix.c_str(), &info) != 0) {
        return {};
    }
    char name[64];
    std::snprintf(name, sizeof(name), "server-%llx-%llx", static_cast<unsigned long long>(info.st_dev),
                  static_cast<unsigned long long>(info.st_ino));
    std::string recorded = readIfPresent(prefix / "wineserver");
    recorded.erase(
        std::remove_if(recorded.begin(), recorded.end(), [](unsigned char c) { return std::isspace(c); }),
        recorded.end());
    if (recorded.empty()) {
        return fs::path("/tmp") / (".wine-" + std::to_string(getuid())) / name;
    }
    const char* tmp = std::getenv("TMPDIR");
    return fs::path(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") / recorded / name;
}

bool isRunning(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("State:", 0) == 0) {
            return line.find('Z') == std::string::npos;
        }
    }
    return false;
}

// Every process of a machine, its wineserver included, carries the machine's WINEPREFIX: killing them
// outright takes milliseconds, where "wineserver -k" waits most of a second for a graceful end.
void killMachineProcesses(const fs::path& prefix) {
    const std::string marker = "WINEPREFIX=" + prefix.string();
    std::vector<pid_t> killed;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() ||
            !std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::isdigit(c); })) {
            continue;
        }
        std::ifstream environment(entry.path() / "environ", std::ios::binary);
        std::string variable;
        while (std::getline(environment, variable, '\0')) {
            if (variable == marker) {
                const auto pid = static_cast<pid_t>(std::stol(name));
                if (pid != getpid() && kill(pid, SIGKILL) == 0) {
                    killed.push_back(pid);
                }
                break;
            }
        }
    }
    waitUntil([&] { return std::none_of(killed.begin(), killed.end(), isRunning); }, kHostToolTimeout);
}

// After the kill, "wineserver -k" ends whatever escaped it and -w returns once no server is left, so
// nothing writes into the prefix any more.
void stopServer(const fs::path& prefix, const fs::path& io) {
    killMachineProcesses(prefix);
    const auto environment = wineEnvironment(prefix);
    runToEnd({"wineserver", "-k"}, environment, io / "wineserver-stop.out", io / "wineserver-stop.err",
             kHostToolTimeout);
    runToEnd({"wineserver", "-w"}, environment, io / "wineserver-wait.out", io / "wineserver-wait.err",
             kHostToolTimeout);
}

std::string templateStamp(const fs::path& work) {
    const std::vector<std::string> argv{"wine", "--version"};
    const auto out = work / "wine-version.out";
    const auto err = work / "wine-version.err";
    requireSuccess(runToEnd(argv, environmentWith({"WINEDEBUG=-all"}), out, err, kHostToolTimeout), argv,
                   err);
    return std::string(kTemplateFormat) + readAll(out);
}

// Builds the template prefix unless a valid one for this Wine is already there. mscoree and mshtml are
// disabled while it is made: otherwise wineboot offers to install Mono and Gecko.
fs::path ensureTemplate(const fs::path& work) {
    const fs::path ready = work / "template";
    const FileLock lock(work / "template.lock", FileLock::Mode::Exclusive);
    const std::string stamp = templateStamp(work);
    if (readIfPresent(ready / kTemplateStampFile) == stamp) {
        return ready;
    }
    const fs::path building = work / "template.building";
    fs::remove_all(building);
    fs::remove_all(ready);
    const auto environment = wineEnvironment(building, {"WINEDLLOVERRIDES=mscoree,mshtml="});
    const std::vector<std::string> boot{"wine", "wineboot", "-i"};
    requireSuccess(
        runToEnd(boot, environment, work / "wineboot.out", work / "wineboot.err", kTemplateTimeout), boot,
        work / "wineboot.err");
    // The prefix is only complete once its server has written the registry and gone.
    const std::vector<std::string> wait{"wineserver", "-w"};
    requireSuccess(
        runToEnd(wait, environment, work / "wineserver-w.out", work / "wineserver-w.err", kHostToolTimeout),
        wait, work / "wineserver-w.err");
    if (!fs::exists(building / "system.reg") ||
        !fs::is_directory(building / "drive_c" / "users" / "Public")) {
        throw std::runtime_error("wineboot left an incomplete prefix in " + building.string());
    }
    std::error_code ec;
    fs::remove_all(serverSocketDir(building), ec);
    writeAll(building / kTemplateStampFile, stamp);
    fs::rename(building, ready);
    return ready;
}

// Removes machine folders whose test binary died without cleaning up (their lock is free).
void sweepAbandonedMachines(const fs::path& machines) {
    const FileLock guard(machines.parent_path() / "machines.lock", FileLock::Mode::Exclusive);
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(machines, ec)) {
        if (!entry.is_directory() || fs::exists(entry.path() / kKeepMarkerFile)) {
            continue;
        }
        const FileLock probe(entry.path() / "lock", FileLock::Mode::TryExclusive);
        if (!probe.held()) {
            continue;
        }
        try {
            if (fs::exists(entry.path() / "prefix")) {
                stopServer(entry.path() / "prefix", entry.path() / "io");
            }
        } catch (const std::exception& e) {
            std::cerr << "e2e: could not stop the server of " << entry.path() << ": " << e.what() << '\n';
        }
        fs::remove_all(entry.path(), ec);
    }
}

const fs::path& templatePrefix() {
    static std::once_flag once;
    static fs::path prefix;
    std::call_once(once, [] {
        const fs::path work = workDir();
        fs::create_directories(work / "machines");
        prefix = ensureTemplate(work);
        sweepAbandonedMachines(work / "machines");
    });
    return prefix;
}

int decodeStatus(int raw) {
    if (WIFEXITED(raw)) {
        return WEXITSTATUS(raw);
    }
    return WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : raw;
}

class SpawnActions {
public:
    SpawnActions() { posix_spawn_file_actions_init(&actions_); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
public:
    SpawnAttributes() { posix_spawnattr_init(&attributes_); }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    posix_spawnattr_t* get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

std::vector<char*> pointersTo(const std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (const auto& s : strings) {
        pointers.push_back(const_cast<char*>(s.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

// "C:\a\b" or "c:/a/b" to its components; only drive C: is part of a prefix.
std::vector<std::string> driveCComponents(std::string_view windowsPath) {
    if (windowsPath.size() < 2 || (windowsPath[0] != 'C' && windowsPath[0] != 'c') || windowsPath[1] != ':') {
        throw std::invalid_argument("not a C: path: " + std::string(windowsPath));
    }
    std::vector<std::string> components;
    std::string current;
    for (const char c : windowsPath.substr(2)) {
        if (c == '\\' || c == '/') {
            if (!current.empty()) {
                components.push_back(std::move(current));
            }
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) {
        components.push_back(std::move(current));
    }
    return components;
}

} // namespace

FileLock::FileLock(const fs::path& file, Mode mode) {
    fd_ = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        throw std::system_error(errno, std::generic_category(), "open " + file.string());
    }
    const int operation = mode == Mode::Shared      ? LOCK_SH
                          : mode == Mode::Exclusive ? LOCK_EX
                                                    : LOCK_EX | LOCK_NB;
    int rc = 0;
    do {
        rc = flock(fd_, operation);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int error = errno;
        close(fd_);
        fd_ = -1;
        if (mode != Mode::TryExclusive || error != EWOULDBLOCK) {
            throw std::system_error(error, std::generic_category(), "flock " + file.string());
        }
    }
}

FileLock::~FileLock() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

HostProcess::HostProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                         const fs::path& stdoutFile, const fs::path& stderrFile) {
    SpawnActions actions;
    posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, stdoutFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, stderrFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);

    // A group of its own lets a timeout kill the launcher together with the program it started.
    SpawnAttributes attributes;
    sigset_t noSignals;
    sigemptyset(&noSignals);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) {
        sigaddset(&defaults, signal);
    }
    posix_spawnattr_setflags(attributes.get(),
                             POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(attributes.get(), 0);
    posix_spawnattr_setsigmask(attributes.get(), &noSignals);
    posix_spawnattr_setsigdefault(attributes.get(), &defaults);

    auto args = pointersTo(argv);
    auto envp = pointersTo(environment);
    const int rc = posix_spawnp(&pid_, args[0], actions.get(), attributes.get(), args.data(), envp.data());
    if (rc != 0) {
        pid_ = -1;
        throw std::system_error(rc, std::generic_category(), "posix_spawnp " + argv.front());
    }
}

HostProcess::HostProcess(HostProcess&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}

HostProcess::~HostProcess() {
    if (pid_ > 0) {
        killGroup();
    }
}

std::optional<int> HostProcess::wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) {
        throw std::logic_error("HostProcess::wait on a process already collected");
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto pause = std::chrono::milliseconds{1};
    for (;;) {
        int raw = 0;
        const pid_t done = waitpid(pid_, &raw, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            return decodeStatus(raw);
        }
        if (done < 0 && errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "waitpid");
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::milliseconds{kLongestPollPause});
    }
}

void HostProcess::killGroup() {
    if (pid_ <= 0) {
        return;
    }
    kill(-pid_, SIGKILL);
    int raw = 0;
    while (waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

BackgroundRun::BackgroundRun(HostProcess process, fs::path resultFile, fs::path errFile,
                             std::string description)
    : process_(std::move(process)), resultFile_(std::move(resultFile)), errFile_(std::move(errFile)),
      description_(std::move(description)) {}

std::uint32_t BackgroundRun::wait(std::chrono::seconds timeout) {
    const auto status = process_.wait(timeout);
    if (!status) {
        process_.killGroup();
        throw TimeoutError(description_ + " did not end within " + std::to_string(timeout.count()) + " s");
    }
    const std::string result = readIfPresent(resultFile_);
    if (*status != 0) {
        throw std::runtime_error("tdlaunch failed (status " + std::to_string(*status) + ") for " +
                                 description_ + ": " + result + " " + readIfPresent(errFile_));
    }
    std::uint32_t code = 0;
    const auto [end, error] = std::from_chars(result.data(), result.data() + result.size(), code);
    if (error != std::errc{} || end == result.data() || end != result.data() + result.size()) {
        throw std::runtime_error("tdlaunch wrote no exit code for " + description_ + ": '" + result + "'");
    }
    return code;
}

WineMachine::Folder::Folder() {
    const fs::path& templ = templatePrefix();
    const fs::path work = workDir();
    {
        // Under the sweep's lock: a sweep never sees this folder before it is locked.
        const FileLock guard(work / "machines.lock", FileLock::Mode::Exclusive);
        std::string pattern = (work / "machines" / "m-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
        }
        path_ = pattern;
        lock_.emplace(path_ / "lock", FileLock::Mode::TryExclusive);
    }
    try {
        fs::create_directory(path_ / "io");
        const FileLock sharing(work / "template.lock", FileLock::Mode::Shared);
        const std::vector<std::string> copy{"cp", "-a", "--reflink=auto", templ.string(),
                                            (path_ / "prefix").string()};
        const auto err = path_ / "io" / "cp.err";
        requireSuccess(runToEnd(copy, environmentWith({}), path_ / "io" / "cp.out", err, kHostToolTimeout),
                       copy, err);
    } catch (...) {
        std::error_code ec;
        fs::remove_all(path_, ec);
        throw;
    }
}

WineMachine::Folder::~Folder() {
    const char* keep = std::getenv("TDU_E2E_KEEP");
    std::error_code ec;
    if (keep != nullptr && std::string_view(keep) == "1") {
        // The marker keeps the folder out of later sweeps.
        std::ofstream(path_ / kKeepMarkerFile).close();
        std::cerr << "e2e: machine kept in " << path_ << '\n';
        return;
    }
    fs::remove_all(path_, ec);
    if (ec) {
        std::cerr << "e2e: could not remove " << path_ << ": " << ec.message() << '\n';
    }
}

WineMachine::Server::Server(const fs::path& prefix, const fs::path& io) : prefix_(prefix), io_(io) {
    const std::vector<std::string> start{"wineserver", "-p" + std::to_string(kServerIdleSeconds)};
    requireSuccess(runToEnd(start, wineEnvironment(prefix_), io_ / "wineserver.out", io_ / "wineserver.err",
                            kHostToolTimeout),
                   start, io_ / "wineserver.err");
    socketDir_ = serverSocketDir(prefix_);
}

WineMachine::Server::~Server() {
    try {
        stopServer(prefix_, io_);
        std::error_code ec;
        if (!socketDir_.empty()) {
            fs::remove_all(socketDir_, ec);
        }
    } catch (const std::exception& e) {
        std::cerr << "e2e: stopping the wineserver of " << prefix_ << " failed: " << e.what() << '\n';
    }
}

WineMachine::WineMachine()
    : prefix_(folder_.path() / "prefix"), io_(folder_.path() / "io"), environment_(wineEnvironment(prefix_)),
      server_(prefix_, io_) {}

WineMachine::~WineMachine() = default;

fs::path WineMachine::nextIoFile(std::string_view stem) {
    return io_ / (std::string(stem) + "-" + std::to_string(++ioCounter_));
}

std::uint32_t WineMachine::run(const std::vector<std::string>& args, std::chrono::seconds timeout) {
    return start(args).wait(timeout);
}

BackgroundRun WineMachine::start(const std::vector<std::string>& args) {
    return startCommand(windowsPathOf(programUnderTest()), args);
}

std::uint32_t WineMachine::runCommand(const std::string& program, const std::vector<std::string>& args,
                                      std::chrono::seconds timeout) {
    return startCommand(program, args).wait(timeout);
}

BackgroundRun WineMachine::startCommand(const std::string& program, const std::vector<std::string>& args) {
    const fs::path base = nextIoFile("run");
    const fs::path result = base.string() + ".result";
    const fs::path err = base.string() + ".err";
    std::vector<std::string> argv{"wine", launcherPath().string(), windowsPathOf(result), program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> shown{program};
    shown.insert(shown.end(), args.begin(), args.end());
    return BackgroundRun(HostProcess(argv, environment_, base.string() + ".out", err), result, err,
                         join(shown));
}

WineResult WineMachine::wine(const std::vector<std::string>& command, std::chrono::seconds timeout) {
    const fs::path base = nextIoFile("wine");
    const fs::path out = base.string() + ".out";
    const fs::path err = base.string() + ".err";
    std::vector<std::string> argv{"wine"};
    argv.insert(argv.end(), command.begin(), command.end());
    const int status = runToEnd(argv, environment_, out, err, timeout);
    return {status, readAll(out), readAll(err)};
}

fs::path WineMachine::hostPath(std::string_view windowsPath) const {
    fs::path result = prefix_ / "drive_c";
    for (const auto& component : driveCComponents(windowsPath)) {
        fs::path next = result / component;
        std::error_code ec;
        if (!fs::exists(next, ec) && fs::is_directory(result, ec)) {
            for (const auto& entry : fs::directory_iterator(result, ec)) {
                if (equalsNoCase(entry.path().filename().string(), component)) {
                    next = entry.path();
                    break;
                }
            }
        }
        result = std::move(next);
    }
    return result;
}

bool WineMachine::exists(std::string_view windowsPath) const {
    return fs::exists(hostPath(windowsPath));
}

std::string WineMachine::readFile(std::string_view windowsPath) const {
    return readAll(hostPath(windowsPath));
}

void WineMachine::writeFile(std::string_view windowsPath, std::string_view content) const {
    writeAll(hostPath(windowsPath), content);
}

void WineMachine::mkdirs(std::string_view windowsPath) const {
    fs::create_directories(hostPath(windowsPath));
}

std::vector<std::string> WineMachine::listDir(std::string_view windowsPath) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(hostPath(windowsPath))) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

std::vector<std::string> regArgs(std::string verb, const std::string& key, RegView view) {
    return {"reg", std::move(verb), key, view == RegView::Bits32 ? "/reg:32" : "/reg:64"};
}

// reg.exe answers 1 for anything that fails; only "unable to find" means the key or value is absent.
bool regReportsAbsent(const WineResult& result) {
    return result.status == 1 &&
           (containsNoCase(result.out, "unable to find") || containsNoCase(result.err, "unable to find"));
}

void requireRegSuccess(const WineResult& result, const std::vector<std::string>& args) {
    if (result.status != 0) {
        throw std::runtime_error(join(args) + " failed with status " + std::to_string(result.status) + ": " +
                                 result.out + result.err);
    }
}

// A value line of "reg query": four blanks, the name, four blanks, the type, four blanks, the data.
std::optional<RegValue> parseRegValue(const std::string& output, const std::string& valueName) {
    constexpr std::string_view gap = "    ";
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.rfind(gap, 0) != 0) {
            continue;
        }
        const std::string rest = line.substr(gap.size());
        const auto typeAt = rest.find(std::string(gap) + "REG_");
        if (typeAt == std::string::npos) {
            continue;
        }
        const std::string name = rest.substr(0, typeAt);
        if (!(valueName.empty() ? name == "(Default)" : equalsNoCase(name, valueName))) {
            continue;
        }
        const std::string typeAndData = rest.substr(typeAt + gap.size());
        const auto dataAt = typeAndData.find(gap);
        if (dataAt == std::string::npos) {
            return RegValue{typeAndData, ""};
        }
        return RegValue{typeAndData.substr(0, dataAt), typeAndData.substr(dataAt + gap.size())};
    }
    return std::nullopt;
}

} // namespace

std::optional<RegValue> WineMachine::regQueryValue(const std::string& key, const std::string& valueName,
                                                   RegView view) {
    auto args = regArgs("query", key, view);
    if (valueName.empty()) {
        args.emplace_back("/ve");
    } else {
        args.insert(args.end(), {"/v", valueName});
    }
    const WineResult result = wine(args);
    if (regReportsAbsent(result)) {
        return std::nullopt;
    }
    requireRegSuccess(result, args);
    auto value = parseRegValue(result.out, valueName);
    if (!value) {
        throw std::runtime_error("no value line in the output of " + join(args) + ": " + result.out);
    }
    return value;
}

std::optional<std::string> WineMachine::regQuery(const std::string& key, const std::string& valueName,
                                                 RegView view) {
    auto value = regQueryValue(key, valueName, view);
    return value ? std::optional<std::string>(std::move(value->data)) : std::nullopt;
}

bool WineMachine::regKeyExists(const std::string& key, RegView view) {
    const auto args = regArgs("query", key, view);
    const WineResult result = wine(args);
    if (regReportsAbsent(result)) {
        return false;
    }
    requireRegSuccess(result, args);
    return true;
}

void WineMachine::regAdd(const std::string& key, const std::string& valueName, const std::string& type,
                         const std::string& data, RegView view) {
    auto args = regArgs("add", key, view);
    if (valueName.empty()) {
        args.emplace_back("/ve");
    } else {
        args.insert(args.end(), {"/v", valueName});
    }
    args.insert(args.end(), {"/t", type, "/d", data, "/f"});
    requireRegSuccess(wine(args), args);
}

void WineMachine::regDelete(const std::string& key, const std::optional<std::string>& valueName,
                            RegView view) {
    auto args = regArgs("delete", key, view);
    if (valueName) {
        args.insert(args.end(), {"/v", *valueName});
    }
    args.emplace_back("/f");
    requireRegSuccess(wine(args), args);
}

fs::path programUnderTest() {
    const fs::path exe = fromEnvOrBuild("TDU_EXE", TDU_DEFAULT_EXE);
    if (exe.empty() || !fs::is_regular_file(exe)) {
        throw std::runtime_error("program under test not found ('" + exe.string() +
                                 "'): set TDU_EXE or configure TDU_WINDOWS_EXE");
    }
    return fs::absolute(exe);
}

fs::path launcherPath() {
    const fs::path launcher = fromEnvOrBuild("TDU_LAUNCHER", TDU_DEFAULT_LAUNCHER);
    if (launcher.empty() || !fs::is_regular_file(launcher)) {
        throw std::runtime_error("tdlaunch.exe not found ('" + launcher.string() +
                                 "'): set TDU_LAUNCHER or configure TDU_LAUNCHER_EXE");
    }
    return fs::absolute(launcher);
}

std::string windowsPathOf(const fs::path& hostPath) {
    const std::string text = fs::absolute(hostPath).lexically_normal().string();
    if (text.find_first_of("\\:*?\"<>|") != std::string::npos) {
        throw std::invalid_argument("host path has no faithful Windows form: " + text);
    }
    std::string windows = "Z:" + text;
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return windows;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return condition();
        }
        std::this_thread::sleep_for(kLongestPollPause);
    }
    return true;
}

} // namespace tdu::e2e
