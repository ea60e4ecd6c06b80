#include "log/Format.h"

#include <gtest/gtest.h>

#include <climits>

namespace tdu::log {
namespace {

template <class... Args> std::wstring fmt(std::wstring_view format, const Args&... args) {
    const std::array<FormatArg, sizeof...(Args)> packed{makeArg(args)...};
    return formatMessage(format, packed);
}

template <class... Args> constexpr bool matches(std::wstring_view format) {
    constexpr std::array<ArgKind, sizeof...(Args)> kinds{argKindOf<Args>()...};
    return formatMatches(format, kinds);
}

// The compile-time check: a message whose conversions do not fit its
// arguments must not build. %lu is 32 bits and %llu 64, as on Windows;
// signedness must agree, except that %x prints an HRESULT's bits.
static_assert(matches<const wchar_t*>(L"a %s b") && matches<std::wstring>(L"%ls") &&
              matches<const char*>(L"%hs") && matches<std::uint32_t>(L"%lu") &&
              matches<std::uint64_t>(L"%llu") && matches<std::int32_t>(L"%ld") &&
              matches<std::int32_t>(L"%#x") && matches<std::size_t>(L"%zu") && matches<>(L"100%% done"));
static_assert(!matches<const char*>(L"%s") && !matches<const wchar_t*>(L"%hs") &&
              !matches<std::uint64_t>(L"%lu") && !matches<std::uint32_t>(L"%llu") &&
              !matches<std::int32_t>(L"%u") && !matches<std::uint32_t>(L"%d") &&
              !matches<std::uint32_t>(L"%lu %lu") && !matches<std::uint32_t, int>(L"%lu") &&
              !matches<int>(L"%n") && !matches<int>(L"trailing %"));

TEST(Format, ConversionsGiveTheSameTextOnEveryBuild) {
    const std::int32_t hresult = static_cast<std::int32_t>(0x80004001U);
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"x=42 -7 -2147483648 4294967295 0", fmt(L"x=%d %i %ld %lu %u", 42, -7, INT32_MIN, UINT32_MAX, 0U)},
        {L"18446744073709551615 600 -9223372036854775808 ffffffffff",
         fmt(L"%llu %zu %lld %llx", UINT64_MAX, std::size_t{600}, std::int64_t{INT64_MIN}, 0xFFFFFFFFFFULL)},
        {L"0x80004001 ffffffff 0 0XFF ff 0x0000ff 0x00ff",
         fmt(L"%#x %x %#x %#X %x %#08x %#.4x", hresult, -1, 0U, 255U, 255U, 255U, 255U)},
        {L"2026/12/04 04:25:34", fmt(L"%04d/%02d/%02d %02d:%02d:%02d", 2026, 12, 4, 4, 25, 34)},
        // Precision gives the zeros; the 0 flag yields to it.
        {L"0007 07 12345 123 |", fmt(L"%0.4u %0.2u %0.4u %02d %.0u|", 7U, 7U, 12345U, 123, 0U)},
        {L"   005|005   |-005|  7|-7 |-007", fmt(L"%06.3d|%-6.3d|%+.3d|%3d|%-3d|%04d", 5, 5, -5, 7, -7, -7)},
        {L"+5  5 -5 100% 0xff  |+5  |", fmt(L"%+d % d % d 100%% %-#6x|%-+4d|", 5, 5, -5, 255U, 5)},
        {L"wide wide narrow \xE9 \x20AC",
         fmt(L"%s %ls %hs %s", L"wide", std::wstring(L"wide"), "narrow \xE9", L"\x20AC")},
        {L"ab|  ab|ab  |  ab|''", fmt(L"%.2s|%4s|%-4s|%04s|'%s'", L"abc", L"ab", L"ab", L"ab", L"")},
        // A missing, mismatched or malformed conversion stays as written
        // and leaves its argument to the next conversion.
        {L"%s and %d left", fmt(L"%s and %d left")},
        {L"%d text", fmt(L"%d %s", L"text")},
        {L"%q %lls %hd 1 50%", fmt(L"%q %lls %hd %d 50%", 1)},
    };
    for (const auto& [expected, actual] : cases) {
        EXPECT_EQ(actual, expected);
    }
    EXPECT_EQ(fmt(L"%99999999999d", 1).size(), 4096U); // width is bounded
}

// A message as the log file holds it: cut to 1022 UTF-16 units, then one
// byte per character up to U+00FF and "?" per UTF-16 unit beyond it (a cut
// through a pair keeps its first half). The bytes agree on both builds.
TEST(Format, LogBytesOfACutMessage) {
    const std::wstring pair = L"\U0001F600";
    const std::wstring x1020(1020, L'x');
    const std::pair<std::wstring, std::string> cases[] = {
        {L"\xFF\x41", "\xFF\x41"},
        {L"\x0100|\x20AC", "?|?"},
        {std::wstring(1, static_cast<wchar_t>(0xD800)), "?"},
        {pair, "??"},
        {std::wstring(1, L'\0'), std::string(1, '\0')},
        {x1020 + pair, std::string(1020, 'x') + "??"},
        {x1020 + L"x" + pair + L"yz", std::string(1021, 'x') + "?"},
        {x1020 + L"xx" + pair, std::string(1022, 'x')},
        {x1020 + L"x\n\n", std::string(1021, 'x') + "\r\n"}};
    for (const auto& [text, bytes] : cases) {
        std::wstring cut = text;
        cutToUtf16Units(cut, 1022);
        EXPECT_EQ(toLogBytes(cut), bytes);
    }
}

} // namespace
} // namespace tdu::log
