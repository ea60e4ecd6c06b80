// The steps the bundle operations are built from, one at a time under Wine
// through tdprobe.exe: the driver-store listing, the INF cache, the split-DNS
// filter's own INF sections and the net-service driver's residues.
#include "E2eLog.h"
#include "WineHarness.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace tdu::e2e {
namespace {

const std::string kDrivers = R"(C:\Program Files (x86)\Tavrin Secure\TavrinDrivers\x64Drivers)";
const std::string kFilterInf = kDrivers + R"(\SplitDNSFilter\SplitDNSFilter.inf)";
const std::string kStore = R"(C:\windows\System32\DRVSTORE)";

std::string op(std::string_view message) {
    return entry(kOperatorUnit, message);
}

class Steps : public ProgramTest {
protected:
    Steps() {
        createVendorFolder();
        machine.mkdirs(kDrivers);
        std::filesystem::copy(std::filesystem::path(TDU_SAMPLES_DIR) / "x64Drivers",
                              machine.hostPath(kDrivers), std::filesystem::copy_options::recursive);
    }
    std::uint32_t step(const std::string& name, const std::string& argument = "") {
        std::vector<std::string> args{name};
        if (!argument.empty()) {
            args.push_back(argument);
        }
        return machine.runCommand(windowsPathOf(TDU_PROBE_EXE), args);
    }
    std::vector<std::string> lines() { return summarize(log()); }
};

TEST_F(Steps, TheListingShowsThePublishedPackagesAsWineReportsThem) {
    for (const std::string component : {"tvrnvamgr", "tvrnva"}) {
        ASSERT_EQ(machine.run({"/install", kDrivers + "\\" + component + "\\" + component + ".inf"}),
                  kSuccess);
    }
    machine.writeFile(R"(C:\windows\inf\unrelated.inf)", "[Version]\r\nClass=Net\r\n");
    EXPECT_EQ(step("ListDriverInfs"), kSuccess);
    // Wine reports neither the DriverVer date nor the version (1601 and 0.0.0.0
    // where Windows shows 05/07/2021 1.2.3.4) and writes the store folder with a
    // forward slash.
    const std::vector<std::string> all = lines();
    EXPECT_EQ(std::vector<std::string>(all.end() - 3, all.end()),
              (std::vector<std::string>{op("Listing Driver Infs"),
                                        op("C:/windows/inf\\tvrnvamgr.inf 01/01/1601 0.0.0.0 tvrnvamgr\n"),
                                        op("C:/windows/inf\\tvrnva.inf 01/01/1601 0.0.0.0 "
                                           "{FE36527A-8C07-4854-8AF7-BF40E7DF52F7}\\TVRNVA\n")}));
}

TEST_F(Steps, TheInfCacheIsDeletedAndItsAbsenceIgnored) {
    const std::string cache = R"(C:\windows\inf\INFCACHE.1)";
    machine.writeFile(cache, "cache");
    EXPECT_EQ(step("RemoveINFCACHE"), kSuccess);
    EXPECT_FALSE(machine.exists(cache));
    EXPECT_EQ(step("RemoveINFCACHE"), kSuccess);
    EXPECT_EQ(lines(),
              (std::vector<std::string>{
                  op("Removing INF Cache"), op(R"(DeleteFile("C:\windows\INF\INFCACHE.1") succeeded.)"),
                  op("Removing INF Cache"),
                  op(R"(DeleteFile("C:\windows\INF\INFCACHE.1") failure ignored. File Not Found.)")}));
}

TEST_F(Steps, TheFilterSectionsRunFromAPathWithSpaces) {
    const std::string sys = R"(C:\windows\system32\drivers\SplitDNSFilter.sys)";
    const std::string service = R"(HKLM\System\CurrentControlSet\Services\SplitDNSFilter)";
    const std::string marker = R"(HKLM\Software\TavrinSecure\SplitDNSFilter)";
    EXPECT_EQ(step("InstallSplitDnsFilter", kFilterInf), kSuccess);
    EXPECT_TRUE(machine.exists(sys));
    EXPECT_EQ(machine.regQuery(marker, "Installed"), "0x1");
    EXPECT_TRUE(machine.regKeyExists(service));
    EXPECT_EQ(step("UnInstallSplitDnsFilter", kFilterInf), kSuccess);
    EXPECT_FALSE(machine.exists(sys));
    EXPECT_FALSE(machine.regQuery(marker, "Installed").has_value());
    EXPECT_FALSE(machine.regKeyExists(service));
    EXPECT_EQ(lines(),
              (std::vector<std::string>{
                  op("Enter InstallSplitDnsFilter\n"),
                  op("Calling InstallHinfSectionW with params: DefaultInstall 128 " + kFilterInf + "\n"),
                  op("Exit InstallSplitDnsFilter\n"), op("Enter UnInstallSplitDnsFilter\n"),
                  op("Calling InstallHinfSectionW with params: DefaultUnInstall 128 " + kFilterInf + "\n"),
                  op("Exit UnInstallSplitDnsFilter\n")}));
}

TEST_F(Steps, NetServiceResiduesAreCleaned) {
    machine.mkdirs(kStore + R"(\tvrnns_1a2b)");
    machine.mkdirs(kStore + R"(\tvrnns_kept)");
    for (const char* name : {"tvrnns.inf", "tvrnns.cat", "tvrnns.sys"}) {
        machine.writeFile(kStore + R"(\tvrnns_1a2b\)" + name, "x");
    }
    machine.writeFile(kStore + R"(\tvrnns_kept\extra.txt)", "x");
    machine.writeFile(kStore + R"(\tvrnns_file)", "a file, not a package folder");
    const std::string difx =
        R"(HKLM\Software\Microsoft\Windows\CurrentVersion\DIFxAPP\Components\{9AC1F0E9-DE2F-4b2d-910C-65CAEE9153D9})";
    machine.regAdd(difx + R"(\Sub)", "v", "REG_SZ", "x");
    machine.regAdd(R"(HKLM\System\CurrentControlSet\Services\tvrnns)", "Start", "REG_DWORD", "3");
    EXPECT_EQ(step("cleanTVRNNSResiduals"), kSuccess);
    EXPECT_FALSE(machine.exists(kStore + R"(\tvrnns_1a2b)"));
    EXPECT_TRUE(machine.exists(kStore + R"(\tvrnns_kept\extra.txt)"));
    EXPECT_TRUE(machine.exists(kStore + R"(\tvrnns_file)"));
    EXPECT_FALSE(machine.regKeyExists(difx));
    EXPECT_FALSE(machine.regKeyExists(R"(HKLM\System\CurrentControlSet\Services\tvrnns)"));
    const auto all = lines();
    EXPECT_NE(
        std::find(all.begin(), all.end(), op("RemoveDirectory Failed for 'tvrnns_kept' with Error:145")),
        all.end());
    EXPECT_NE(
        std::find(
            all.begin(), all.end(),
            op(R"(Successfully deleted at the end: SOFTWARE\Microsoft\Windows\CurrentVersion\DIFxAPP\Components\{9AC1F0E9-DE2F-4b2d-910C-65CAEE9153D9})")),
        all.end());
}

} // namespace
} // namespace tdu::e2e
