// Switching custom actions off in installed products' cached packages: DifxHandler (skip a failing name,
// commit the rest; discovery of the earlier release by its Tavrin.exe) and CustomActionHandler (all or
// nothing).
#include "tests/unit/EarlierRelease.h"
#include "tests/unit/SimTest.h"

#include "installer_db/CustomActionHandler.h"
#include "installer_db/DifxHandler.h"

#include <algorithm>
#include <sstream>

namespace tdu::test {
namespace {

using platform::sim::SimSequenceRow;

constexpr wchar_t kClientExe[] = L"C:\\Program Files (x86)\\Common Files\\Tavrin Secure\\TamUI\\Tavrin.exe";

// The codes of label "9.1.13" in the order they are tried, braces left off; the 27th repeats the 8th.
constexpr std::string_view kCodes9113 = R"(
6629E612-8D92-532B-9D00-825879F7BA28 AF2400FC-469F-552E-9854-E5B534F43DD9 E355C188-1EC4-5BD2-81BD-57F96BA1A817
E255E545-902A-59BC-8459-1AC327A363BC 818D7D17-6022-50AF-9C9A-612C2C300E59 C60486AB-6024-5E43-8671-4E45334EB8D8
03C49103-5940-5186-A097-05B901B177E0 2290E2AB-2CFB-5F77-9C6E-372ABFC77E52 5AC3ADEA-5A92-5572-8CB6-A39EFC7D590A
C4E1DBE2-DBB4-54DE-A216-3F8669054CEC CAD3C955-F3AE-5DAB-818F-417461451F78 0ED6F6A2-7902-5584-A1D8-64EC72593EDD
EC3B61AD-5B9B-53F1-9DDC-61BBAD06DF4A 66D2BF30-E618-502C-9022-FC778953B04A FFA9FBE8-C109-54DF-A60F-C00AF34A402C
07F6A33B-1138-5B78-B067-E528C4F08DCF 8949A6AF-2B59-5092-81BD-445BC3C49C9C 68C109DF-5793-5A39-94A0-5BF91AFD346C
CD453737-72C5-5E06-A85E-B3B8B3829696 06047ECC-6F55-5438-947C-321AAE02F13C 73FF0AB4-AE41-5DE6-B04D-52C6E7E6F537
74A578DF-FB45-5C53-81AD-642244A1A56E 0C8B87B2-F399-59FC-AA3C-5E7645CBF1B0 19AB59D8-CCE3-5247-9894-BC14C6D55BDA
CEE07E26-D0A3-506C-9B56-0E83B4B9C7CA 351396F7-9DCC-591E-A777-20F91446BCE1 2290E2AB-2CFB-5F77-9C6E-372ABFC77E52
DEE29FC4-3B6A-5415-AB7D-A7982369801E 404756BB-3340-5F1C-AC81-1D31FEBED36F E9BE8537-510E-5816-846C-751DCA0A5BFE
A5C48BF9-5502-5965-A40F-5A352919B6EF 9B79AB1C-CFC2-58DB-B7CD-207FAAF3A0BA 9AE5556C-FE87-563D-9A80-B82227A1A153
CA44BCE8-410F-595F-AD58-5C61511F66DF 5036F110-240D-5AA8-A008-FA7B03D0C06E 57CF1E01-43E8-5033-BF0C-A379C503EA20
5BAEB006-C5B4-5D38-B4E6-F8C52E4C3BD6 34D116D7-EB85-5614-919C-6DB26DC26879 AE576666-4E2C-5B17-9455-892BE5B91EC2
B156332F-593B-5269-8BAF-54D6EAD4AC21)";

// The log's recurring parts.
const std::string kP = "{3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D}";
const std::string kQ = "{3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5E}";
const std::string kPkg = R"(C:\Windows\Installer\3f9a1.msi)";
const std::string k256 = R"(C:\Windows\Installer\)" + std::string(231, 'p') + ".msi";
const std::string k260 = R"(C:\Windows\Installer\)" + std::string(235, 'p') + ".msi";

// Each DIFx name's two lines.
const std::string kAll = [] {
    std::string lines;
    for (const std::wstring_view name : kEarlierDifxActions) {
        lines += "Disabling custom action: '" + narrow(name) +
                 "' ...\nSuccessfully disabled custom action: '" + narrow(name) + "' ...\n";
    }
    return lines;
}();
const std::string kFound =
    "Searching Product: '" + kP + "' ...\nProduct Found: '" + kPkg + "', Disabling Difx now...\n";
const std::string kCommitted = "Committing Msi DB updates...\nCommiting Successful...\n";
const std::string kDifx = kFound + kAll + kCommitted;
// The Nth name as the log quotes it.
std::string nth(std::size_t n) {
    return "'" + narrow(kEarlierDifxActions.at(n - 1)) + "' ...\n";
}
const std::string kOpened = "Local cache MSI path of installer retrieved successfully: " + kPkg +
                            "\nOpening DB: " + kPkg + "\nDB opened successfully: " + kPkg +
                            "\nDisabling custom action: " + narrow(kEarlierServiceStart) +
                            "\nOpening a view\n";
const std::string kCa =
    kOpened + "Executing a view\nSuccessfully disabled custom action: " + narrow(kEarlierServiceStart) +
    "\nCommitting Msi DB updates...\nCommitting Successful...\n";
const std::string kTried9113 = [] {
    std::string lines;
    std::istringstream codes{std::string(kCodes9113)};
    for (std::string code; codes >> code;) {
        code = "{" + code + "}";
        lines +=
            "Searching Product: '" + code + "' ...\nFailed to find Product: '" + code + "', Error: 1605\n";
    }
    return lines;
}();

// Before: "product CODE [PACKAGE]" (every DIFx name, the service start and a bystander in its sequence),
// "gone PACKAGE", "exe PRODUCT-MS FILE-MS FILE-LS" (Tavrin.exe's version at its place; "exe mz": one
// without). Runs: "difx CODE" (DifxHandler::disableCustomActions), "ca CODE"
// (CustomActionHandler: 1 true), "dca ARG" (DifxHandler::disableDifxCAs), "label CAPACITY" (GetFileVersion
// of Tavrin.exe).
struct DbRow {
    std::string before = "product " + kP; // a line each; one product unless told
    std::string faults{};                 // planted facts
    std::string runs{};                   // a line each
    std::string results{};                // theirs, and a label read
    std::string disabled{}; // each package's: how many DIFx names, then "ca" for the service start, others
    std::string log{};
    bool partial = false; // the log holds these lines in order, others between
};

void disable(const std::string& name, const DbRow& row, const char* file = __builtin_FILE(),
             int line = __builtin_LINE()) {
    const ::testing::ScopedTrace trace(file, line, name);
    FreshMachine m;
    std::vector<std::wstring> packages;
    std::istringstream before(row.before);
    for (std::string step; std::getline(before, step);) {
        std::istringstream in(step);
        std::string what, value, package = kPkg;
        in >> what >> value >> package;
        std::vector<SimSequenceRow> sequence{{L"KeepThisAction", L"NOT Installed", 900},
                                             {std::wstring(kEarlierServiceStart), L"REMOVE~=\"ALL\"", 6401}};
        for (const std::wstring_view action : kEarlierDifxActions) {
            sequence.push_back(
                {std::wstring(action), L"NOT Installed", static_cast<int>(1000 + sequence.size())});
        }
        platform::FixedFileInfo version{.productVersionLS = 0x0005'0006};
        std::istringstream(step.substr(std::min<std::size_t>(step.size(), 4))) >> std::hex >>
            version.productVersionMS >> version.fileVersionMS >> version.fileVersionLS;
        if (what == "product") {
            m.machine.installProduct(wide(value), wide(package), sequence);
            packages.push_back(wide(package));
        } else if (what == "gone") {
            m.machine.deleteCachedPackage(wide(value));
            packages.clear();
        } else if (what == "exe" && value == "mz") {
            m.machine.writeFile(kClientExe, "MZ");
        } else if (what == "exe") {
            m.machine.writeVersionedFile(kClientExe, version);
        }
    }
    setUpLines(m.machine, row.faults);
    std::string results;
    std::istringstream runs(row.runs);
    for (std::string run; std::getline(runs, run);) {
        const std::string what = run.substr(0, run.find(' '));
        const std::string argument = run.substr(what.size() + 1) == "\"\"" ? "" : run.substr(what.size() + 1);
        std::wstring label;
        results += results.empty() ? "" : " ";
        results += what == "difx" ? std::to_string(DifxHandler::disableCustomActions(wide(argument)))
                   : what == "ca" ? (CustomActionHandler(wide(argument)).disableCustomActions() ? "1" : "0")
                   : what == "dca"
                       ? std::to_string(DifxHandler::disableDifxCAs(wide(argument)))
                       : std::to_string(DifxHandler::GetFileVersion(
                             kClientExe, label, static_cast<std::uint32_t>(std::stoul(argument))));
        results += label.empty() ? "" : " " + narrow(label);
    }
    EXPECT_EQ(results, row.results);
    std::string after;
    for (const std::wstring& package : packages) {
        std::size_t difx = 0;
        std::string others;
        for (const SimSequenceRow& action : m.machine.installExecuteSequence(package)) {
            const bool listed = std::ranges::count(kEarlierDifxActions, action.action) != 0;
            difx += action.condition == L"0" && listed ? 1 : 0;
            others += action.condition != L"0" || listed      ? ""
                      : action.action == kEarlierServiceStart ? " ca"
                                                              : " " + narrow(action.action);
        }
        after += (after.empty() ? "" : ", ") + std::to_string(difx) + others;
    }
    EXPECT_EQ(after, row.disabled);
    EXPECT_TRUE(logMatches(logMessagesOf(m.machine), row.log, !row.partial));
    EXPECT_TRUE(nothingLeftOpen(m.machine));
}

// Label "9.1.15" installed under its third code, and another product beside it.
const std::string kThirdCode =
    "exe 0x00090007 0x00090001 0x000F0004\n"
    "product {FCA34ADF-86BF-5798-8EB4-34CB0DE6A76B}\n"
    "product {C90A1989-8FAB-59BF-B14F-D057A6EA98EC} C:\\Windows\\Installer\\b.msi\n";
const std::string kThirdFound =
    "Version of old Product is: 9.1.15\n"
    "Searching Product: '{65BD35FD-2FDA-593A-B137-C682DE5A20C4}' ...\n"
    "Failed to find Product: '{65BD35FD-2FDA-593A-B137-C682DE5A20C4}', Error: 1605\n"
    "Searching Product: '{91A9D1A4-0731-5B94-9070-8391FADE3C3E}' ...\n"
    "Failed to find Product: '{91A9D1A4-0731-5B94-9070-8391FADE3C3E}', Error: 1605\n"
    "Searching Product: '{FCA34ADF-86BF-5798-8EB4-34CB0DE6A76B}' ...\n"
    "Product Found: '" +
    kPkg + "', Disabling Difx now...\n" + kAll + kCommitted +
    "Disabled Difx CAs Successfully for product Code: {FCA34ADF-86BF-5798-8EB4-34CB0DE6A76B}\n";

TEST(InstallerDb, DisableCustomActions) {
    const std::string both = "difx " + kP + "\nca " + kP + "\n";
    const std::string exe9115 = "exe 0x00090007 0x00090001 0x000F0004\n";
    const std::string first9115 = "product {65BD35FD-2FDA-593A-B137-C682DE5A20C4}\n";
    const std::string searched = "Searching Product: '" + kP + "' ...\nFailed to find Product: '" + kP;
    // clang-format off
    disable("every DIFx name disabled and committed; a second time alike, by discovery's explicit code", {
        .runs = "difx " + kP + "\ndca " + kP, .results = "0 0", .disabled = "26", .log = kDifx + kDifx});
    disable("the service start disabled, a second time alike", {.runs = "ca " + kP + "\nca " + kP,
        .results = "1 1", .disabled = "0 ca", .log = kCa + kCa});
    disable("an unknown product; ALL is a product code to discovery", {
        .runs = "difx " + kQ + "\nca " + kQ + "\ndca ALL", .results = "-1 0 -1", .disabled = "0",
        .log = "Searching Product: '" + kQ + "' ...\nFailed to find Product: '" + kQ + "', Error: 1605\n"
        "Failed to retrieve local cache MSI path, Error: 1605\n"
        "Searching Product: 'ALL' ...\nFailed to find Product: 'ALL', Error: 87\n"});
    disable("a path of 256 fits only the 260 of the custom actions", {.before = "product " + kP + " " + k256,
        .runs = both, .results = "-1 1", .disabled = "0 ca", .log = searched + "', Error: 234\n"
        "Local cache MSI path of installer retrieved successfully: " + k256, .partial = true});
    disable("a path of 260 fits neither", {.before = "product " + kP + " " + k260, .runs = both,
        .results = "-1 0", .disabled = "0",
        .log = searched + "', Error: 234\nFailed to retrieve local cache MSI path, Error: 234\n"});
    disable("the cached package gone", {.before = "product " + kP + "\ngone " + kPkg, .runs = both,
        .results = "-1 0", .log = "Searching Product: '" + kP + "' ...\n"
        "Failed to find MSI Database for Product: '" + kP + "', Error: 110\n"
        "Local cache MSI path of installer retrieved successfully: " + kPkg + "\n"
        "Opening DB: " + kPkg + "\nFailed to find MSI Database, Error: 110\n"});
    disable("the commit fails", {.faults = "+ fail MsiDatabaseCommit 0 1627\n", .runs = both,
        .results = "-1 0", .disabled = "0", .log = kFound + kAll +
        "Committing Msi DB updates...\nFailed to commit MSI Db, Error: 1627\n" + kOpened +
        "Executing a view\nSuccessfully disabled custom action: dll_def_StartTavrinSecureService\n"
        "Committing Msi DB updates...\nFailed to commit MSI Db, Error: 1627\n"});
    // The 7th name's view, the 12th's statement and the 20th's close fail.
    disable("a failing name is skipped; one whose close failed is committed all the same", {
        .faults = "+ fail MsiDatabaseOpenViewW 7 1234\n+ fail MsiViewExecute 11 1234\n"
        "+ fail MsiViewClose 19 1234", .runs = "difx " + kP, .results = "0", .disabled = "24",
        .log = "Disabling custom action: " + nth(7) + "Failed to open DB view, Error: 1234\n"
        "Disabling custom action failed: " + nth(7) + "Failed to execute DB view query, Error: 1234\n"
        "Disabling custom action failed: " + nth(12) + "Successfully disabled custom action: " + nth(20) +
        "Failed to close view, Error: 1234\nDisabling custom action failed: " + nth(20) + kCommitted,
        .partial = true});
    // Three runs: the view not opened, the statement failing, the view's close failing.
    disable("the custom actions' failing step ends each run without a commit", {
        .faults = "+ fail MsiDatabaseOpenViewW 1 1234\n+ fail MsiViewExecute 1 1234\n"
        "+ fail MsiViewClose 1 1234",
        .runs = "ca " + kP + "\nca " + kP + "\nca " + kP, .results = "0 0 0", .disabled = "0",
        .log = kOpened + "Failed to open DB view, Error: 1234\n" + kOpened +
        "Executing a view\nFailed to execute DB view query, Error: 1234\n" + kOpened +
        "Executing a view\nSuccessfully disabled custom action: dll_def_StartTavrinSecureService\n"
        "Failed to close view, Error: 1234\n"});
    disable("the label cut to its capacity", {.before = exe9115, .runs = "label 6", .results = "0 9.1.1"});
    disable("discovery: an empty argument", {.before = "", .runs = "dca \"\"", .results = "2",
        .log = "Product Code is empty\n"});
    disable("discovery: no client executable, a fresh installation", {.before = first9115,
        .runs = "dca all", .results = "0", .disabled = "0",
        .log = "Tavrin.exe does not exist, assuming it is fresh installation\n"});
    disable("discovery, and the label alone: no version resource", {.before = "exe mz\n" + first9115,
        .runs = "dca all\nlabel 32", .results = "2 2", .disabled = "0",
        .log = "GetFileVersionInfoSize Failed with last Error: 1812\n"
        "Failed to retrieve version of Tavrin.exe\n"
        "GetFileVersionInfoSize Failed with last Error: 1812\n"});
    disable("discovery: the version block unreadable; the label alone: no fixed file information", {
        .before = exe9115 + first9115,
        .faults = "+ fail GetFileVersionInfoW 1 5\n+ fail VerQueryValueW 1 1813",
        .runs = "dca all\nlabel 32", .results = "2 2", .disabled = "0",
        .log = "GetFileVersionInfo Failed with last Error: 5\nFailed to retrieve version of Tavrin.exe\n"
        "VerQueryValue Failed\n"});
    disable("discovery: a version not in the table, the product's major with the file's minor and build", {
        .before = "exe 0xFFFF0000 0x0000FFFF 0xFFFF0000\n" + first9115, .runs = "dca all", .results = "2",
        .disabled = "0", .log = "Version of old Product is: 65535.65535.65535\n"
        "Couldn't find product Code for : 65535.65535.65535\n"});
    // The second run's existence test fails: the version read decides.
    disable("discovery: only the first code that commits; a failing existence test cannot decide", {
        .before = kThirdCode, .faults = "+ fail GetFileAttributesW 2 5", .runs = "dca all\ndca all",
        .results = "0 0", .disabled = "26, 0", .log = kThirdFound + kThirdFound});
    // The first run's expansion fails, the second's gives a relative path.
    disable("discovery: a failed path expansion, or a relative COMMONPROGRAMFILES(X86), ends it quietly", {
        .before = exe9115 + first9115, .faults = "+ fail ExpandEnvironmentStringsW 1 203\n"
        "+ env COMMONPROGRAMFILES(X86) \"Common Files\"\n"
        "+ file \"Common Files\\Tavrin Secure\\TamUI\\Tavrin.exe\"",
        .runs = "dca all\ndca all", .results = "0 0", .disabled = "0"});
    disable("discovery: every code of the label tried, none found", {
        .before = "exe 0x00090000 0x00090001 0x000D0000", .runs = "dca all", .results = "0",
        .log = "Version of old Product is: 9.1.13\n" + kTried9113});
    disable("discovery: a code listed twice is tried twice", {
        .before = exe9115 + "product {5A8409EC-2206-540F-9F3B-AC1E60B10504}",
        .faults = "+ fail MsiDatabaseCommit 1 1627", .runs = "dca all", .results = "0", .disabled = "26",
        .log = "Searching Product: '{5A8409EC-2206-540F-9F3B-AC1E60B10504}' ...\n"
        "Failed to commit MSI Db, Error: 1627\n"
        "Searching Product: '{5A8409EC-2206-540F-9F3B-AC1E60B10504}' ...\n"
        "Disabled Difx CAs Successfully for product Code: {5A8409EC-2206-540F-9F3B-AC1E60B10504}\n",
        .partial = true});
    // clang-format on
}

} // namespace
} // namespace tdu::test
