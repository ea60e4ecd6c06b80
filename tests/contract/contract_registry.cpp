// The registry: the views, values larger than their buffer, multi-strings, enumeration and deletion.
#include "tests/contract/Contract.h"

namespace tdu::contract {
namespace {

constexpr wchar_t kKey[] = L"SOFTWARE\\TduContract";

Handle created(const std::wstring& subKey, std::uint32_t view = 0) {
    Handle key = kNullHandle;
    EXPECT_EQ(reg().RegCreateKeyExW(RegRoot::LocalMachine, kKey + subKey, kRegOptionNonVolatile,
                                    kKeyAllAccess | view, key),
              0);
    return key;
}

const Row kRegistry[] = {
    {"The32BitViewIsWow6432Node",
     [](Machine&) {
         EXPECT_EQ(reg().RegCloseKey(created(L"\\View", kKeyWow64_32Key)), 0);
         Handle key = kNullHandle;
         EXPECT_EQ(reg().RegOpenKeyExW(RegRoot::LocalMachine, std::wstring(kKey) + L"\\View", kKeyRead, key),
                   2);
         EXPECT_EQ(reg().RegOpenKeyExW(RegRoot::LocalMachine, L"SOFTWARE\\Wow6432Node\\TduContract\\View",
                                       kKeyRead, key),
                   0);
         // A key opened to read refuses a write.
         EXPECT_EQ(reg().RegSetValueExW(key, L"v", kRegDword, RegData::dword(1), 4), 5);
         EXPECT_EQ(reg().RegCloseKey(key), 0);
     }},
    {"AValueLargerThanItsBufferIsMeasuredNotWrittenAndValuesComeBackAsWritten",
     [](Machine&) {
         const Handle key = created(L"");
         const RegData text = RegData::text(std::wstring(L"abcdef") + L'\0');
         EXPECT_EQ(reg().RegSetValueExW(key, L"v", kRegSz, text, 14), 0);
         RegData read{{0xEE}};
         std::uint32_t type = 0;
         std::uint32_t bytes = 4;
         EXPECT_EQ(reg().RegQueryValueExW(key, L"v", &type, &read, &bytes), 234);
         EXPECT_EQ(std::tuple(type, bytes, read.bytes),
                   std::tuple(kRegSz, 14U, std::vector<std::uint8_t>{0xEE}));
         EXPECT_EQ(reg().RegQueryValueExW(key, L"v", nullptr, nullptr, &bytes), 0);
         EXPECT_EQ(bytes, 14U);
         EXPECT_EQ(reg().RegQueryValueExW(key, L"v", &type, &read, &bytes), 0);
         EXPECT_EQ(read.bytes, text.bytes);
         const RegData multi = RegData::text(std::wstring(L"a\0bc\0\0", 6));
         EXPECT_EQ(reg().RegSetValueExW(key, L"m", kRegMultiSz, multi, 12), 0);
         EXPECT_EQ(reg().RegSetValueExW(key, L"d", kRegDword, RegData::dword(0x01020304), 4), 0);
         bytes = 64;
         EXPECT_EQ(reg().RegQueryValueExW(key, L"m", &type, &read, &bytes), 0);
         EXPECT_EQ(std::tuple(type, read.multiStrings()),
                   std::tuple(kRegMultiSz, std::vector<std::wstring>{L"a", L"bc"}));
         EXPECT_EQ(reg().RegQueryValueExW(key, L"d", &type, &read, &bytes), 0);
         EXPECT_EQ(std::tuple(type, read.bytes),
                   std::tuple(kRegDword, std::vector<std::uint8_t>{4, 3, 2, 1}));
         EXPECT_EQ(reg().RegDeleteValueW(key, L"d"), 0);
         EXPECT_EQ(reg().RegDeleteValueW(key, L"d"), 2);
         EXPECT_EQ(reg().RegQueryValueExW(key, L"d", &type, &read, &bytes), 2);
         EXPECT_EQ(reg().RegCloseKey(key), 0);
     }},
    {"EnumerationSaysMoreDataThenNoMoreItemsAndOnlyALeafKeyIsDeleted",
     [](Machine&) {
         EXPECT_EQ(reg().RegCloseKey(created(L"\\Parent\\Child")), 0);
         const Handle key = created(L"\\Parent");
         std::wstring name;
         std::uint32_t chars = 5;
         EXPECT_EQ(reg().RegEnumKeyExW(key, 0, name, chars), 234);
         chars = 6;
         EXPECT_EQ(reg().RegEnumKeyExW(key, 0, name, chars), 0);
         EXPECT_EQ(std::tuple(name, chars), std::tuple(L"Child", 5U));
         EXPECT_EQ(reg().RegEnumKeyExW(key, 1, name, chars), 259);
         EXPECT_EQ(reg().RegCloseKey(key), 0);
         const std::wstring parent = std::wstring(kKey) + L"\\Parent";
         EXPECT_EQ(reg().RegDeleteKeyW(RegRoot::LocalMachine, parent), 5);
         EXPECT_EQ(reg().RegDeleteKeyW(RegRoot::LocalMachine, parent + L"\\Child"), 0);
         EXPECT_EQ(reg().RegDeleteKeyW(RegRoot::LocalMachine, parent + L"\\Child"), 2);
         EXPECT_EQ(reg().RegFlushKey(RegRoot::LocalMachine), 0);
     }},
};
TDU_CONTRACT_ROWS(Registry, kRegistry);

} // namespace
} // namespace tdu::contract
