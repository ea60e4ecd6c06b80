// The simulated installer engine stands in for msi.dll in the installer-
// database tests: what it takes, refuses and keeps is pinned down here.
#include "tests/unit/SimTest.h"

#include "platform/Owners.h"

namespace tdu::test {
namespace {

using namespace tdu::platform;

constexpr wchar_t kProduct[] = L"{0C4F2A51-7D3B-4E2A-9B61-5A0E8C7D1F23}";
constexpr wchar_t kPackage[] = L"C:\\Windows\\Installer\\5e1f.msi";

class SimInstallerTest : public SimTest {
protected:
    // Installs a package of two actions, runs one statement and commits;
    // the statuses of open view, execute and commit, then the conditions of
    // A and B.
    std::vector<std::wstring> apply(const std::wstring& statement) {
        sim.installProduct(kProduct, kPackage, {{L"A", L"NOT Installed", 1001}, {L"B", L"", 1002}});
        std::vector<std::wstring> seen;
        {
            MsiHandle database;
            EXPECT_EQ(installerDb().MsiOpenDatabaseW(kPackage, kMsiDbOpenTransact, database.put()), 0U);
            MsiHandle view;
            const std::uint32_t opened =
                installerDb().MsiDatabaseOpenViewW(database.get(), statement, view.put());
            seen.push_back(std::to_wstring(opened));
            seen.push_back(
                opened == 0 ? std::to_wstring(installerDb().MsiViewExecute(view.get(), kNullHandle)) : L"-");
            seen.push_back(std::to_wstring(installerDb().MsiDatabaseCommit(database.get())));
        }
        for (const auto& row : sim.installExecuteSequence(kPackage)) {
            seen.push_back(row.condition);
        }
        return seen;
    }
};

TEST_F(SimInstallerTest, StatementsTheEngineTakesOrRefuses) {
    const std::wstring kept = L"NOT Installed";
    const struct {
        const wchar_t* statement;
        std::vector<std::wstring> seen; // open view, execute, commit, condition of A, of B
    } cases[] = {
        {L"UPDATE InstallExecuteSequence SET Condition='0' WHERE Action='B'",
         {L"0", L"0", L"0", L"NOT Installed", L"0"}},
        {L"update `InstallExecuteSequence` set `Condition` = '0' where `Action` = 'A'",
         {L"0", L"0", L"0", L"0", L""}},
        {L"UPDATE InstallExecuteSequence SET Condition='1'", {L"0", L"0", L"0", L"1", L"1"}},
        {L"UPDATE InstallExecuteSequence SET Condition='X' WHERE Action='A' AND Condition='NOT Installed'",
         {L"0", L"0", L"0", L"X", L""}},
        // An absent or differently cased action: executed without error, nothing changed.
        {L"UPDATE InstallExecuteSequence SET Condition='0' WHERE Action='a'", {L"0", L"0", L"0", kept, L""}},
        {L"UPDATE InstallExecuteSequence SET Action='C' WHERE Action='A'", {L"0", L"1627", L"0", kept, L""}},
        {L"UPDATE InstallExecuteSequence SET Condition='0' WHERE Action='A'B'",
         {L"1615", L"-", L"0", kept, L""}},
        {L"UPDATE InstallExecuteSequence SET Condition='0' WHERE Action='A",
         {L"1615", L"-", L"0", kept, L""}},
        {L"UPDATE InstallUISequence SET Condition='0' WHERE Action='A'", {L"1615", L"-", L"0", kept, L""}},
        {L"UPDATE InstallExecuteSequence SET Cond='0'", {L"1615", L"-", L"0", kept, L""}},
        {L"UPDATE InstallExecuteSequence SET Sequence=5", {L"1615", L"-", L"0", kept, L""}},
        {L"SELECT * FROM InstallExecuteSequence", {L"1615", L"-", L"0", kept, L""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.statement));
        EXPECT_EQ(apply(c.statement), c.seen);
    }
}

} // namespace
} // namespace tdu::test
