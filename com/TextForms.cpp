// Number and date text forms, with the per-locale facts read from ICU once.
#include "com/TextForms.h"

#include <unicode/ucal.h>
#include <unicode/udat.h>
#include <unicode/udatpg.h>
#include <unicode/unum.h>
#include <unicode/ustring.h>

#include <unicode/uchar.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "com/Locale.h"
#include "com/Strings.h"

namespace {

// Days from 1970-01-01 of a proleptic Gregorian date (the well-known era algorithm).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, int* py, int* pm, int* pd) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long y = static_cast<long long>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    *py = static_cast<int>(y + (m <= 2));
    *pm = static_cast<int>(m);
    *pd = static_cast<int>(d);
}

constexpr long long kOleEpochDays = -25569;  // 1899-12-30 from 1970-01-01

bool IsLeap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}
int DaysInMonth(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

// Splits an OLE date into whole days and seconds of the day (rounded to the second).
bool SplitDate(double date, long long* pDays, long long* pSeconds) {
    if (!(date > -657435.0 && date < 2958466.0))
        return false;
    double whole = std::trunc(date);
    double fraction = std::fabs(date - whole);
    long long days = static_cast<long long>(whole);
    long long seconds = std::llround(fraction * 86400.0);
    if (seconds >= 86400) {
        seconds -= 86400;
        days += date < 0 ? -1 : 1;
    }
    *pDays = days;
    *pSeconds = seconds;
    return true;
}

std::u16string Upper(std::u16string_view s) {
    return ToUpperSimple(s);
}

// What the text forms need to know of one locale.
struct LocaleForms {
    std::string icuLocale;
    std::u16string decimalSign = u".";
    std::u16string groupingSign = u",";
    std::u16string datePattern;  // short date with a four-digit year
    std::u16string timePattern;  // medium time
    char order[3] = {'M', 'D', 'Y'};
    std::vector<std::pair<std::u16string, int>> monthNames;  // upper-cased
    std::vector<std::u16string> am, pm;                      // upper-cased
};

std::u16string FromICU(const UChar* s, int32_t n) {
    return std::u16string(reinterpret_cast<const char16_t*>(s), n);
}

std::u16string PatternOf(const char* locale, UDateFormatStyle time, UDateFormatStyle date) {
    UErrorCode status = U_ZERO_ERROR;
    UDateFormat* fmt = udat_open(time, date, locale, u"UTC", -1, nullptr, 0, &status);
    if (U_FAILURE(status))
        return {};
    UChar buf[128];
    int32_t n = udat_toPattern(fmt, false, buf, 128, &status);
    udat_close(fmt);
    if (U_FAILURE(status))
        return {};
    std::u16string pattern = FromICU(buf, n);
    for (char16_t& c : pattern)
        if (c == 0x202F || c == 0x00A0)
            c = u' ';
    return pattern;
}

void AddSymbols(UDateFormat* fmt, UDateFormatSymbolType type, int count, LocaleForms& forms) {
    for (int i = 0; i < count; ++i) {
        UErrorCode status = U_ZERO_ERROR;
        UChar buf[64];
        int32_t n = udat_getSymbols(fmt, type, i, buf, 64, &status);
        if (U_FAILURE(status) || n <= 0)
            continue;
        std::u16string name = Upper(FromICU(buf, n));
        while (!name.empty() && name.back() == u'.')
            name.pop_back();
        if (type == UDAT_AM_PMS) {
            (i == 0 ? forms.am : forms.pm).push_back(name);
        } else {
            forms.monthNames.emplace_back(name, i + 1);
        }
    }
}

std::unique_ptr<LocaleForms> BuildForms(LCID lcid) {
    auto forms = std::make_unique<LocaleForms>();
    forms->icuLocale = IcuLocaleFromLcid(lcid);
    if (forms->icuLocale.empty() || !IsValidLocale(lcid, 0))
        forms->icuLocale = "en_US";
    const char* loc = forms->icuLocale.c_str();
    UErrorCode status = U_ZERO_ERROR;
    if (UNumberFormat* num = unum_open(UNUM_DECIMAL, nullptr, 0, loc, nullptr, &status)) {
        UChar buf[16];
        int32_t n = unum_getSymbol(num, UNUM_DECIMAL_SEPARATOR_SYMBOL, buf, 16, &status);
        if (U_SUCCESS(status) && n > 0)
            forms->decimalSign = FromICU(buf, n);
        status = U_ZERO_ERROR;
        n = unum_getSymbol(num, UNUM_GROUPING_SEPARATOR_SYMBOL, buf, 16, &status);
        if (U_SUCCESS(status) && n > 0)
            forms->groupingSign = FromICU(buf, n);
        unum_close(num);
    }
    std::u16string date = PatternOf(loc, UDAT_NONE, UDAT_SHORT);
    std::u16string withYear;
    for (std::size_t i = 0; i < date.size(); ++i) {
        if (date[i] == u'y') {
            while (i + 1 < date.size() && date[i + 1] == u'y')
                ++i;
            withYear += u"yyyy";
        } else {
            withYear += date[i];
        }
    }
    forms->datePattern = withYear.empty() ? u"M/d/yyyy" : withYear;
    forms->timePattern = PatternOf(loc, UDAT_MEDIUM, UDAT_NONE);
    if (forms->timePattern.empty())
        forms->timePattern = u"h:mm:ss a";
    int n = 0;
    bool seen[3] = {};
    for (char16_t c : forms->datePattern) {
        int k = c == u'y' ? 0 : c == u'M' || c == u'L' ? 1 : c == u'd' ? 2 : -1;
        if (k >= 0 && !seen[k] && n < 3) {
            seen[k] = true;
            forms->order[n++] = "YMD"[k];
        }
    }
    if (n != 3)
        std::copy_n("MDY", 3, forms->order);
    for (const char* symbolLocale : {loc, "en_US"}) {
        status = U_ZERO_ERROR;
        UDateFormat* fmt =
            udat_open(UDAT_MEDIUM, UDAT_MEDIUM, symbolLocale, u"UTC", -1, nullptr, 0, &status);
        if (U_FAILURE(status))
            continue;
        AddSymbols(fmt, UDAT_MONTHS, 12, *forms);
        AddSymbols(fmt, UDAT_SHORT_MONTHS, 12, *forms);
        AddSymbols(fmt, UDAT_AM_PMS, 2, *forms);
        udat_close(fmt);
    }
    return forms;
}

const LocaleForms& FormsFor(LCID lcid) {
    static std::mutex lock;  // guards the cache; a leaf lock
    static std::map<LCID, std::unique_ptr<LocaleForms>> cache;
    // Entries are never removed, so each thread may remember the last one it used
    // (a default-locale constant is resolved every time: the default may change).
    thread_local LCID lastLcid = 0;
    thread_local const LocaleForms* last = nullptr;
    if (last && lcid == lastLcid)
        return *last;
    LCID resolved = ResolveLcid(lcid);
    std::lock_guard guard(lock);
    auto& slot = cache[resolved];
    if (!slot)
        slot = BuildForms(resolved);
    if (resolved == lcid) {
        lastLcid = lcid;
        last = slot.get();
    }
    return *slot;
}

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == 0xA0 || c == 0x202F;
}

}  // namespace

bool DateFromParts(const DateParts& p, double* pDate) {
    if (p.year < 100 || p.year > 9999 || p.month < 1 || p.month > 12 || p.day < 1 ||
        p.day > DaysInMonth(p.year, p.month) || p.hour < 0 || p.hour > 23 || p.minute < 0 ||
        p.minute > 59 || p.second < 0 || p.second > 59)
        return false;
    long long days = DaysFromCivil(p.year, p.month, p.day) - kOleEpochDays;
    double time = (p.hour * 3600 + p.minute * 60 + p.second) / 86400.0;
    *pDate = days >= 0 ? days + time : days - time;
    return true;
}

bool PartsFromDate(double date, DateParts* pParts) {
    long long days, seconds;
    if (!SplitDate(date, &days, &seconds))
        return false;
    CivilFromDays(days + kOleEpochDays, &pParts->year, &pParts->month, &pParts->day);
    pParts->hour = static_cast<int>(seconds / 3600);
    pParts->minute = static_cast<int>(seconds / 60 % 60);
    pParts->second = static_cast<int>(seconds % 60);
    return pParts->year >= 100 && pParts->year <= 9999;
}

std::u16string DecimalSign(LCID lcid) {
    return FormsFor(lcid).decimalSign;
}

std::optional<ParsedNumber> ParseAsciiNumber(std::string_view text) {
    std::u16string wide(text.begin(), text.end());
    return ParseNumberText(wide, LCID_EN_US);
}

std::optional<ParsedNumber> ParseNumberText(std::u16string_view text, LCID lcid) {
    const LocaleForms& forms = FormsFor(lcid);
    std::size_t i = 0, end = text.size();
    while (i < end && IsBlank(text[i]))
        ++i;
    while (end > i && IsBlank(text[end - 1]))
        --end;
    if (i == end)
        return std::nullopt;
    ParsedNumber out;
    if (end - i > 2 && text[i] == u'&' &&
        (text[i + 1] == u'H' || text[i + 1] == u'h' || text[i + 1] == u'O' ||
         text[i + 1] == u'o')) {
        bool hex = text[i + 1] == u'H' || text[i + 1] == u'h';
        unsigned __int128 value = 0;
        for (i += 2; i < end; ++i) {
            char16_t c = text[i];
            int d = c >= u'0' && c <= u'9'          ? c - u'0'
                    : hex && c >= u'a' && c <= u'f' ? c - u'a' + 10
                    : hex && c >= u'A' && c <= u'F' ? c - u'A' + 10
                                                    : -1;
            if (d < 0 || (!hex && d > 7))
                return std::nullopt;
            value = value * (hex ? 16 : 8) + d;
            if (value > 0xFFFFFFFFFFFFFFFFull)
                return std::nullopt;
        }
        auto v = static_cast<std::uint64_t>(value);
        out.radix = true;
        out.radixValue = v <= 0xFFFF       ? static_cast<std::int16_t>(v)
                         : v <= 0xFFFFFFFF ? static_cast<std::int32_t>(v)
                                           : static_cast<std::int64_t>(v);
        out.negative = out.radixValue < 0;
        std::string digits = std::to_string(out.radixValue);
        if (out.negative)
            digits.erase(0, 1);
        out.digits = digits == "0" ? "" : digits;
        return out;
    }
    bool parens = false, sign = false;
    if (text[i] == u'(' && text[end - 1] == u')') {
        parens = true;
        out.negative = true;
        ++i;
        --end;
    }
    if (i < end && (text[i] == u'+' || text[i] == u'-')) {
        out.negative = text[i] == u'-';
        sign = true;
        ++i;
    } else if (end > i && (text[end - 1] == u'+' || text[end - 1] == u'-')) {
        out.negative = text[end - 1] == u'-';
        sign = true;
        --end;
    }
    if (parens && sign)
        return std::nullopt;
    std::u16string_view body = text.substr(i, end - i);
    const std::u16string& dec = forms.decimalSign;
    const std::u16string& group = forms.groupingSign;
    bool groupIsBlank = group.size() == 1 && IsBlank(group[0]);
    std::string digits;
    int exponent = 0;
    bool anyDigit = false, inFraction = false;
    std::size_t k = 0;
    for (; k < body.size(); ++k) {
        char16_t c = body[k];
        if (c >= u'0' && c <= u'9') {
            anyDigit = true;
            if (digits.empty() && c == u'0') {
                if (inFraction)
                    --exponent;
                continue;
            }
            if (digits.size() < 60) {
                digits += static_cast<char>(c);
                if (inFraction)
                    --exponent;
            } else {
                if (!inFraction)
                    ++exponent;
                if (c != u'0' && digits.size() == 60)
                    digits += '1';  // sticky for rounding
            }
        } else if (!inFraction && body.substr(k, dec.size()) == dec) {
            inFraction = true;
            k += dec.size() - 1;
        } else if (!inFraction && anyDigit &&
                   (body.substr(k, group.size()) == group || (groupIsBlank && IsBlank(c)))) {
            k += (body.substr(k, group.size()) == group ? group.size() : 1) - 1;
        } else {
            break;
        }
    }
    if (!anyDigit)
        return std::nullopt;
    if (k < body.size()) {
        char16_t c = body[k];
        if (c != u'e' && c != u'E' && c != u'd' && c != u'D')
            return std::nullopt;
        ++k;
        bool negExp = false;
        if (k < body.size() && (body[k] == u'+' || body[k] == u'-'))
            negExp = body[k++] == u'-';
        if (k >= body.size())
            return std::nullopt;
        long e = 0;
        for (; k < body.size(); ++k) {
            if (body[k] < u'0' || body[k] > u'9')
                return std::nullopt;
            if (e < 100000)
                e = e * 10 + (body[k] - u'0');
        }
        exponent += static_cast<int>(negExp ? -e : e);
    }
    while (!digits.empty() && digits.back() == '0') {
        digits.pop_back();
        ++exponent;
    }
    if (digits.empty())
        exponent = 0;
    out.digits = std::move(digits);
    out.exponent = exponent;
    return out;
}

double ParsedToDouble(const ParsedNumber& n) {
    if (n.radix)
        return static_cast<double>(n.radixValue);
    if (n.digits.empty())
        return 0.0;
    std::string s = (n.negative ? "-" : "") + n.digits + "e" + std::to_string(n.exponent);
    return std::strtod(s.c_str(), nullptr);
}

bool ParsedToScaled(const ParsedNumber& n, int scale, __int128* pValue) {
    if (n.radix) {
        __int128 v = n.radixValue;
        for (int i = 0; i < scale; ++i)
            v *= 10;
        *pValue = v;
        return true;
    }
    long e = static_cast<long>(n.exponent) + scale;
    long len = static_cast<long>(n.digits.size());
    if (n.digits.empty()) {
        *pValue = 0;
        return true;
    }
    if (len + e > 38)
        return false;
    unsigned __int128 v = 0;
    long keep = e >= 0 ? len : len + e;
    for (long i = 0; i < keep && i < len; ++i)
        v = v * 10 + (n.digits[i] - '0');
    if (e > 0) {
        for (long i = 0; i < e; ++i)
            v *= 10;
    } else if (e < 0) {
        // Round half to even on the dropped digits.
        int first = keep >= 0 && keep < len ? n.digits[keep] - '0' : 0;
        bool rest = false;
        for (long i = std::max(keep + 1, 0L); i < len; ++i)
            rest |= n.digits[i] != '0';
        if (keep < 0) {
            first = 0;
            rest = true;
        }
        if (first > 5 || (first == 5 && (rest || (v & 1))))
            ++v;
    }
    *pValue = n.negative ? -static_cast<__int128>(v) : static_cast<__int128>(v);
    return true;
}

std::u16string LocalizeDecimalText(std::string_view ascii, LCID lcid) {
    const std::u16string& dec = FormsFor(lcid).decimalSign;
    std::u16string out;
    out.reserve(ascii.size());
    for (char c : ascii) {
        if (c == '.')
            out += dec;
        else
            out += static_cast<char16_t>(c);
    }
    return out;
}

std::u16string FormatDouble(double value, LCID lcid, int significantDigits) {
    if (value == 0)
        value = 0;  // no "-0"
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*G", significantDigits, value);
    return LocalizeDecimalText(buf, lcid);
}

namespace {

struct DateFormatCloser {
    void operator()(UDateFormat* f) const { udat_close(f); }
};
using DateFormatPtr = std::unique_ptr<UDateFormat, DateFormatCloser>;

// A formatter of one pattern in UTC with a proleptic Gregorian calendar (OLE dates
// never switch to the Julian calendar). Formatters are not thread-safe, so each
// thread keeps its own.
DateFormatPtr OpenFormatter(const LocaleForms& forms, const std::u16string& pattern) {
    UErrorCode status = U_ZERO_ERROR;
    DateFormatPtr fmt(udat_open(UDAT_PATTERN, UDAT_PATTERN, forms.icuLocale.c_str(), u"UTC", -1,
                                reinterpret_cast<const UChar*>(pattern.c_str()),
                                static_cast<int32_t>(pattern.size()), &status));
    if (U_FAILURE(status))
        return nullptr;
    UCalendar* cal = ucal_open(u"UTC", -1, forms.icuLocale.c_str(), UCAL_GREGORIAN, &status);
    if (U_SUCCESS(status)) {
        ucal_setGregorianChange(cal, -8.64e15, &status);
        udat_setCalendar(fmt.get(), cal);
        ucal_close(cal);
    }
    return fmt;
}

struct ThreadFormatters {
    DateFormatPtr date, time, both;
};

}  // namespace

std::u16string FormatDate(double date, LCID lcid) {
    long long days, seconds;
    if (!SplitDate(date, &days, &seconds))
        return FormatDouble(date, lcid);
    lcid = ResolveLcid(lcid);
    const LocaleForms& forms = FormsFor(lcid);
    thread_local std::map<LCID, ThreadFormatters> formatters;
    ThreadFormatters& f = formatters[lcid];
    if (!f.date) {
        f.date = OpenFormatter(forms, forms.datePattern);
        f.time = OpenFormatter(forms, forms.timePattern);
        f.both = OpenFormatter(forms, forms.datePattern + u" " + forms.timePattern);
    }
    UDateFormat* fmt = days == 0 ? f.time.get() : seconds == 0 ? f.date.get() : f.both.get();
    if (!fmt)
        return FormatDouble(date, lcid);
    UDate when = (static_cast<double>(days + kOleEpochDays) * 86400.0 + seconds) * 1000.0;
    UChar buf[128];
    UErrorCode status = U_ZERO_ERROR;
    int32_t n = udat_format(fmt, when, buf, 128, nullptr, &status);
    if (U_FAILURE(status))
        return FormatDouble(date, lcid);
    std::u16string out = FromICU(buf, n);
    for (char16_t& c : out)
        if (c == 0x202F || c == 0x00A0)
            c = u' ';
    return out;
}

namespace {

struct DateToken {
    enum Kind { Number, Month, AmPm, Colon } kind;
    int value;
    int width;  // digits of a number
};

int TwoDigitYear(int y, int width) {
    if (width > 2)
        return y;
    return y < 30 ? 2000 + y : 1900 + y;
}

}  // namespace

std::optional<double> ParseDateText(std::u16string_view text, LCID lcid) {
    const LocaleForms& forms = FormsFor(lcid);
    std::vector<DateToken> tokens;
    std::u16string upper = Upper(text);
    std::size_t i = 0;
    while (i < upper.size()) {
        char16_t c = upper[i];
        if (c >= u'0' && c <= u'9') {
            int v = 0, w = 0;
            while (i < upper.size() && upper[i] >= u'0' && upper[i] <= u'9') {
                if (w < 6)
                    v = v * 10 + (upper[i] - u'0');
                ++w;
                ++i;
            }
            if (w > 5)
                return std::nullopt;
            tokens.push_back({DateToken::Number, v, w});
        } else if (c == u':') {
            tokens.push_back({DateToken::Colon, 0, 0});
            ++i;
        } else if (u_isalpha(c)) {
            std::size_t j = i;
            while (j < upper.size() && (u_isalpha(upper[j]) || upper[j] == u'.'))
                ++j;
            std::u16string word = upper.substr(i, j - i);
            while (!word.empty() && word.back() == u'.')
                word.pop_back();
            i = j;
            bool found = false;
            for (const auto& [name, month] : forms.monthNames) {
                if (name == word) {
                    tokens.push_back({DateToken::Month, month, 0});
                    found = true;
                    break;
                }
            }
            for (int pm = 0; pm < 2 && !found; ++pm) {
                for (const auto& marker : pm ? forms.pm : forms.am) {
                    if (marker == word || (word.size() == 1 && marker[0] == word[0])) {
                        tokens.push_back({DateToken::AmPm, pm, 0});
                        found = true;
                        break;
                    }
                }
            }
            if (!found)
                return std::nullopt;
        } else if (c == u'/' || c == u'-' || c == u'.' || c == u',' || IsBlank(c)) {
            ++i;
        } else {
            return std::nullopt;
        }
    }
    // The time: a number followed by ":" and up to two more numbers, an optional marker.
    DateParts parts;
    bool haveTime = false;
    int ampm = -1;
    std::vector<DateToken> dateTokens;
    for (std::size_t t = 0; t < tokens.size(); ++t) {
        if (tokens[t].kind == DateToken::Number && t + 1 < tokens.size() &&
            tokens[t + 1].kind == DateToken::Colon) {
            if (haveTime)
                return std::nullopt;
            haveTime = true;
            int fields[3] = {tokens[t].value, 0, 0};
            int n = 1;
            ++t;
            while (t < tokens.size() && tokens[t].kind == DateToken::Colon && n < 3) {
                if (t + 1 >= tokens.size() || tokens[t + 1].kind != DateToken::Number)
                    return std::nullopt;
                fields[n++] = tokens[t + 1].value;
                t += 2;
            }
            --t;
            parts.hour = fields[0];
            parts.minute = fields[1];
            parts.second = fields[2];
        } else if (tokens[t].kind == DateToken::AmPm) {
            if (ampm >= 0)
                return std::nullopt;
            ampm = tokens[t].value;
        } else if (tokens[t].kind == DateToken::Colon) {
            return std::nullopt;
        } else {
            dateTokens.push_back(tokens[t]);
        }
    }
    if (ampm >= 0) {
        // "3 PM" without minutes is an hour too.
        if (!haveTime && !dateTokens.empty() && dateTokens.back().kind == DateToken::Number &&
            dateTokens.size() != 3) {
            parts.hour = dateTokens.back().value;
            dateTokens.pop_back();
            haveTime = true;
        }
        if (!haveTime || parts.hour < 1 || parts.hour > 12)
            return std::nullopt;
        parts.hour = parts.hour % 12 + (ampm ? 12 : 0);
    }
    std::vector<DateToken> numbers;
    int month = 0;
    for (const auto& t : dateTokens) {
        if (t.kind == DateToken::Month) {
            if (month)
                return std::nullopt;
            month = t.value;
        } else {
            numbers.push_back(t);
        }
    }
    double timeOnly = 0;
    if (!DateFromParts({1899, 12, 30, parts.hour, parts.minute, parts.second}, &timeOnly))
        return std::nullopt;
    if (dateTokens.empty()) {
        if (!haveTime)
            return std::nullopt;
        return timeOnly;
    }
    auto tryDate = [&](int y, int yw, int m, int d) -> std::optional<double> {
        DateParts p = parts;
        p.year = TwoDigitYear(y, yw);
        p.month = m;
        p.day = d;
        double out;
        if (!DateFromParts(p, &out))
            return std::nullopt;
        return out;
    };
    auto currentYear = [] {
        std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        return local.tm_year + 1900;
    };
    if (month) {
        if (numbers.size() == 2) {
            // Day and year around a month name: the year is the wide one or the last one.
            bool firstIsYear = numbers[0].width > 2 || numbers[0].value > 31;
            const DateToken& d = firstIsYear ? numbers[1] : numbers[0];
            const DateToken& y = firstIsYear ? numbers[0] : numbers[1];
            return tryDate(y.value, y.width, month, d.value);
        }
        if (numbers.size() == 1) {
            if (numbers[0].width > 2 || numbers[0].value > 31)
                return tryDate(numbers[0].value, numbers[0].width, month, 1);
            return tryDate(currentYear(), 4, month, numbers[0].value);
        }
        return std::nullopt;
    }
    if (numbers.size() == 3) {
        // The locale's order first, then the other orders a reader would accept.
        std::string orders[] = {std::string(forms.order, 3), "MDY", "DMY", "YMD"};
        if (numbers[0].width > 2)
            orders[0] = "YMD";
        for (const std::string& order : orders) {
            int y = 0, yw = 0, m = 0, d = 0;
            for (int k = 0; k < 3; ++k) {
                if (order[k] == 'Y') {
                    y = numbers[k].value;
                    yw = numbers[k].width;
                } else if (order[k] == 'M') {
                    m = numbers[k].value;
                } else {
                    d = numbers[k].value;
                }
            }
            if (auto r = tryDate(y, yw, m, d))
                return r;
        }
        return std::nullopt;
    }
    if (numbers.size() == 2) {
        int a = numbers[0].value, b = numbers[1].value;
        if (numbers[1].width > 2 || b > 31)
            return tryDate(b, numbers[1].width, a, 1);
        bool dayFirst = forms.order[0] == 'D' || (forms.order[0] == 'Y' && forms.order[1] == 'D');
        return dayFirst ? tryDate(currentYear(), 4, b, a) : tryDate(currentYear(), 4, a, b);
    }
    return std::nullopt;
}
