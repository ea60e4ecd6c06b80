#include "tests/unit/SimTest.h"

#include "operator/TDriverOperator.h"
#include "platform/DeviceSetup.h"

#include <map>
#include <set>

namespace tdu::test {
namespace {

// A package declaring each id on a model line of its own.
std::string package(const std::vector<std::string>& ids, const char* date = "05/07/2021",
                    const char* version = "1.2.3.4") {
    std::string text = "[Version]\nClass=Net\nDriverVer=" + std::string(date) + "," + version +
                       "\n[Manufacturer]\nM=Models,NTamd64\n[Models.NTamd64]\n";
    for (const std::string& id : ids) {
        text += "Device=Install, " + id + "\n";
    }
    return text;
}

class DriverStoreTest : public SimTest {
protected:
    void publish(const std::string& content) {
        static int n = 0;
        const std::wstring source = L"C:\\src\\p" + std::to_wstring(++n) + L".inf";
        sim.writeFile(source, content);
        std::wstring published;
        platform::dev().SetupCopyOEMInfW(source, platform::kSpostPath, 0, published, 260);
    }
    void clearLog() const { std::filesystem::remove(sim.hostPath(kLogPath)); }
    TavrinDriverOperator op;
};

TEST_F(DriverStoreTest, AnEmptyStoreListsNothing) {
    publish(package({"unrelated"}));
    std::vector<DriverStoreEntry> entries;
    EXPECT_EQ(op.ListDriverInfs(&entries), 0);
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(logMessages(), std::vector<std::string>{"Listing Driver Infs"});
}

TEST_F(DriverStoreTest, Listings) {
    struct Case {
        const char* name;
        std::vector<std::string> packages;
        std::wstring detailFolder;
        bool collect;
        std::vector<std::pair<std::wstring, std::wstring>> entries;
        std::vector<std::string> lines;
    };
    const std::string adapter = "{FE36527A-8C07-4854-8AF7-BF40E7DF52F7}\\TVRNVA";
    const Case cases[] = {
        {"one package under two search ids",
         {package({"tvrnvamgr", "tvrnns"})},
         L"C:\\Windows\\INF\\",
         true,
         {{L"oem0.inf", L"tvrnns"}, {L"oem0.inf", L"tvrnvamgr"}},
         {"C:\\Windows\\INF\\oem0.inf 05/07/2021 1.2.3.4 tvrnns\n",
          "C:\\Windows\\INF\\oem0.inf 05/07/2021 1.2.3.4 tvrnvamgr\n"}},
        {"one package as two driver nodes, pairs in order",
         {package({"tvrnna_mp", "tvrnna_mp"}, "12/31/1999", "10.0.65535.7"), package({adapter})},
         L"C:\\Windows\\INF\\",
         true,
         {{L"oem0.inf", L"tvrnna_mp"},
          {L"oem0.inf", L"tvrnna_mp"},
          {L"oem1.inf", L"{FE36527A-8C07-4854-8AF7-BF40E7DF52F7}\\TVRNVA"}},
         {"C:\\Windows\\INF\\oem0.inf 12/31/1999 10.0.65535.7 tvrnna_mp\n",
          "C:\\Windows\\INF\\oem0.inf 12/31/1999 10.0.65535.7 tvrnna_mp\n",
          "C:\\Windows\\INF\\oem1.inf 05/07/2021 1.2.3.4 " + adapter + "\n"}},
        {"a detail path with forward slashes",
         {package({"tvrnna"})},
         L"C:/windows/inf\\",
         true,
         {{L"oem0.inf", L"tvrnna"}},
         {"C:/windows/inf\\oem0.inf 05/07/2021 1.2.3.4 tvrnna\n"}},
        {"no output list",
         {package({"tvrnns"})},
         L"C:\\Windows\\INF\\",
         false,
         {},
         {"C:\\Windows\\INF\\oem0.inf 05/07/2021 1.2.3.4 tvrnns\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FreshMachine fresh;
        fresh.machine.setDetailInfFolder(c.detailFolder);
        for (std::size_t i = 0; i < c.packages.size(); ++i) {
            const std::wstring source = L"C:\\src\\p" + std::to_wstring(i) + L".inf";
            fresh.machine.writeFile(source, c.packages[i]);
            std::wstring published;
            platform::dev().SetupCopyOEMInfW(source, platform::kSpostPath, 0, published, 260);
        }
        std::vector<DriverStoreEntry> entries;
        EXPECT_EQ(op.ListDriverInfs(c.collect ? &entries : nullptr), 0);
        std::vector<std::pair<std::wstring, std::wstring>> got;
        for (const DriverStoreEntry& e : entries) {
            got.emplace_back(e.infName, e.hardwareId);
        }
        EXPECT_EQ(got, c.entries);
        std::vector<std::string> expected{"Listing Driver Infs"};
        expected.insert(expected.end(), c.lines.begin(), c.lines.end());
        EXPECT_EQ(logMessagesOf(fresh.machine), expected);
        EXPECT_TRUE(fresh.machine.devices().empty()); // the search registers nothing
        EXPECT_EQ(fresh.machine.openHandleCount(), 0U);
    }
}

TEST_F(DriverStoreTest, DetailFailures) {
    publish(package({"tvrnns", "tvrnns"}));
    // Another error than a short buffer makes that driver the last one handled.
    sim.failCall("SetupDiGetDriverInfoDetailW", 1, 5);
    std::vector<DriverStoreEntry> entries;
    EXPECT_EQ(op.ListDriverInfs(&entries), 0);
    EXPECT_EQ(entries.size(), 1U);
}

TEST_F(DriverStoreTest, AnEscapedResourceFailureGives1603AndSkipsTheRest) {
    publish(package({"tvrnns", "tvrnvamgr"}));
    sim.throwOnCall("SetupDiEnumDriverInfoW", 1);
    std::vector<DriverStoreEntry> entries;
    EXPECT_EQ(op.ListDriverInfs(&entries), 1603);
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(sim.callCount("SetupDiClassGuidsFromNameW"), 1U); // the later pairs never ran
}

TEST_F(DriverStoreTest, InfCacheRemoval) {
    const std::wstring cache = L"C:\\Windows\\INF\\INFCACHE.1";
    struct Case {
        const char* name;
        std::function<void(platform::sim::SimMachine&)> arrange;
        int result;
        std::string last;
    };
    const Case cases[] = {
        {"missing", [](auto&) {}, 0,
         "DeleteFile(\"C:\\Windows\\INF\\INFCACHE.1\") failure ignored. File Not Found."},
        {"present", [&](auto& m) { m.writeFile(cache, "cache"); }, 0,
         "DeleteFile(\"C:\\Windows\\INF\\INFCACHE.1\") succeeded."},
        {"locked",
         [&](auto& m) {
             m.writeFile(cache, "cache");
             m.failCall("DeleteFileW", 1, 32);
         },
         1603, "DeleteFile(\"C:\\Windows\\INF\\INFCACHE.1\") failed. GetLastError():0x20"},
        {"Windows directory too long",
         [](auto& m) { m.setWindowsDirectory(L"C:\\" + std::wstring(258, L'w')); }, 1603,
         "GetWindowsDirectory()->262  GetLastError():0"},
        {"Windows directory unreadable", [](auto& m) { m.failCall("GetWindowsDirectoryW", 1, 8); }, 1603,
         "GetWindowsDirectory()->0  GetLastError():0x8"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FreshMachine fresh;
        c.arrange(fresh.machine);
        EXPECT_EQ(op.RemoveINFCACHE(), c.result);
        const auto messages = logMessagesOf(fresh.machine);
        EXPECT_EQ(messages.front(), "Removing INF Cache");
        EXPECT_EQ(messages.back(), c.last);
    }
    // A locked cache is tried once more, and stays when that fails too.
    FreshMachine fresh;
    fresh.machine.writeFile(cache, "cache");
    fresh.machine.failCall("DeleteFileW", 1, 32);
    fresh.machine.failCall("_wremove", 1, 32);
    EXPECT_EQ(op.RemoveINFCACHE(), 1603);
    EXPECT_TRUE(fresh.machine.readFile(cache).has_value());
}

TEST_F(DriverStoreTest, FilterSections) {
    const struct {
        int (TavrinDriverOperator::*operation)(const DriverOperation&);
        const char* section;
        const char* name;
        const char* failure;
    } cases[] = {
        {&TavrinDriverOperator::InstallSplitDnsFilter, "DefaultInstall", "InstallSplitDnsFilter",
         "Failing InstallSplitDnsFilter\n"},
        {&TavrinDriverOperator::UnInstallSplitDnsFilter, "DefaultUnInstall", "UnInstallSplitDnsFilter",
         "Failed UnInstallSplitDnsFilter\n"},
    };
    const std::wstring inf =
        L"C:\\Program Files (x86)\\Tavrin Secure\\x64Drivers\\SplitDNSFilter\\SplitDNSFilter.inf";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DriverOperation record;
        record.infPath = inf;
        const std::string line = std::string(c.section) + " 128 " + narrow(inf);
        {
            FreshMachine fresh;
            EXPECT_EQ((op.*c.operation)(record), 0);
            EXPECT_EQ(fresh.machine.sectionsRun(),
                      std::vector<std::wstring>{std::wstring(line.begin(), line.end())});
            EXPECT_EQ(logMessagesOf(fresh.machine),
                      (std::vector<std::string>{"Enter " + std::string(c.name) + "\n",
                                                "Calling InstallHinfSectionW with params: " + line + "\n",
                                                "Exit " + std::string(c.name) + "\n"}));
        }
        {
            FreshMachine fresh;
            fresh.machine.throwOnCall("InstallHinfSectionW", 1);
            EXPECT_EQ((op.*c.operation)(record), 1603);
            const auto messages = logMessagesOf(fresh.machine);
            ASSERT_EQ(messages.size(), 4U);
            EXPECT_EQ(messages[2], c.failure);
            EXPECT_EQ(messages[3], "Exit " + std::string(c.name) + "\n");
        }
        {
            // A line that would not fit is never cut to name another file.
            FreshMachine fresh;
            record.infPath = L"C:\\" + std::wstring(1010, L'x') + L".inf";
            EXPECT_EQ((op.*c.operation)(record), 1603);
            EXPECT_TRUE(fresh.machine.sectionsRun().empty());
        }
    }
}

// Every failable call of the store, cache, filter and residue operations,
// failed once: nothing leaked, results within what each can answer.
TEST_F(DriverStoreTest, FaultSweep) {
    auto arrange = [](platform::sim::SimMachine& machine) {
        machine.writeFile(L"C:\\src\\p.inf", package({"tvrnns", "tvrnvamgr"}));
        std::wstring published;
        platform::dev().SetupCopyOEMInfW(L"C:\\src\\p.inf", platform::kSpostPath, 0, published, 260);
        machine.writeFile(L"C:\\Windows\\INF\\INFCACHE.1", "cache");
        machine.writeFile(L"C:\\Windows\\System32\\DRVSTORE\\tvrnns_1\\tvrnns.inf", "inf");
        machine.regCreateKey(L"SYSTEM\\CurrentControlSet\\Services\\tvrnns");
    };
    auto run = [] {
        TavrinDriverOperator o;
        std::vector<DriverStoreEntry> entries;
        DriverOperation record;
        record.infPath = L"C:\\d\\SplitDNSFilter.inf";
        return std::vector<int>{o.ListDriverInfs(&entries), o.RemoveINFCACHE(),
                                o.InstallSplitDnsFilter(record), o.UnInstallSplitDnsFilter(record),
                                (o.cleanTVRNNSResiduals(), 0)};
    };
    std::vector<std::string> trace;
    {
        FreshMachine clean;
        arrange(clean.machine);
        const std::size_t before = clean.machine.callTrace().size();
        EXPECT_EQ(run(), (std::vector<int>{0, 0, 0, 0, 0}));
        trace.assign(clean.machine.callTrace().begin() + static_cast<std::ptrdiff_t>(before),
                     clean.machine.callTrace().end());
    }
    ASSERT_GT(trace.size(), 40U);
    std::map<std::string, unsigned> seen;
    for (const std::string& call : trace) {
        const unsigned nth = ++seen[call];
        SCOPED_TRACE(call + " #" + std::to_string(nth));
        FreshMachine fresh;
        arrange(fresh.machine);
        fresh.machine.failCall(call, fresh.machine.callCount(call) + nth, 4321);
        const std::vector<int> results = run();
        EXPECT_EQ(results[0], 0);
        EXPECT_TRUE(results[1] == 0 || results[1] == 1603) << results[1];
        EXPECT_EQ(results[2], 0);
        EXPECT_EQ(results[3], 0);
        EXPECT_EQ(fresh.machine.openHandleCount(), 0U) << fresh.machine.openHandleReport();
    }
}

} // namespace
} // namespace tdu::test
