// Switching custom actions off in installed products' cached packages:
// DifxHandler (skip a failing name, commit the rest; discovery of the earlier
// release by its Tavrin.exe) and CustomActionHandler (all or nothing).
#include "tests/unit/Scenario.h"

#include "installer_db/CustomActionHandler.h"
#include "installer_db/DifxHandler.h"

#include <algorithm>
#include <iomanip>

namespace tdu::test {
namespace {

using platform::sim::SimSequenceRow;

constexpr wchar_t kClientExe[] = L"C:\\Program Files (x86)\\Common Files\\Tavrin Secure\\TamUI\\Tavrin.exe";

// Rows: set-up | faults (scenario lines) | operations | their results | each package's disabled actions after
// | log. Set-up: "product CODE [PACKAGE]" (every DIFx name, the service start and a bystander in its
// sequence), "gone PACKAGE", "exe PRODUCT-MS FILE-MS FILE-LS ["PATH"]" (Tavrin.exe's version, at its place or
// at PATH; "mz": none). Operations:
// "difx CODE" (DifxHandler::disableCustomActions), "ca CODE" (CustomActionHandler: 1 true), "dca ARG"
// (DifxHandler::disableDifxCAs), "label CAPACITY" (GetFileVersion of Tavrin.exe). Disabled: how many DIFx
// names, then "ca" for the service start and any other action by name.
constexpr char kRows[] = R"(
* every DIFx name disabled, then committed | product $P | | difx $P | 0 | 26 | Searching Product: '$P' ...; Product Found: 'C:\Windows\Installer\3f9a1.msi', Disabling Difx now...; $ALL; Committing Msi DB updates...; Commiting Successful...
* the service start disabled | product $P | | ca $P | 1 | 0 ca | Local cache MSI path of installer retrieved successfully: C:\Windows\Installer\3f9a1.msi; Opening DB: C:\Windows\Installer\3f9a1.msi; DB opened successfully: C:\Windows\Installer\3f9a1.msi; Disabling custom action: dll_def_StartTavrinSecureService; Opening a view; Executing a view; Successfully disabled custom action: dll_def_StartTavrinSecureService; Committing Msi DB updates...; Committing Successful...
* a second run succeeds alike | product $P | | difx $P; ca $P; difx $P; ca $P | 0 1 0 1 | 26 ca | Searching Product: '$P' ...; Product Found: 'C:\Windows\Installer\3f9a1.msi', Disabling Difx now...; $ALL; Committing Msi DB updates...; Commiting Successful...; Local cache MSI path of installer retrieved successfully: C:\Windows\Installer\3f9a1.msi; Opening DB: C:\Windows\Installer\3f9a1.msi; DB opened successfully: C:\Windows\Installer\3f9a1.msi; Disabling custom action: dll_def_StartTavrinSecureService; Opening a view; Executing a view; Successfully disabled custom action: dll_def_StartTavrinSecureService; Committing Msi DB updates...; Committing Successful...; Searching Product: '$P' ...; Product Found: 'C:\Windows\Installer\3f9a1.msi', Disabling Difx now...; $ALL; Committing Msi DB updates...; Commiting Successful...; Local cache MSI path of installer retrieved successfully: C:\Windows\Installer\3f9a1.msi; Opening DB: C:\Windows\Installer\3f9a1.msi; DB opened successfully: C:\Windows\Installer\3f9a1.msi; Disabling custom action: dll_def_StartTavrinSecureService; Opening a view; Executing a view; Successfully disabled custom action: dll_def_StartTavrinSecureService; Committing Msi DB updates...; Committing Successful...
* an unknown product | product $P | | difx {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5E}; ca {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5E} | -1 0 | 0 | Searching Product: '{3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5E}' ...; Failed to find Product: '{3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5E}', Error: 1605; Failed to retrieve local cache MSI path, Error: 1605
* a malformed code | product $P | | difx ALL; ca ALL | -1 0 | 0 | Searching Product: 'ALL' ...; Failed to find Product: 'ALL', Error: 87; Failed to retrieve local cache MSI path, Error: 87
* a path of 256 fits only the 260 of the custom actions | product $P $256 | | difx $P; ca $P | -1 1 | 0 ca | Searching Product: '$P' ...; Failed to find Product: '$P', Error: 234; Local cache MSI path of installer retrieved successfully: $256; ...
* a path of 260 fits neither | product $P $260 | | difx $P; ca $P | -1 0 | 0 | Searching Product: '$P' ...; Failed to find Product: '$P', Error: 234; Failed to retrieve local cache MSI path, Error: 234
* the cached package gone | product $P; gone C:\Windows\Installer\3f9a1.msi | | difx $P; ca $P | -1 0 | | Searching Product: '$P' ...; Failed to find MSI Database for Product: '$P', Error: 110; Local cache MSI path of installer retrieved successfully: C:\Windows\Installer\3f9a1.msi; Opening DB: C:\Windows\Installer\3f9a1.msi; Failed to find MSI Database, Error: 110
* the commit fails | product $P | fail MsiDatabaseCommit 0 1627 | difx $P; ca $P | -1 0 | 0 | Searching Product: '$P' ...; Product Found: 'C:\Windows\Installer\3f9a1.msi', Disabling Difx now...; $ALL; Committing Msi DB updates...; Failed to commit MSI Db, Error: 1627; Local cache MSI path of installer retrieved successfully: C:\Windows\Installer\3f9a1.msi; Opening DB: C:\Windows\Installer\3f9a1.msi; DB opened successfully: C:\Windows\Installer\3f9a1.msi; Disabling custom action: dll_def_StartTavrinSecureService; Opening a view; Executing a view; Successfully disabled custom action: dll_def_StartTavrinSecureService; Committing Msi DB updates...; Failed to commit MSI Db, Error: 1627
* a name whose view cannot be opened is skipped | product $P | fail MsiDatabaseOpenViewW 7 1234 | difx $P | 0 | 25 | Searching Product: '$P' ...; Product Found: 'C:\Windows\Installer\3f9a1.msi', Disabling Difx now...; $FIRST6; Disabling custom action: 'A_ListDriverInfsBefore.34C340EE_B1F9_442D_901E_D43CD5E6BD8E' ...; Failed to open DB view, Error: 1234; Disabling custom action failed: 'A_ListDriverInfsBefore.34C340EE_B1F9_442D_901E_D43CD5E6BD8E' ...; $LAST19; Committing Msi DB updates...; Commiting Successful...
* a name whose statement fails is skipped | product $P | fail MsiViewExecute 7 1234 | difx $P | 0 | 25 | Searching Product: '$P' ...; Product Found: 'C:\Windows\Installer\3f9a1.msi', Disabling Difx now...; $FIRST6; Disabling custom action: 'A_ListDriverInfsBefore.34C340EE_B1F9_442D_901E_D43CD5E6BD8E' ...; Failed to execute DB view query, Error: 1234; Disabling custom action failed: 'A_ListDriverInfsBefore.34C340EE_B1F9_442D_901E_D43CD5E6BD8E' ...; $LAST19; Committing Msi DB updates...; Commiting Successful...
* a failed close counts as failed, yet its statement is committed | product $P | fail MsiViewClose 7 1234 | difx $P | 0 | 26 | Searching Product: '$P' ...; Product Found: 'C:\Windows\Installer\3f9a1.msi', Disabling Difx now...; $FIRST6; Disabling custom action: 'A_ListDriverInfsBefore.34C340EE_B1F9_442D_901E_D43CD5E6BD8E' ...; Successfully disabled custom action: 'A_ListDriverInfsBefore.34C340EE_B1F9_442D_901E_D43CD5E6BD8E' ...; Failed to close view, Error: 1234; Disabling custom action failed: 'A_ListDriverInfsBefore.34C340EE_B1F9_442D_901E_D43CD5E6BD8E' ...; $LAST19; Committing Msi DB updates...; Commiting Successful...
* the custom actions' view cannot be opened: no commit | product $P | fail MsiDatabaseOpenViewW 1 1234 | ca $P | 0 | 0 | Local cache MSI path of installer retrieved successfully: C:\Windows\Installer\3f9a1.msi; Opening DB: C:\Windows\Installer\3f9a1.msi; DB opened successfully: C:\Windows\Installer\3f9a1.msi; Disabling custom action: dll_def_StartTavrinSecureService; Opening a view; Failed to open DB view, Error: 1234
* their statement fails | product $P | fail MsiViewExecute 1 1234 | ca $P | 0 | 0 | Local cache MSI path of installer retrieved successfully: C:\Windows\Installer\3f9a1.msi; Opening DB: C:\Windows\Installer\3f9a1.msi; DB opened successfully: C:\Windows\Installer\3f9a1.msi; Disabling custom action: dll_def_StartTavrinSecureService; Opening a view; Executing a view; Failed to execute DB view query, Error: 1234
* their view's close fails | product $P | fail MsiViewClose 1 1234 | ca $P | 0 | 0 | Local cache MSI path of installer retrieved successfully: C:\Windows\Installer\3f9a1.msi; Opening DB: C:\Windows\Installer\3f9a1.msi; DB opened successfully: C:\Windows\Installer\3f9a1.msi; Disabling custom action: dll_def_StartTavrinSecureService; Opening a view; Executing a view; Successfully disabled custom action: dll_def_StartTavrinSecureService; Failed to close view, Error: 1234
* the label cut to its capacity | exe 0x00090007 0x00090001 0x000F0004 | | label 6 | 0 9.1.1 | |
* discovery: an empty argument | | | dca "" | 2 | | Product Code is empty
* discovery: an explicit code | product $P | | dca $P | 0 | 26 | Searching Product: '$P' ...; Product Found: 'C:\Windows\Installer\3f9a1.msi', Disabling Difx now...; $ALL; Committing Msi DB updates...; Commiting Successful...
* discovery: ALL is a product code | product $P | | dca ALL | -1 | 0 | Searching Product: 'ALL' ...; Failed to find Product: 'ALL', Error: 87
* discovery: no client executable, a fresh installation | product {65BD35FD-2FDA-593A-B137-C682DE5A20C4} | | dca all | 0 | 0 | Tavrin.exe does not exist, assuming it is fresh installation
* discovery, and the label alone: no version resource | exe mz; product {65BD35FD-2FDA-593A-B137-C682DE5A20C4} | | dca all; label 32 | 2 2 | 0 | GetFileVersionInfoSize Failed with last Error: 1812; Failed to retrieve version of Tavrin.exe; GetFileVersionInfoSize Failed with last Error: 1812
* discovery: the version block unreadable | exe 0x00090007 0x00090001 0x000F0004; product {65BD35FD-2FDA-593A-B137-C682DE5A20C4} | fail GetFileVersionInfoW 0 5 | dca all; label 32 | 2 2 | 0 | GetFileVersionInfo Failed with last Error: 5; Failed to retrieve version of Tavrin.exe; GetFileVersionInfo Failed with last Error: 5
* discovery: no fixed file information | exe 0x00090007 0x00090001 0x000F0004; product {65BD35FD-2FDA-593A-B137-C682DE5A20C4} | fail VerQueryValueW 0 1813 | dca all; label 32 | 2 2 | 0 | VerQueryValue Failed; Failed to retrieve version of Tavrin.exe; VerQueryValue Failed
* discovery: a version not in the table, the product's major with the file's minor and build | exe 0xFFFF0000 0x0000FFFF 0xFFFF0000; product {65BD35FD-2FDA-593A-B137-C682DE5A20C4} | | dca all | 2 | 0 | Version of old Product is: 65535.65535.65535; Couldn't find product Code for : 65535.65535.65535
* discovery: only the first code that commits | exe 0x00090007 0x00090001 0x000F0004; product {FCA34ADF-86BF-5798-8EB4-34CB0DE6A76B}; product {C90A1989-8FAB-59BF-B14F-D057A6EA98EC} C:\Windows\Installer\b.msi | | dca all | 0 | 26, 0 | Version of old Product is: 9.1.15; Searching Product: '{65BD35FD-2FDA-593A-B137-C682DE5A20C4}' ...; Failed to find Product: '{65BD35FD-2FDA-593A-B137-C682DE5A20C4}', Error: 1605; Searching Product: '{91A9D1A4-0731-5B94-9070-8391FADE3C3E}' ...; Failed to find Product: '{91A9D1A4-0731-5B94-9070-8391FADE3C3E}', Error: 1605; Searching Product: '{FCA34ADF-86BF-5798-8EB4-34CB0DE6A76B}' ...; Product Found: 'C:\Windows\Installer\3f9a1.msi', Disabling Difx now...; $ALL; Committing Msi DB updates...; Commiting Successful...; Disabled Difx CAs Successfully for product Code: {FCA34ADF-86BF-5798-8EB4-34CB0DE6A76B}
* discovery: a failing existence test cannot decide, the version read does | exe 0x00090007 0x00090001 0x000F0004; product {FCA34ADF-86BF-5798-8EB4-34CB0DE6A76B}; product {C90A1989-8FAB-59BF-B14F-D057A6EA98EC} C:\Windows\Installer\b.msi | fail exists 0 5 | dca all | 0 | 26, 0 | Version of old Product is: 9.1.15; Searching Product: '{65BD35FD-2FDA-593A-B137-C682DE5A20C4}' ...; Failed to find Product: '{65BD35FD-2FDA-593A-B137-C682DE5A20C4}', Error: 1605; Searching Product: '{91A9D1A4-0731-5B94-9070-8391FADE3C3E}' ...; Failed to find Product: '{91A9D1A4-0731-5B94-9070-8391FADE3C3E}', Error: 1605; Searching Product: '{FCA34ADF-86BF-5798-8EB4-34CB0DE6A76B}' ...; Product Found: 'C:\Windows\Installer\3f9a1.msi', Disabling Difx now...; $ALL; Committing Msi DB updates...; Commiting Successful...; Disabled Difx CAs Successfully for product Code: {FCA34ADF-86BF-5798-8EB4-34CB0DE6A76B}
* discovery: a failed path expansion ends it quietly | exe 0x00090007 0x00090001 0x000F0004; product {65BD35FD-2FDA-593A-B137-C682DE5A20C4} | fail ExpandEnvironmentStringsW 1 203 | dca all | 0 | 0 |
* discovery: COMMONPROGRAMFILES(X86) missing, none under the working folder | exe 0x00090007 0x00090001 0x000F0004 "%COMMONPROGRAMFILES(X86)%\Tavrin Secure\TamUI\Tavrin.exe"; product {65BD35FD-2FDA-593A-B137-C682DE5A20C4} | env COMMONPROGRAMFILES(X86) | dca all | 0 | 0 |
* discovery: a relative COMMONPROGRAMFILES(X86) | exe 0x00090007 0x00090001 0x000F0004 "Common Files\Tavrin Secure\TamUI\Tavrin.exe"; product {65BD35FD-2FDA-593A-B137-C682DE5A20C4} | env COMMONPROGRAMFILES(X86) "Common Files" | dca all | 0 | 0 |
* discovery: every code of the label tried, none found | exe 0x00090000 0x00090001 0x000D0000 | | dca all | 0 | | Version of old Product is: 9.1.13; $TRIED13
* discovery: a code listed twice is tried twice | exe 0x00090007 0x00090001 0x000F0004; product {5A8409EC-2206-540F-9F3B-AC1E60B10504} | fail MsiDatabaseCommit 1 1627 | dca all | 0 | 26 | Searching Product: '{5A8409EC-2206-540F-9F3B-AC1E60B10504}' ...; Failed to commit MSI Db, Error: 1627; Searching Product: '{5A8409EC-2206-540F-9F3B-AC1E60B10504}' ...; Disabled Difx CAs Successfully for product Code: {5A8409EC-2206-540F-9F3B-AC1E60B10504}; ...)";

std::vector<std::pair<std::string, std::string>> placeholders() {
    std::string all, first6, last19;
    for (std::size_t i = 0; i < difxCustomActions.size(); ++i) {
        const std::string name = narrow(difxCustomActions[i]);
        const std::string pair = "Disabling custom action: '" + name +
                                 "' ...; Successfully disabled custom action: '" + name + "' ...; ";
        all += pair;
        (i < 6 ? first6 : last19) += i == 6 ? "" : pair;
    }
    const std::string path256 = R"(C:\Windows\Installer\)" + std::string(231, 'p') + ".msi";
    std::vector<std::pair<std::string, std::string>> table{
        {"$ALL; ", all},
        {"$FIRST6; ", first6},
        {"$LAST19; ", last19},
        {"$256", path256},
        {"$260", path256.substr(0, 21) + "pppp" + path256.substr(21)},
        {"$P", "{3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D}"},
        {"$TRIED13", ""}};
    for (auto [code, last] = productCodesByVersion.equal_range(L"9.1.13"); code != last; ++code) {
        const std::string text = narrow(code->second);
        table.back().second += "Searching Product: '" + text + "' ...; Failed to find Product: '" + text +
                               "', Error: 1605" + (std::next(code) == last ? "" : "; ");
    }
    return table;
}

TEST(InstallerDb, DisableCustomActions) {
    for (const Row& row : rows(kRows, placeholders())) {
        RowMachine m(row);
        std::vector<std::wstring> packages;
        for (const std::string& step : split(row[1], ";")) {
            std::istringstream in(step);
            std::string what, value, package = R"(C:\Windows\Installer\3f9a1.msi)";
            in >> what >> value >> package;
            std::vector<SimSequenceRow> sequence{
                {L"KeepThisAction", L"NOT Installed", 900},
                {std::wstring(customActionsToDisable[0]), L"REMOVE~=\"ALL\"", 6401}};
            for (const std::wstring_view name : difxCustomActions) {
                sequence.push_back(
                    {std::wstring(name), L"NOT Installed", static_cast<int>(1000 + sequence.size())});
            }
            platform::FixedFileInfo version{.productVersionLS = 0x0005'0006};
            std::string at;
            std::istringstream(step.substr(std::min<std::size_t>(step.size(), 4))) >> std::hex >>
                version.productVersionMS >> version.fileVersionMS >> version.fileVersionLS >>
                std::quoted(at, '"', '\x01');
            const std::wstring exe = at.empty() ? kClientExe : wide(at);
            if (what == "product") {
                m.machine.installProduct(wide(value), wide(package), sequence);
                packages.push_back(wide(package));
            } else if (what == "gone") {
                m.machine.deleteCachedPackage(wide(value));
                packages.clear();
            } else if (what == "exe" && value == "mz") {
                m.machine.writeFile(kClientExe, "MZ");
            } else if (what == "exe") {
                m.machine.writeVersionedFile(exe, version);
            }
        }
        setUpLines(m.machine, row[2]);
        std::string results;
        for (const std::string& operation : split(row[3], ";")) {
            const std::vector<std::string> words = split(operation, " ");
            const std::string what = words[0],
                              argument = words.size() > 1 && words[1] != "\"\"" ? words[1] : "";
            std::wstring label;
            results += results.empty() ? "" : " ";
            results +=
                what == "difx"  ? std::to_string(DifxHandler::disableCustomActions(wide(argument)))
                : what == "ca"  ? (CustomActionHandler(wide(argument)).disableCustomActions() ? "1" : "0")
                : what == "dca" ? std::to_string(DifxHandler::disableDifxCAs(wide(argument)))
                                : std::to_string(DifxHandler::GetFileVersion(
                                      kClientExe, label, static_cast<std::uint32_t>(std::stoul(argument))));
            results += label.empty() ? "" : " " + narrow(label);
        }
        EXPECT_EQ(results, row[4]);
        std::string after;
        // The DIFx names disabled, counted, then others by name.
        for (const std::wstring& package : packages) {
            std::size_t difx = 0;
            std::string others;
            for (const SimSequenceRow& action : m.machine.installExecuteSequence(package)) {
                const bool listed = std::ranges::count(difxCustomActions, action.action) != 0;
                difx += action.condition == L"0" && listed ? 1 : 0;
                others += action.condition != L"0" || listed           ? ""
                          : action.action == customActionsToDisable[0] ? " ca"
                                                                       : " " + narrow(action.action);
            }
            after += (after.empty() ? "" : ", ") + std::to_string(difx) + others;
        }
        EXPECT_EQ(after, row[5]);
    }
}

} // namespace
} // namespace tdu::test
