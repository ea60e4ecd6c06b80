// Runs the Windows build of the utility under Wine for the end-to-end tests.
//
// One template prefix is made per work folder (wineboot is slow) and copied for every WineMachine, so each
// test starts from the same clean machine. Each machine keeps its own wineserver alive while it lives:
// services survive between runs and a run costs a fraction of a cold start. Programs run through the
// tdlaunch.exe helper, which reports the full 32-bit exit code that a Linux parent of wine cannot see.
//
// Environment:
//   TDU_EXE       the program under test (host path); default from the build
//   TDU_LAUNCHER  tdlaunch.exe (host path); default from the build
//   TDU_E2E_WORK  folder for the template prefix and the test machines; default from the build
//   TDU_E2E_KEEP  when set to 1, machines are left on disk for inspection
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace tdu::e2e {

inline constexpr std::chrono::seconds kDefaultRunTimeout{60};

// A Wine command did not finish in time; its process group has been killed.
class TimeoutError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A host process in a process group of its own, with stdin from /dev/null and its output in files, so that
// Wine's background processes never hold a pipe of ours open.
class HostProcess {
public:
    HostProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                const std::filesystem::path& stdoutFile, const std::filesystem::path& stderrFile);
    HostProcess(HostProcess&& other) noexcept;
    HostProcess& operator=(HostProcess&&) = delete;
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;
    ~HostProcess();

    // Exit status (128 + signal number when killed by a signal), or nothing when still running at the
    // deadline.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    void killGroup();

private:
    pid_t pid_ = -1;
};

// Exit status and output of one wine command.
struct WineResult {
    int status = 0; // the low 8 bits only: use WineMachine::runCommand for a full exit code
    std::string out;
    std::string err;
};

struct RegValue {
    std::string type; // as reg.exe names it: "REG_SZ", "REG_DWORD", ...
    std::string data; // as reg.exe prints it: text, or "0x1" for a DWORD
    bool operator==(const RegValue&) const = default;
};

enum class RegView { Native, Bits32 };

// A flock on a file, held for the object's lifetime. The descriptor is close-on-exec, so a
// daemon started meanwhile (a wineserver) never inherits the lock.
class FileLock {
public:
    enum class Mode { Exclusive, Shared, TryExclusive };
    FileLock(const std::filesystem::path& file, Mode mode);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

class WineMachine;

// A launched program whose exit code is collected later. Killed when dropped unfinished; it must not
// outlive its machine.
class BackgroundRun {
public:
    BackgroundRun(BackgroundRun&&) noexcept = default;
    BackgroundRun& operator=(BackgroundRun&&) = delete;

    // The program's full exit code; throws TimeoutError when it has not ended in time.
    std::uint32_t wait(std::chrono::seconds timeout = kDefaultRunTimeout);

private:
    friend class WineMachine;
    BackgroundRun(HostProcess process, std::filesystem::path resultFile, std::filesystem::path errFile,
                  std::string description);

    HostProcess process_;
    std::filesystem::path resultFile_;
    std::filesystem::path errFile_;
    std::string description_;
};

// A Wine machine of its own for one test: a fresh copy of the template prefix and a running wineserver,
// both gone when the object is destroyed.
class WineMachine {
public:
    WineMachine();
    ~WineMachine();
    WineMachine(const WineMachine&) = delete;
    WineMachine& operator=(const WineMachine&) = delete;

    // Runs the program under test with these arguments and returns its full 32-bit exit code.
    std::uint32_t run(const std::vector<std::string>& args,
                      std::chrono::seconds timeout = kDefaultRunTimeout);
    BackgroundRun start(const std::vector<std::string>& args);

    // Any Windows program: a Windows path, or a name that CreateProcessW finds (such as "msiexec.exe").
    std::uint32_t runCommand(const std::string& program, const std::vector<std::string>& args,
                             std::chrono::seconds timeout = kDefaultRunTimeout);
    BackgroundRun startCommand(const std::string& program, const std::vector<std::string>& args);

    // "wine <command...>" with the output captured through files.
    WineResult wine(const std::vector<std::string>& command,
                    std::chrono::seconds timeout = kDefaultRunTimeout);

    // Host location of a "C:\..." path. Components are matched without regard to case, as Wine does.
    std::filesystem::path hostPath(std::string_view windowsPath) const;
    bool exists(std::string_view windowsPath) const;
    std::string readFile(std::string_view windowsPath) const;
    void writeFile(std::string_view windowsPath, std::string_view content) const;
    void mkdirs(std::string_view windowsPath) const;
    std::vector<std::string> listDir(std::string_view windowsPath) const;

    std::optional<RegValue> regQueryValue(const std::string& key, const std::string& valueName,
                                          RegView view = RegView::Native);
    std::optional<std::string> regQuery(const std::string& key, const std::string& valueName,
                                        RegView view = RegView::Native);
    bool regKeyExists(const std::string& key, RegView view = RegView::Native);
    void regAdd(const std::string& key, const std::string& valueName, const std::string& type,
                const std::string& data, RegView view = RegView::Native);
    void regDelete(const std::string& key, const std::optional<std::string>& valueName,
                   RegView view = RegView::Native);

    const std::filesystem::path& prefix() const { return prefix_; }

private:
    // The machine's folder, holding a copy of the template prefix and the files of each run; locked while
    // in use so that a later test binary can tell a folder left behind by a killed one.
    class Folder {
    public:
        Folder();
        ~Folder();
        Folder(const Folder&) = delete;
        Folder& operator=(const Folder&) = delete;
        const std::filesystem::path& path() const { return path_; }

    private:
        std::filesystem::path path_;
        std::optional<FileLock> lock_;
    };

    // The machine's own wineserver: persistent, so that services live between runs.
    class Server {
    public:
        Server(const std::filesystem::path& prefix, const std::filesystem::path& io);
        ~Server();
        Server(const Server&) = delete;
        Server& operator=(const Server&) = delete;

    private:
        std::filesystem::path prefix_;
        std::filesystem::path io_;
        std::filesystem::path socketDir_;
    };

    std::filesystem::path nextIoFile(std::string_view stem);

    Folder folder_;
    std::filesystem::path prefix_;
    std::filesystem::path io_;
    std::vector<std::string> environment_;
    Server server_;
    unsigned ioCounter_ = 0;
};

// The program under test and the launcher, as host paths.
std::filesystem::path programUnderTest();
std::filesystem::path launcherPath();

// "Z:\..." for a host path: Wine maps drive Z: to the host root.
std::string windowsPathOf(const std::filesystem::path& hostPath);

// Polls until the condition holds or the timeout passes; returns the last answer.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

} // namespace tdu::e2e
