#include "log/Format.h"

#include "platform/WideText.h"

#include <stdexcept>

namespace tdu::log {

void formatCheckFailed() {
    throw std::logic_error("log format does not match its arguments");
}

namespace {

void pad(std::wstring& out, std::size_t count, wchar_t fill) {
    out.append(count, fill);
}

// Places body (with its sign or prefix) in the field as the flags say.
void emitField(std::wstring& out, const ConversionSpec& conv, std::wstring_view prefix,
               std::wstring_view body, bool zeroFillAllowed) {
    const std::size_t length = prefix.size() + body.size();
    const std::size_t fill = conv.width > length ? conv.width - length : 0;
    if (conv.leftAlign) {
        out.append(prefix);
        out.append(body);
        pad(out, fill, L' ');
    } else if (conv.zeroPad && zeroFillAllowed) {
        out.append(prefix);
        pad(out, fill, L'0');
        out.append(body);
    } else {
        pad(out, fill, L' ');
        out.append(prefix);
        out.append(body);
    }
}

std::wstring digits(std::uint64_t value, unsigned base, bool upper) {
    const wchar_t* table = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
    std::wstring text;
    do {
        text.insert(text.begin(), table[value % base]);
        value /= base;
    } while (value != 0);
    return text;
}

void emitInteger(std::wstring& out, const ConversionSpec& conv, const FormatArg& arg) {
    using L = ConversionSpec::Length;
    const bool wide64 = conv.length == L::LongLong || conv.length == L::Size;
    const bool isSigned = conv.conversion == L'd' || conv.conversion == L'i';
    bool negative = false;
    std::uint64_t magnitude = 0;
    if (isSigned) {
        const std::int64_t v = arg.signedValue;
        negative = v < 0;
        magnitude = negative ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    } else {
        // The bits of the argument, at the conversion's width (a negative
        // HRESULT under %x shows as its 32-bit pattern).
        magnitude = arg.kind == ArgKind::Signed32 || arg.kind == ArgKind::Signed64
                        ? static_cast<std::uint64_t>(arg.signedValue)
                        : arg.unsignedValue;
        if (!wide64) {
            magnitude &= 0xFFFFFFFFULL;
        }
    }
    const bool hex = conv.conversion == L'x' || conv.conversion == L'X';
    std::wstring body = digits(magnitude, hex ? 16U : 10U, conv.conversion == L'X');
    if (conv.hasPrecision) {
        if (conv.precision == 0 && magnitude == 0) {
            body.clear();
        } else if (body.size() < conv.precision) {
            body.insert(0, conv.precision - body.size(), L'0');
        }
    }
    std::wstring prefix;
    if (negative) {
        prefix = L"-";
    } else if (isSigned && conv.plusSign) {
        prefix = L"+";
    } else if (isSigned && conv.spaceSign) {
        prefix = L" ";
    }
    if (hex && conv.alternate && magnitude != 0) {
        prefix = conv.conversion == L'X' ? L"0X" : L"0x";
    }
    emitField(out, conv, prefix, body, !conv.hasPrecision);
}

void emitText(std::wstring& out, const ConversionSpec& conv, const FormatArg& arg) {
    std::wstring body;
    if (arg.kind == ArgKind::Narrow) {
        // Narrow text is taken byte for byte, as the platform's default code
        // page does for the characters the program uses.
        for (const char c : arg.narrow) {
            body.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
        }
    } else {
        body.assign(arg.wide);
    }
    if (conv.hasPrecision && body.size() > conv.precision) {
        body.resize(conv.precision);
    }
    emitField(out, conv, {}, body, false);
}

} // namespace

std::wstring formatMessage(std::wstring_view format, std::span<const FormatArg> args) {
    std::wstring out;
    std::size_t pos = 0;
    std::size_t next = 0;
    ConversionSpec conv;
    while (pos < format.size()) {
        const std::size_t start = pos;
        switch (nextPiece(format, pos, conv)) {
        case SpecResult::Literal:
        case SpecResult::Malformed:
            out.append(format.substr(start, pos - start));
            break;
        case SpecResult::Percent:
            out.push_back(L'%');
            break;
        case SpecResult::Conversion:
            if (next >= args.size() || !accepts(conv, args[next].kind)) {
                out.append(format.substr(start, pos - start));
                break;
            }
            if (conv.conversion == L's') {
                emitText(out, conv, args[next]);
            } else {
                emitInteger(out, conv, args[next]);
            }
            ++next;
            break;
        }
    }
    return out;
}

std::string toLogBytes(std::wstring_view text) {
    std::string bytes;
    bytes.reserve(text.size() + 16);
    for (const wchar_t ch : text) {
        const std::uint32_t cp = platform::codePoint(ch);
        if (ch == L'\n') {
            bytes.append("\r\n");
        } else if (cp <= 0xFFU) {
            bytes.push_back(static_cast<char>(static_cast<unsigned char>(cp)));
        } else {
            bytes.append(platform::isBeyondBmp(ch) ? "??" : "?");
        }
    }
    return bytes;
}

void cutToUtf16Units(std::wstring& text, std::size_t units) {
    std::size_t used = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::size_t width = platform::isBeyondBmp(text[i]) ? 2 : 1;
        if (used + width > units) {
            // A cut through a surrogate pair keeps its first half, as a UTF-16
            // buffer would; it is written as "?" like any lone surrogate.
            if (used < units) {
                text[i] = static_cast<wchar_t>(0xD800);
                text.resize(i + 1);
            } else {
                text.resize(i);
            }
            return;
        }
        used += width;
    }
}

} // namespace tdu::log
