// Runs the Windows build under Wine for the end-to-end tests. Each WineMachine is a copy of one template
// prefix (wineboot is slow) with a wineserver of its own, so services live between runs. Programs run
// through tdlaunch.exe, which reports the full 32-bit exit code a Linux parent of wine cannot see.
// TDU_EXE, TDU_LAUNCHER and TDU_E2E_WORK override the build's paths; TDU_E2E_KEEP=1 keeps the machines.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace tdu::e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A host process in a group of its own (a timeout kills wine with what it started), stdin from
// /dev/null and its output in <io>.out and <io>.err; killed when dropped unfinished.
class HostProcess {
public:
    HostProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                const fs::path& io);
    HostProcess(HostProcess&& other) noexcept;
    HostProcess& operator=(HostProcess&&) = delete;
    ~HostProcess();
    // The exit status, or nothing when still running at the deadline.
    std::optional<int> wait(std::chrono::milliseconds timeout);

private:
    pid_t pid_ = -1;
};

std::string readHostFile(const fs::path& file);

// A launched Windows program; its full exit code later. It must not outlive its machine.
class BackgroundRun {
public:
    std::uint32_t wait(std::chrono::seconds timeout = 60s);

private:
    friend class WineMachine;
    BackgroundRun(HostProcess process, fs::path io, std::string shown);
    HostProcess process_;
    fs::path io_;
    std::string shown_;
};

class WineMachine {
public:
    WineMachine();
    ~WineMachine();
    WineMachine(const WineMachine&) = delete;
    WineMachine& operator=(const WineMachine&) = delete;

    // The program under test, or any Windows program (a Windows path, or a name CreateProcessW finds,
    // such as "msiexec.exe"), with these arguments: its full exit code.
    std::uint32_t run(const std::vector<std::string>& args, const std::string& program = "",
                      std::chrono::seconds timeout = 60s) {
        return start(args, program).wait(timeout);
    }
    BackgroundRun start(const std::vector<std::string>& args, const std::string& program = "");

    // Host location of a "C:\..." path, its components matched without regard to case as Wine does.
    fs::path hostPath(std::string_view windowsPath) const;
    bool exists(std::string_view windowsPath) const { return fs::exists(hostPath(windowsPath)); }
    std::string readFile(std::string_view windowsPath) const { return readHostFile(hostPath(windowsPath)); }
    void writeFile(std::string_view windowsPath, std::string_view content) const;
    std::vector<std::string> listDir(std::string_view windowsPath) const;

    // The machine views of the scenarios, one fact a line (see expand() for the $names):
    //   file P, dir P, key K, K : V = TYPE data      present (planted by plant(), checked by expect())
    //   !file P, !key K, K : V = -                   absent
    void plant(const std::string& facts);
    void expect(const std::string& facts);
    // A host program (wixl) run to its end: its standard output; it throws on failure.
    std::string host(const std::vector<std::string>& argv);
    // The sample driver packages where the installer puts them.
    void stageDrivers() const;

    const fs::path& folder() const { return folder_; }

private:
    std::string wine(const std::vector<std::string>& command, int* status = nullptr);
    // reg.exe's listing of a key's values, or nothing when the key is absent.
    std::optional<std::string> regKey(const std::string& key);
    fs::path nextIo(std::string_view stem) { return folder_ / (std::string(stem) + std::to_string(++io_)); }

    fs::path folder_;
    fs::path prefix_;
    std::vector<std::string> environment_;
    unsigned io_ = 0;
};

// The shorthands of scenario rows: $drivers, $inf, $sys, $enum, $services, $product, $product32.
std::string expand(std::string text);
fs::path programUnderTest();
fs::path launcherPath();
// "Z:\..." for a host path: Wine maps drive Z: to the host root.
std::string windowsPathOf(const fs::path& hostPath);
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

} // namespace tdu::e2e
