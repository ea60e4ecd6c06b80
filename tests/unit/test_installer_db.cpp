// Switching custom actions off in installed products' cached packages:
// DifxHandler (skip a failing name, commit the rest; discovery of the earlier
// release by its Tavrin.exe) and CustomActionHandler (all or nothing).
#include "tests/unit/Scenario.h"

#include "installer_db/CustomActionHandler.h"
#include "installer_db/DifxHandler.h"

#include <algorithm>

namespace tdu::test {
namespace {

using platform::FixedFileInfo;
using platform::sim::SimSequenceRow;

constexpr wchar_t kClientExe[] = L"C:\\Program Files (x86)\\Common Files\\Tavrin Secure\\TamUI\\Tavrin.exe";

// Rows: set-up | faults | operations | their results | each package's disabled actions after.
// Set-up: "product CODE [PACKAGE]" (every DIFx name, the service start and a bystander in its sequence),
// "gone PACKAGE", "exe VERSION" (Tavrin.exe, "mz" without a version). Operations: "difx CODE"
// (DifxHandler::disableCustomActions), "ca CODE" (CustomActionHandler: 1 true), "dca ARG"
// (DifxHandler::disableDifxCAs), "label PRODUCT-MS FILE-MS FILE-LS CAPACITY" (GetFileVersion and its label).
// Disabled: "difx" every DIFx name, "difx-7" all but the 7th, "ca" the service start, "-" none.
constexpr char kRows[] = R"(
* every DIFx name disabled, then committed | product $P | | difx $P | 0 | difx
$DRUN
* the service start disabled | product $P | | ca $P | 1 | ca
$CARUN
* a second run succeeds alike | product $P | | difx $P; ca $P; difx $P; ca $P | 0 1 0 1 | difx ca
$DRUN | $CARUN | $DRUN | $CARUN
* an unknown product | product $P | | difx $U; ca $U | -1 0 | -
Searching Product: '$U' ... | Failed to find Product: '$U', Error: 1605
Failed to retrieve local cache MSI path, Error: 1605
* a malformed code | product $P | | difx ALL; ca ALL | -1 0 | -
Searching Product: 'ALL' ... | Failed to find Product: 'ALL', Error: 87 | Failed to retrieve local cache MSI path, Error: 87
* a path of 256 fits only the 260 of the custom actions | product $P $256 | | difx $P; ca $P | -1 1 | ca
Searching Product: '$P' ... | Failed to find Product: '$P', Error: 234
Local cache MSI path of installer retrieved successfully: $256 | [more]
* a path of 260 fits neither | product $P $260 | | difx $P; ca $P | -1 0 | -
Searching Product: '$P' ... | Failed to find Product: '$P', Error: 234 | Failed to retrieve local cache MSI path, Error: 234
* the cached package gone | product $P; gone $M | | difx $P; ca $P | -1 0 |
Searching Product: '$P' ... | Failed to find MSI Database for Product: '$P', Error: 110
Local cache MSI path of installer retrieved successfully: $M | Opening DB: $M | Failed to find MSI Database, Error: 110
* the commit fails | product $P | MsiDatabaseCommit 0 1627 | difx $P; ca $P | -1 0 | -
$DHEAD | $ALL | Committing Msi DB updates... | Failed to commit MSI Db, Error: 1627
$CA | Executing a view | Successfully disabled custom action: dll_def_StartTavrinSecureService
Committing Msi DB updates... | Failed to commit MSI Db, Error: 1627
* a name whose view cannot be opened is skipped | product $P | MsiDatabaseOpenViewW 7 1234 | difx $P | 0 | difx-7
$DHEAD | $FIRST6 | Disabling custom action: '$7TH' ... | Failed to open DB view, Error: 1234
Disabling custom action failed: '$7TH' ... | $LAST19 | $DTAIL
* a name whose statement fails is skipped | product $P | MsiViewExecute 7 1234 | difx $P | 0 | difx-7
$DHEAD | $FIRST6 | Disabling custom action: '$7TH' ... | Failed to execute DB view query, Error: 1234
Disabling custom action failed: '$7TH' ... | $LAST19 | $DTAIL
* a failed close counts as failed, yet its statement is committed | product $P | MsiViewClose 7 1234 | difx $P | 0 | difx
$DHEAD | $FIRST6 | Disabling custom action: '$7TH' ... | Successfully disabled custom action: '$7TH' ...
Failed to close view, Error: 1234 | Disabling custom action failed: '$7TH' ... | $LAST19 | $DTAIL
* the custom actions' view cannot be opened: no commit | product $P | MsiDatabaseOpenViewW 1 1234 | ca $P | 0 | -
$CA | Failed to open DB view, Error: 1234
* their statement fails | product $P | MsiViewExecute 1 1234 | ca $P | 0 | -
$CA | Executing a view | Failed to execute DB view query, Error: 1234
* their view's close fails | product $P | MsiViewClose 1 1234 | ca $P | 0 | -
$CA | Executing a view | Successfully disabled custom action: dll_def_StartTavrinSecureService | Failed to close view, Error: 1234
* the label: product major, file minor and build | | | label 0x00090007 0x00090001 0x000F0004 32 | 0 9.1.15 |
* the label of another major | | | label 0x00160002 0x00090001 0x000F0000 32 | 0 22.1.15 |
* the label ignores the product minor | | | label 0x00090000 0x000A0001 0x000F0000 32 | 0 9.1.15 |
* the widest label | | | label 0xFFFFFFFF 0xFFFFFFFF 0xFFFFFFFF 32 | 0 65535.65535.65535 |
* the label cut to its capacity | | | label 0x00090007 0x00090001 0x000F0004 6 | 0 9.1.1 |
* discovery: an empty argument | | | dca "" | 2 |
Product Code is empty
* discovery: an explicit code | product $P | | dca $P | 0 | difx
$DRUN
* discovery: ALL is a product code | product $P | | dca ALL | -1 | -
Searching Product: 'ALL' ... | Failed to find Product: 'ALL', Error: 87
* discovery: no client executable, a fresh installation | product $C0 | | dca all | 0 | -
Tavrin.exe does not exist, assuming it is fresh installation
* discovery: no version resource | exe mz; product $C0 | | dca all | 2 | -
GetFileVersionInfoSize Failed with last Error: 1812 | Failed to retrieve version of Tavrin.exe
* discovery: the version block unreadable | exe 9.1.15; product $C0 | GetFileVersionInfoW 0 5 | dca all | 2 | -
GetFileVersionInfo Failed with last Error: 5 | Failed to retrieve version of Tavrin.exe
* discovery: no fixed file information | exe 9.1.15; product $C0 | VerQueryValueW 0 1813 | dca all | 2 | -
VerQueryValue Failed | Failed to retrieve version of Tavrin.exe
* discovery: a version not in the table | exe 9.1.16; product $C0 | | dca all | 2 | -
Version of old Product is: 9.1.16 | Couldn't find product Code for : 9.1.16
* discovery: only the first code that commits | exe 9.1.15; product $C2; product $C4 $B | | dca all | 0 | difx, -
$THIRD
* discovery: a failing existence test cannot decide, the version read does | exe 9.1.15; product $C2; product $C4 $B | exists 0 5 | dca all | 0 | difx, -
$THIRD
* discovery: a failed path expansion ends it quietly | exe 9.1.15; product $C0 | ExpandEnvironmentStringsW 1 203 | dca all | 0 | -
)";

std::vector<std::wstring> codesOf(const std::wstring& label) {
    std::vector<std::wstring> codes;
    const auto [first, last] = productCodesByVersion.equal_range(label);
    std::transform(first, last, std::back_inserter(codes), [](const auto& entry) { return entry.second; });
    return codes;
}

std::vector<std::pair<std::string, std::string>> placeholders() {
    std::string all, first6, last19;
    for (std::size_t i = 0; i < difxCustomActions.size(); ++i) {
        const std::string name = narrow(difxCustomActions[i]);
        const std::string pair = "Disabling custom action: '" + name +
                                 "' ... | Successfully disabled custom action: '" + name + "' ... | ";
        all += pair;
        (i < 6 ? first6 : last19) += i == 6 ? "" : pair;
    }
    const std::string path256 = R"(C:\Windows\Installer\)" + std::string(231, 'p') + ".msi";
    const std::vector<std::wstring> codes = codesOf(L"9.1.15");
    std::vector<std::pair<std::string, std::string>> table{
        {"$DRUN", "$DHEAD | $ALL | $DTAIL"},
        {"$THIRD",
         "Version of old Product is: 9.1.15 | Searching Product: '$C0' ... | Failed to find Product: '$C0', "
         "Error: 1605 | Searching Product: '$C1' ... | Failed to find Product: '$C1', Error: 1605 | "
         "Searching Product: '$C2' ... | Product Found: '$M', Disabling Difx now... | $ALL | $DTAIL | "
         "Disabled Difx CAs Successfully for product Code: $C2"},
        {"$DHEAD", "Searching Product: '$P' ... | Product Found: '$M', Disabling Difx now..."},
        {"$DTAIL", "Committing Msi DB updates... | Commiting Successful..."},
        {"$CARUN",
         "$CA | Executing a view | Successfully disabled custom action: dll_def_StartTavrinSecureService | "
         "Committing Msi DB updates... | Committing Successful..."},
        {"$CA",
         "Local cache MSI path of installer retrieved successfully: $M | Opening DB: $M | DB opened "
         "successfully: $M | Disabling custom action: dll_def_StartTavrinSecureService | Opening a view"},
        {"$ALL | ", all},
        {"$FIRST6 | ", first6},
        {"$LAST19 | ", last19},
        {"$7TH", narrow(difxCustomActions[6])},
        {"$256", path256},
        {"$260", path256.substr(0, 21) + "pppp" + path256.substr(21)},
        {"$P", "{3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D}"},
        {"$U", "{3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5E}"},
        {"$M", R"(C:\Windows\Installer\3f9a1.msi)"},
        {"$B", R"(C:\Windows\Installer\b.msi)"}};
    for (std::size_t i = 0; i < 5; ++i) {
        table.emplace_back("$C" + std::to_string(i), narrow(codes.at(i)));
    }
    return table;
}

FixedFileInfo versionOf(std::uint32_t productMS, std::uint32_t fileMS, std::uint32_t fileLS) {
    return FixedFileInfo{.fileVersionMS = fileMS,
                         .fileVersionLS = fileLS,
                         .productVersionMS = productMS,
                         .productVersionLS = 0x0005'0006};
}

// The actions whose condition became "0", in the row's words.
std::string disabled(const platform::sim::SimMachine& machine, const std::wstring& package) {
    std::vector<std::wstring> names;
    for (const SimSequenceRow& row : machine.installExecuteSequence(package)) {
        if (row.condition == L"0") {
            names.push_back(row.action);
        }
    }
    std::vector<std::size_t> kept; // the DIFx names left as they were, counted from 1
    for (std::size_t i = 0; i < difxCustomActions.size(); ++i) {
        if (std::count(names.begin(), names.end(), difxCustomActions[i]) == 0) {
            kept.push_back(i + 1);
        }
    }
    std::string text = kept.empty() ? "difx" : (kept.size() == 1 ? "difx-" + std::to_string(kept[0]) : "");
    text += kept.size() > 1 && kept.size() < difxCustomActions.size() ? "difx:" + std::to_string(kept.size())
                                                                      : "";
    for (const std::wstring& name : names) {
        if (std::count(difxCustomActions.begin(), difxCustomActions.end(), name) == 0) {
            text += " " + (name == customActionsToDisable[0] ? std::string("ca") : narrow(name));
        }
    }
    return text.empty() ? "-" : trimmed(text);
}

TEST(InstallerDb, DisableCustomActions) {
    for (const Scenario& row : scenarios(kRows, placeholders())) {
        SCOPED_TRACE(row[0]);
        RowMachine m;
        std::vector<std::wstring> packages;
        for (const std::string& step : split(row[1], ';')) {
            std::istringstream in(step);
            std::string what, value, package = R"(C:\Windows\Installer\3f9a1.msi)";
            in >> what >> value >> package;
            if (what == "product") {
                std::vector<SimSequenceRow> sequence{
                    {L"KeepThisAction", L"NOT Installed", 900},
                    {std::wstring(customActionsToDisable[0]), L"REMOVE~=\"ALL\"", 6401}};
                for (const std::wstring_view name : difxCustomActions) {
                    sequence.push_back(
                        {std::wstring(name), L"NOT Installed", static_cast<int>(1000 + sequence.size())});
                }
                m.machine.installProduct(wide(value), wide(package), sequence);
                packages.push_back(wide(package));
            } else if (what == "gone") {
                m.machine.deleteCachedPackage(wide(value));
                packages.clear();
            } else if (what == "exe" && value == "mz") {
                m.machine.writeFile(kClientExe, "MZ");
            } else if (what == "exe") {
                m.machine.writeVersionedFile(
                    kClientExe, value == "9.1.15" ? versionOf(0x0009'0007, 0x0009'0001, 0x000F'0004)
                                                  : versionOf(0x0009'0002, 0x0009'0001, 0x0010'0000));
            }
        }
        applyFaults(m.machine, row[2]);
        std::string results;
        for (const std::string& operation : split(row[3], ';')) {
            const std::string what = operation.substr(0, operation.find(' '));
            std::string argument = trimmed(operation.substr(what.size()));
            argument = argument == "\"\"" ? "" : argument;
            if (what == "difx") {
                results += " " + std::to_string(DifxHandler::disableCustomActions(wide(argument)));
            } else if (what == "ca") {
                results += CustomActionHandler(wide(argument)).disableCustomActions() ? " 1" : " 0";
            } else if (what == "dca") {
                results += " " + std::to_string(DifxHandler::disableDifxCAs(wide(argument)));
            } else {
                std::istringstream in(argument);
                std::uint32_t productMS = 0, fileMS = 0, fileLS = 0, capacity = 0;
                in >> std::hex >> productMS >> fileMS >> fileLS >> std::dec >> capacity;
                m.machine.writeVersionedFile(kClientExe, versionOf(productMS, fileMS, fileLS));
                std::wstring label;
                const int result = DifxHandler::GetFileVersion(kClientExe, label, capacity);
                results += " " + std::to_string(result) + " " + narrow(label);
            }
        }
        EXPECT_EQ(trimmed(results), row[4]);
        std::string after;
        for (const std::wstring& package : packages) {
            after += (after.empty() ? "" : ", ") + disabled(m.machine, package);
        }
        EXPECT_EQ(after, row[5]);
        expectLog(m.log(), row.log);
    }
}

TEST(InstallerDb, TheDispatcherRunsTheCustomActionHandler) {
    RowMachine m;
    m.machine.installProduct(L"{3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D}", L"C:\\p.msi",
                             {{std::wstring(customActionsToDisable[0]), L"1", 1}});
    EXPECT_EQ(runFlow("/disableCustomActions {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D}"), 0);
    std::string sources;
    for (const LogEntry& entry : m.entries()) {
        sources += entry.source + " ";
    }
    std::string expected = "TavrinDriverUtil.cpp TDriverOperator.cpp TDriverOperator.cpp ";
    for (int i = 0; i < 9; ++i) {
        expected += "CustomActionHandler.h ";
    }
    EXPECT_EQ(sources, expected);
}

// When no code of the label is installed, every one is tried, and the run still succeeds.
TEST(InstallerDb, DiscoveryTriesEveryCodeOfTheLabel) {
    RowMachine m;
    m.machine.writeVersionedFile(kClientExe, versionOf(0x0009'0000, 0x0009'0001, 0x000D'0000));
    EXPECT_EQ(DifxHandler::disableDifxCAs(L"all"), 0);
    const std::vector<std::string> log = m.log();
    EXPECT_EQ(
        std::count_if(log.begin(), log.end(),
                      [](const std::string& line) { return line.starts_with("Failed to find Product: '"); }),
        40);
    EXPECT_EQ(log.back(), "Failed to find Product: '" + narrow(codesOf(L"9.1.13").back()) + "', Error: 1605");
}

// A code listed twice under its label is tried twice: its first try fails at the commit.
TEST(InstallerDb, ACodeListedTwiceIsTriedTwice) {
    RowMachine m;
    const std::vector<std::wstring> codes = codesOf(L"9.1.15");
    auto second = codes.begin() + 1;
    while (std::find(codes.begin(), second, *second) == second) {
        ++second;
    }
    m.machine.writeVersionedFile(kClientExe, versionOf(0x0009'0007, 0x0009'0001, 0x000F'0004));
    m.machine.installProduct(*second, L"C:\\p.msi", {{std::wstring(difxCustomActions[0]), L"1", 1}});
    m.machine.failCall("MsiDatabaseCommit", 1, 1627);
    EXPECT_EQ(DifxHandler::disableDifxCAs(L"all"), 0);
    const std::vector<std::string> log = m.log();
    EXPECT_EQ(std::count(log.begin(), log.end(), "Searching Product: '" + narrow(*second) + "' ..."), 2);
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& line) { return line.starts_with("Searching Product: "); }),
              second - codes.begin() + 1);
    EXPECT_EQ(log.back(), "Disabled Difx CAs Successfully for product Code: " + narrow(*second));
}

} // namespace
} // namespace tdu::test
