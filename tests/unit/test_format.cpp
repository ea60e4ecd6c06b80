#include "log/Format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

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
// arguments must not build.
static_assert(matches<const wchar_t*>(L"a %s b"));
static_assert(matches<std::wstring>(L"%ls"));
static_assert(matches<const char*>(L"%hs"));
static_assert(matches<std::uint32_t>(L"%lu"));
static_assert(matches<std::uint64_t>(L"%llu"));
static_assert(matches<std::int32_t>(L"%ld"));
static_assert(matches<std::int32_t>(L"%#x"));
static_assert(matches<std::size_t>(L"%zu"));
static_assert(matches<>(L"100%% done"));
static_assert(!matches<const char*>(L"%s"));     // narrow text under a wide conversion
static_assert(!matches<const wchar_t*>(L"%hs")); // and the other way round
static_assert(!matches<std::uint64_t>(L"%lu"));  // %lu is 32 bits, as on Windows
static_assert(!matches<std::uint32_t>(L"%llu")); // %llu is 64
static_assert(!matches<std::int32_t>(L"%u"));    // signedness must agree
static_assert(!matches<std::uint32_t>(L"%d"));
static_assert(!matches<std::uint32_t>(L"%lu %lu"));  // too few arguments
static_assert(!matches<std::uint32_t, int>(L"%lu")); // too many
static_assert(!matches<int>(L"%n"));                 // unsupported conversion
static_assert(!matches<int>(L"trailing %"));

struct Case {
    std::wstring expected;
    std::wstring actual;
};

TEST(Format, ConversionsGiveTheSameTextOnEveryBuild) {
    const Case cases[] = {
        {L"x=42", fmt(L"x=%d", 42)},
        {L"-7", fmt(L"%d", -7)},
        {L"-2147483648", fmt(L"%ld", std::int32_t{INT32_MIN})},
        {L"4294967295", fmt(L"%lu", std::uint32_t{0xFFFFFFFF})},
        {L"18446744073709551615", fmt(L"%llu", std::uint64_t{UINT64_MAX})},
        {L"600", fmt(L"%llu", std::uint64_t{600})},
        {L"0x80004001", fmt(L"%#x", std::int32_t{static_cast<std::int32_t>(0x80004001U)})},
        {L"0", fmt(L"%#x", 0U)},
        {L"0XFF", fmt(L"%#X", 255U)},
        {L"ff", fmt(L"%x", 255U)},
        {L"2026/12/04 04:25:34", fmt(L"%04d/%02d/%02d %02d:%02d:%02d", 2026, 12, 4, 4, 25, 34)},
        {L"0007", fmt(L"%0.4u", 7U)}, // precision gives the zeros; the 0 flag yields to it
        {L"07", fmt(L"%0.2u", 7U)},
        {L"  7", fmt(L"%3d", 7)},
        {L"7  |", fmt(L"%-3d|", 7)},
        {L"-007", fmt(L"%04d", -7)},
        {L"+5", fmt(L"%+d", 5)},
        {L" 5", fmt(L"% d", 5)},
        {L"", fmt(L"%.0u", 0U)},
        {L"wide", fmt(L"%s", L"wide")},
        {L"wide", fmt(L"%ls", std::wstring(L"wide"))},
        {L"narrow \xE9", fmt(L"%hs", "narrow \xE9")},
        {L"ab", fmt(L"%.2s", L"abc")},
        {L"  ab", fmt(L"%4s", L"ab")},
        {L"ab  |", fmt(L"%-4s|", L"ab")},
        {L"100%", fmt(L"100%%")},
        {L"'' empty", fmt(L"'%s' empty", L"")},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.actual, c.expected);
    }
}

TEST(Format, ArbitraryFormatsNeverMisbehave) {
    // A missing or mismatched argument leaves its conversion as written.
    EXPECT_EQ(fmt(L"%s and %d"), L"%s and %d");
    EXPECT_EQ(fmt(L"%d", L"text"), L"%d");
    EXPECT_EQ(fmt(L"50%"), L"50%");
    EXPECT_EQ(fmt(L"%q"), L"%q");
    EXPECT_EQ(fmt(L"%99999999999d", 1).size(), 4096U); // width is bounded
}

TEST(Format, LogBytesAreCrLfAndSingleBytes) {
    EXPECT_EQ(toLogBytes(L"a\nb"), "a\r\nb");
    EXPECT_EQ(toLogBytes(L"\xFF\x41"), "\xFF"
                                       "A");
    EXPECT_EQ(toLogBytes(L"\x0100|\x20AC"), "?|?");
    EXPECT_EQ(toLogBytes(std::wstring(1, L'\0')), std::string(1, '\0'));
}

TEST(Format, CutCountsUtf16Units) {
    std::wstring text(1500, L'x');
    cutToUtf16Units(text, 1022);
    EXPECT_EQ(text.size(), 1022U);
    std::wstring shortText = L"abc";
    cutToUtf16Units(shortText, 1022);
    EXPECT_EQ(shortText, L"abc");
}

} // namespace
} // namespace tdu::log
