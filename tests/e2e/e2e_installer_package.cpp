// The example product package (examples/installer/TavrinDrivers.wxs) under Wine's installer engine, as a
// client machine meets it: an earlier release is installed whose removal would run driver actions, the
// program switches actions off in its cached package, the example upgrades it and is uninstalled again.
// wixl builds both packages from their sources with this build's program and the sample packages.
#include "WineHarness.h"

#include <thread>

namespace tdu::e2e {
namespace {

const std::string kProduct = R"(C:\packages\TavrinDrivers.msi)";
const std::string kEarlier = R"(C:\packages\earlier-release.msi)";
// The fifth code of its version's label: /disableDifx all tries the four before it first.
const std::string kEarlierCode = "{C90A1989-8FAB-59BF-B14F-D057A6EA98EC}";
const std::string kUninstallKeys = R"(HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\)";
const std::string kRan = R"(HKLM\Software\TavrinSecureTest\EarlierRelease\Ran : )";
const std::string kDrivers = R"(C:\Program Files (x86)\Tavrin Secure\TavrinDrivers)";
const std::string kNetInf = R"(HKLM\Software\Wow6432Node\TavrinSecure\TavrinDrivers : tvrnns = )";

// The results msiexec's verbose log gives for an action. Wine's engine logs a deferred action twice (when
// scheduled and when run); for an EXE action with Return="check", 1 means the program ended with 0.
std::string results(const std::string& msiLog, const std::string& action) {
    std::string found;
    std::istringstream lines(msiLog);
    for (std::string line; std::getline(lines, line);) {
        if (like(line, "Action ended +:##:##: " + action + ". Return value #.")) {
            found += line[line.size() - 2];
        }
    }
    return found;
}

// A value after its name, to the end of its line.
std::string value(const std::string& text, const std::string& name) {
    const auto at = text.find(name);
    if (at == std::string::npos) {
        return "<not logged>";
    }
    const auto from = at + name.size();
    return text.substr(from, text.find_first_of("\r\n", from) - from);
}

// The installer starts "/setstatus 0" without waiting: its run may begin after the next action's. The
// other runs keep the script's order, and the start is woken by the end.
void expectScript(const std::vector<std::string>& records, const std::string& script) {
    const std::string start = "main| Command Line Received: '/setstatus 0'";
    std::vector<std::string> runs;
    std::copy_if(records.begin(), records.end(), std::back_inserter(runs), [&](const std::string& record) {
        return record.starts_with("main| Command Line Received: ") && record != start;
    });
    EXPECT_EQ(std::count(records.begin(), records.end(), start), 1);
    EXPECT_TRUE(logMatches(runs, script));
    EXPECT_TRUE(logMatches(records, R"(...
        op| Started installation of the drivers
        op| TSAC Installation Ended
        op| Installation of the drivers completed Successfully
        op| Released Installation started event)"));
    EXPECT_TRUE(logMatches(
        records, "...\nop| TSAC Installation Ended\nop| Successfully set event for install completion"));
}

TEST(InstallerPackage, UpgradeFromAnEarlierReleaseThenUninstall) {
    WineMachine machine;
    const auto msiexec = [&](const std::vector<std::string>& args) {
        return machine.run(args, "msiexec.exe", 120s); // far below /setstatus 0's 600 s
    };
    // The log's records from this byte on: the runs of one installer session. The installer does not wait
    // for "/setstatus 0": once woken, it may log its last line after the session has ended.
    const auto logFrom = [&](std::size_t offset, bool woken = true) {
        std::string log = machine.read(kLogFile).substr(offset);
        for (int waited = 0;
             woken && waited < 600 && log.find("Released Installation started event") == std::string::npos;
             ++waited) {
            std::this_thread::sleep_for(50ms);
            log = machine.read(kLogFile).substr(offset);
        }
        const std::string cached = R"(C:\windows\Installer\)"; // the engine names its copy
        for (auto at = log.find(cached); at != std::string::npos; at = log.find(cached, at + 1)) {
            const auto name = at + cached.size();
            if (const auto end = log.find(".msi", name); end < log.find_first_of("\\'", name)) {
                log.replace(name, end - name, "<cached>");
            }
        }
        return records(log);
    };
    // wixl 0.101 finds a package's files only relative to its working folder: each package is built in a
    // folder laid out like the one it installs.
    const fs::path client = machine.hostPath(R"(C:\packages\TamUI)");
    const fs::path drivers = machine.hostPath(R"(C:\packages\TavrinDrivers)");
    fs::create_directories(client);
    fs::copy_file(kToolsFolder / "tavrin-9.1.15.exe", client / "Tavrin.exe");
    fs::copy(TDU_SAMPLES_DIR, drivers, fs::copy_options::recursive);
    fs::copy_file(kProgramUnderTest, drivers / "TavrinDriverUtil.exe");
    machine.host({"env", "-C", client.string(), "wixl", "-a", "x64", "-D", "ProductCode=" + kEarlierCode,
                  "-o", machine.hostPath(kEarlier).string(),
                  fs::path(TDU_E2E_PACKAGES_DIR) / "upgradable-earlier-release.wxs"});
    // The package carries the version stamped into the program, as scripts/package gives it; it must be
    // above the earlier release's 9.1.15.4 to upgrade it.
    const std::string version =
        value(machine.host({"wine", (kToolsFolder / "tdlaunch.exe").string(), "/version",
                            R"(C:\packages\TavrinDrivers\TavrinDriverUtil.exe)"}),
              "\nProductVersion "); // complete-package refuses all but four numbers
    const std::string package = machine.hostPath(kProduct).string();
    const fs::path example = fs::path(TDU_EXAMPLES_DIR) / "installer";
    machine.host({"env", "-C", drivers.string(), "wixl", "-a", "x64", "-D", "ProductVersion=" + version, "-o",
                  package, example / "TavrinDrivers.wxs"});
    machine.host({example / "complete-package", package, version});
    // The engine compares the program's version, not its hash and dates, and makes the vendor folder the
    // product's: owned by SYSTEM, writable by SYSTEM and Administrators alone.
    const auto row = [&](const char* table, const char* key) {
        return value(machine.host({"msiinfo", "export", package, table}), std::string("\n") + key + "\t");
    };
    const std::string program = row("File", "TavrinDriverUtilExe");
    EXPECT_TRUE(like(program, "Utility\tTavrinDriverUtil.exe\t+\t" + version + "\t1033\t512\t1")) << program;
    EXPECT_EQ(row("MsiFileHash", "TavrinDriverUtilExe"), "<not logged>");
    EXPECT_NE(row("MsiFileHash", "TvrnnsInf"), "<not logged>"); // the unversioned files keep theirs
    EXPECT_EQ(
        row("MsiLockPermissionsEx", "VendorFolder"),
        "LOGPARENTFOLDER\tCreateFolder\tO:SYG:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)\t");

    ASSERT_EQ(msiexec({"/i", kEarlier, "/qn"}), 0U);
    // Only the new package makes the log's parent folder; the utility makes the last level alone.
    machine.expect(R"(file C:\Program Files (x86)\Common Files\Tavrin Secure\TamUI\Tavrin.exe
                      !dir C:\users\Public\Tavrin Secure)");
    fs::create_directories(machine.hostPath(kVendorFolder));
    // Its own list, in the installer's cached copy of the release: the engine must not run it on removal.
    EXPECT_EQ(machine.run({"/disableCustomActions", kEarlierCode}), 0U);
    EXPECT_TRUE(logMatches(logFrom(0, false), R"(...
        ca| Local cache MSI path of installer retrieved successfully: C:\windows\Installer\<cached>.msi
        ca| Successfully disabled custom action: dll_def_StartTavrinSecureService
        ca| Committing Successful...)"));
    const std::size_t disabled = machine.read(kLogFile).size();

    ASSERT_EQ(msiexec({"/i", kProduct, "/qn", "/l*v", R"(C:\packages\install.log)"}), 0U);
    const std::string installLog = machine.read(R"(C:\packages\install.log)");
    const std::string product = value(installLog, "Property(S): ProductCode = ");
    EXPECT_EQ(value(installLog, "Property(S): WIX_UPGRADE_DETECTED = "), kEarlierCode);
    EXPECT_EQ(value(installLog, "Property(S): ProductVersion = "), version);
    EXPECT_EQ(value(installLog, "Property(S): LOGPARENTFOLDER = "), R"(C:\users\Public\Tavrin Secure\)");
    // The earlier release went once the new install was complete, where RemoveExistingProducts is placed,
    // and without its driver actions; the action of no list ran.
    const auto removal = installLog.find("Action start ", installLog.find("RemoveExistingProducts."));
    ASSERT_NE(removal, std::string::npos);
    EXPECT_LT(installLog.find("InstallFinalize. Return value 1."), removal);
    machine.expect(kRan + "MsiUninstallDrivers = -\n" + kRan + "A_RemoveVAMGR = -\n" + kRan +
                   "A_UnInstallSplitDns = -\n" + kRan + "A_RemoveTVRNNS = -\n" + kRan +
                   "dll_def_StartTavrinSecureService = -\n" + kRan + "A_RemoveClientSettings = REG_SZ ran\n" +
                   R"(!file C:\Program Files (x86)\Common Files\Tavrin Secure\TamUI\Tavrin.exe
                      !key )" +
                   kUninstallKeys + kEarlierCode + "\nkey " + kUninstallKeys + product);
    // Every action succeeded; /netserv ADD ended with 2 (the log says so), which Return="ignore" hides.
    for (const char* action :
         {"TDU_DisableDifx", "TDU_InstallDrivers", "TDU_PublishNetService", "TDU_AddNetService"}) {
        EXPECT_EQ(results(installLog, action), "11") << action;
    }
    const std::vector<std::string> installRuns = logFrom(disabled);
    EXPECT_TRUE(logMatches(installRuns, "...\nmain| Command Line Received: '/disableDifx all'\n"
                                        "main| Command Line Received: '/setstatus 0'"));
    expectScript(installRuns, R"(main| Command Line Received: '/disableDifx all'
        main| Command Line Received: '/installdrivers 1'
        main| Command Line Received: '/install ")" +
                                  kDrivers + R"(\x64Drivers\tvrnns\tvrnns.inf" /component tvrnns'
        main| Command Line Received: '/netserv ADD /component tvrnns'
        main| Command Line Received: '/setstatus 1')");
    // The version of the earlier Tavrin.exe and the engine's answer for a product it lacks; names the
    // cached package lacks count as disabled: the engine runs their statements without error.
    EXPECT_TRUE(logMatches(installRuns, R"(...
        difx| Version of old Product is: 9.1.15
        difx| Failed to find Product: '{65BD35FD-2FDA-593A-B137-C682DE5A20C4}', Error: 1605
        difx| Successfully disabled custom action: 'MsiCleanupOnSuccess' ...
        difx| Commiting Successful...
        difx| Disabled Difx CAs Successfully for product Code: {C90A1989-8FAB-59BF-B14F-D057A6EA98EC}
        op| Command received to install all Tavrin Drivers
        op| InstallDriver succeeded for DERAzo
        op| Successfully copied driver to driver store, output oem: C:\windows\inf\tvrnns.inf
        op| Add/Remove of net service:tvrnns Failed
        op| TSAC Installation Ended)"));
    // The set's files and keys are the contract and unit rows'; here what the package and its script add,
    // and the hardware id's multi-string as the real registry holds it.
    machine.expect("file " + kDrivers + "\\TavrinDriverUtil.exe\n" + kNetInf + R"(REG_SZ tvrnns.inf
        HKLM\System\CurrentControlSet\Enum\ROOT\TVRNVAMGR\0000 : HardwareID = REG_MULTI_SZ tvrnvamgr\0\0)");

    const std::size_t installed = machine.read(kLogFile).size();
    ASSERT_EQ(msiexec({"/x", kProduct, "/qn", "/l*v", R"(C:\packages\uninstall.log)"}), 0U);
    const std::string uninstallLog = machine.read(R"(C:\packages\uninstall.log)");
    for (const char* action : {"TDU_UninstallStarted", "TDU_UninstallDrivers", "TDU_UninstallEnded"}) {
        EXPECT_EQ(results(uninstallLog, action), "11") << action;
    }
    // Each package is found where the installer left it: the uninstall ran before RemoveFiles.
    const std::vector<std::string> uninstallRuns = logFrom(installed);
    expectScript(uninstallRuns, "main| Command Line Received: '/uninstalldrivers 1'\n"
                                "main| Command Line Received: '/setstatus 1'");
    EXPECT_TRUE(logMatches(uninstallRuns, R"(...
        op| Removed OEM: tvrnns.inf successfully.
        op| UnInstallSplitDnsFilter succeeded for SplitDNSFilter
        op| Removed OEM: DERAzo.inf successfully.
        op| TSAC Installation Ended)"));
    // The log stays. The uninstall's "/setstatus 0" runs from the installed file, and "/setstatus 1" only
    // wakes it: when it is still ending as RemoveFiles runs, Wine cannot delete the running program
    // (Windows Installer would delete it at the next restart), and the folder keeps that one file.
    const bool left = fs::exists(machine.hostPath(kDrivers));
    EXPECT_TRUE(!left || machine.list(kDrivers) == std::vector<std::string>{"TavrinDriverUtil.exe"});
    machine.expect("!dir " + kDrivers + "\\x64Drivers\n!key " + kUninstallKeys + product + "\n" + kNetInf +
                   R"(-
        file C:\users\Public\Tavrin Secure\Logging\TavrinDriverUtil.log)");
    const auto cached = machine.list(R"(C:\windows\Installer)");
    EXPECT_TRUE(
        std::none_of(cached.begin(), cached.end(), [](const std::string& n) { return n.ends_with(".msi"); }));
}

} // namespace
} // namespace tdu::e2e
