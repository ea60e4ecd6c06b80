// The simulated installer engine and version resources stand in for msi.dll
// and version.dll in the installer-database tests; the behaviours those tests
// rely on are pinned down here.
#include "tests/unit/SimTest.h"

#include "platform/Owners.h"

namespace tdu::test {
namespace {

using namespace tdu::platform;
using platform::sim::SimSequenceRow;

constexpr wchar_t kProduct[] = L"{0C4F2A51-7D3B-4E2A-9B61-5A0E8C7D1F23}";
constexpr wchar_t kPackage[] = L"C:\\Windows\\Installer\\5e1f.msi";

class SimInstallerTest : public SimTest {
protected:
    SimInstallerTest() {
        sim.installProduct(
            kProduct, kPackage,
            {{L"CostInitialize", L"", 800}, {L"A", L"NOT Installed", 1001}, {L"B", L"", 1002}});
    }
    std::wstring conditionOf(const wchar_t* action) const {
        for (const SimSequenceRow& row : sim.installExecuteSequence(kPackage)) {
            if (row.action == action) {
                return row.condition;
            }
        }
        return L"<absent>";
    }
    // Opens the package, runs one statement through a view and, when asked,
    // commits; the statuses of open view, execute and commit.
    std::vector<std::uint32_t> apply(const std::wstring& statement, bool commit,
                                     std::uint32_t mode = kMsiDbOpenTransact) {
        MsiHandle database;
        EXPECT_EQ(installerDb().MsiOpenDatabaseW(kPackage, mode, database.put()), 0U);
        MsiHandle view;
        std::vector<std::uint32_t> statuses{
            installerDb().MsiDatabaseOpenViewW(database.get(), statement, view.put())};
        if (statuses[0] == 0) {
            statuses.push_back(installerDb().MsiViewExecute(view.get(), kNullHandle));
            EXPECT_EQ(installerDb().MsiViewClose(view.get()), 0U);
        }
        if (commit) {
            statuses.push_back(installerDb().MsiDatabaseCommit(database.get()));
        }
        return statuses;
    }
};

TEST_F(SimInstallerTest, ProductInfo) {
    const std::wstring path = kPackage;
    const auto length = static_cast<std::uint32_t>(path.size());
    const struct {
        std::wstring product;
        std::wstring property;
        std::uint32_t capacity;
        std::uint32_t status;
        std::uint32_t charsAfter;
    } cases[] = {
        {kProduct, L"LocalPackage", 260, 0, length},
        {kProduct, L"LocalPackage", length + 1, 0, length},
        {kProduct, L"LocalPackage", length, 234, length}, // no room for the terminator
        {kProduct, L"localpackage", 260, 1608, 260},
        {kProduct, L"ProductName", 260, 1608, 260},
        {L"{0C4F2A51-7D3B-4E2A-9B61-5A0E8C7D1F24}", L"LocalPackage", 260, 1605, 260},
        {L"ALL", L"LocalPackage", 260, 87, 260},
        {L"", L"LocalPackage", 260, 87, 260},
        {L"{0C4F2A51-7D3B-4E2A-9B61-5A0E8C7D1F2G}", L"LocalPackage", 260, 87, 260},
        {L"0C4F2A51-7D3B-4E2A-9B61-5A0E8C7D1F23", L"LocalPackage", 260, 87, 260},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.product + L" " + c.property + L" " + std::to_wstring(c.capacity)));
        std::wstring value = L"untouched";
        std::uint32_t chars = c.capacity;
        EXPECT_EQ(installerDb().MsiGetProductInfoW(c.product, c.property, value, chars), c.status);
        EXPECT_EQ(chars, c.charsAfter);
        EXPECT_EQ(value, c.status == 0 ? path : L"untouched");
    }
}

TEST_F(SimInstallerTest, ChangesReachThePackageOnlyAsTheModeSays) {
    const std::wstring statement = L"UPDATE InstallExecuteSequence SET Condition='0' WHERE Action='A'";
    const struct {
        std::uint32_t mode;
        bool commit;
        std::vector<std::uint32_t> statuses;
        const wchar_t* after;
    } cases[] = {
        {kMsiDbOpenTransact, false, {0, 0}, L"NOT Installed"},
        {kMsiDbOpenTransact, true, {0, 0, 0}, L"0"},
        {kMsiDbOpenDirect, false, {0, 0}, L"0"},
        {kMsiDbOpenReadOnly, true, {0, 1627, 0}, L"NOT Installed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        sim.installProduct(kProduct, kPackage, {{L"A", L"NOT Installed", 1001}});
        EXPECT_EQ(apply(statement, c.commit, c.mode), c.statuses);
        EXPECT_EQ(conditionOf(L"A"), c.after);
    }
    Handle database = kNullHandle;
    EXPECT_EQ(installerDb().MsiOpenDatabaseW(kPackage, 3, database), 87U);
    EXPECT_EQ(database, kNullHandle);
}

TEST_F(SimInstallerTest, StatementsTheEngineTakesOrRefuses) {
    const struct {
        const wchar_t* statement;
        std::vector<std::uint32_t> statuses;  // open view, execute, commit
        std::vector<std::wstring> conditions; // of A and B afterwards
    } cases[] = {
        {L"UPDATE InstallExecuteSequence SET Condition='0' WHERE Action='B'",
         {0, 0, 0},
         {L"NOT Installed", L"0"}},
        {L"update `InstallExecuteSequence` set `Condition` = '0' where `Action` = 'A'",
         {0, 0, 0},
         {L"0", L""}},
        {L"UPDATE InstallExecuteSequence SET Condition='X', Sequence=5 WHERE Sequence=1001 AND Action='A'",
         {0, 0, 0},
         {L"X", L""}},
        {L"UPDATE InstallExecuteSequence SET Condition='1'", {0, 0, 0}, {L"1", L"1"}},
        {L"UPDATE InstallExecuteSequence SET Condition='0' WHERE Action='Absent'",
         {0, 0, 0},
         {L"NOT Installed", L""}},
        {L"UPDATE InstallExecuteSequence SET Condition='0' WHERE Action='a'",
         {0, 0, 0},
         {L"NOT Installed", L""}},
        {L"UPDATE InstallExecuteSequence SET Action='C' WHERE Action='A'",
         {0, 1627, 0},
         {L"NOT Installed", L""}},
        {L"UPDATE InstallExecuteSequence SET Condition='0' WHERE Action='A'B'",
         {1615, 0},
         {L"NOT Installed", L""}},
        {L"UPDATE InstallExecuteSequence SET Condition='0' WHERE Action='A",
         {1615, 0},
         {L"NOT Installed", L""}},
        {L"UPDATE InstallExecuteSequence SET Condition='0' WHERE Action='A' junk",
         {1615, 0},
         {L"NOT Installed", L""}},
        {L"UPDATE InstallUISequence SET Condition='0' WHERE Action='A'", {1615, 0}, {L"NOT Installed", L""}},
        {L"UPDATE InstallExecuteSequence SET Cond='0' WHERE Action='A'", {1615, 0}, {L"NOT Installed", L""}},
        {L"UPDATE InstallExecuteSequence SET Sequence='5' WHERE Action='A'",
         {1615, 0},
         {L"NOT Installed", L""}},
        {L"UPDATE InstallExecuteSequence SET Condition=0 WHERE Action='A'",
         {1615, 0},
         {L"NOT Installed", L""}},
        {L"UPDATE InstallExecuteSequence Condition='0' WHERE Action='A'", {1615, 0}, {L"NOT Installed", L""}},
        {L"SELECT * FROM InstallExecuteSequence", {1615, 0}, {L"NOT Installed", L""}},
        {L"", {1615, 0}, {L"NOT Installed", L""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.statement));
        sim.installProduct(kProduct, kPackage, {{L"A", L"NOT Installed", 1001}, {L"B", L"", 1002}});
        EXPECT_EQ(apply(c.statement, true), c.statuses);
        EXPECT_EQ((std::vector<std::wstring>{conditionOf(L"A"), conditionOf(L"B")}), c.conditions);
    }
}

TEST_F(SimInstallerTest, ViewsAndHandles) {
    MsiHandle database;
    ASSERT_EQ(installerDb().MsiOpenDatabaseW(kPackage, kMsiDbOpenTransact, database.put()), 0U);
    MsiHandle view;
    ASSERT_EQ(
        installerDb().MsiDatabaseOpenViewW(
            database.get(), L"UPDATE InstallExecuteSequence SET Condition='0' WHERE Action='A'", view.put()),
        0U);
    EXPECT_EQ(sim.openHandleCount(), 2U);
    EXPECT_EQ(installerDb().MsiViewExecute(view.get(), kNullHandle), 0U);
    EXPECT_EQ(installerDb().MsiViewExecute(view.get(), kNullHandle), 1627U); // executed and not yet closed
    EXPECT_EQ(installerDb().MsiViewClose(view.get()), 0U);
    EXPECT_EQ(installerDb().MsiViewExecute(view.get(), kNullHandle), 0U);
    EXPECT_EQ(installerDb().MsiViewExecute(database.get(), kNullHandle), 6U);
    EXPECT_EQ(installerDb().MsiDatabaseCommit(view.get()), 6U);
    // The view keeps the transaction alive after its database handle is closed.
    const Handle databaseHandle = database.get();
    database.reset();
    EXPECT_EQ(installerDb().MsiCloseHandle(databaseHandle), 6U);
    EXPECT_EQ(installerDb().MsiViewClose(view.get()), 0U);
    EXPECT_EQ(installerDb().MsiViewExecute(view.get(), kNullHandle), 0U);
    view.reset();
    EXPECT_EQ(conditionOf(L"A"), L"NOT Installed");
    EXPECT_EQ(installerDb().MsiCloseHandle(kNullHandle), 0U);
}

TEST_F(SimInstallerTest, AMissingCachedPackageCannotBeOpened) {
    sim.deleteCachedPackage(kPackage);
    std::wstring path;
    std::uint32_t chars = 260;
    EXPECT_EQ(installerDb().MsiGetProductInfoW(kProduct, kInstallPropertyLocalPackage, path, chars), 0U);
    Handle database = kNullHandle;
    EXPECT_EQ(installerDb().MsiOpenDatabaseW(path, kMsiDbOpenTransact, database), 110U);
    EXPECT_EQ(database, kNullHandle);
}

TEST_F(SimInstallerTest, EveryCallButTheCloseCanBeMadeToFail) {
    const std::string calls[] = {"MsiGetProductInfoW", "MsiOpenDatabaseW", "MsiDatabaseOpenViewW",
                                 "MsiViewExecute",     "MsiViewClose",     "MsiDatabaseCommit"};
    for (const std::string& call : calls) {
        SCOPED_TRACE(call);
        sim.clearFaults();
        sim.failCall(call, 0, 1234);
        std::wstring path;
        std::uint32_t chars = 260;
        const std::uint32_t info =
            installerDb().MsiGetProductInfoW(kProduct, kInstallPropertyLocalPackage, path, chars);
        MsiHandle database;
        const std::uint32_t open =
            installerDb().MsiOpenDatabaseW(kPackage, kMsiDbOpenTransact, database.put());
        MsiHandle view;
        const std::uint32_t openView = installerDb().MsiDatabaseOpenViewW(
            database.get(), L"UPDATE InstallExecuteSequence SET Condition='0'", view.put());
        const std::uint32_t execute = installerDb().MsiViewExecute(view.get(), kNullHandle);
        const std::uint32_t close = installerDb().MsiViewClose(view.get());
        const std::uint32_t commit = installerDb().MsiDatabaseCommit(database.get());
        const std::vector<std::uint32_t> statuses{info, open, openView, execute, close, commit};
        EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 1234U), 1);
        EXPECT_EQ(sim.callTrace().back(), "MsiDatabaseCommit");
    }
}

TEST_F(SimInstallerTest, VersionResources) {
    FixedFileInfo written;
    written.signature = kFixedFileInfoSignature;
    written.fileVersionMS = 0x0009'0001;
    written.fileVersionLS = 0x000F'0004;
    written.productVersionMS = 0x0009'0007;
    written.productVersionLS = 0x0003'0001;
    written.fileDateLS = 0xDEADBEEF;
    sim.writeVersionedFile(L"C:\\app\\v.exe", written);
    std::uint32_t handle = 7;
    const std::uint32_t size = fileVersion().GetFileVersionInfoSizeW(L"C:\\app\\v.exe", handle);
    ASSERT_GE(size, kFixedFileInfoBytes);
    EXPECT_EQ(handle, 0U);
    std::vector<std::uint8_t> block(size, 0);
    ASSERT_TRUE(fileVersion().GetFileVersionInfoW(L"C:\\app\\v.exe", handle, size, block));
    FixedFileInfo read;
    std::uint32_t length = 0;
    ASSERT_TRUE(fileVersion().VerQueryValueW(block, L"\\", read, length));
    EXPECT_EQ(length, kFixedFileInfoBytes);
    EXPECT_EQ(std::make_tuple(read.signature, read.fileVersionMS, read.fileVersionLS, read.productVersionMS,
                              read.productVersionLS, read.fileDateLS),
              std::make_tuple(written.signature, written.fileVersionMS, written.fileVersionLS,
                              written.productVersionMS, written.productVersionLS, written.fileDateLS));
    EXPECT_FALSE(fileVersion().VerQueryValueW(block, L"\\StringFileInfo", read, length));
    // A block cut short holds no fixed file information.
    std::vector<std::uint8_t> cut(size, 0);
    ASSERT_TRUE(fileVersion().GetFileVersionInfoW(L"C:\\app\\v.exe", handle, size - 8, cut));
    cut.resize(size - 8);
    EXPECT_FALSE(fileVersion().VerQueryValueW(cut, L"\\", read, length));
}

TEST_F(SimInstallerTest, FilesWithoutAVersion) {
    sim.writeFile(L"C:\\app\\plain.exe", "MZ and no resources");
    sim.createDirectories(L"C:\\app\\folder.exe");
    const struct {
        const wchar_t* path;
        std::uint32_t error;
    } cases[] = {
        {L"C:\\app\\plain.exe", 1812},
        {L"C:\\app\\missing.exe", 2},
        {L"C:\\nowhere\\missing.exe", 3},
        {L"C:\\app\\folder.exe", 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.path));
        std::uint32_t handle = 0;
        EXPECT_EQ(fileVersion().GetFileVersionInfoSizeW(c.path, handle), 0U);
        EXPECT_EQ(sys().GetLastError(), c.error);
        std::vector<std::uint8_t> block(64, 0);
        EXPECT_FALSE(fileVersion().GetFileVersionInfoW(c.path, 0, 64, block));
        EXPECT_EQ(sys().GetLastError(), c.error);
    }
}

} // namespace
} // namespace tdu::test
