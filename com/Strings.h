// Text helpers shared by every layer: UTF-8 ↔ UTF-16 and the simple upper-casing.
//
// Scripts and pages work in UTF-16; network-facing text, file names and logs are
// 8-bit (UTF-8). Bad input never fails a conversion: an ill-formed UTF-8 sequence or a
// lone surrogate becomes U+FFFD. Case-insensitive comparison is a comparison after
// the simple per-unit upper-casing (ICU's u_toupper), never the full one, so
// lengths never change.
#pragma once

#include <string>
#include <string_view>

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// True when `text` is well-formed UTF-8.
bool IsValidUtf8(std::string_view text);

std::u16string ToUpperSimple(std::u16string_view text);
std::string ToUpperSimple(std::string_view text);
bool EqualsNoCase(std::u16string_view a, std::u16string_view b);
bool EqualsNoCase(std::string_view a, std::string_view b);
// <0, 0, >0 as the upper-cased texts compare by code unit.
int CompareNoCase(std::u16string_view a, std::u16string_view b);
int CompareNoCase(std::string_view a, std::string_view b);
