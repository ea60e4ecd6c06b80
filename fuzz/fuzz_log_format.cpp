// The log formatter and the line the writer makes of its result, fed the
// argument values and lengths the program's own formats may meet.
//
// The program never passes a format it did not write, so the formats are a
// table of its messages covering every conversion, flag, width, precision and
// argument type it uses. Each is spelled out piece by piece with the C
// library's spelling of every numeric conversion: the expected text is built
// from the pieces (numbers by snprintf, text as given), independently of the
// formatter's own parsing.
//
// Checked: the message is the expected text; the log line is the timestamp,
// the source, the line number and the message cut to 1022 UTF-16 units, each
// character written as the log's single-byte rule says.
#include "fuzz/FuzzSupport.h"
#include "log/Format.h"
#include "log/LogWriter.h"
#include "platform/WideText.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <filesystem>
#include <vector>

namespace {

using tdu::fuzz::check;
using tdu::log::ArgKind;

enum class Shape : std::uint8_t { Text, Wide, Narrow, Signed32, Unsigned32, Unsigned64 };

struct Piece {
    Shape shape = Shape::Text;
    std::wstring_view text;     // literal text, or the conversion as the program writes it
    const char* libc = nullptr; // the C library's spelling of a numeric conversion
};

constexpr Piece text(std::wstring_view literal) {
    return {Shape::Text, literal, nullptr};
}
constexpr Piece wide() {
    return {Shape::Wide, L"%s", nullptr};
}
constexpr Piece narrow() {
    return {Shape::Narrow, L"%hs", nullptr};
}
constexpr Piece number(Shape shape, std::wstring_view conversion, const char* libc) {
    return {shape, conversion, libc};
}

using Message = std::vector<Piece>;

// Messages of the program, one for each shape of conversion and argument
// type it uses.
const std::vector<Message>& messages() {
    static const std::vector<Message> table = [] {
        const Piece lu = number(Shape::Unsigned32, L"%lu", "%u");
        const Piece u = number(Shape::Unsigned32, L"%u", "%u");
        const Piece d = number(Shape::Signed32, L"%d", "%d");
        const Piece d2 = number(Shape::Signed32, L"%02d", "%02d");
        const Piece d4 = number(Shape::Signed32, L"%04d", "%04d");
        const Piece u2 = number(Shape::Unsigned32, L"%0.2u", "%0.2u");
        const Piece u4 = number(Shape::Unsigned32, L"%0.4u", "%0.4u");
        return std::vector<Message>{
            {text(L"Failed to copy Inf File with last Error: "), lu},
            {text(L"Command Line Received: '"), wide(), text(L"'")},
            {text(L"\nTavrin Driver Utility Help "), wide()},
            {narrow(), text(L"(\""), wide(), text(L"\",\""), wide(), text(L"\",\""), wide(), text(L"\",\""),
             wide(), text(L"\"): The new configuration could not be applied. HRESULT="),
             number(Shape::Signed32, L"%#x", "%#x"), text(L"\n")},
            {text(L"GetWindowsDirectory()->"), u, text(L"  GetLastError():"),
             number(Shape::Unsigned32, L"%#x", "%#x")},
            {wide(), text(L" "), u2, text(L"/"), u2, text(L"/"), u4, text(L" "), u, text(L"."), u, text(L"."),
             u, text(L"."), u, text(L" "), wide(), text(L"\n")},
            {text(L"Installation continued even after "), number(Shape::Unsigned64, L"%llu", "%llu"),
             text(L" seconds")},
            {text(L"Tried to delete '"), wide(), text(L"' one more time, but failed with Error:"), d},
            {text(L"Error opening key with error: "), number(Shape::Signed32, L"%ld", "%d"), text(L".\n")},
            {text(L"Failed to find Product: '"), wide(), text(L"', Error: "), u},
            {d4, text(L"/"), d2, text(L"/"), d2, text(L" "), d2, text(L":"), d2, text(L":"), d2},
            {text(L"["), wide(), text(L"] ["), wide(), text(L"("), d, text(L")] | "), wide(), text(L"\n")},
            {text(L"\nStarted "), wide(), text(L"(pid:"), d, text(L") at: [ "), wide(), text(L" ]")},
            {text(L"BK_"), d4, d2, d2, text(L"_"), d2, d2, d2, text(L"_"), wide()},
        };
    }();
    return table;
}

ArgKind kindOf(Shape shape) {
    switch (shape) {
    case Shape::Narrow:
        return ArgKind::Narrow;
    case Shape::Signed32:
        return ArgKind::Signed32;
    case Shape::Unsigned32:
        return ArgKind::Unsigned32;
    case Shape::Unsigned64:
        return ArgKind::Unsigned64;
    case Shape::Text:
    case Shape::Wide:
        break;
    }
    return ArgKind::Wide;
}

// Text of a fuzzed length from few bytes: a piece repeated, so that lengths
// around the 1022-unit cut are in reach.
std::wstring wideValue(FuzzedDataProvider& input) {
    const std::string bytes = input.ConsumeRandomLengthString(16);
    const auto repeat = input.ConsumeIntegralInRange<std::size_t>(1, 1100);
    const std::wstring piece =
        tdu::fuzz::wideFrom(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    std::wstring value;
    for (std::size_t i = 0; i < repeat && !piece.empty(); ++i) {
        value += piece;
    }
    return value;
}

bool beyondBmp(wchar_t ch) {
    return static_cast<std::uint32_t>(ch) > 0xFFFFU;
}

// The message cut to `units` UTF-16 units and turned into the log's bytes:
// a cut through a pair leaves its first half, written "?" like any
// character beyond U+00FF ("??" for a whole pair).
std::string logBytesOf(std::wstring_view message, std::size_t units) {
    std::string bytes;
    std::size_t used = 0;
    for (const wchar_t ch : message) {
        const std::size_t width = beyondBmp(ch) ? 2 : 1;
        if (used + width > units) {
            if (used < units) {
                bytes += "?";
            }
            break;
        }
        used += width;
        const std::uint32_t value = tdu::platform::codePoint(ch);
        if (ch == L'\n') {
            bytes += "\r\n";
        } else if (value <= 0xFFU) {
            bytes.push_back(static_cast<char>(value));
        } else {
            bytes += beyondBmp(ch) ? "??" : "?";
        }
    }
    return bytes;
}

std::size_t utf16Units(std::wstring_view text) {
    std::size_t units = 0;
    for (const wchar_t ch : text) {
        units += beyondBmp(ch) ? 2 : 1;
    }
    return units;
}

template <class T> std::wstring printed(const char* libc, T value) {
    char buffer[64] = {};
    const int length = std::snprintf(buffer, sizeof buffer, libc, value);
    check(length > 0 && static_cast<std::size_t>(length) < sizeof buffer, "the C library formats the number");
    return {buffer, buffer + length};
}

tdu::fuzz::BoundMachine& machine() {
    static tdu::fuzz::BoundMachine bound;
    return bound;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const Message& message = messages()[input.ConsumeIntegralInRange<std::size_t>(0, messages().size() - 1)];
    const int line = input.ConsumeIntegral<int>();

    // Argument storage first: the packed arguments only view it.
    std::vector<std::wstring> wideValues;
    std::vector<std::string> narrowValues;
    wideValues.reserve(message.size());
    narrowValues.reserve(message.size());
    std::vector<tdu::log::FormatArg> args;
    std::wstring format;
    std::wstring expected;
    for (const Piece& piece : message) {
        format += piece.text;
        if (piece.shape == Shape::Text) {
            expected += piece.text;
            continue;
        }
        tdu::log::FormatArg arg;
        arg.kind = kindOf(piece.shape);
        switch (piece.shape) {
        case Shape::Wide:
            arg.wide = wideValues.emplace_back(wideValue(input));
            expected += arg.wide;
            break;
        case Shape::Narrow:
            arg.narrow = narrowValues.emplace_back(input.ConsumeRandomLengthString(64));
            for (const char ch : arg.narrow) {
                expected.push_back(static_cast<wchar_t>(static_cast<unsigned char>(ch)));
            }
            break;
        case Shape::Signed32: {
            const auto value = input.ConsumeIntegral<std::int32_t>();
            arg.signedValue = value;
            // %#x prints an HRESULT's bits.
            expected += piece.libc[std::strlen(piece.libc) - 1] == 'x'
                            ? printed(piece.libc, static_cast<unsigned>(value))
                            : printed(piece.libc, static_cast<int>(value));
            break;
        }
        case Shape::Unsigned32: {
            const auto value = input.ConsumeIntegral<std::uint32_t>();
            arg.unsignedValue = value;
            expected += printed(piece.libc, static_cast<unsigned>(value));
            break;
        }
        case Shape::Unsigned64: {
            const auto value = input.ConsumeIntegral<std::uint64_t>();
            arg.unsignedValue = value;
            expected += printed(piece.libc, static_cast<unsigned long long>(value));
            break;
        }
        case Shape::Text:
            break;
        }
        args.push_back(arg);
    }

    const std::wstring formatted = tdu::log::formatMessage(format, args);
    check(formatted == expected, "the message is its pieces with the arguments in place");

    std::wstring cut = formatted;
    tdu::log::cutToUtf16Units(cut, tdu::log::kMessageLimit);
    check(utf16Units(cut) <= tdu::log::kMessageLimit, "a message is cut to the limit");
    check(cut.size() == formatted.size() || utf16Units(formatted) > tdu::log::kMessageLimit,
          "a message within the limit is not cut");

    tdu::platform::sim::SimMachine& sim = machine().machine;
    std::filesystem::remove(sim.hostPath(tdu::fuzz::kLogPath));
    tdu::log::writeLogEntry(false, tdu::log::kLogFileName, L"C:\\src\\operator\\TDriverOperator.cpp", line,
                            L"TavrinDriverOperator::PerformDriverOperation", format, args);
    const tdu::platform::LocalTime t = tdu::platform::sys().GetLocalTime();
    char head[96] = {};
    const int headLength =
        std::snprintf(head, sizeof head, "[%04d/%02d/%02d %02d:%02d:%02d] [TDriverOperator.cpp(%d)] | ",
                      t.year, t.month, t.day, t.hour, t.minute, t.second, line);
    check(headLength > 0 && static_cast<std::size_t>(headLength) < sizeof head, "the header fits its buffer");
    const std::string written = sim.readFile(tdu::fuzz::kLogPath).value_or("");
    check(written == head + logBytesOf(expected, tdu::log::kMessageLimit) + "\r\n",
          "the log line is the header and the message cut to 1022 units");
    check(sim.openHandleCount() == 0, "the writer leaves nothing open", sim.openHandleReport());
    return 0;
}
