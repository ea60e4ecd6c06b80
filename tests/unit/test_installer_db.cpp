// Switching custom actions off in installed products' cached packages:
// DifxHandler (skip a failing name, commit the rest; discovery of the earlier
// release by its Tavrin.exe) and CustomActionHandler (all or nothing).
#include "tests/unit/SimTest.h"

#include "app/TavrinDriverUtil.h"
#include "installer_db/CustomActionHandler.h"
#include "installer_db/DifxHandler.h"
#include "installer_db/FixedTables.h"

#include <algorithm>
#include <functional>
#include <map>
#include <regex>
#include <set>

namespace tdu::test {
namespace {

using platform::FixedFileInfo;
using platform::sim::SimMachine;
using platform::sim::SimSequenceRow;

constexpr wchar_t kProduct[] = L"{3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D}";
constexpr wchar_t kPackage[] = L"C:\\Windows\\Installer\\3f9a1.msi";
constexpr wchar_t kClientExe[] = L"C:\\Program Files (x86)\\Common Files\\Tavrin Secure\\TamUI\\Tavrin.exe";
constexpr wchar_t kServiceStart[] = L"dll_def_StartTavrinSecureService";

std::vector<std::wstring> codesOf(const std::wstring& label) {
    std::vector<std::wstring> codes;
    const auto [first, last] = productCodesByVersion.equal_range(label);
    for (auto entry = first; entry != last; ++entry) {
        codes.push_back(entry->second);
    }
    return codes;
}

FixedFileInfo versionOf(std::uint32_t productMS, std::uint32_t fileMS, std::uint32_t fileLS) {
    FixedFileInfo info;
    info.productVersionMS = productMS;
    info.productVersionLS = 0x0005'0006;
    info.fileVersionMS = fileMS;
    info.fileVersionLS = fileLS;
    return info;
}
const FixedFileInfo kRelease9115 = versionOf(0x0009'0007, 0x0009'0001, 0x000F'0004);

std::string quotedName(std::wstring_view name) {
    return "'" + narrow(name) + "' ...";
}

class InstallerDbTest : public SimTest {
protected:
    // Every name of both lists and a bystander, each with a condition of its own.
    static std::vector<SimSequenceRow> fullSequence() {
        std::vector<SimSequenceRow> rows{{L"KeepThisAction", L"NOT Installed", 900}};
        for (const std::wstring_view name : difxCustomActions) {
            rows.push_back({std::wstring(name), L"NOT Installed", static_cast<int>(1000 + rows.size())});
        }
        rows.push_back({kServiceStart, L"REMOVE~=\"ALL\"", 6401});
        return rows;
    }
    void install(const std::wstring& product = kProduct, const std::wstring& package = kPackage) {
        sim.installProduct(product, package, fullSequence());
    }
    // Actions whose condition is no longer the original one; each must be "0".
    std::set<std::wstring> changed(const std::wstring& package = kPackage) const {
        std::set<std::wstring> actions;
        const std::vector<SimSequenceRow> built = fullSequence();
        for (const SimSequenceRow& row : sim.installExecuteSequence(package)) {
            const auto original = std::find_if(
                built.begin(), built.end(), [&](const SimSequenceRow& o) { return o.action == row.action; });
            if (original->condition != row.condition) {
                EXPECT_EQ(row.condition, L"0");
                actions.insert(row.action);
            }
        }
        return actions;
    }
    static std::set<std::wstring> difxNames() { return {difxCustomActions.begin(), difxCustomActions.end()}; }
    std::size_t logged(const std::string& prefix) const {
        const auto messages = logMessages();
        return static_cast<std::size_t>(std::count_if(
            messages.begin(), messages.end(), [&](const std::string& m) { return m.starts_with(prefix); }));
    }
    // The call's kth use from now on fails.
    void failUse(const std::string& call, unsigned k, std::uint32_t error) {
        sim.failCall(call, sim.callCount(call) + k, error);
    }
    void freshLog() { std::filesystem::remove(sim.hostPath(kLogPath)); }
    int run(const wchar_t* option, const wchar_t* value) {
        const wchar_t* args[] = {L"TavrinDriverUtil.exe", option, value};
        TDCmdLineParser parser;
        return RunTavrinDriverUtil(L"", 3, args, parser);
    }
};

TEST_F(InstallerDbTest, FixedTablesHaveTheirShape) {
    EXPECT_EQ(difxNames().size(), 26U);
    std::map<std::wstring, int> signatures; // the merge module each name comes from, "" for the DIFx module
    for (const std::wstring_view name : difxCustomActions) {
        const bool difx = name.starts_with(L"Msi");
        ++signatures[difx ? L"" : std::wstring(name.substr(name.rfind(L'.') + 1))];
        EXPECT_EQ(difx, signatures.size() == 1) << narrow(name) << ": the DIFx module's own come first";
    }
    EXPECT_EQ(signatures, (std::map<std::wstring, int>{{L"", 5},
                                                       {L"34C340EE_B1F9_442D_901E_D43CD5E6BD8E", 18},
                                                       {L"1AE1994A_14A3_458C_ACA8_E4EF3718820B", 3}}));
    EXPECT_EQ(customActionsToDisable.size(), 1U);

    EXPECT_EQ(productCodesByVersion.size(), 220U);
    const std::wregex form(LR"(\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\})");
    std::map<std::wstring, std::wstring> labelOfCode;
    const struct {
        const wchar_t* label;
        std::size_t count, repeats;
    } labels[] = {{L"22.2.1", 10, 0}, {L"9.1.15", 70, 1}, {L"9.1.14", 20, 0}, {L"9.1.13", 40, 1},
                  {L"9.1.12", 20, 0}, {L"9.1.11", 50, 0}, {L"9.1.10", 10, 0}};
    for (const auto& l : labels) {
        const std::vector<std::wstring> codes = codesOf(l.label);
        const std::set<std::wstring> distinct(codes.begin(), codes.end());
        EXPECT_EQ(codes.size(), l.count) << narrow(l.label);
        EXPECT_EQ(codes.size() - distinct.size(), l.repeats) << narrow(l.label);
        for (const std::wstring& code : distinct) {
            EXPECT_TRUE(std::regex_match(code, form)) << narrow(code);
            EXPECT_TRUE(labelOfCode.emplace(code, l.label).second) << narrow(code) << " under two labels";
        }
    }
}

TEST_F(InstallerDbTest, DifxHandlerDisablesEveryNameAndCommits) {
    install();
    EXPECT_EQ(DifxHandler::disableCustomActions(kProduct), 0);
    EXPECT_EQ(changed(), difxNames());
    std::vector<std::string> expected{"Searching Product: " + quotedName(kProduct),
                                      "Product Found: '" + narrow(kPackage) + "', Disabling Difx now..."};
    for (const std::wstring_view name : difxCustomActions) {
        expected.push_back("Disabling custom action: " + quotedName(name));
        expected.push_back("Successfully disabled custom action: " + quotedName(name));
    }
    expected.insert(expected.end(), {"Committing Msi DB updates...", "Commiting Successful..."});
    EXPECT_EQ(logMessages(), expected);
    EXPECT_EQ(logEntries().front().source, "DifxHandler.cpp");
}

TEST_F(InstallerDbTest, CustomActionHandlerDisablesTheServiceStartThroughTheDispatcher) {
    install();
    EXPECT_EQ(run(L"/disableCustomActions", kProduct), 0);
    EXPECT_EQ(changed(), std::set<std::wstring>{kServiceStart});
    const std::string path = narrow(kPackage);
    const std::string expected[] = {
        "TDriverOperator.cpp|Command received to disable custom actions",
        "TDriverOperator.cpp|Product Code of prior installer: " + narrow(kProduct),
        "CustomActionHandler.h|Local cache MSI path of installer retrieved successfully: " + path,
        "CustomActionHandler.h|Opening DB: " + path,
        "CustomActionHandler.h|DB opened successfully: " + path,
        "CustomActionHandler.h|Disabling custom action: dll_def_StartTavrinSecureService",
        "CustomActionHandler.h|Opening a view",
        "CustomActionHandler.h|Executing a view",
        "CustomActionHandler.h|Successfully disabled custom action: dll_def_StartTavrinSecureService",
        "CustomActionHandler.h|Committing Msi DB updates...",
        "CustomActionHandler.h|Committing Successful...",
    };
    const auto entries = logEntries();
    ASSERT_EQ(entries.size(), std::size(expected) + 1); // after "Command Line Received"
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(entries[i + 1].source + "|" + entries[i + 1].message, expected[i]);
    }
}

// Failures before the loop or at the commit leave the package as it was.
TEST_F(InstallerDbTest, FailuresOutsideTheLoop) {
    const std::wstring path256 = L"C:\\Windows\\Installer\\" + std::wstring(231, L'p') + L".msi";
    const std::wstring path260 = path256.substr(0, 21) + L"pppp" + path256.substr(21);
    const std::string code = narrow(kProduct);
    const std::wstring unknown = L"{3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5E}";
    const struct {
        const char* name;
        std::wstring product, package; // the package the product has, "" when it is gone
        std::function<void(SimMachine&)> setUp;
        std::string difxLast;
        bool custom;
        std::string customLast;
    } cases[] = {
        {"unknown product", unknown, kPackage, nullptr,
         "Failed to find Product: '" + narrow(unknown) + "', Error: 1605", false,
         "Failed to retrieve local cache MSI path, Error: 1605"},
        {"malformed code", L"ALL", kPackage, nullptr, "Failed to find Product: 'ALL', Error: 87", false,
         "Failed to retrieve local cache MSI path, Error: 87"},
        {"path of 256 fits 260 only", kProduct, path256, nullptr,
         "Failed to find Product: '" + code + "', Error: 234", true, "Committing Successful..."},
        {"path of 260 fits neither", kProduct, path260, nullptr,
         "Failed to find Product: '" + code + "', Error: 234", false,
         "Failed to retrieve local cache MSI path, Error: 234"},
        {"cached package gone", kProduct, L"", [](SimMachine& m) { m.deleteCachedPackage(kPackage); },
         "Failed to find MSI Database for Product: '" + code + "', Error: 110", false,
         "Failed to find MSI Database, Error: 110"},
        {"commit fails", kProduct, kPackage, [](SimMachine& m) { m.failCall("MsiDatabaseCommit", 0, 1627); },
         "Failed to commit MSI Db, Error: 1627", false, "Failed to commit MSI Db, Error: 1627"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim.clearFaults();
        install(kProduct, c.package.empty() ? kPackage : c.package);
        if (c.setUp) {
            c.setUp(sim);
        }
        const unsigned opensBefore = sim.callCount("MsiOpenDatabaseW");
        EXPECT_EQ(DifxHandler::disableCustomActions(c.product), -1);
        EXPECT_EQ(logMessages().back(), c.difxLast);
        EXPECT_EQ(CustomActionHandler(c.product).disableCustomActions(), c.custom);
        EXPECT_EQ(logMessages().back(), c.customLast);
        if (!c.package.empty()) {
            EXPECT_EQ(changed(c.package),
                      c.custom ? std::set<std::wstring>{kServiceStart} : std::set<std::wstring>{});
        }
        if (c.product != kProduct) {
            EXPECT_EQ(sim.callCount("MsiOpenDatabaseW"), opensBefore);
        }
    }
}

TEST_F(InstallerDbTest, OneFailingNameSkippedByDifxButFatalToCustomActionHandler) {
    const std::wstring seventh(difxCustomActions[6]);
    const struct {
        const char* call;
        std::string failure;
        bool executed; // the statement ran before the failure
    } cases[] = {
        {"MsiDatabaseOpenViewW", "Failed to open DB view, Error: 1234", false},
        {"MsiViewExecute", "Failed to execute DB view query, Error: 1234", false},
        {"MsiViewClose", "Failed to close view, Error: 1234", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        install();
        freshLog();
        failUse(c.call, 7, 1234);
        const unsigned closesBefore = sim.callCount("MsiViewClose");
        EXPECT_EQ(DifxHandler::disableCustomActions(kProduct), 0);
        // Counted as failed, yet a statement that ran is part of the committed transaction.
        std::set<std::wstring> expected = difxNames();
        if (!c.executed) {
            expected.erase(seventh);
        }
        EXPECT_EQ(changed(), expected);
        EXPECT_EQ(logged(c.failure), 1U);
        EXPECT_EQ(logged("Disabling custom action failed: "), 1U);
        EXPECT_EQ(logged("Disabling custom action failed: " + quotedName(seventh)), 1U);
        EXPECT_EQ(logged("Successfully disabled custom action: "), c.executed ? 26U : 25U);
        EXPECT_EQ(logMessages().back(), "Commiting Successful...");
        EXPECT_EQ(sim.callCount("MsiViewClose") - closesBefore, c.call[3] == 'D' ? 25U : 26U);

        install();
        failUse(c.call, 1, 1234);
        const unsigned commitsBefore = sim.callCount("MsiDatabaseCommit");
        EXPECT_EQ(run(L"/disableCustomActions", kProduct), 0);
        EXPECT_EQ(logMessages().back(), c.failure);
        EXPECT_EQ(sim.callCount("MsiDatabaseCommit"), commitsBefore);
        EXPECT_TRUE(changed().empty());
    }
}

TEST_F(InstallerDbTest, ASecondRunSucceedsAgainWithTheSameResult) {
    install();
    std::set<std::wstring> expected = difxNames();
    expected.insert(kServiceStart);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(DifxHandler::disableCustomActions(kProduct), 0);
        EXPECT_TRUE(CustomActionHandler(kProduct).disableCustomActions());
        EXPECT_EQ(changed(), expected);
    }
}

TEST_F(InstallerDbTest, TheLabelTakesTheProductMajorAndTheFileMinorAndBuild) {
    const struct {
        FixedFileInfo info;
        std::uint32_t capacity;
        const wchar_t* label;
    } cases[] = {
        {kRelease9115, 32, L"9.1.15"},
        {versionOf(0x0016'0002, 0x0009'0001, 0x000F'0000), 32, L"22.1.15"},
        {versionOf(0x0009'0000, 0x000A'0001, 0x000F'0000), 32, L"9.1.15"},
        {versionOf(0xFFFF'FFFF, 0xFFFF'FFFF, 0xFFFF'FFFF), 32, L"65535.65535.65535"},
        {kRelease9115, 6, L"9.1.1"},
    };
    for (const auto& c : cases) {
        sim.writeVersionedFile(kClientExe, c.info);
        std::wstring label;
        EXPECT_EQ(DifxHandler::GetFileVersion(kClientExe, label, c.capacity), 0);
        EXPECT_EQ(label, c.label);
    }
}

TEST_F(InstallerDbTest, DisableDifxOutcomes) {
    const std::wstring third = codesOf(L"9.1.15").at(2);
    const std::string found = "Disabled Difx CAs Successfully for product Code: " + narrow(third);
    const std::string unreadable = "Failed to retrieve version of Tavrin.exe";
    enum class Exe { None, NoVersion, V9115, V9116 };
    struct Fault { // every use of the call fails
        const char* call = nullptr;
        std::uint32_t error = 0;
    };
    const struct {
        const char* name;
        const wchar_t* argument;
        Exe exe;
        Fault fault;
        int result;
        std::vector<std::string> tail;
    } cases[] = {
        {"empty argument", L"", Exe::V9115, {}, 2, {"Product Code is empty"}},
        {"explicit code", kProduct, Exe::V9115, {}, 0, {"Commiting Successful..."}},
        {"ALL is a product code", L"ALL", Exe::V9115, {}, -1, {"Failed to find Product: 'ALL', Error: 87"}},
        {"no client executable",
         L"all",
         Exe::None,
         {},
         0,
         {"Tavrin.exe does not exist, assuming it is fresh installation"}},
        {"no version resource",
         L"all",
         Exe::NoVersion,
         {},
         2,
         {"GetFileVersionInfoSize Failed with last Error: 1812", unreadable}},
        {"version block unreadable",
         L"all",
         Exe::V9115,
         {"GetFileVersionInfoW", 5},
         2,
         {"GetFileVersionInfo Failed with last Error: 5", unreadable}},
        {"no fixed file information",
         L"all",
         Exe::V9115,
         {"VerQueryValueW", 1813},
         2,
         {"VerQueryValue Failed", unreadable}},
        {"version not in the table",
         L"all",
         Exe::V9116,
         {},
         2,
         {"Version of old Product is: 9.1.16", "Couldn't find product Code for : 9.1.16"}},
        {"third code installed", L"all", Exe::V9115, {}, 0, {"Commiting Successful...", found}},
        // The existence test cannot decide (the log's tests fail too, and it goes on): the version read does.
        {"existence test failing", L"all", Exe::V9115, {"exists", 5}, 0, {"Commiting Successful...", found}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim.clearFaults();
        install();
        install(third, L"C:\\Windows\\Installer\\third.msi");
        std::filesystem::remove(sim.hostPath(kClientExe));
        if (c.exe != Exe::None) {
            sim.writeVersionedFile(kClientExe, c.exe == Exe::V9116
                                                   ? versionOf(0x0009'0002, 0x0009'0001, 0x0010'0000)
                                                   : kRelease9115);
        }
        if (c.exe == Exe::NoVersion) {
            sim.writeFile(kClientExe, "MZ");
        }
        if (c.fault.call != nullptr) {
            sim.failCall(c.fault.call, 0, c.fault.error);
        }
        freshLog();
        EXPECT_EQ(run(L"/disableDifx", c.argument), c.result);
        const auto messages = logMessages();
        ASSERT_GE(messages.size(), c.tail.size() + 2);
        EXPECT_EQ(messages[1], "Command received to disable Difx custom actions");
        EXPECT_EQ(std::vector(messages.end() - static_cast<std::ptrdiff_t>(c.tail.size()), messages.end()),
                  c.tail);
        EXPECT_EQ(logEntries().back().source, "DifxHandler.cpp");
    }
}

TEST_F(InstallerDbTest, DiscoveryUpdatesOnlyTheFirstCodeThatCommits) {
    const std::vector<std::wstring> codes = codesOf(L"9.1.15");
    sim.writeVersionedFile(kClientExe, kRelease9115);
    install(codes.at(4), L"C:\\Windows\\Installer\\a.msi");
    install(codes.at(9), L"C:\\Windows\\Installer\\b.msi");
    EXPECT_EQ(DifxHandler::disableDifxCAs(L"all"), 0);
    EXPECT_EQ(changed(L"C:\\Windows\\Installer\\a.msi"), difxNames());
    EXPECT_TRUE(changed(L"C:\\Windows\\Installer\\b.msi").empty());
    EXPECT_EQ(logged("Failed to find Product: '"), 4U);
    EXPECT_EQ(logged("Searching Product: "), 5U);
}

TEST_F(InstallerDbTest, DiscoveryWithNoCodeInstalledTriesThemAllAndSucceeds) {
    sim.writeVersionedFile(kClientExe, versionOf(0x0009'0000, 0x0009'0001, 0x000D'0000));
    EXPECT_EQ(DifxHandler::disableDifxCAs(L"all"), 0);
    EXPECT_EQ(logged("Failed to find Product: '"), 40U);
    EXPECT_EQ(logged("Disabled Difx CAs Successfully"), 0U);
    EXPECT_EQ(logMessages().back(),
              "Failed to find Product: '" + narrow(codesOf(L"9.1.13").back()) + "', Error: 1605");
}

TEST_F(InstallerDbTest, ACodeListedTwiceIsTriedTwice) {
    const std::vector<std::wstring> codes = codesOf(L"9.1.15");
    std::size_t second = 1;
    while (std::find(codes.begin(), codes.begin() + static_cast<std::ptrdiff_t>(second), codes[second]) ==
           codes.begin() + static_cast<std::ptrdiff_t>(second)) {
        ++second;
    }
    const std::wstring repeated = codes[second];
    sim.writeVersionedFile(kClientExe, kRelease9115);
    install(repeated);
    sim.failCall("MsiDatabaseCommit", 1, 1627); // the first try fails at its commit
    EXPECT_EQ(DifxHandler::disableDifxCAs(L"all"), 0);
    EXPECT_EQ(logged("Searching Product: " + quotedName(repeated)), 2U);
    EXPECT_EQ(logged("Searching Product: "), second + 1);
    EXPECT_EQ(logMessages().back(), "Disabled Difx CAs Successfully for product Code: " + narrow(repeated));
    EXPECT_EQ(changed(), difxNames());
}

TEST_F(InstallerDbTest, AFailedPathExpansionEndsDiscoveryQuietly) {
    sim.writeVersionedFile(kClientExe, kRelease9115);
    sim.failCall("ExpandEnvironmentStringsW", 2, 203); // the first expansion is the log folder's
    EXPECT_EQ(run(L"/disableDifx", L"all"), 0);
    EXPECT_EQ(logMessages().back(), "Command received to disable Difx custom actions");
}

// Every installer and version call of both handlers, failed at its first,
// second and last use (the middle uses repeat the second's path): every
// installer handle is closed.
TEST_F(InstallerDbTest, FaultSweep) {
    const std::wstring code = codesOf(L"9.1.15").at(1);
    auto scenario = [&](SimMachine& machine) {
        machine.writeVersionedFile(kClientExe, kRelease9115);
        machine.installProduct(code, kPackage, fullSequence());
        DifxHandler::disableDifxCAs(L"all");
        CustomActionHandler(code).disableCustomActions();
    };
    std::map<std::string, unsigned> uses;
    {
        SimMachine clean;
        platform::bindPlatform(clean.platform());
        scenario(clean);
        for (const std::string& call : clean.callTrace()) {
            uses[call] +=
                call.starts_with("Msi") || call.starts_with("GetFileVersion") || call == "VerQueryValueW";
        }
    }
    std::erase_if(uses, [](const auto& use) { return use.second == 0; });
    EXPECT_EQ(uses.size(), 9U);
    for (const auto& [call, count] : uses) {
        for (const unsigned nth : std::set<unsigned>{1, std::min(2U, count), count}) {
            SimMachine faulty;
            platform::bindPlatform(faulty.platform());
            faulty.failCall(call, nth, 1234);
            scenario(faulty);
            EXPECT_EQ(faulty.openHandleCount(), 0U) << call << " #" << nth << "\n"
                                                    << faulty.openHandleReport();
        }
    }
    platform::bindPlatform(sim.platform());
}

} // namespace
} // namespace tdu::test
