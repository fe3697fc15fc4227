// The value of one hexadecimal digit, for the parsers of identifiers, escapes and
// registry data.
#pragma once

// 0 to 15 for '0'-'9', 'a'-'f' and 'A'-'F' (in any character type); -1 for anything else.
constexpr int HexDigitValue(char32_t c) {
    return c >= U'0' && c <= U'9'   ? static_cast<int>(c - U'0')
           : c >= U'a' && c <= U'f' ? static_cast<int>(c - U'a' + 10)
           : c >= U'A' && c <= U'F' ? static_cast<int>(c - U'A' + 10)
                                    : -1;
}
