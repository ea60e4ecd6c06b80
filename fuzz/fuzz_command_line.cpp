// The whole run, command line to exit code, on a fresh simulated machine.
//
// Input: one byte of flags, the six low bits each a machine set-up (in the
// order of kSetUps), three more bytes placing a fault when the high bit asks
// for one, then the arguments after the program path, separated by NUL bytes.
// A fault fails one use (or every use) of a call that the run without it
// made, so it follows whatever calls the program makes.
//
// Checked after every run: no exception leaves it, the exit code is in the
// set the README gives, nothing acquired is left open, every COM
// initialisation is undone, and no wait outlasts the longest the program
// knows. The exact records, logs and results are the unit tables'.
#include "app/TavrinDriverUtil.h"
#include "fuzz/FuzzSupport.h"
#include "installer_db/FixedTables.h"
#include "platform/sim/SimNetConfig.h"
#include "service/ServiceHandler.h"

namespace {

using tdu::fuzz::check;
using tdu::platform::sim::SimMachine;

enum : std::uint8_t { kNoCommandLine = 64, kFault = 128 };
constexpr std::uint32_t kWaitingProcess = 77;
// System and device-installer errors, then HRESULTs (E_FAIL, NETCFG_E_NO_WRITE_LOCK): any call may be
// answered any of them, a network-configuration call's success codes included.
constexpr std::array<std::uint32_t, 7> kErrors{5, 2, 32, 87, 0xE000020B, 0x80004005, 0x8004A024};

// So that the values on the command line meet something to act on.
constexpr std::array<void (*)(SimMachine&), 6> kSetUps{
    [](SimMachine& machine) { // a driver package
        machine.writeFile(L"C:\\Drivers\\tvrnvamgr\\tvrnvamgr.inf",
                          "[Version]\r\nClass=System\r\nClassGuid={4d36e97d-e325-11ce-bfc1-08002be10318}\r\n"
                          "DriverVer=05/07/2021,1.2.3.4\r\n[Manufacturer]\r\n%Mfg%=Standard,NTamd64\r\n"
                          "[Standard.NTamd64]\r\n%Desc%=Device, tvrnvamgr\r\n");
    },
    [](SimMachine& machine) { // an earlier release, 9.1.15, with its Tavrin.exe
        machine.writeVersionedFile(
            L"C:\\Program Files (x86)\\Common Files\\Tavrin Secure\\TamUI\\Tavrin.exe",
            {.fileVersionMS = 1, .fileVersionLS = 15U << 16U, .productVersionMS = 9U << 16U});
        machine.installProduct(productCodesByVersion.find(L"9.1.15")->second,
                               L"C:\\Windows\\Installer\\1a2b3c.msi",
                               {{std::wstring(difxCustomActions[0]), L"NOT Installed", 1000},
                                {std::wstring(customActionsToDisable[0]), L"REMOVE~=\"ALL\"", 2000}});
    },
    [](SimMachine& machine) {
        machine.addDevice({.instanceId = L"ROOT\\SYSTEM\\0000",
                           .classGuid = tdu::platform::kGuidDevClassSystem,
                           .hardwareIds = {{L"tvrnvamgr"}}});
    },
    [](SimMachine& machine) { // a starting /setstatus run that waits for the end
        machine.asProcess(kWaitingProcess, [] {
            tdu::platform::sys().CreateMutexW(L"", true, L"Global\\TDInstallationStartedMtx");
            tdu::platform::sys().CreateEventW(L"", true, false, L"Global\\TDInstallationCompletedEvt");
        });
    },
    [](SimMachine& machine) { machine.netConfig().addComponent({.infId = L"tvrnns"}); },
    [](SimMachine& machine) { machine.netConfig().holdWriteLock(L"Another Installer"); },
};

// One run on a fresh machine, with `call`'s `nth` use failing (0: every use)
// with the error `pick` chooses, checked; the calls it made.
std::vector<std::string> run(std::uint8_t flags, const std::vector<const wchar_t*>& argv,
                             const std::wstring& commandLine, const std::string& call = {}, unsigned nth = 0,
                             unsigned pick = 0) {
    tdu::test::FreshMachine fresh;
    SimMachine& machine = fresh.machine;
    for (std::size_t i = 0; i < kSetUps.size(); ++i) {
        if ((flags >> i & 1U) != 0) {
            kSetUps[i](machine);
        }
    }
    machine.failCall(call, nth, kErrors[pick % kErrors.size()]);
    TDCmdLineParser parser;
    // An exception leaving the run ends it, and libFuzzer reports it as a crash.
    const int result = RunTavrinDriverUtil((flags & kNoCommandLine) != 0 ? nullptr : commandLine.c_str(),
                                           static_cast<unsigned>(argv.size()), argv.data(), parser);
    std::vector<std::string> calls = machine.callTrace();
    const std::string detail = "exit code " + std::to_string(result);
    const auto value = static_cast<std::uint32_t>(result);
    check(result == -1 || value <= 0xFFFFU || value >> 16U == 0xE000U,
          "the exit code is -1, a system error code or a device installer's", detail);
    // The service handler keeps its manager connection, the log its folders,
    // and the waiting run its handles, for the process's life; their ends
    // close them.
    machine.endProcess(kWaitingProcess);
    ServiceHandler::getInstance().disconnect();
    tdu::log::resetLogPathCache();
    check(machine.openHandleCount() == 0, "the run leaves nothing open", machine.openHandleReport() + detail);
    check(machine.netConfig().comInitBalance() == 0, "every COM initialisation is undone", detail);
    check(machine.nowMs() <= 600'000, "no wait outlasts the installation handshake's 600 s", detail);
    return calls;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::size_t head = size > 0 && (data[0] & kFault) != 0 ? 4 : 1;
    if (size < head) {
        return -1;
    }
    std::vector<std::wstring> args;
    args.reserve(size); // argv points into it
    std::vector<const wchar_t*> argv{
        L"C:\\Program Files (x86)\\Tavrin Secure\\TavrinDrivers\\TavrinDriverUtil.exe"};
    std::wstring commandLine;
    for (std::size_t start = head, i = head; size > head && i <= size; ++i) {
        if (i == size || data[i] == 0) {
            argv.push_back(args.emplace_back(tdu::fuzz::wideFrom({data + start, i - start})).c_str());
            commandLine += (start == head ? L"" : L" ") + args.back();
            start = i + 1;
        }
    }
    const std::vector<std::string> calls = run(data[0], argv, commandLine);
    if (head == 4 && !calls.empty()) { // uses count from the machine's start, as the trace does
        const std::size_t at = (data[1] | std::size_t{data[2]} << 8U) % calls.size();
        const auto end = calls.begin() + static_cast<std::ptrdiff_t>(at) + 1;
        const auto nth = static_cast<unsigned>(std::count(calls.begin(), end, calls[at]));
        run(data[0], argv, commandLine, calls[at], data[3] % 2 == 0 ? 0 : nth, data[3] / 2U);
    }
    return 0;
}
