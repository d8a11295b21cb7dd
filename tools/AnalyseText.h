#pragma once

// Number texts of stemora-analyse's lines: always the C locale, so that scripts can read them.

#include <charconv>
#include <cstdint>
#include <string>

namespace stemora {

inline void AppendInt(std::string& line, int64_t value) {
    char digits[24];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    (void)ec;
    line.append(digits, end);
}

// Seconds with three decimals, from whole milliseconds.
inline void AppendSeconds(std::string& line, int64_t milliseconds) {
    AppendInt(line, milliseconds / 1000);
    line.push_back('.');
    const int64_t fraction = milliseconds % 1000;
    line.push_back(static_cast<char>('0' + fraction / 100));
    line.push_back(static_cast<char>('0' + fraction / 10 % 10));
    line.push_back(static_cast<char>('0' + fraction % 10));
}

}  // namespace stemora
