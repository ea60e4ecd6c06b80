// The simulated machine stands in for Windows in every unit test, so the
// behaviours the program relies on are pinned down here.
#include "tests/unit/SimTest.h"

#include "platform/Owners.h"
#include "platform/WideText.h"

#include <algorithm>

namespace tdu::test {
namespace {

using namespace tdu::platform;

class SimMachineTest : public SimTest {};

TEST_F(SimMachineTest, RegistryBehavesAsTheProgramExpects) {
    sim.regCreateKey(L"SOFTWARE\\K\\child");
    RegKey key;
    ASSERT_EQ(reg().RegOpenKeyExW(RegRoot::LocalMachine, L"software\\k", kKeyRead, key.put()), 0);
    std::wstring name;
    std::uint32_t chars = 5;
    EXPECT_EQ(reg().RegEnumKeyExW(key.get(), 0, name, chars), 234); // "child" needs 6 with its terminator
    chars = 6;
    EXPECT_EQ(reg().RegEnumKeyExW(key.get(), 0, name, chars), 0);
    EXPECT_EQ(name, L"child");
    EXPECT_EQ(chars, 5U);
    EXPECT_EQ(reg().RegEnumKeyExW(key.get(), 1, name, chars), 259);
    EXPECT_EQ(reg().RegDeleteKeyW(RegRoot::LocalMachine, L"SOFTWARE\\K"), 5);            // has a subkey
    EXPECT_EQ(reg().RegSetValueExW(key.get(), L"v", kRegSz, RegData::text(L"x"), 2), 5); // opened for reading
    EXPECT_EQ(reg().RegDeleteKeyW(RegRoot::LocalMachine, L"SOFTWARE\\K\\child"), 0);
    EXPECT_EQ(reg().RegDeleteKeyW(RegRoot::LocalMachine, L"SOFTWARE\\K"), 0);
    EXPECT_EQ(reg().RegEnumKeyExW(key.get(), 0, name, chars), 1018); // open handle on a deleted key
    EXPECT_EQ(reg().RegDeleteKeyW(RegRoot::LocalMachine, L"SOFTWARE\\K"), 2);
}

TEST_F(SimMachineTest, The32BitViewIsTheWow6432NodeBranch) {
    RegKey key;
    ASSERT_EQ(reg().RegCreateKeyExW(RegRoot::LocalMachine, L"SOFTWARE\\V", 0, kKeyAllAccess | kKeyWow64_32Key,
                                    key.put()),
              0);
    EXPECT_TRUE(sim.regKeyExists(L"SOFTWARE\\Wow6432Node\\V"));
    EXPECT_FALSE(sim.regKeyExists(L"SOFTWARE\\V"));
    RegKey native;
    EXPECT_EQ(reg().RegOpenKeyExW(RegRoot::LocalMachine, L"SOFTWARE\\V", kKeyRead, native.put()), 2);
}

TEST_F(SimMachineTest, EnvironmentExpansion) {
    std::wstring out;
    EXPECT_EQ(sys().ExpandEnvironmentStringsW(L"%PUBLIC%\\x", out, 260), 18U);
    EXPECT_EQ(out, L"C:\\Users\\Public\\x");
    EXPECT_EQ(sys().ExpandEnvironmentStringsW(L"%NOPE%\\%windir%", out, 260), 18U);
    EXPECT_EQ(out, L"%NOPE%\\C:\\Windows");
    out = L"unchanged";
    EXPECT_EQ(sys().ExpandEnvironmentStringsW(L"%PUBLIC%", out, 10), 16U);
    EXPECT_EQ(out, L"unchanged");
    EXPECT_EQ(sys().GetLastError(), kErrorInsufficientBuffer);
}

TEST_F(SimMachineTest, OnlyALetterNamesADrive) {
    sim.writeFile(L"C:\\inside.txt", "x");
    const std::filesystem::path root = sim.hostPath(L"C:\\").parent_path();
    const struct {
        const wchar_t* path;
        bool found;
    } cases[] = {
        {L"C:\\inside.txt", true},       // the machine's own drive
        {L"c:\\INSIDE.TXT", true},       // in either case
        {L"/:\\inside.txt", false},      // the host's own root
        {L"\u012F:\\inside.txt", false}, // its low seven bits are "/"
        {L"\u0143:\\inside.txt", false}, // ... "C"
        {L"\u0080:\\inside.txt", false}, // ... NUL, which would cut the host path short
        {L"1:\\inside.txt", false},      // a digit
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.path));
        const std::filesystem::path host = sim.hostPath(c.path);
        EXPECT_TRUE(std::mismatch(root.begin(), root.end(), host.begin(), host.end()).first == root.end())
            << host;
        EXPECT_EQ(host.native().find(std::filesystem::path::value_type{}), std::string::npos);
        std::error_code ec;
        EXPECT_EQ(sys().exists(c.path, ec), c.found);
    }
}

TEST_F(SimMachineTest, NamesHoldAnyUtf16Unit) {
    const std::vector<std::wstring> names{
        L"caf\u00E9.inf",  // Latin-1
        L"%0000E9",        // what the host calls the one above, as a name of its own
        L"100%",           // the host's escape mark
        L"\xD800.inf",     // an unpaired surrogate, which a Windows name may hold
        L"\U0001F600.inf", // beyond the BMP
        L"tab\there",
    };
    sim.createDirectories(L"C:\\names");
    for (const std::wstring& name : names) {
        SCOPED_TRACE(narrow(name));
        const std::wstring path = L"C:\\names\\" + name;
        const Stream stream(sys().OpenAppendStream(path));
        ASSERT_TRUE(stream);
        ASSERT_TRUE(sys().WriteStream(stream.get(), narrow(name)));
    }
    std::vector<std::wstring> listed;
    FindData found;
    const FindHandle search(sys().FindFirstFileW(L"C:\\NAMES\\*", found));
    ASSERT_TRUE(search);
    do {
        listed.push_back(found.fileName);
    } while (sys().FindNextFileW(search.get(), found));
    std::vector<std::wstring> expected = names;
    expected.insert(expected.end(), {L".", L".."});
    std::sort(listed.begin(), listed.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed, expected);
    for (const std::wstring& name : names) {
        SCOPED_TRACE(narrow(name));
        EXPECT_EQ(sim.readFile(L"C:\\Names\\" + asciiUpper(name)), narrow(name));
    }
}

TEST_F(SimMachineTest, ClockAndNamedObjects) {
    sim.setLocalTime(LocalTime{2026, 12, 31, 23, 59, 59, 500});
    sim.setTickCountAtStart(0xFFFFFF00U);
    sim.advance(600);
    const LocalTime t = sys().GetLocalTime();
    EXPECT_EQ(std::tuple(t.year, t.month, t.day, t.hour, t.minute, t.second),
              std::tuple(2027, 1, 1, 0, 0, 0));
    EXPECT_EQ(sys().GetTickCount(), 0x00000158U); // wrapped
    KernelObject mutex(sys().CreateMutexW(true, L"Global\\M"));
    sim.asProcess(7, [] {
        const KernelObject other(sys().CreateMutexW(true, L"Global\\m"));
        EXPECT_EQ(sys().GetLastError(), kErrorAlreadyExists);
        EXPECT_FALSE(sys().ReleaseMutex(other.get()));
        EXPECT_EQ(sys().GetLastError(), kErrorNotOwner);
        EXPECT_EQ(sys().WaitForSingleObject(other.get(), 50), kWaitTimeout);
    });
    EXPECT_EQ(sim.nowMs(), 650U);
    sim.endProcess(sim.currentProcess());
    mutex.reset(); // already closed by the process's end
    EXPECT_FALSE(sim.namedObjectExists(L"Global\\M"));
}

TEST_F(SimMachineTest, AbandonedMutex) {
    sim.asProcess(7, [] { sys().CreateMutexW(true, L"Global\\A"); });
    const KernelObject mine(sys().CreateMutexW(false, L"Global\\A"));
    sim.endProcess(7);
    EXPECT_EQ(sys().WaitForSingleObject(mine.get(), 0), kWaitAbandoned);
    EXPECT_TRUE(sys().ReleaseMutex(mine.get()));
}

} // namespace
} // namespace tdu::test
