#include "tests/unit/SimTest.h"

#include "operator/TDriverOperator.h"

namespace tdu::test {
namespace {

const std::wstring kStore = L"C:\\Windows\\System32\\DRVSTORE";
const std::wstring kDifxKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\DIFxAPP\\Components\\{9AC1F0E9-"
                              L"DE2F-4b2d-910C-65CAEE9153D9}";
const std::wstring kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\tvrnns";

struct Case {
    const char* name;
    std::function<void(platform::sim::SimMachine&)> arrange;
    std::vector<std::string> messages; // between "Cleaning TVRNNS Residuals" and the key deletions
    std::vector<std::wstring> remaining;
};

TEST(Residuals, Cleanup) {
    const std::string store = narrow(kStore);
    const std::string folder = store + "\\tvrnns_1a2b";
    auto file = [&](const char* ext) { return folder + "\\tvrnns" + ext; };
    const Case cases[] = {
        {"no store",
         [](auto&) {},
         {"DRVStore path is: " + store, "DRVStore path does not exists: " + store},
         {}},
        {"no matching folder",
         [](auto& m) {
             m.createDirectories(kStore + L"\\other_1");
             m.writeFile(kStore + L"\\tvrnns_file", "a regular file with a matching name stays");
         },
         {"DRVStore path is: " + store, "DRVStore path exists: " + store},
         {L"other_1", L"tvrnns_file"}},
        {"a folder with only the .inf",
         [](auto& m) { m.writeFile(kStore + L"\\tvrnns_1a2b\\tvrnns.inf", "inf"); },
         {"DRVStore path is: " + store, "DRVStore path exists: " + store, "TVRNNS Dir: tvrnns_1a2b",
          "Erasing: " + file(".inf"), "Successfully deleted: " + file(".inf"), "Erasing: " + file(".cat"),
          "File not found: " + file(".cat"), "Erasing: " + file(".sys"), "File not found: " + file(".sys")},
         {}},
        {"a folder with an extra file",
         [](auto& m) {
             for (const wchar_t* name : {L"tvrnns.inf", L"tvrnns.cat", L"tvrnns.sys", L"extra.log"}) {
                 m.writeFile(kStore + L"\\tvrnns_1a2b\\" + name, "x");
             }
         },
         {"DRVStore path is: " + store, "DRVStore path exists: " + store, "TVRNNS Dir: tvrnns_1a2b",
          "Erasing: " + file(".inf"), "Successfully deleted: " + file(".inf"), "Erasing: " + file(".cat"),
          "Successfully deleted: " + file(".cat"), "Erasing: " + file(".sys"),
          "Successfully deleted: " + file(".sys"), "RemoveDirectory Failed for 'tvrnns_1a2b' with Error:145"},
         {L"tvrnns_1a2b"}},
        {"an undeletable file",
         [](auto& m) {
             m.writeFile(kStore + L"\\tvrnns_1a2b\\tvrnns.sys", "x");
             m.failCall("DeleteFileW", 1, 32);
             m.failCall("_wremove", 1, 32);
         },
         {"DRVStore path is: " + store, "DRVStore path exists: " + store, "TVRNNS Dir: tvrnns_1a2b",
          "Erasing: " + file(".inf"), "File not found: " + file(".inf"), "Erasing: " + file(".cat"),
          "File not found: " + file(".cat"), "Erasing: " + file(".sys"),
          "DeleteFile Failed for " + file(".sys") + " with last Error:32",
          "Tried to delete '" + file(".sys") + "' one more time, but failed with Error:-1",
          "RemoveDirectory Failed for 'tvrnns_1a2b' with Error:145"},
         {L"tvrnns_1a2b"}},
        {"the store path cannot be expanded",
         [](auto& m) { m.removeEnvironment(L"WINDIR"); },
         {"DRVStore path is: %WINDIR%\\System32\\DRVSTORE",
          "DRVStore path does not exists: %WINDIR%\\System32\\DRVSTORE"},
         {}},
        {"expansion fails",
         [](auto& m) { m.failCall("ExpandEnvironmentStringsW", 2, 203); },
         {"ExpandEnvironmentStrings Failed for 'WINDIR' with last Error:203"},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FreshMachine fresh;
        fresh.machine.regCreateKey(kDifxKey + L"\\sub");
        fresh.machine.regCreateKey(kServiceKey);
        c.arrange(fresh.machine);
        TavrinDriverOperator().cleanTVRNNSResiduals();
        auto messages = logMessagesOf(fresh.machine);
        ASSERT_GE(messages.size(), 1U);
        EXPECT_EQ(messages.front(), "Cleaning TVRNNS Residuals");
        // The keys go on every path.
        EXPECT_FALSE(fresh.machine.regKeyExists(kDifxKey));
        EXPECT_FALSE(fresh.machine.regKeyExists(kServiceKey));
        const auto firstKeyLine =
            std::find(messages.begin(), messages.end(), "Deleting Registry: " + narrow(kDifxKey));
        ASSERT_NE(firstKeyLine, messages.end());
        EXPECT_EQ(std::vector<std::string>(messages.begin() + 1, firstKeyLine), c.messages);
        std::vector<std::wstring> remaining;
        std::error_code ec;
        for (std::filesystem::directory_iterator it(fresh.machine.hostPath(kStore), ec), end;
             !ec && it != end; it.increment(ec)) {
            remaining.push_back(it->path().filename().wstring());
        }
        std::sort(remaining.begin(), remaining.end());
        EXPECT_EQ(remaining, c.remaining);
        EXPECT_EQ(fresh.machine.openHandleCount(), 0U) << fresh.machine.openHandleReport();
    }
}

TEST(Residuals, ListDirectoryNamesFiltersByKind) {
    FreshMachine fresh;
    fresh.machine.createDirectories(L"C:\\d\\tvrnns_b");
    fresh.machine.createDirectories(L"C:\\d\\TVRNNS_a");
    fresh.machine.writeFile(L"C:\\d\\tvrnns_c", "file");
    EXPECT_EQ(listDirectoryNames(L"C:\\d\\tvrnns_", true, L"*"),
              (std::vector<std::wstring>{L"TVRNNS_a", L"tvrnns_b"}));
    EXPECT_EQ(listDirectoryNames(L"C:\\d\\tvrnns_", false, L"*"), std::vector<std::wstring>{L"tvrnns_c"});
    EXPECT_TRUE(listDirectoryNames(L"C:\\missing\\", true, L"*").empty());
    EXPECT_EQ(fresh.machine.openHandleCount(), 0U);
}

} // namespace
} // namespace tdu::test
