// The text forms of values: how numbers, dates and booleans are written and read.
//
// One formatter and one reader serve every part that turns values into text or back
// (VariantChangeType, the script engines' conversions, Response.Write, registry
// writes), so a value always looks the same:
// - numbers: up to 15 significant digits (7 for single precision), no grouping, the
//   locale's decimal sign, an exponent as "1E+20" beyond that range;
// - dates: the locale's short date with a four-digit year, then its medium time; no
//   time part at midnight, no date part on day 0 (1899-12-30). The date is a wall-clock
//   local time and is shown as it is, never shifted between zones;
// - booleans: "True" and "False" in every locale.
// Reading is locale-aware too: the locale's decimal sign and grouping separator, its
// date order and month names (English month names are always understood).
//
// Dates are OLE dates: days since 1899-12-30 as a double, the fraction being the time
// of day. Before day 0 the fraction still counts forward from midnight: -1.25 is
// 1899-12-29 06:00.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "com/Types.h"

// A date split into its calendar parts (proleptic Gregorian).
struct DateParts {
    int year = 1899, month = 12, day = 30;
    int hour = 0, minute = 0, second = 0;
};

// The OLE date of the parts; false when they are out of range (years 100 to 9999).
bool DateFromParts(const DateParts& parts, double* pDate);
// The parts of an OLE date, rounded to the second; false outside the valid range.
bool PartsFromDate(double date, DateParts* pParts);

// A number read from text, exactly: value = digits × 10^exponent, sign apart. Hex and
// octal literals ("&H1F", "&O17") carry their value and width instead (16, 32 or 64
// bits: a literal that fits 16 bits is a 16-bit value, as "&HFFFF" is -1).
struct ParsedNumber {
    bool negative = false;
    std::string digits;  // no leading zeros; empty for zero
    int exponent = 0;
    bool radix = false;  // a hex or octal literal
    std::int64_t radixValue = 0;
};

// Reads a number as VariantChangeType accepts it in the locale: blanks around, a
// leading or trailing sign or parentheses, grouping separators in the integer part,
// the decimal sign, an exponent, or a hex/octal literal.
std::optional<ParsedNumber> ParseNumberText(std::u16string_view text, LCID lcid);
// Reads ASCII C-locale digits ("-1.5E+3"); used for exact decimal conversions.
std::optional<ParsedNumber> ParseAsciiNumber(std::string_view text);
double ParsedToDouble(const ParsedNumber& number);
// value × 10^scale rounded half to even into a 128-bit integer; false on overflow.
bool ParsedToScaled(const ParsedNumber& number, int scale, __int128* pValue);

// Reads a date and/or time in the locale's forms; nothing when the text is not one.
std::optional<double> ParseDateText(std::u16string_view text, LCID lcid);

std::u16string FormatDouble(double value, LCID lcid, int significantDigits = 15);
// Writes a decimal ASCII number ("-12.5") with the locale's decimal sign.
std::u16string LocalizeDecimalText(std::string_view ascii, LCID lcid);
std::u16string FormatDate(double date, LCID lcid);
inline std::u16string_view FormatBool(bool value) {
    return value ? u"True" : u"False";
}
// The locale's decimal sign.
std::u16string DecimalSign(LCID lcid);
