// The simulated machine keeps to its own folder: only a letter names a drive,
// so no path a test or a fuzzer makes up reaches the host's own files.
#include "tests/unit/SimTest.h"

#include <algorithm>

namespace tdu::test {
namespace {

TEST_F(SimTest, OnlyALetterNamesADrive) {
    sim.writeFile(L"C:\\inside.txt", "x");
    const std::filesystem::path root = sim.hostPath(L"C:\\").parent_path();
    // The machine's drive in either case; the host's root; units whose low
    // seven bits are "/", "C" or a NUL that would cut the host path short; a digit.
    for (const std::wstring path :
         {L"C:\\inside.txt", L"c:\\INSIDE.TXT", L"/:\\inside.txt", L"\u012F:\\inside.txt",
          L"\u0143:\\inside.txt", L"\u0080:\\inside.txt", L"1:\\inside.txt"}) {
        SCOPED_TRACE(narrow(path));
        const std::filesystem::path host = sim.hostPath(path);
        EXPECT_TRUE(std::mismatch(root.begin(), root.end(), host.begin(), host.end()).first == root.end())
            << host;
        EXPECT_EQ(host.native().find(std::filesystem::path::value_type{}), std::string::npos);
        std::error_code ec;
        EXPECT_EQ(platform::sys().exists(path, ec), (path[0] | 0x20) == L'c');
    }
}

} // namespace
} // namespace tdu::test
