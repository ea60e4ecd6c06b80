// Installer-database maintenance under Wine: an "earlier release" package built by wixl is installed by
// Wine's msiexec, the program switches custom actions off in the installer's cached copy of it, and msitools
// reads that copy back. Nothing of the client's real packages is used: the package holds harmless actions
// named like the release's.
#include "WineHarness.h"

#include "installer_db/FixedTables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#ifndef TDU_DEFAULT_CLIENT_DIR
#define TDU_DEFAULT_CLIENT_DIR ""
#endif
#ifndef TDU_E2E_PACKAGES_DIR
#define TDU_E2E_PACKAGES_DIR ""
#endif

extern char** environ;

namespace tdu::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::string_view kVendorFolder = R"(C:\users\Public\Tavrin Secure)";
constexpr std::string_view kLogFile = R"(C:\users\Public\Tavrin Secure\Logging\TavrinDriverUtil.log)";
constexpr std::string_view kInstallerCache = R"(C:\windows\Installer)";
constexpr std::string_view kPackageFolder = R"(C:\packages)";
constexpr std::string_view kPackage = R"(C:\packages\earlier-release.msi)";
constexpr std::string_view kClientFolder = R"(C:\Program Files (x86)\Common Files\Tavrin Secure\TamUI)";
constexpr std::string_view kClientExe =
    R"(C:\Program Files (x86)\Common Files\Tavrin Secure\TamUI\Tavrin.exe)";
constexpr std::string_view kServiceStart = "dll_def_StartTavrinSecureService";

// Product codes of the tests' own, listed in no table of the program.
const std::string kTestProduct = "{6B3E9D20-5A4C-4F1E-8D7B-2C9A0E4F6B13}";
const std::string kUnknownProduct = "{6B3E9D20-5A4C-4F1E-8D7B-2C9A0E4F6B14}";

constexpr std::uint32_t kSuccess = 0;
constexpr std::uint32_t kRefused = 2;
constexpr std::uint32_t kMinusOne = 0xFFFFFFFF; // -1 as the system reports it

std::string narrow(std::wstring_view text) {
    return {text.begin(), text.end()};
}

std::vector<std::string> codesOf(const std::string& label) {
    std::vector<std::string> codes;
    const auto [first, last] = productCodesByVersion.equal_range(std::wstring(label.begin(), label.end()));
    for (auto entry = first; entry != last; ++entry) {
        codes.push_back(narrow(entry->second));
    }
    return codes;
}

std::set<std::string> difxNames() {
    std::set<std::string> names;
    for (const std::wstring_view name : difxCustomActions) {
        names.insert(narrow(name));
    }
    return names;
}

fs::path clientDir() {
    const char* value = std::getenv("TDU_E2E_CLIENT");
    return value != nullptr && *value != '\0' ? value : TDU_DEFAULT_CLIENT_DIR;
}

std::string readHostFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + file.string());
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// InstallExecuteSequence as action -> condition.
using Sequence = std::map<std::string, std::string>;

class InstallerDb : public ::testing::Test {
protected:
    InstallerDb() : scratch_(machine.prefix().parent_path() / "installer-db") {
        fs::create_directories(scratch_);
        machine.mkdirs(kVendorFolder); // the program creates only the log folder itself
    }

    // A host tool (wixl, msiinfo); its standard output.
    std::string tool(const std::vector<std::string>& argv) {
        const fs::path out = scratch_ / ("tool-" + std::to_string(++tools_) + ".out");
        const fs::path err = scratch_ / ("tool-" + std::to_string(tools_) + ".err");
        std::vector<std::string> environment;
        for (char** variable = environ; *variable != nullptr; ++variable) {
            environment.emplace_back(*variable);
        }
        HostProcess process(argv, environment, out, err);
        const auto status = process.wait(60s);
        if (status != 0) {
            throw std::runtime_error(argv.front() + " failed: " + readHostFile(err));
        }
        return readHostFile(out);
    }

    // Builds the earlier release under this product code and installs it.
    void installEarlierRelease(const std::string& productCode) {
        machine.mkdirs(kPackageFolder);
        tool({"wixl", "-a", "x64", "-D", "ProductCode=" + productCode, "-o",
              machine.hostPath(kPackage).string(),
              std::string(TDU_E2E_PACKAGES_DIR) + "/earlier-release.wxs"});
        ASSERT_EQ(machine.runCommand("msiexec.exe", {"/i", std::string(kPackage), "/qn"}), kSuccess);
    }

    // The installer's cached copy of the one product installed.
    std::string cachedPackage() {
        std::vector<std::string> packages;
        for (const std::string& name : machine.listDir(kInstallerCache)) {
            if (name.ends_with(".msi")) {
                packages.push_back(std::string(kInstallerCache) + "\\" + name);
            }
        }
        if (packages.size() != 1) {
            throw std::runtime_error(std::to_string(packages.size()) + " cached packages, expected 1");
        }
        return packages.front();
    }

    Sequence sequenceOf(std::string_view package) {
        const std::string table =
            tool({"msiinfo", "export", machine.hostPath(package).string(), "InstallExecuteSequence"});
        std::istringstream lines(table);
        std::string line;
        Sequence rows;
        for (int header = 0; header < 3 && std::getline(lines, line); ++header) {
        }
        while (std::getline(lines, line)) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            const auto tab = line.find('\t');
            const auto secondTab = line.find('\t', tab + 1);
            if (tab == std::string::npos || secondTab == std::string::npos) {
                throw std::runtime_error("unexpected row in msiinfo export: " + line);
            }
            rows[line.substr(0, tab)] = line.substr(tab + 1, secondTab - tab - 1);
        }
        return rows;
    }

    // Actions whose condition differs from the package as built; each must have become "0".
    static std::set<std::string> changed(const Sequence& original, const Sequence& now) {
        EXPECT_EQ(now.size(), original.size());
        std::set<std::string> actions;
        for (const auto& [action, condition] : now) {
            const auto before = original.find(action);
            EXPECT_NE(before, original.end()) << action;
            if (before != original.end() && before->second != condition) {
                EXPECT_EQ(condition, "0") << action;
                actions.insert(action);
            }
        }
        return actions;
    }

    // Runs the program on a fresh log; the exit code.
    std::uint32_t run(const std::vector<std::string>& args) {
        std::error_code ignored;
        fs::remove(machine.hostPath(kLogFile), ignored);
        return machine.run(args);
    }

    std::vector<std::string> logMessages() {
        static const std::regex line(R"(^\[[^\]]*\] \[[^\]]*\(\d+\)\] \| (.*)$)");
        std::istringstream text(machine.readFile(kLogFile));
        std::vector<std::string> messages;
        std::string row;
        while (std::getline(text, row)) {
            if (!row.empty() && row.back() == '\r') {
                row.pop_back();
            }
            std::smatch match;
            if (std::regex_match(row, match, line)) {
                messages.push_back(match[1].str());
            }
        }
        return messages;
    }

    std::size_t countLogged(std::string_view prefix) {
        const auto messages = logMessages();
        return static_cast<std::size_t>(std::count_if(
            messages.begin(), messages.end(), [&](const std::string& m) { return m.starts_with(prefix); }));
    }

    void placeClient(const std::string& label) {
        machine.mkdirs(kClientFolder);
        machine.writeFile(kClientExe, readHostFile(clientDir() / ("tavrin-" + label + ".exe")));
    }

    WineMachine machine;

private:
    fs::path scratch_;
    unsigned tools_ = 0;
};

TEST_F(InstallerDb, ExplicitProductCodesDisableExactlyTheirListsInTheCachedPackage) {
    installEarlierRelease(kTestProduct);
    const std::string cached = cachedPackage();
    const Sequence original = sequenceOf(kPackage);
    ASSERT_EQ(sequenceOf(cached), original);
    std::set<std::string> listedInPackage;
    for (const std::string& name : difxNames()) {
        if (original.contains(name)) {
            listedInPackage.insert(name);
        }
    }
    ASSERT_EQ(listedInPackage.size(), 5U);

    EXPECT_EQ(run({"/disableCustomActions", kTestProduct}), kSuccess);
    EXPECT_EQ(changed(original, sequenceOf(cached)), std::set<std::string>{std::string(kServiceStart)});
    EXPECT_EQ(logMessages().back(), "Committing Successful...");

    // Twice: the second run finds the same conditions and leaves them so.
    std::set<std::string> expected = listedInPackage;
    expected.insert(std::string(kServiceStart));
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        EXPECT_EQ(run({"/disableDifx", kTestProduct}), kSuccess);
        EXPECT_EQ(changed(original, sequenceOf(cached)), expected);
        // Names the package lacks count as disabled: the engine executes their statements without error.
        EXPECT_EQ(countLogged("Successfully disabled custom action: '"), difxCustomActions.size());
        EXPECT_EQ(countLogged("Disabling custom action failed"), 0U);
        EXPECT_EQ(logMessages().back(), "Commiting Successful...");
    }

    // The committed package is one the engine still runs: the release can be removed, and is then unknown.
    EXPECT_EQ(machine.runCommand("msiexec.exe", {"/x", kTestProduct, "/qn"}), kSuccess);
    EXPECT_EQ(run({"/disableDifx", kTestProduct}), kMinusOne);
    EXPECT_EQ(logMessages().back(), "Failed to find Product: '" + kTestProduct + "', Error: 1605");
}

// One machine for both, since each costs seconds: refusals and unknown products first, on a machine with
// nothing installed, then discovery of an installed earlier release.
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
        EXPECT_EQ(logMessages().back(), c.last);
    }

    const std::vector<std::string> codes = codesOf("9.1.15");
    ASSERT_GE(codes.size(), 4U);
    installEarlierRelease(codes[2]);
    const std::string cached = cachedPackage();
    const Sequence original = sequenceOf(cached);

    placeClient("9.1.16");
    EXPECT_EQ(run({"/disableDifx", "all"}), kRefused);
    auto messages = logMessages();
    ASSERT_GE(messages.size(), 2U);
    EXPECT_EQ(std::vector(messages.end() - 2, messages.end()),
              (std::vector<std::string>{"Version of old Product is: 9.1.16",
                                        "Couldn't find product Code for : 9.1.16"}));
    EXPECT_TRUE(changed(original, sequenceOf(cached)).empty());

    // Product version 9.7.3.1 with file version 9.1.15.4: the label takes 9 from the first, 1 and 15 from
    // the second.
    placeClient("9.1.15");
    EXPECT_EQ(run({"/disableDifx", "all"}), kSuccess);
    messages = logMessages();
    EXPECT_NE(std::find(messages.begin(), messages.end(), "Version of old Product is: 9.1.15"),
              messages.end());
    for (const std::string& notInstalled : {codes[0], codes[1]}) {
        EXPECT_NE(std::find(messages.begin(), messages.end(),
                            "Failed to find Product: '" + notInstalled + "', Error: 1605"),
                  messages.end());
    }
    EXPECT_EQ(countLogged("Searching Product: '" + codes[3] + "'"), 0U);
    EXPECT_EQ(messages.back(), "Disabled Difx CAs Successfully for product Code: " + codes[2]);
    std::set<std::string> expected;
    for (const std::string& name : difxNames()) {
        if (original.contains(name)) {
            expected.insert(name);
        }
    }
    EXPECT_EQ(changed(original, sequenceOf(cached)), expected);

    // A product whose cached package is gone. Wine's MsiOpenDatabaseW reports the missing file as 1627
    // (ERROR_FUNCTION_FAILED) where Windows reports 110 (ERROR_OPEN_FAILED); the program passes either on.
    fs::remove(machine.hostPath(cached));
    EXPECT_EQ(run({"/disableCustomActions", codes[2]}), kSuccess);
    EXPECT_EQ(logMessages().back(), "Failed to find MSI Database, Error: 1627");
    EXPECT_EQ(run({"/disableDifx", codes[2]}), kMinusOne);
    EXPECT_EQ(logMessages().back(),
              "Failed to find MSI Database for Product: '" + codes[2] + "', Error: 1627");
}

} // namespace
} // namespace tdu::e2e
