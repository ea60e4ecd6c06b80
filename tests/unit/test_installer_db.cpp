// Switching custom actions off in installed products' cached packages:
// DifxHandler (skip a failing name, commit the rest; discovery of the earlier
// release by its Tavrin.exe) and CustomActionHandler (all or nothing), on the
// simulated installer engine.
#include "tests/unit/SimTest.h"

#include "app/TavrinDriverUtil.h"
#include "installer_db/CustomActionHandler.h"
#include "installer_db/DifxHandler.h"
#include "installer_db/FixedTables.h"

#include <algorithm>
#include <map>
#include <regex>
#include <set>

namespace tdu::test {
namespace {

using platform::FixedFileInfo;
using platform::sim::SimSequenceRow;

constexpr wchar_t kProduct[] = L"{3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D}";
constexpr wchar_t kPackage[] = L"C:\\Windows\\Installer\\3f9a1.msi";
constexpr wchar_t kClientExe[] = L"C:\\Program Files (x86)\\Common Files\\Tavrin Secure\\TamUI\\Tavrin.exe";
constexpr wchar_t kBystander[] = L"KeepThisAction";
constexpr wchar_t kServiceStart[] = L"dll_def_StartTavrinSecureService";
constexpr wchar_t kOriginalCondition[] = L"NOT Installed";

std::string quotedName(std::wstring_view name) {
    return "'" + narrow(name) + "' ...";
}

// The codes of a label, in the order they are tried.
std::vector<std::wstring> codesOf(const std::wstring& label) {
    std::vector<std::wstring> codes;
    const auto [first, last] = productCodesByVersion.equal_range(label);
    for (auto entry = first; entry != last; ++entry) {
        codes.push_back(entry->second);
    }
    return codes;
}

FixedFileInfo versionInfo(std::uint32_t productMS, std::uint32_t fileMS, std::uint32_t fileLS) {
    FixedFileInfo info;
    info.signature = platform::kFixedFileInfoSignature;
    info.productVersionMS = productMS;
    info.productVersionLS = 0x0005'0006;
    info.fileVersionMS = fileMS;
    info.fileVersionLS = fileLS;
    return info;
}

class InstallerDbTest : public SimTest {
protected:
    // A package whose sequence holds every name of both lists, a bystander
    // custom action and standard actions, each with a condition of its own.
    static std::vector<SimSequenceRow> fullSequence() {
        std::vector<SimSequenceRow> rows{{L"CostInitialize", L"", 800},
                                         {kBystander, kOriginalCondition, 900}};
        int sequence = 1000;
        for (const std::wstring_view name : difxCustomActions) {
            rows.push_back({std::wstring(name), kOriginalCondition, ++sequence});
        }
        rows.push_back({kServiceStart, L"REMOVE~=\"ALL\"", 6401});
        rows.push_back({L"InstallFinalize", L"", 6600});
        return rows;
    }

    void install(const std::wstring& product = kProduct, const std::wstring& package = kPackage) {
        sim.installProduct(product, package, fullSequence());
    }

    // Actions whose condition is no longer the one the package was built with.
    std::set<std::wstring> changedActions(const std::wstring& package = kPackage) const {
        const std::vector<SimSequenceRow> original = fullSequence();
        const std::vector<SimSequenceRow> now = sim.installExecuteSequence(package);
        EXPECT_EQ(now.size(), original.size());
        std::set<std::wstring> changed;
        for (std::size_t i = 0; i < std::min(now.size(), original.size()); ++i) {
            EXPECT_EQ(now[i].action, original[i].action);
            EXPECT_EQ(now[i].sequence, original[i].sequence);
            if (now[i].condition != original[i].condition) {
                EXPECT_EQ(now[i].condition, L"0") << narrow(now[i].action);
                changed.insert(now[i].action);
            }
        }
        return changed;
    }

    static std::set<std::wstring> difxNames() { return {difxCustomActions.begin(), difxCustomActions.end()}; }

    std::size_t countLogged(const std::string& message) const {
        const auto messages = logMessages();
        return static_cast<std::size_t>(std::count(messages.begin(), messages.end(), message));
    }

    // The call's kth use from now on fails.
    void failUse(const std::string& call, unsigned k, std::uint32_t error) {
        sim.failCall(call, sim.callCount(call) + k, error);
    }

    void freshLog() { std::filesystem::remove(sim.hostPath(kLogPath)); }

    int run(std::vector<const wchar_t*> args) {
        args.insert(args.begin(), L"C:\\x\\TavrinDriverUtil.exe");
        TDCmdLineParser parser;
        return RunTavrinDriverUtil(L"", static_cast<unsigned>(args.size()), args.data(), parser);
    }
};

// ---- the fixed tables ------------------------------------------------------------------------------------

TEST_F(InstallerDbTest, CustomActionListsHaveTheirShape) {
    EXPECT_EQ(difxNames().size(), difxCustomActions.size()); // no name twice
    const std::wstring_view driverModule = L".34C340EE_B1F9_442D_901E_D43CD5E6BD8E";
    const std::wstring_view serviceModule = L".1AE1994A_14A3_458C_ACA8_E4EF3718820B";
    std::map<std::wstring_view, int> kinds;
    for (std::size_t i = 0; i < difxCustomActions.size(); ++i) {
        const std::wstring_view name = difxCustomActions.at(i);
        SCOPED_TRACE(narrow(name));
        const std::wstring_view kind = name.starts_with(L"Msi")        ? L"difx"
                                       : name.ends_with(driverModule)  ? driverModule
                                       : name.ends_with(serviceModule) ? serviceModule
                                                                       : L"?";
        ++kinds[kind];
        EXPECT_EQ(kind == L"difx", i < 5); // the DIFx module's own actions come first
    }
    EXPECT_EQ(kinds,
              (std::map<std::wstring_view, int>{{L"difx", 5}, {driverModule, 18}, {serviceModule, 3}}));
    EXPECT_EQ(customActionsToDisable.size(), 1U);
}

TEST_F(InstallerDbTest, ProductCodeTableHasTheReleasesLabelsAndCounts) {
    EXPECT_EQ(productCodesByVersion.size(), 220U);
    const std::map<std::wstring, std::size_t> counts{{L"22.2.1", 10}, {L"9.1.15", 70}, {L"9.1.14", 20},
                                                     {L"9.1.13", 40}, {L"9.1.12", 20}, {L"9.1.11", 50},
                                                     {L"9.1.10", 10}};
    const std::map<std::wstring, std::size_t> repeated{{L"9.1.15", 1}, {L"9.1.13", 1}};
    const std::wregex codeForm(LR"(\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\})");
    std::map<std::wstring, std::wstring> labelOfCode;
    for (const auto& [label, count] : counts) {
        SCOPED_TRACE(narrow(label));
        const std::vector<std::wstring> codes = codesOf(label);
        EXPECT_EQ(codes.size(), count);
        const std::set<std::wstring> distinct(codes.begin(), codes.end());
        EXPECT_EQ(codes.size() - distinct.size(), repeated.contains(label) ? repeated.at(label) : 0U);
        for (const std::wstring& code : distinct) {
            EXPECT_TRUE(std::regex_match(code, codeForm)) << narrow(code);
            EXPECT_TRUE(labelOfCode.emplace(code, label).second) << narrow(code) << " under two labels";
        }
    }
}

// ---- one product: the two handlers and their policies ----------------------------------------------------

TEST_F(InstallerDbTest, AnUnknownProductOpensNoDatabase) {
    install();
    const struct {
        const wchar_t* product;
        std::uint32_t error;
    } cases[] = {{L"{3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5E}", 1605}, {L"ALL", 87}};
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.product));
        freshLog();
        EXPECT_EQ(DifxHandler::disableCustomActions(c.product), -1);
        EXPECT_FALSE(CustomActionHandler(c.product).disableCustomActions());
        const std::string error = std::to_string(c.error);
        EXPECT_EQ(logMessages(), (std::vector<std::string>{
                                     "Searching Product: " + quotedName(c.product),
                                     "Failed to find Product: '" + narrow(c.product) + "', Error: " + error,
                                     "Failed to retrieve local cache MSI path, Error: " + error}));
        EXPECT_EQ(sim.callCount("MsiOpenDatabaseW"), 0U);
    }
    EXPECT_TRUE(changedActions().empty());
}

TEST_F(InstallerDbTest, DifxHandlerDisablesItsNamesAndCommits) {
    install();
    EXPECT_EQ(DifxHandler::disableCustomActions(kProduct), 0);
    EXPECT_EQ(changedActions(), difxNames());
    std::vector<std::string> expected{"Searching Product: " + quotedName(kProduct),
                                      "Product Found: '" + narrow(kPackage) + "', Disabling Difx now..."};
    for (const std::wstring_view name : difxCustomActions) {
        expected.push_back("Disabling custom action: " + quotedName(name));
        expected.push_back("Successfully disabled custom action: " + quotedName(name));
    }
    expected.emplace_back("Committing Msi DB updates...");
    expected.emplace_back("Commiting Successful...");
    EXPECT_EQ(logMessages(), expected);
    for (const LogEntry& entry : logEntries()) {
        EXPECT_EQ(entry.source, "DifxHandler.cpp");
    }
    EXPECT_EQ(sim.callCount("MsiDatabaseCommit"), 1U);
}

TEST_F(InstallerDbTest, NamesThePackageLacksStillCountAsDisabled) {
    sim.installProduct(kProduct, kPackage,
                       {{L"MsiInstallDrivers", L"NOT Installed", 1001}, {kServiceStart, L"", 6401}});
    EXPECT_EQ(DifxHandler::disableCustomActions(kProduct), 0);
    EXPECT_EQ(countLogged("Disabling custom action failed: " + quotedName(difxCustomActions[0])), 0U);
    std::size_t successes = 0;
    for (const std::string& message : logMessages()) {
        successes += message.starts_with("Successfully disabled custom action: ") ? 1 : 0;
    }
    EXPECT_EQ(successes, 26U);
    EXPECT_TRUE(CustomActionHandler(kProduct).disableCustomActions());
    EXPECT_EQ(sim.installExecuteSequence(kPackage),
              (std::vector<SimSequenceRow>{{L"MsiInstallDrivers", L"0", 1001}, {kServiceStart, L"0", 6401}}));
}

TEST_F(InstallerDbTest, CustomActionHandlerDisablesTheServiceStart) {
    install();
    freshLog();
    EXPECT_EQ(run({L"/disableCustomActions", kProduct}), 0);
    EXPECT_EQ(changedActions(), std::set<std::wstring>{kServiceStart});
    const std::string path = narrow(kPackage);
    const std::vector<std::pair<std::string, std::string>> expected{
        {"TDriverOperator.cpp", "Command received to disable custom actions"},
        {"TDriverOperator.cpp", "Product Code of prior installer: " + narrow(kProduct)},
        {"CustomActionHandler.h", "Local cache MSI path of installer retrieved successfully: " + path},
        {"CustomActionHandler.h", "Opening DB: " + path},
        {"CustomActionHandler.h", "DB opened successfully: " + path},
        {"CustomActionHandler.h", "Disabling custom action: dll_def_StartTavrinSecureService"},
        {"CustomActionHandler.h", "Opening a view"},
        {"CustomActionHandler.h", "Executing a view"},
        {"CustomActionHandler.h", "Successfully disabled custom action: dll_def_StartTavrinSecureService"},
        {"CustomActionHandler.h", "Committing Msi DB updates..."},
        {"CustomActionHandler.h", "Committing Successful..."},
    };
    std::vector<std::pair<std::string, std::string>> logged;
    for (const LogEntry& entry : logEntries()) {
        logged.emplace_back(entry.source, entry.message);
    }
    ASSERT_GE(logged.size(), 1U);
    EXPECT_EQ(std::vector(logged.begin() + 1, logged.end()), expected); // after "Command Line Received"
}

TEST_F(InstallerDbTest, OneFailingNameSkippedByDifxButFatalToCustomActionHandler) {
    const std::wstring seventh(difxCustomActions[6]);
    const struct {
        const char* call;
        std::uint32_t error;
        std::string failure;
        bool executed; // the statement ran before the failure
    } cases[] = {
        {"MsiDatabaseOpenViewW", 1615, "Failed to open DB view, Error: 1615", false},
        {"MsiViewExecute", 1627, "Failed to execute DB view query, Error: 1627", false},
        {"MsiViewClose", 6, "Failed to close view, Error: 6", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        install();
        freshLog();
        sim.clearFaults();
        failUse(c.call, 7, c.error);
        const unsigned closesBefore = sim.callCount("MsiViewClose");
        EXPECT_EQ(DifxHandler::disableCustomActions(kProduct), 0);
        // Counted as failed, yet a statement that ran is in the committed transaction.
        std::set<std::wstring> expectedChanged = difxNames();
        if (!c.executed) {
            expectedChanged.erase(seventh);
        }
        EXPECT_EQ(changedActions(), expectedChanged);
        EXPECT_EQ(countLogged(c.failure), 1U);
        EXPECT_EQ(countLogged("Disabling custom action failed: " + quotedName(seventh)), 1U);
        EXPECT_EQ(countLogged("Disabling custom action failed: " + quotedName(difxCustomActions[7])), 0U);
        EXPECT_EQ(countLogged("Successfully disabled custom action: " + quotedName(seventh)),
                  c.executed ? 1U : 0U);
        EXPECT_EQ(logMessages().back(), "Commiting Successful...");
        // The view is closed after a failed execution too.
        EXPECT_EQ(sim.callCount("MsiViewClose") - closesBefore,
                  std::string(c.call) == "MsiDatabaseOpenViewW" ? 25U : 26U);

        install();
        freshLog();
        sim.clearFaults();
        failUse(c.call, 1, c.error);
        const unsigned commitsBefore = sim.callCount("MsiDatabaseCommit");
        EXPECT_EQ(run({L"/disableCustomActions", kProduct}), 0);
        EXPECT_TRUE(changedActions().empty());
        EXPECT_EQ(sim.callCount("MsiDatabaseCommit"), commitsBefore);
        EXPECT_EQ(logMessages().back(), c.failure);
    }
}

TEST_F(InstallerDbTest, PackageAndCommitFailures) {
    const struct {
        const char* call;
        std::uint32_t error;
        std::string difxFailure;
        std::string customFailure;
    } cases[] = {
        {"MsiOpenDatabaseW", 110,
         "Failed to find MSI Database for Product: '" + narrow(kProduct) + "', Error: 110",
         "Failed to find MSI Database, Error: 110"},
        {"MsiDatabaseCommit", 1627, "Failed to commit MSI Db, Error: 1627",
         "Failed to commit MSI Db, Error: 1627"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        install();
        freshLog();
        sim.clearFaults();
        sim.failCall(c.call, 0, c.error);
        EXPECT_EQ(DifxHandler::disableCustomActions(kProduct), -1);
        EXPECT_EQ(logMessages().back(), c.difxFailure);
        EXPECT_FALSE(CustomActionHandler(kProduct).disableCustomActions());
        EXPECT_EQ(logMessages().back(), c.customFailure);
        EXPECT_TRUE(changedActions().empty());
    }
    // A product whose cached package is gone fails the same way without any fault.
    install();
    sim.clearFaults();
    sim.deleteCachedPackage(kPackage);
    EXPECT_EQ(DifxHandler::disableCustomActions(kProduct), -1);
    EXPECT_EQ(logMessages().back(), cases[0].difxFailure);
}

TEST_F(InstallerDbTest, ASecondRunSucceedsAgainWithTheSameResult) {
    install();
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        EXPECT_EQ(DifxHandler::disableCustomActions(kProduct), 0);
        EXPECT_TRUE(CustomActionHandler(kProduct).disableCustomActions());
        std::set<std::wstring> expected = difxNames();
        expected.insert(kServiceStart);
        EXPECT_EQ(changedActions(), expected);
    }
}

TEST_F(InstallerDbTest, PackagePathBuffersDifferBetweenTheHandlers) {
    const struct {
        std::size_t pathLength;
        int difx;
        bool custom;
    } cases[] = {{255, 0, true}, {256, -1, true}, {259, -1, true}, {260, -1, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pathLength);
        std::wstring path = L"C:\\Windows\\Installer\\";
        path += std::wstring(c.pathLength - path.size() - 4, L'p') + L".msi";
        install(kProduct, path);
        freshLog();
        EXPECT_EQ(DifxHandler::disableCustomActions(kProduct), c.difx);
        EXPECT_EQ(CustomActionHandler(kProduct).disableCustomActions(), c.custom);
        if (c.difx != 0) {
            EXPECT_EQ(countLogged("Failed to find Product: '" + narrow(kProduct) + "', Error: 234"), 1U);
        }
        if (!c.custom) {
            EXPECT_EQ(logMessages().back(), "Failed to retrieve local cache MSI path, Error: 234");
        }
    }
}

// ---- /disableDifx: explicit code or discovery ------------------------------------------------------------

TEST_F(InstallerDbTest, TheLabelTakesTheProductMajorAndTheFileMinorAndBuild) {
    const struct {
        std::uint32_t productMS, fileMS, fileLS, capacity;
        const wchar_t* label;
    } cases[] = {
        {0x0009'0007, 0x0009'0001, 0x000F'0004, 32, L"9.1.15"},
        {0x0016'0002, 0x0009'0001, 0x000F'0000, 32, L"22.1.15"},
        {0x0009'0000, 0x000A'0001, 0x000F'0000, 32, L"9.1.15"},
        {0x0000'0000, 0x0000'0000, 0x0000'0000, 32, L"0.0.0"},
        {0xFFFF'FFFF, 0xFFFF'FFFF, 0xFFFF'FFFF, 32, L"65535.65535.65535"},
        {0x0009'0007, 0x0009'0001, 0x000F'0004, 6, L"9.1.1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.label));
        sim.writeVersionedFile(kClientExe, versionInfo(c.productMS, c.fileMS, c.fileLS));
        std::wstring label;
        EXPECT_EQ(DifxHandler::GetFileVersion(kClientExe, label, c.capacity), 0);
        EXPECT_EQ(label, c.label);
    }
}

TEST_F(InstallerDbTest, DisableDifxOutcomes) {
    const std::vector<std::wstring> codes = codesOf(L"9.1.15");
    const std::string third = narrow(codes.at(2));
    const struct {
        const char* name;
        const wchar_t* argument;
        std::function<void(platform::sim::SimMachine&)> setUp;
        int result;
        std::vector<std::string> tail; // the last messages written
    } cases[] = {
        {"empty argument", L"", nullptr, 2, {"Product Code is empty"}},
        {"explicit code", kProduct, nullptr, 0, {"Commiting Successful..."}},
        {"ALL is a product code", L"ALL", nullptr, -1, {"Failed to find Product: 'ALL', Error: 87"}},
        {"All is a product code", L"All", nullptr, -1, {"Failed to find Product: 'All', Error: 87"}},
        {"no client executable",
         L"all",
         nullptr,
         0,
         {"Tavrin.exe does not exist, assuming it is fresh installation"}},
        {"no version resource",
         L"all",
         [](auto& m) { m.writeFile(kClientExe, "MZ"); },
         2,
         {"GetFileVersionInfoSize Failed with last Error: 1812", "Failed to retrieve version of Tavrin.exe"}},
        {"version block unreadable",
         L"all",
         [](auto& m) {
             m.writeVersionedFile(kClientExe, versionInfo(0x0009'0000, 0x0009'0001, 0x000F'0000));
             m.failCall("GetFileVersionInfoW", 1, 5);
         },
         2,
         {"GetFileVersionInfo Failed with last Error: 5", "Failed to retrieve version of Tavrin.exe"}},
        {"no fixed file information",
         L"all",
         [](auto& m) {
             m.writeVersionedFile(kClientExe, versionInfo(0x0009'0000, 0x0009'0001, 0x000F'0000));
             m.failCall("VerQueryValueW", 1, 1813);
         },
         2,
         {"VerQueryValue Failed", "Failed to retrieve version of Tavrin.exe"}},
        {"version not in the table",
         L"all",
         [](auto& m) {
             m.writeVersionedFile(kClientExe, versionInfo(0x0009'0002, 0x0009'0001, 0x0010'0000));
         },
         2,
         {"Version of old Product is: 9.1.16", "Couldn't find product Code for : 9.1.16"}},
        {"third code of the label installed",
         L"all",
         [&](auto& m) {
             m.writeVersionedFile(kClientExe, versionInfo(0x0009'0007, 0x0009'0001, 0x000F'0004));
             m.installProduct(codes.at(2), kPackage, fullSequence());
         },
         0,
         {"Commiting Successful...", "Disabled Difx CAs Successfully for product Code: " + third}},
        {"existence test failing: the version decides",
         L"all",
         [&](auto& m) {
             m.writeVersionedFile(kClientExe, versionInfo(0x0009'0007, 0x0009'0001, 0x000F'0004));
             m.installProduct(codes.at(2), kPackage, fullSequence());
             m.failCall("exists", 1, 5);
         },
         0,
         {"Commiting Successful...", "Disabled Difx CAs Successfully for product Code: " + third}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim.clearFaults();
        install();
        sim.removeEnvironment(L"NoSuchVariable");
        std::filesystem::remove(sim.hostPath(kClientExe));
        freshLog();
        if (c.setUp) {
            c.setUp(sim);
        }
        EXPECT_EQ(run({L"/disableDifx", c.argument}), c.result);
        const auto messages = logMessages();
        ASSERT_GE(messages.size(), c.tail.size() + 2);
        EXPECT_EQ(messages[1], "Command received to disable Difx custom actions");
        EXPECT_EQ(std::vector(messages.end() - static_cast<std::ptrdiff_t>(c.tail.size()), messages.end()),
                  c.tail);
        for (const LogEntry& entry : logEntries()) {
            EXPECT_TRUE(entry.source == "DifxHandler.cpp" || entry.message == messages[0] ||
                        entry.message == messages[1])
                << entry.source << ": " << entry.message;
        }
    }
}

TEST_F(InstallerDbTest, DiscoveryStopsAtTheFirstCodeThatCommits) {
    const std::vector<std::wstring> codes = codesOf(L"9.1.15");
    sim.writeVersionedFile(kClientExe, versionInfo(0x0009'0007, 0x0009'0001, 0x000F'0004));
    sim.installProduct(codes.at(4), L"C:\\Windows\\Installer\\a.msi", fullSequence());
    sim.installProduct(codes.at(9), L"C:\\Windows\\Installer\\b.msi", fullSequence());
    EXPECT_EQ(DifxHandler::disableDifxCAs(L"all"), 0);
    EXPECT_EQ(changedActions(L"C:\\Windows\\Installer\\a.msi"), difxNames());
    EXPECT_TRUE(changedActions(L"C:\\Windows\\Installer\\b.msi").empty());
    EXPECT_EQ(sim.callCount("MsiGetProductInfoW"), 5U);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(countLogged("Failed to find Product: '" + narrow(codes.at(i)) + "', Error: 1605"), 1U);
    }
}

TEST_F(InstallerDbTest, DiscoveryWithNoCodeInstalledStillSucceeds) {
    sim.writeVersionedFile(kClientExe, versionInfo(0x0009'0000, 0x0009'0001, 0x000D'0000));
    EXPECT_EQ(DifxHandler::disableDifxCAs(L"all"), 0);
    const std::vector<std::wstring> codes = codesOf(L"9.1.13");
    std::size_t failures = 0;
    for (const std::string& message : logMessages()) {
        failures +=
            message.starts_with("Failed to find Product: '") && message.ends_with("', Error: 1605") ? 1 : 0;
        EXPECT_FALSE(message.starts_with("Disabled Difx CAs Successfully")) << message;
    }
    EXPECT_EQ(failures, codes.size());
    EXPECT_EQ(logMessages().back(), "Failed to find Product: '" + narrow(codes.back()) + "', Error: 1605");
}

TEST_F(InstallerDbTest, ACodeListedTwiceIsTriedTwice) {
    const std::vector<std::wstring> codes = codesOf(L"9.1.15");
    std::size_t first = 0;
    std::size_t second = 0;
    for (std::size_t j = 0; j < codes.size() && second == 0; ++j) {
        const auto earlier =
            std::find(codes.begin(), codes.begin() + static_cast<std::ptrdiff_t>(j), codes[j]);
        if (earlier != codes.begin() + static_cast<std::ptrdiff_t>(j)) {
            first = static_cast<std::size_t>(earlier - codes.begin());
            second = j;
        }
    }
    ASSERT_GT(second, 0U);
    sim.writeVersionedFile(kClientExe, versionInfo(0x0009'0000, 0x0009'0001, 0x000F'0000));
    install(codes[first]);
    sim.failCall("MsiDatabaseCommit", 1, 1627); // its first try fails at the commit
    EXPECT_EQ(DifxHandler::disableDifxCAs(L"all"), 0);
    EXPECT_EQ(countLogged("Searching Product: " + quotedName(codes[first])), 2U);
    EXPECT_EQ(sim.callCount("MsiGetProductInfoW"), second + 1);
    EXPECT_EQ(logMessages().back(),
              "Disabled Difx CAs Successfully for product Code: " + narrow(codes[first]));
    EXPECT_EQ(changedActions(), difxNames());
}

TEST_F(InstallerDbTest, AFailedPathExpansionEndsDiscoveryQuietly) {
    sim.writeVersionedFile(kClientExe, versionInfo(0x0009'0000, 0x0009'0001, 0x000F'0000));
    sim.failCall("ExpandEnvironmentStringsW", 2, 203); // the first expansion is the log folder's
    EXPECT_EQ(run({L"/disableDifx", L"all"}), 0);
    EXPECT_EQ(logMessages().back(), "Command received to disable Difx custom actions");
    EXPECT_EQ(sim.callCount("GetFileVersionInfoSizeW"), 0U);
}

// Every installer and version call of both handlers, failed at its first,
// second and last use: each run ends with every installer handle closed.
// The middle uses of a call repeat the second's path; the log's own calls
// are swept where the logger is tested.
TEST_F(InstallerDbTest, FaultSweep) {
    const std::vector<std::wstring> codes = codesOf(L"9.1.15");
    auto scenario = [&](platform::sim::SimMachine& machine) {
        machine.writeVersionedFile(kClientExe, versionInfo(0x0009'0007, 0x0009'0001, 0x000F'0004));
        machine.installProduct(codes.at(1), kPackage, fullSequence());
        DifxHandler::disableDifxCAs(L"all");
        CustomActionHandler(codes.at(1)).disableCustomActions();
    };
    std::map<std::string, unsigned> uses;
    {
        platform::sim::SimMachine clean;
        platform::bindPlatform(clean.platform());
        scenario(clean);
        for (const std::string& call : clean.callTrace()) {
            if (call.starts_with("Msi") || call.starts_with("GetFileVersion") || call == "VerQueryValueW") {
                ++uses[call];
            }
        }
    }
    EXPECT_EQ(uses.size(), 9U);
    EXPECT_EQ(uses["MsiDatabaseOpenViewW"], 27U);
    for (const auto& [call, count] : uses) {
        for (const unsigned nth : std::set<unsigned>{1, std::min(2U, count), count}) {
            platform::sim::SimMachine faulty;
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
