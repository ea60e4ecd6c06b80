// Switching custom actions off in installed products' cached packages:
// DifxHandler (skip a failing name, commit the rest; discovery of the earlier
// release by its Tavrin.exe) and CustomActionHandler (all or nothing).
#include "tests/unit/EarlierRelease.h"
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
* every DIFx name disabled, then committed | product $P | | difx $P | 0 | 26 | $DIFX
* the service start disabled | product $P | | ca $P | 1 | 0 ca | $CA
* a second run succeeds alike | product $P | | difx $P; ca $P; difx $P; ca $P | 0 1 0 1 | 26 ca | $DIFX; $CA; $DIFX; $CA
* an unknown product | product $P | | difx {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5E}; ca {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5E} | -1 0 | 0 | Searching Product: '{3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5E}' ...; Failed to find Product: '{3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5E}', Error: 1605; Failed to retrieve local cache MSI path, Error: 1605
* a malformed code | product $P | | difx ALL; ca ALL | -1 0 | 0 | Searching Product: 'ALL' ...; Failed to find Product: 'ALL', Error: 87; Failed to retrieve local cache MSI path, Error: 87
* a path of 256 fits only the 260 of the custom actions | product $P $256 | | difx $P; ca $P | -1 1 | 0 ca | Searching Product: '$P' ...; Failed to find Product: '$P', Error: 234; Local cache MSI path of installer retrieved successfully: $256; ...
* a path of 260 fits neither | product $P $260 | | difx $P; ca $P | -1 0 | 0 | Searching Product: '$P' ...; Failed to find Product: '$P', Error: 234; Failed to retrieve local cache MSI path, Error: 234
* the cached package gone | product $P; gone C:\Windows\Installer\3f9a1.msi | | difx $P; ca $P | -1 0 | | Searching Product: '$P' ...; Failed to find MSI Database for Product: '$P', Error: 110; Local cache MSI path of installer retrieved successfully: C:\Windows\Installer\3f9a1.msi; Opening DB: C:\Windows\Installer\3f9a1.msi; Failed to find MSI Database, Error: 110
* the commit fails | product $P | fail MsiDatabaseCommit 0 1627 | difx $P; ca $P | -1 0 | 0 | Searching Product: '$P' ...; Product Found: 'C:\Windows\Installer\3f9a1.msi', Disabling Difx now...; $ALL; Committing Msi DB updates...; Failed to commit MSI Db, Error: 1627; $OPENED; Executing a view; Successfully disabled custom action: dll_def_StartTavrinSecureService; Committing Msi DB updates...; Failed to commit MSI Db, Error: 1627
* a name whose view cannot be opened is skipped | product $P | fail MsiDatabaseOpenViewW 7 1234 | difx $P | 0 | 25 | Searching Product: '$P' ...; Product Found: 'C:\Windows\Installer\3f9a1.msi', Disabling Difx now...; $FIRST6; Disabling custom action: 'A_ListDriverInfsBefore.34C340EE_B1F9_442D_901E_D43CD5E6BD8E' ...; Failed to open DB view, Error: 1234; Disabling custom action failed: 'A_ListDriverInfsBefore.34C340EE_B1F9_442D_901E_D43CD5E6BD8E' ...; $LAST19; Committing Msi DB updates...; Commiting Successful...
* a name whose statement fails is skipped | product $P | fail MsiViewExecute 7 1234 | difx $P | 0 | 25 | Searching Product: '$P' ...; Product Found: 'C:\Windows\Installer\3f9a1.msi', Disabling Difx now...; $FIRST6; Disabling custom action: 'A_ListDriverInfsBefore.34C340EE_B1F9_442D_901E_D43CD5E6BD8E' ...; Failed to execute DB view query, Error: 1234; Disabling custom action failed: 'A_ListDriverInfsBefore.34C340EE_B1F9_442D_901E_D43CD5E6BD8E' ...; $LAST19; Committing Msi DB updates...; Commiting Successful...
* a failed close counts as failed, yet its statement is committed | product $P | fail MsiViewClose 7 1234 | difx $P | 0 | 26 | Searching Product: '$P' ...; Product Found: 'C:\Windows\Installer\3f9a1.msi', Disabling Difx now...; $FIRST6; Disabling custom action: 'A_ListDriverInfsBefore.34C340EE_B1F9_442D_901E_D43CD5E6BD8E' ...; Successfully disabled custom action: 'A_ListDriverInfsBefore.34C340EE_B1F9_442D_901E_D43CD5E6BD8E' ...; Failed to close view, Error: 1234; Disabling custom action failed: 'A_ListDriverInfsBefore.34C340EE_B1F9_442D_901E_D43CD5E6BD8E' ...; $LAST19; Committing Msi DB updates...; Commiting Successful...
* the custom actions' view cannot be opened: no commit | product $P | fail MsiDatabaseOpenViewW 1 1234 | ca $P | 0 | 0 | $OPENED; Failed to open DB view, Error: 1234
* their statement fails | product $P | fail MsiViewExecute 1 1234 | ca $P | 0 | 0 | $OPENED; Executing a view; Failed to execute DB view query, Error: 1234
* their view's close fails | product $P | fail MsiViewClose 1 1234 | ca $P | 0 | 0 | $OPENED; Executing a view; Successfully disabled custom action: dll_def_StartTavrinSecureService; Failed to close view, Error: 1234
* the label cut to its capacity | exe 0x00090007 0x00090001 0x000F0004 | | label 6 | 0 9.1.1 | |
* discovery: an empty argument | | | dca "" | 2 | | Product Code is empty
* discovery: an explicit code | product $P | | dca $P | 0 | 26 | $DIFX
* discovery: ALL is a product code | product $P | | dca ALL | -1 | 0 | Searching Product: 'ALL' ...; Failed to find Product: 'ALL', Error: 87
* discovery: no client executable, a fresh installation | product {65BD35FD-2FDA-593A-B137-C682DE5A20C4} | | dca all | 0 | 0 | Tavrin.exe does not exist, assuming it is fresh installation
* discovery, and the label alone: no version resource | exe mz; product {65BD35FD-2FDA-593A-B137-C682DE5A20C4} | | dca all; label 32 | 2 2 | 0 | GetFileVersionInfoSize Failed with last Error: 1812; Failed to retrieve version of Tavrin.exe; GetFileVersionInfoSize Failed with last Error: 1812
* discovery: the version block unreadable | exe 0x00090007 0x00090001 0x000F0004; product {65BD35FD-2FDA-593A-B137-C682DE5A20C4} | fail GetFileVersionInfoW 0 5 | dca all; label 32 | 2 2 | 0 | GetFileVersionInfo Failed with last Error: 5; Failed to retrieve version of Tavrin.exe; GetFileVersionInfo Failed with last Error: 5
* discovery: no fixed file information | exe 0x00090007 0x00090001 0x000F0004; product {65BD35FD-2FDA-593A-B137-C682DE5A20C4} | fail VerQueryValueW 0 1813 | dca all; label 32 | 2 2 | 0 | VerQueryValue Failed; Failed to retrieve version of Tavrin.exe; VerQueryValue Failed
* discovery: a version not in the table, the product's major with the file's minor and build | exe 0xFFFF0000 0x0000FFFF 0xFFFF0000; product {65BD35FD-2FDA-593A-B137-C682DE5A20C4} | | dca all | 2 | 0 | Version of old Product is: 65535.65535.65535; Couldn't find product Code for : 65535.65535.65535
* discovery: only the first code that commits | exe 0x00090007 0x00090001 0x000F0004; product {FCA34ADF-86BF-5798-8EB4-34CB0DE6A76B}; product {C90A1989-8FAB-59BF-B14F-D057A6EA98EC} C:\Windows\Installer\b.msi | | dca all | 0 | 26, 0 | Version of old Product is: 9.1.15; Searching Product: '{65BD35FD-2FDA-593A-B137-C682DE5A20C4}' ...; Failed to find Product: '{65BD35FD-2FDA-593A-B137-C682DE5A20C4}', Error: 1605; Searching Product: '{91A9D1A4-0731-5B94-9070-8391FADE3C3E}' ...; Failed to find Product: '{91A9D1A4-0731-5B94-9070-8391FADE3C3E}', Error: 1605; Searching Product: '{FCA34ADF-86BF-5798-8EB4-34CB0DE6A76B}' ...; Product Found: 'C:\Windows\Installer\3f9a1.msi', Disabling Difx now...; $ALL; Committing Msi DB updates...; Commiting Successful...; Disabled Difx CAs Successfully for product Code: {FCA34ADF-86BF-5798-8EB4-34CB0DE6A76B}
* discovery: a failing existence test cannot decide, the version read does | exe 0x00090007 0x00090001 0x000F0004; product {FCA34ADF-86BF-5798-8EB4-34CB0DE6A76B}; product {C90A1989-8FAB-59BF-B14F-D057A6EA98EC} C:\Windows\Installer\b.msi | fail GetFileAttributesW 0 5 | dca all | 0 | 26, 0 | Version of old Product is: 9.1.15; Searching Product: '{65BD35FD-2FDA-593A-B137-C682DE5A20C4}' ...; Failed to find Product: '{65BD35FD-2FDA-593A-B137-C682DE5A20C4}', Error: 1605; Searching Product: '{91A9D1A4-0731-5B94-9070-8391FADE3C3E}' ...; Failed to find Product: '{91A9D1A4-0731-5B94-9070-8391FADE3C3E}', Error: 1605; Searching Product: '{FCA34ADF-86BF-5798-8EB4-34CB0DE6A76B}' ...; Product Found: 'C:\Windows\Installer\3f9a1.msi', Disabling Difx now...; $ALL; Committing Msi DB updates...; Commiting Successful...; Disabled Difx CAs Successfully for product Code: {FCA34ADF-86BF-5798-8EB4-34CB0DE6A76B}
* discovery: a failed path expansion ends it quietly | exe 0x00090007 0x00090001 0x000F0004; product {65BD35FD-2FDA-593A-B137-C682DE5A20C4} | fail ExpandEnvironmentStringsW 1 203 | dca all | 0 | 0 |
* discovery: COMMONPROGRAMFILES(X86) missing, none under the working folder | exe 0x00090007 0x00090001 0x000F0004 "%COMMONPROGRAMFILES(X86)%\Tavrin Secure\TamUI\Tavrin.exe"; product {65BD35FD-2FDA-593A-B137-C682DE5A20C4} | env COMMONPROGRAMFILES(X86) | dca all | 0 | 0 |
* discovery: a relative COMMONPROGRAMFILES(X86) | exe 0x00090007 0x00090001 0x000F0004 "Common Files\Tavrin Secure\TamUI\Tavrin.exe"; product {65BD35FD-2FDA-593A-B137-C682DE5A20C4} | env COMMONPROGRAMFILES(X86) "Common Files" | dca all | 0 | 0 |
* discovery: every code of the label tried, none found | exe 0x00090000 0x00090001 0x000D0000 | | dca all | 0 | | Version of old Product is: 9.1.13; $TRIED13
* discovery: a code listed twice is tried twice | exe 0x00090007 0x00090001 0x000F0004; product {5A8409EC-2206-540F-9F3B-AC1E60B10504} | fail MsiDatabaseCommit 1 1627 | dca all | 0 | 26 | Searching Product: '{5A8409EC-2206-540F-9F3B-AC1E60B10504}' ...; Failed to commit MSI Db, Error: 1627; Searching Product: '{5A8409EC-2206-540F-9F3B-AC1E60B10504}' ...; Disabled Difx CAs Successfully for product Code: {5A8409EC-2206-540F-9F3B-AC1E60B10504}; ...)";

// The codes of label "9.1.13" in the order they are tried; the 27th repeats the 8th.
constexpr const char* kCodes9113[] = {
    "{6629E612-8D92-532B-9D00-825879F7BA28}", "{AF2400FC-469F-552E-9854-E5B534F43DD9}",
    "{E355C188-1EC4-5BD2-81BD-57F96BA1A817}", "{E255E545-902A-59BC-8459-1AC327A363BC}",
    "{818D7D17-6022-50AF-9C9A-612C2C300E59}", "{C60486AB-6024-5E43-8671-4E45334EB8D8}",
    "{03C49103-5940-5186-A097-05B901B177E0}", "{2290E2AB-2CFB-5F77-9C6E-372ABFC77E52}",
    "{5AC3ADEA-5A92-5572-8CB6-A39EFC7D590A}", "{C4E1DBE2-DBB4-54DE-A216-3F8669054CEC}",
    "{CAD3C955-F3AE-5DAB-818F-417461451F78}", "{0ED6F6A2-7902-5584-A1D8-64EC72593EDD}",
    "{EC3B61AD-5B9B-53F1-9DDC-61BBAD06DF4A}", "{66D2BF30-E618-502C-9022-FC778953B04A}",
    "{FFA9FBE8-C109-54DF-A60F-C00AF34A402C}", "{07F6A33B-1138-5B78-B067-E528C4F08DCF}",
    "{8949A6AF-2B59-5092-81BD-445BC3C49C9C}", "{68C109DF-5793-5A39-94A0-5BF91AFD346C}",
    "{CD453737-72C5-5E06-A85E-B3B8B3829696}", "{06047ECC-6F55-5438-947C-321AAE02F13C}",
    "{73FF0AB4-AE41-5DE6-B04D-52C6E7E6F537}", "{74A578DF-FB45-5C53-81AD-642244A1A56E}",
    "{0C8B87B2-F399-59FC-AA3C-5E7645CBF1B0}", "{19AB59D8-CCE3-5247-9894-BC14C6D55BDA}",
    "{CEE07E26-D0A3-506C-9B56-0E83B4B9C7CA}", "{351396F7-9DCC-591E-A777-20F91446BCE1}",
    "{2290E2AB-2CFB-5F77-9C6E-372ABFC77E52}", "{DEE29FC4-3B6A-5415-AB7D-A7982369801E}",
    "{404756BB-3340-5F1C-AC81-1D31FEBED36F}", "{E9BE8537-510E-5816-846C-751DCA0A5BFE}",
    "{A5C48BF9-5502-5965-A40F-5A352919B6EF}", "{9B79AB1C-CFC2-58DB-B7CD-207FAAF3A0BA}",
    "{9AE5556C-FE87-563D-9A80-B82227A1A153}", "{CA44BCE8-410F-595F-AD58-5C61511F66DF}",
    "{5036F110-240D-5AA8-A008-FA7B03D0C06E}", "{57CF1E01-43E8-5033-BF0C-A379C503EA20}",
    "{5BAEB006-C5B4-5D38-B4E6-F8C52E4C3BD6}", "{34D116D7-EB85-5614-919C-6DB26DC26879}",
    "{AE576666-4E2C-5B17-9455-892BE5B91EC2}", "{B156332F-593B-5269-8BAF-54D6EAD4AC21}",
};

std::vector<std::pair<std::string, std::string>> placeholders() {
    std::string all, first6, last19;
    for (std::size_t i = 0; i < kEarlierDifxActions.size(); ++i) {
        const std::string name = narrow(kEarlierDifxActions[i]);
        const std::string pair = "Disabling custom action: '" + name +
                                 "' ...; Successfully disabled custom action: '" + name + "' ...; ";
        all += pair;
        (i < 6 ? first6 : last19) += i == 6 ? "" : pair;
    }
    const std::string path256 = R"(C:\Windows\Installer\)" + std::string(231, 'p') + ".msi";
    const std::string opened =
        R"(Local cache MSI path of installer retrieved successfully: $PKG; Opening DB: $PKG; )"
        "DB opened successfully: $PKG; Disabling custom action: " +
        narrow(kEarlierServiceStart) + "; Opening a view";
    std::vector<std::pair<std::string, std::string>> table{
        {"$DIFX", "Searching Product: '$P' ...; Product Found: '$PKG', Disabling Difx now...; $ALL; "
                  "Committing Msi DB updates...; Commiting Successful..."},
        {"$CA",
         "$OPENED; Executing a view; Successfully disabled custom action: " + narrow(kEarlierServiceStart) +
             "; Committing Msi DB updates...; Committing Successful..."},
        {"$OPENED", opened},
        {"$PKG", R"(C:\Windows\Installer\3f9a1.msi)"},
        {"$ALL; ", all},
        {"$FIRST6; ", first6},
        {"$LAST19; ", last19},
        {"$256", path256},
        {"$260", path256.substr(0, 21) + "pppp" + path256.substr(21)},
        {"$P", "{3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D}"},
        {"$TRIED13", ""}};
    for (const std::string code : kCodes9113) {
        table.back().second += std::string(table.back().second.empty() ? "" : "; ") + "Searching Product: '" +
                               code + "' ...; Failed to find Product: '" + code + "', Error: 1605";
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
                {std::wstring(kEarlierServiceStart), L"REMOVE~=\"ALL\"", 6401}};
            for (const std::wstring_view name : kEarlierDifxActions) {
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
                const bool listed = std::ranges::count(kEarlierDifxActions, action.action) != 0;
                difx += action.condition == L"0" && listed ? 1 : 0;
                others += action.condition != L"0" || listed      ? ""
                          : action.action == kEarlierServiceStart ? " ca"
                                                                  : " " + narrow(action.action);
            }
            after += (after.empty() ? "" : ", ") + std::to_string(difx) + others;
        }
        EXPECT_EQ(after, row[5]);
    }
}

} // namespace
} // namespace tdu::test
