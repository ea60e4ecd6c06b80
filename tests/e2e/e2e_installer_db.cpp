// Installer-database maintenance under Wine: an "earlier release" package built by wixl is installed by
// Wine's msiexec, the program switches custom actions off in the installer's cached copy of it, and msitools
// reads that copy back. Nothing of the client's real packages is used: the package holds harmless actions
// named like the release's.
#include "HostTools.h"
#include "WineHarness.h"

#include "installer_db/FixedTables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#ifndef TDU_E2E_PACKAGES_DIR
#define TDU_E2E_PACKAGES_DIR ""
#endif

namespace tdu::e2e {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kVendorFolder = R"(C:\users\Public\Tavrin Secure)";
constexpr std::string_view kLogFile = R"(C:\users\Public\Tavrin Secure\Logging\TavrinDriverUtil.log)";
constexpr std::string_view kInstallerCache = R"(C:\windows\Installer)";
constexpr std::string_view kPackage = R"(C:\packages\earlier-release.msi)";
constexpr std::string_view kClientFolder = R"(C:\Program Files (x86)\Common Files\Tavrin Secure\TamUI)";
const std::string kServiceStart = "dll_def_StartTavrinSecureService";

// Product codes of the tests' own, listed in no table of the program.
const std::string kTestProduct = "{6B3E9D20-5A4C-4F1E-8D7B-2C9A0E4F6B13}";
const std::string kUnknownProduct = "{6B3E9D20-5A4C-4F1E-8D7B-2C9A0E4F6B14}";

constexpr std::uint32_t kSuccess = 0;
constexpr std::uint32_t kRefused = 2;
constexpr std::uint32_t kMinusOne = 0xFFFFFFFF; // -1 as the system reports it

std::string narrow(std::wstring_view text) {
    return {text.begin(), text.end()};
}

// InstallExecuteSequence as action -> condition.
using Sequence = std::map<std::string, std::string>;

// The names of difxCustomActions that a package's sequence holds.
std::set<std::string> difxNamesIn(const Sequence& sequence) {
    std::set<std::string> names;
    for (const std::wstring_view name : difxCustomActions) {
        if (sequence.contains(narrow(name))) {
            names.insert(narrow(name));
        }
    }
    return names;
}

class InstallerDb : public ::testing::Test {
protected:
    InstallerDb() : scratch_(machine.prefix().parent_path() / "installer-db") {
        fs::create_directories(scratch_);
        machine.mkdirs(kVendorFolder); // the program creates only the log folder itself
    }

    // A host tool (wixl, msiinfo); its standard output.
    std::string tool(const std::vector<std::string>& argv) {
        return runHostTool(argv, scratch_ / std::to_string(++tools_));
    }

    // Builds the earlier release under this product code and installs it; the installer's cached copy.
    std::string installEarlierRelease(const std::string& productCode) {
        machine.mkdirs(R"(C:\packages)");
        tool({"wixl", "-a", "x64", "-D", "ProductCode=" + productCode, "-o",
              machine.hostPath(kPackage).string(), TDU_E2E_PACKAGES_DIR "/earlier-release.wxs"});
        EXPECT_EQ(machine.runCommand("msiexec.exe", {"/i", std::string(kPackage), "/qn"}), kSuccess);
        std::vector<std::string> cached;
        for (const std::string& name : machine.listDir(kInstallerCache)) {
            if (name.ends_with(".msi")) {
                cached.push_back(std::string(kInstallerCache) + "\\" + name);
            }
        }
        if (cached.size() != 1) {
            throw std::runtime_error(std::to_string(cached.size()) + " cached packages, expected 1");
        }
        return cached.front();
    }

    Sequence sequenceOf(std::string_view package) {
        std::istringstream table(
            tool({"msiinfo", "export", machine.hostPath(package).string(), "InstallExecuteSequence"}));
        Sequence rows;
        std::string line;
        for (int row = 0; std::getline(table, line); ++row) {
            const auto tab = line.find('\t');
            if (row >= 3) { // after the column names, types and the table's key
                rows[line.substr(0, tab)] = line.substr(tab + 1, line.find('\t', tab + 1) - tab - 1);
            }
        }
        return rows;
    }

    // Actions whose condition differs from the package as built; each must have become "0".
    static std::set<std::string> changed(const Sequence& original, const Sequence& now) {
        EXPECT_EQ(now.size(), original.size());
        std::set<std::string> actions;
        for (const auto& [action, condition] : now) {
            if (!original.contains(action) || original.at(action) != condition) {
                EXPECT_EQ(condition, "0") << action;
                actions.insert(action);
            }
        }
        return actions;
    }

    // Runs the program on a fresh log; the exit code.
    std::uint32_t run(const std::vector<std::string>& args) {
        fs::remove(machine.hostPath(kLogFile));
        return machine.run(args);
    }

    // The messages of the log's lines ("[time] [unit(line)] | message").
    std::vector<std::string> messages() {
        std::istringstream text(machine.readFile(kLogFile));
        std::vector<std::string> found;
        for (std::string line; std::getline(text, line);) {
            if (line.ends_with('\r')) {
                line.pop_back();
            }
            if (const auto bar = line.find("] | "); line.starts_with("[") && bar != std::string::npos) {
                found.push_back(line.substr(bar + 4));
            }
        }
        return found;
    }
    std::size_t logged(std::string_view prefix) {
        const auto all = messages();
        return static_cast<std::size_t>(std::count_if(
            all.begin(), all.end(), [&](const std::string& m) { return m.starts_with(prefix); }));
    }

    void placeClient(const std::string& label) {
        machine.mkdirs(kClientFolder);
        machine.writeFile(std::string(kClientFolder) + "\\Tavrin.exe", readHostFile(clientStandIn(label)));
    }

    WineMachine machine;

private:
    fs::path scratch_;
    unsigned tools_ = 0;
};

TEST_F(InstallerDb, ExplicitProductCodesDisableExactlyTheirListsInTheCachedPackage) {
    const std::string cached = installEarlierRelease(kTestProduct);
    const Sequence original = sequenceOf(kPackage);
    ASSERT_EQ(sequenceOf(cached), original);
    std::set<std::string> expected = difxNamesIn(original);
    ASSERT_EQ(expected.size(), 5U);

    EXPECT_EQ(run({"/disableCustomActions", kTestProduct}), kSuccess);
    EXPECT_EQ(changed(original, sequenceOf(cached)), std::set<std::string>{kServiceStart});
    EXPECT_EQ(messages().back(), "Committing Successful...");

    // Twice: the second run finds the same conditions and leaves them so.
    expected.insert(kServiceStart);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(run({"/disableDifx", kTestProduct}), kSuccess);
        EXPECT_EQ(changed(original, sequenceOf(cached)), expected);
        // Names the package lacks count as disabled: the engine executes their statements without error.
        EXPECT_EQ(logged("Successfully disabled custom action: '"), difxCustomActions.size());
        EXPECT_EQ(messages().back(), "Commiting Successful...");
    }

    // The committed package is one the engine still runs: the release can be removed, and is then unknown.
    EXPECT_EQ(machine.runCommand("msiexec.exe", {"/x", kTestProduct, "/qn"}), kSuccess);
    EXPECT_EQ(run({"/disableDifx", kTestProduct}), kMinusOne);
    EXPECT_EQ(messages().back(), "Failed to find Product: '" + kTestProduct + "', Error: 1605");
}

// One machine for both, since each costs seconds: refusals and unknown products first, with nothing
// installed, then discovery of an installed earlier release.
TEST_F(InstallerDb, RefusalsThenDiscoveryOfTheEarlierReleaseByItsClientVersion) {
    const struct {
        std::vector<std::string> args;
        std::uint32_t exitCode;
        std::string last;
    } cases[] = {
        // The custom-action branch ends with 0 whatever its handler met.
        {{"/disableCustomActions", kUnknownProduct},
         kSuccess,
         "Failed to retrieve local cache MSI path, Error: 1605"},
        {{"/disableDifx", kUnknownProduct},
         kMinusOne,
         "Failed to find Product: '" + kUnknownProduct + "', Error: 1605"},
        {{"/disableDifx", "ALL"}, kMinusOne, "Failed to find Product: 'ALL', Error: 87"},
        {{"/disableDifx", "all"}, kSuccess, "Tavrin.exe does not exist, assuming it is fresh installation"},
        {{"/disableDifx", ""}, kRefused, "Product Code is empty"},
        {{"/disableCustomActions", ""}, kRefused, "Product Code is empty"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front() + " " + c.args.back());
        EXPECT_EQ(run(c.args), c.exitCode);
        EXPECT_EQ(messages().back(), c.last);
    }

    std::vector<std::string> codes;
    const auto [first, last] = productCodesByVersion.equal_range(L"9.1.15");
    std::transform(first, last, std::back_inserter(codes),
                   [](const auto& entry) { return narrow(entry.second); });
    const std::string cached = installEarlierRelease(codes.at(2));
    const Sequence original = sequenceOf(cached);

    placeClient("9.1.16");
    EXPECT_EQ(run({"/disableDifx", "all"}), kRefused);
    EXPECT_EQ(messages().back(), "Couldn't find product Code for : 9.1.16");
    EXPECT_TRUE(changed(original, sequenceOf(cached)).empty());

    // Product version 9.7.3.1, file version 9.1.15.4: the label takes 9 from the first, 1 and 15 from the
    // second. The two codes listed before the installed one are tried first.
    placeClient("9.1.15");
    EXPECT_EQ(run({"/disableDifx", "all"}), kSuccess);
    EXPECT_EQ(logged("Version of old Product is: 9.1.15"), 1U);
    EXPECT_EQ(logged("Failed to find Product: '" + codes[0] + "', Error: 1605"), 1U);
    EXPECT_EQ(logged("Failed to find Product: '" + codes[1] + "', Error: 1605"), 1U);
    EXPECT_EQ(logged("Searching Product: "), 3U);
    EXPECT_EQ(messages().back(), "Disabled Difx CAs Successfully for product Code: " + codes[2]);
    EXPECT_EQ(changed(original, sequenceOf(cached)), difxNamesIn(original));

    // A product whose cached package is gone. Wine's MsiOpenDatabaseW reports the missing file as 1627
    // (ERROR_FUNCTION_FAILED) where Windows reports 110 (ERROR_OPEN_FAILED); the program passes either on.
    fs::remove(machine.hostPath(cached));
    EXPECT_EQ(run({"/disableCustomActions", codes[2]}), kSuccess);
    EXPECT_EQ(messages().back(), "Failed to find MSI Database, Error: 1627");
    EXPECT_EQ(run({"/disableDifx", codes[2]}), kMinusOne);
    EXPECT_EQ(messages().back(), "Failed to find MSI Database for Product: '" + codes[2] + "', Error: 1627");
}

} // namespace
} // namespace tdu::e2e
