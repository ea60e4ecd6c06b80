// The project's own printf subset for log messages. The platforms' wide printf
// families disagree on what "%s" means; this one gives the same text in both
// builds and checks each argument's type against its conversion when the
// message is compiled.
//
// Conversions: %s %ls (wide text), %hs (narrow text), %d %i %u %x %X with the
// length modifiers none, l (32 bits, as on Windows), ll (64 bits), z (size);
// flags - + space # 0; width and precision as digits; %%.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace tdu::log {

enum class ArgKind : std::uint8_t { Wide, Narrow, Signed32, Unsigned32, Signed64, Unsigned64 };

struct FormatArg {
    ArgKind kind = ArgKind::Signed32;
    std::wstring_view wide;
    std::string_view narrow;
    std::int64_t signedValue = 0;
    std::uint64_t unsignedValue = 0;
};

struct ConversionSpec {
    bool leftAlign = false;
    bool plusSign = false;
    bool spaceSign = false;
    bool alternate = false;
    bool zeroPad = false;
    std::size_t width = 0;
    bool hasPrecision = false;
    std::size_t precision = 0;
    enum class Length : std::uint8_t { None, Short, Long, LongLong, Size } length = Length::None;
    wchar_t conversion = 0;
};

enum class SpecResult : std::uint8_t { Literal, Percent, Conversion, Malformed };

// Parses the piece of `format` that starts at `pos`: a run of literal text, a
// "%%", or one conversion. Moves `pos` past it.
constexpr SpecResult nextPiece(std::wstring_view format, std::size_t& pos, ConversionSpec& conv) {
    if (format[pos] != L'%') {
        while (pos < format.size() && format[pos] != L'%') {
            ++pos;
        }
        return SpecResult::Literal;
    }
    ++pos;
    if (pos < format.size() && format[pos] == L'%') {
        ++pos;
        return SpecResult::Percent;
    }
    conv = ConversionSpec{};
    for (; pos < format.size(); ++pos) {
        const wchar_t c = format[pos];
        if (c == L'-') {
            conv.leftAlign = true;
        } else if (c == L'+') {
            conv.plusSign = true;
        } else if (c == L' ') {
            conv.spaceSign = true;
        } else if (c == L'#') {
            conv.alternate = true;
        } else if (c == L'0') {
            conv.zeroPad = true;
        } else {
            break;
        }
    }
    constexpr std::size_t kMaxField = 4096; // keeps a hostile width from asking for gigabytes
    auto readNumber = [&](std::size_t& out) {
        while (pos < format.size() && format[pos] >= L'0' && format[pos] <= L'9') {
            out = out * 10 + static_cast<std::size_t>(format[pos] - L'0');
            if (out > kMaxField) {
                out = kMaxField;
            }
            ++pos;
        }
    };
    readNumber(conv.width);
    if (pos < format.size() && format[pos] == L'.') {
        ++pos;
        conv.hasPrecision = true;
        readNumber(conv.precision);
    }
    if (pos < format.size()) {
        if (format[pos] == L'h') {
            conv.length = ConversionSpec::Length::Short;
            ++pos;
        } else if (format[pos] == L'z') {
            conv.length = ConversionSpec::Length::Size;
            ++pos;
        } else if (format[pos] == L'l') {
            ++pos;
            conv.length = ConversionSpec::Length::Long;
            if (pos < format.size() && format[pos] == L'l') {
                conv.length = ConversionSpec::Length::LongLong;
                ++pos;
            }
        }
    }
    if (pos >= format.size()) {
        return SpecResult::Malformed;
    }
    conv.conversion = format[pos++];
    using L = ConversionSpec::Length;
    switch (conv.conversion) {
    case L's':
        return conv.length == L::LongLong || conv.length == L::Size ? SpecResult::Malformed
                                                                    : SpecResult::Conversion;
    case L'd':
    case L'i':
    case L'u':
    case L'x':
    case L'X':
        return conv.length == L::Short ? SpecResult::Malformed : SpecResult::Conversion;
    default:
        return SpecResult::Malformed;
    }
}

// Whether an argument of `kind` may stand for `conv`.
constexpr bool accepts(const ConversionSpec& conv, ArgKind kind) {
    using L = ConversionSpec::Length;
    const bool wide64 = conv.length == L::LongLong || conv.length == L::Size;
    switch (conv.conversion) {
    case L's':
        return kind == (conv.length == L::Short ? ArgKind::Narrow : ArgKind::Wide);
    case L'd':
    case L'i':
        return kind == (wide64 ? ArgKind::Signed64 : ArgKind::Signed32);
    case L'u':
        return kind == (wide64 ? ArgKind::Unsigned64 : ArgKind::Unsigned32);
    default: // x, X: an HRESULT is a signed 32-bit value printed as its bits
        return wide64 ? kind == ArgKind::Unsigned64
                      : (kind == ArgKind::Unsigned32 || kind == ArgKind::Signed32);
    }
}

constexpr bool formatMatches(std::wstring_view format, std::span<const ArgKind> kinds) {
    std::size_t pos = 0;
    std::size_t next = 0;
    ConversionSpec conv;
    while (pos < format.size()) {
        switch (nextPiece(format, pos, conv)) {
        case SpecResult::Literal:
        case SpecResult::Percent:
            break;
        case SpecResult::Malformed:
            return false;
        case SpecResult::Conversion:
            if (next >= kinds.size() || !accepts(conv, kinds[next])) {
                return false;
            }
            ++next;
            break;
        }
    }
    return next == kinds.size();
}

template <class T> consteval ArgKind argKindOf() {
    using U = std::remove_cvref_t<T>;
    if constexpr (std::is_convertible_v<const U&, std::wstring_view>) {
        return ArgKind::Wide;
    } else if constexpr (std::is_convertible_v<const U&, std::string_view>) {
        return ArgKind::Narrow;
    } else {
        static_assert(std::is_integral_v<U> && !std::is_same_v<U, bool> && !std::is_same_v<U, wchar_t> &&
                          !std::is_same_v<U, char>,
                      "log arguments are text or integers");
        static_assert(sizeof(U) <= 8);
        if constexpr (std::is_signed_v<U>) {
            return sizeof(U) <= 4 ? ArgKind::Signed32 : ArgKind::Signed64;
        } else {
            return sizeof(U) <= 4 ? ArgKind::Unsigned32 : ArgKind::Unsigned64;
        }
    }
}

template <class T> FormatArg makeArg(const T& value) {
    FormatArg arg;
    arg.kind = argKindOf<T>();
    if constexpr (std::is_convertible_v<const T&, std::wstring_view>) {
        arg.wide = std::wstring_view(value);
    } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        arg.narrow = std::string_view(value);
    } else if constexpr (std::is_signed_v<T>) {
        arg.signedValue = static_cast<std::int64_t>(value);
    } else {
        arg.unsignedValue = static_cast<std::uint64_t>(value);
    }
    return arg;
}

void formatCheckFailed(); // not constexpr: calling it makes a mismatched format a compile error

// A format text checked, at compile time, against the types of its arguments.
template <class... Args> class CheckedFormat {
public:
    template <class S>
    requires std::convertible_to<const S&, std::wstring_view>
    consteval CheckedFormat(const S& text) : text_(text) { // NOLINT(google-explicit-constructor)
        constexpr std::array<ArgKind, sizeof...(Args)> kinds{argKindOf<Args>()...};
        if (!formatMatches(text_, kinds)) {
            formatCheckFailed();
        }
    }
    [[nodiscard]] constexpr std::wstring_view text() const { return text_; }

private:
    std::wstring_view text_;
};

// Formats `format` with `args`. A conversion without a fitting argument, or a
// malformed one, is copied as written, so arbitrary input cannot misbehave.
std::wstring formatMessage(std::wstring_view format, std::span<const FormatArg> args);

// The text as the log file holds it: "\n" as CR LF, U+0000..U+00FF as that
// byte, any other character as "?" (two for a character outside the BMP, as
// its two UTF-16 units would give).
std::string toLogBytes(std::wstring_view text);

// Cuts text to at most `units` UTF-16 code units.
void cutToUtf16Units(std::wstring& text, std::size_t units);

} // namespace tdu::log
