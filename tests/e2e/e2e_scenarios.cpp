// The real program under Wine, as a scenario on one machine, its lines read in turn:
//   + FACT                       planted now (WineHarness.h)
//   > [PROGRAM.exe] ARGS => CODE a run of the program under test (or a Windows tool) and its full exit code
//   ? FACT                       checked after the run
//   any other line               the run's log, one record a line (see logMatches); none: not compared
//   ... TEXT                     the line before goes on, after one blank
//   # TEXT                       a comment
// The native unit tests hold every path against the simulated machine; this holds what only a real platform
// answers: the command line as a process gets it, the registry views, the driver store, devices, services
// and COM, each path once. Where Wine answers otherwise than Windows, a comment says so once.
#include "WineHarness.h"

#include <optional>

namespace tdu::e2e {
namespace {

// A failure names the run of the scenario's line it follows.
void run(const std::string& scenario, int first = __builtin_LINE()) {
    WineMachine machine;
    machine.plant("dir " + kVendorFolder); // the program makes only the last folder of its log
    std::optional<::testing::ScopedTrace> step;
    std::string log;
    std::string after;
    const auto check = [&] {
        if (!log.empty()) {
            EXPECT_TRUE(logMatches(lastRun(machine.read(kLogFile)), log));
        }
        machine.expect(after);
        log = after = "";
    };
    for (const auto& [line, number] : test::scenarioLines(expand(scenario), first)) {
        if (line.starts_with("+ ")) {
            machine.plant(line.substr(2));
        } else if (line.starts_with("? ")) {
            after += line.substr(2) + "\n";
        } else if (line.starts_with("> ")) {
            check();
            step.emplace(__FILE__, number, line);
            const auto code = line.rfind(" => ");
            const std::vector<std::string> args = test::words(line.substr(1, code - 1));
            const bool tool = !args.empty() && args.front().ends_with(".exe");
            EXPECT_EQ(machine.run({args.begin() + (tool ? 1 : 0), args.end()}, tool ? args.front() : ""),
                      std::stoul(line.substr(code + 4), nullptr, 0));
        } else {
            log += line + "\n";
        }
    }
    check();
}

// In this order: the command line, the whole set on and off, then one package and its devices.
TEST(Scenarios, OneMachine) {
    run(R"(
        # The full 32-bit code crosses the process; an empty argument reaches the parser as a value (a
        # dropped one would leave too few: -1). The command line is logged as the system passes it.
        > => 0xFFFFFFFF
        ...
        main| Command Line Received: ''
        > /disableCustomActions "" => 2
        ...
        main| Command Line Received: '/disableCustomActions ""'

        # Wine: INetCfg has no FindComponent (E_NOTIMPL) after COM, the object, its lock and Initialize
        # succeeded; the driver-store listing has no date or version and a forward slash. The 32-bit view
        # is Wow6432Node. The contract rows hold the layer's answers: folders, files, services, INF sections.
        + drivers
        > sc.exe create tvrnns binpath= "$tools\tdlaunch.exe /service" => 0
        > sc.exe start tvrnns => 0
        > /installdrivers 1 => 0
        ...
        svc| 'tvrnns' Service stopped successfully
        svc| 'tvrnns' Service deleted successfully
        op| TavrinDriverOperator::HrReinstallNetService("tvrnns","Tavrin Secure, LLC","Tavrin
        ... Secure","Tavrin Secure"): Failed to find component. HRESULT=0x80004001⏎
        op| Stopping 'DERAzo' service
        op| Service stop failed or service doesn't exist, attempting remove anyway
        op| Installing TVRNVA from: '$drivers\x64Drivers\tvrnva'
        op| Installing DERAzo service via InstallHinfSectionW: DefaultInstall.NTamd64 128
        ... $drivers\x64Drivers\DERAzo\DERAzo.inf
        op| C:/windows/inf\tvrnvamgr.inf 01/01/1601 0.0.0.0 tvrnvamgr⏎
        ? !key $services\tvrnns
        ? file $inf\tvrnvamgr.inf
        ? $product32 : tvrnva = REG_SZ tvrnva.inf
        ? file $sys\tvrnvamgr.sys
        ? $services\DERAzo : Group = REG_SZ FSFilter Activity Monitor
        # The net service's residues go: its packages' folders, its DIFx record and its service key. Wine:
        # SetupDiSetClassInstallParamsW fails without an error code, so the manager's device stays.
        + file C:\windows\system32\DRVSTORE\tvrnns_1a2b\tvrnns.inf
        > reg.exe add HKLM\Software\$components\{9AC1F0E9-DE2F-4b2d-910C-65CAEE9153D9}\Sub /v v /d x /f
        ... /reg:64 => 0
        > reg.exe add $services\tvrnns /v Start /t REG_DWORD /d 3 /f /reg:64 => 0
        # The value and the other options of /uninstalldrivers are not consulted.
        > /uninstalldrivers 0 /component tvrnva => 0
        ...
        op| Removed OEM: tvrnva.inf successfully.
        op| SetupDiSetClassInstallParams failed with last Error: 0
        op| Service stopped, now removing
        svc| 'DERAzo' Service deleted successfully
        ? !file $inf\tvrnvamgr.inf
        ? $product32 : tvrnva = -
        ? key $enum\TVRNVAMGR\0000
        ? !file $sys\tvrnvamgr.sys
        ? !key $services\DERAzo
        ? !dir C:\windows\system32\DRVSTORE\tvrnns_1a2b
        ? !key HKLM\Software\$components\{9AC1F0E9-DE2F-4b2d-910C-65CAEE9153D9}
        ? !key $services\tvrnns

        # Wine publishes a package under its own INF name (Windows: oemN.inf).
        > /install "$drivers\x64Drivers\tvrnvamgr\tvrnvamgr.inf" /component tvrnvamgr => 0
        ? $product32 : tvrnvamgr = REG_SZ tvrnvamgr.inf
        # The named package goes first, so the component's is gone already: its value stays.
        > /uninstall NOTADEVICEDRIVER /oeminf tvrnvamgr.inf /component tvrnvamgr => 0
        ...
        op| Removed OEM: tvrnvamgr.inf successfully.
        op| Failed to remove OEM: tvrnvamgr.inf
        ? !file $inf\tvrnvamgr.inf
        ? $product32 : tvrnvamgr = REG_SZ tvrnvamgr.inf
        > /install "$drivers\x64Drivers\tvrnvamgr\tvrnvamgr.inf" /hardwareid tvrnvamgr /instid
        ... ROOT\SYSTEM\0042 => 0
        ? key $enum\SYSTEM\0042)");
}

} // namespace
} // namespace tdu::e2e
