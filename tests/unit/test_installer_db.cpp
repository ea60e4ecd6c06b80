// Switching custom actions off in installed products' cached packages: DifxHandler (skip a failing name,
// commit the rest; discovery of the earlier release by its Tavrin.exe) and CustomActionHandler (all or
// nothing).
#include "tests/unit/EarlierRelease.h"
#include "tests/unit/SimTest.h"

#include <sstream>

namespace tdu::test {
namespace {

// The codes of label "9.1.13" in the order they are tried, braces left off; the 27th repeats the 8th.
constexpr char kCodes9113[] = R"(6629E612-8D92-532B-9D00-825879F7BA28 AF2400FC-469F-552E-9854-E5B534F43DD9
E355C188-1EC4-5BD2-81BD-57F96BA1A817 E255E545-902A-59BC-8459-1AC327A363BC 818D7D17-6022-50AF-9C9A-612C2C300E59
C60486AB-6024-5E43-8671-4E45334EB8D8 03C49103-5940-5186-A097-05B901B177E0 2290E2AB-2CFB-5F77-9C6E-372ABFC77E52
5AC3ADEA-5A92-5572-8CB6-A39EFC7D590A C4E1DBE2-DBB4-54DE-A216-3F8669054CEC CAD3C955-F3AE-5DAB-818F-417461451F78
0ED6F6A2-7902-5584-A1D8-64EC72593EDD EC3B61AD-5B9B-53F1-9DDC-61BBAD06DF4A 66D2BF30-E618-502C-9022-FC778953B04A
FFA9FBE8-C109-54DF-A60F-C00AF34A402C 07F6A33B-1138-5B78-B067-E528C4F08DCF 8949A6AF-2B59-5092-81BD-445BC3C49C9C
68C109DF-5793-5A39-94A0-5BF91AFD346C CD453737-72C5-5E06-A85E-B3B8B3829696 06047ECC-6F55-5438-947C-321AAE02F13C
73FF0AB4-AE41-5DE6-B04D-52C6E7E6F537 74A578DF-FB45-5C53-81AD-642244A1A56E 0C8B87B2-F399-59FC-AA3C-5E7645CBF1B0
19AB59D8-CCE3-5247-9894-BC14C6D55BDA CEE07E26-D0A3-506C-9B56-0E83B4B9C7CA 351396F7-9DCC-591E-A777-20F91446BCE1
2290E2AB-2CFB-5F77-9C6E-372ABFC77E52 DEE29FC4-3B6A-5415-AB7D-A7982369801E 404756BB-3340-5F1C-AC81-1D31FEBED36F
E9BE8537-510E-5816-846C-751DCA0A5BFE A5C48BF9-5502-5965-A40F-5A352919B6EF 9B79AB1C-CFC2-58DB-B7CD-207FAAF3A0BA
9AE5556C-FE87-563D-9A80-B82227A1A153 CA44BCE8-410F-595F-AD58-5C61511F66DF 5036F110-240D-5AA8-A008-FA7B03D0C06E
57CF1E01-43E8-5033-BF0C-A379C503EA20 5BAEB006-C5B4-5D38-B4E6-F8C52E4C3BD6 34D116D7-EB85-5614-919C-6DB26DC26879
AE576666-4E2C-5B17-9455-892BE5B91EC2 B156332F-593B-5269-8BAF-54D6EAD4AC21)";

const Fragments kLogs = [] {
    std::string names;
    for (const std::wstring_view name : kEarlierDifxActions) {
        names += "Disabling custom action: '" + narrow(name) +
                 "' ...\nSuccessfully disabled custom action: '" + narrow(name) + "' ...\n";
    }
    const auto notFound = [](std::string_view list) {
        std::string tried;
        std::istringstream codes{std::string(list)};
        for (std::string code; codes >> code;) {
            tried += "Searching Product: '{" + code + "}' ...\nFailed to find Product: '{" + code +
                     "}', Error: 1605\n";
        }
        return tried;
    };
    const std::string found = "Product Found: 'C:\\Windows\\Installer\\3f9a1.msi', Disabling Difx now...\n";
    const std::string committed = "Committing Msi DB updates...\nCommiting Successful...\n";
    return Fragments{
        // Product {...5D}'s package found, each name disabled, the commit.
        {"every DIFx name disabled",
         "Searching Product: '{3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D}' ...\n" + found + names + committed},
        {"every code of 9.1.13 tried", notFound(kCodes9113)},
        {"9.1.15 found under its third code",
         "Version of old Product is: 9.1.15\n" +
             notFound("65BD35FD-2FDA-593A-B137-C682DE5A20C4 91A9D1A4-0731-5B94-9070-8391FADE3C3E") +
             "Searching Product: '{FCA34ADF-86BF-5798-8EB4-34CB0DE6A76B}' ...\n" + found + names + committed +
             "Disabled Difx CAs Successfully for product Code: {FCA34ADF-86BF-5798-8EB4-34CB0DE6A76B}"},
    };
}();

// Discovery ("all") finds the earlier release by the version of the client it left.
TEST(InstallerDb, DisableCustomActionsAndDiscovery) {
    runScenarios(kLogs, R"txt(
== nothing for an unknown product or ALL (a product code here); every DIFx name, the service start disabled
+ product {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D}
> @disableCustomActions {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5E} => -1
> @CustomActionHandler {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5E} => 1
> @disableDifxCAs ALL => -1
? disabled: 0
> @disableCustomActions {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D} => 0
> @CustomActionHandler {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D} => 0
? disabled: 26 ca
= whole log
Searching Product: '{3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5E}' ...
Failed to find Product: '{3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5E}', Error: 1605
Failed to retrieve local cache MSI path, Error: 1605
Searching Product: 'ALL' ...
Failed to find Product: 'ALL', Error: 87
use every DIFx name disabled
Local cache MSI path of installer retrieved successfully: C:\Windows\Installer\3f9a1.msi
Opening DB: C:\Windows\Installer\3f9a1.msi
DB opened successfully: C:\Windows\Installer\3f9a1.msi
Disabling custom action: dll_def_StartTavrinSecureService
Opening a view
Executing a view
Successfully disabled custom action: dll_def_StartTavrinSecureService
Committing Msi DB updates...
Committing Successful...

== a path of 256 fits only the 260 of the service start's
+ product {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D} C:\Windows\Installer\{p*231}.msi
> @disableCustomActions {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D} => -1
> @CustomActionHandler {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D} => 0
? disabled C:\Windows\Installer\{p*231}.msi: 0 ca
Failed to find Product: '{3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D}', Error: 234
Local cache MSI path of installer retrieved successfully: C:\Windows\Installer\{p*231}.msi

== a path of 260 fits neither
+ product {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D} C:\Windows\Installer\{p*235}.msi
> @disableCustomActions {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D} => -1
> @CustomActionHandler {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D} => 1
? disabled C:\Windows\Installer\{p*235}.msi: 0
Failed to find Product: '{3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D}', Error: 234
Failed to retrieve local cache MSI path, Error: 234

== the commit fails; the cached package gone
+ product {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D}
+ fail MsiDatabaseCommit 0 1627
> @disableCustomActions {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D} => -1
> @CustomActionHandler {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D} => 1
? disabled: 0
Failed to commit MSI Db, Error: 1627
Failed to commit MSI Db, Error: 1627
+ gone C:\Windows\Installer\3f9a1.msi
> @disableCustomActions {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D} => -1
> @CustomActionHandler {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D} => 1
Failed to find MSI Database for Product: '{3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D}', Error: 110
Failed to find MSI Database, Error: 110

== a failing name skipped, a failed close committed; the service start's failing step: no commit at all
+ product {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D}
+ fail MsiDatabaseOpenViewW 7 1234
+ fail MsiViewExecute 11 1234
+ fail MsiViewClose 19 1234
> @disableCustomActions {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D} => 0
Disabling custom action: 'A_ListDriverInfsBefore.34C340EE_B1F9_442D_901E_D43CD5E6BD8E' ...
Failed to open DB view, Error: 1234
Disabling custom action failed: 'A_ListDriverInfsBefore.34C340EE_B1F9_442D_901E_D43CD5E6BD8E' ...
Failed to execute DB view query, Error: 1234
Disabling custom action failed: 'A_FixDIFxTVRNVA.34C340EE_B1F9_442D_901E_D43CD5E6BD8E' ...
Successfully disabled custom action: 'A_HideCancelButton.34C340EE_B1F9_442D_901E_D43CD5E6BD8E' ...
Failed to close view, Error: 1234
Disabling custom action failed: 'A_HideCancelButton.34C340EE_B1F9_442D_901E_D43CD5E6BD8E' ...
Committing Msi DB updates...
Commiting Successful...
+ fail MsiDatabaseOpenViewW 1 1234
> @CustomActionHandler {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D} => 1
+ fail MsiViewExecute 1 1234
> @CustomActionHandler {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D} => 1
+ fail MsiViewClose 1 1234
> @CustomActionHandler {3A7C55E0-1B2D-4F6A-8C9E-0D1F2A3B4C5D} => 1
? disabled: 24
? calls MsiDatabaseCommit: 1
Failed to open DB view, Error: 1234
Failed to execute DB view query, Error: 1234
Failed to close view, Error: 1234

== the label cut to its capacity; an empty argument; every code of 9.1.13 tried, none found
+ exe 0x00090007 0x00090001 0x000F0004
> @GetFileVersion 6 => 0
? found: 9.1.1
> @disableDifxCAs "" => 2
+ exe 0x00090000 0x00090001 0x000D0000
> @disableDifxCAs all => 0
= whole log
Product Code is empty
Version of old Product is: 9.1.13
use every code of 9.1.13 tried

== no version resource, a version block unreadable, no fixed file information, a version not in the table
... (the product's major with the file's minor and build), a failed path expansion (ends it quietly)
+ exe mz
+ product {65BD35FD-2FDA-593A-B137-C682DE5A20C4}
> @disableDifxCAs all => 2
> @GetFileVersion 32 => 2
+ exe 0x00090007 0x00090001 0x000F0004
+ fail GetFileVersionInfoW 1 5
> @disableDifxCAs all => 2
+ fail VerQueryValueW 1 1813
> @GetFileVersion 32 => 2
+ exe 0xFFFF0000 0x0000FFFF 0xFFFF0000
> @disableDifxCAs all => 2
+ fail ExpandEnvironmentStringsW 1 203
> @disableDifxCAs all => 0
? disabled: 0
= whole log
GetFileVersionInfoSize Failed with last Error: 1812
Failed to retrieve version of Tavrin.exe
GetFileVersionInfoSize Failed with last Error: 1812
GetFileVersionInfo Failed with last Error: 5
Failed to retrieve version of Tavrin.exe
VerQueryValue Failed
Version of old Product is: 65535.65535.65535
Couldn't find product Code for : 65535.65535.65535

== 9.1.15 under its third code: only the first code that commits; a failing existence test cannot decide
+ exe 0x00090007 0x00090001 0x000F0004
+ product {FCA34ADF-86BF-5798-8EB4-34CB0DE6A76B}
+ product {C90A1989-8FAB-59BF-B14F-D057A6EA98EC} C:\Windows\Installer\b.msi
> @disableDifxCAs all => 0
+ fail GetFileAttributesW 1 5
> @disableDifxCAs all => 0
? disabled: 26
? disabled C:\Windows\Installer\b.msi: 0
= whole log
use 9.1.15 found under its third code
use 9.1.15 found under its third code
)txt");
}
} // namespace
} // namespace tdu::test
