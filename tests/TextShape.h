// A text against a shape, for the log and installer-log lines both test harnesses read.
#pragma once

#include <cctype>
#include <string_view>

namespace tdu::test {

// Whether the text has this shape: '#' stands for one digit, '+' for one or more, any other character for
// itself.
inline bool like(std::string_view text, std::string_view shape) {
    std::size_t at = 0;
    for (const char c : shape) {
        const std::size_t from = at;
        const bool digits = c == '#' || c == '+';
        while (digits && at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) != 0 &&
               (c == '+' || at == from)) {
            ++at;
        }
        if (digits ? at == from : at >= text.size() || text[at++] != c) {
            return false;
        }
    }
    return at == text.size();
}

} // namespace tdu::test
