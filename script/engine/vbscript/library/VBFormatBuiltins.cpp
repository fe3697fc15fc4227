// Formatting built-ins: FormatNumber, FormatCurrency, FormatPercent and FormatDateTime,
// in the script's locale through ICU.
//
// The tristate arguments take -1 (true), 0 (false) and -2 (vbUseDefault: the locale's
// way). Digits after the decimal sign default to 2; ties round away from zero. The
// narrow and non-breaking spaces of ICU's patterns are written as plain spaces, as
// everywhere else in the program's text forms.
#include <unicode/udat.h>
#include <unicode/unum.h>

#include <cmath>
#include <memory>

#include "com/DiagnosticLog.h"
#include "com/Locale.h"
#include "com/TextForms.h"
#include "script/engine/vbscript/library/VBDateMath.h"
#include "script/engine/vbscript/library/VBLibrarySupport.h"

namespace {

constexpr LONG kUseDefault = -2;

std::string IcuLocale(LCID lcid) {
    std::string locale = IcuLocaleFromLcid(ResolveLcid(lcid));
    return locale.empty() ? "en_US" : locale;
}

void PlainSpaces(std::u16string& text) {
    for (char16_t& c : text)
        if (c == 0x202F || c == 0x00A0)
            c = u' ';
}

struct NumberFormatCloser {
    void operator()(UNumberFormat* f) const { unum_close(f); }
};

HRESULT TristateArg(VBBuiltinContext& ctx, const VARIANT* arg, LONG* value) {
    HRESULT hr = OptionalLong(ctx, arg, kUseDefault, value);
    if (FAILED(hr))
        return hr;
    if (*value < -2 || *value > 0)
        return VBScriptError(kVBInvalidCall);
    return S_OK;
}

// Format…(expression[, digits[, leadingDigit[, parens[, group]]]]); FormatCurrency and
// FormatNumber share it, FormatPercent scales by 100 first.
HRESULT FormatWithStyle(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc,
                        UNumberFormatStyle style, VARIANT* result) {
    double value = 0;
    HRESULT hr = ArgDouble(ctx, args[0], &value);
    if (FAILED(hr))
        return hr;
    LONG digits = -1, leading = kUseDefault, parens = kUseDefault, group = kUseDefault;
    if (FAILED(hr = OptionalLong(ctx, OptionalArg(args, argc, 1), -1, &digits)) ||
        FAILED(hr = TristateArg(ctx, OptionalArg(args, argc, 2), &leading)) ||
        FAILED(hr = TristateArg(ctx, OptionalArg(args, argc, 3), &parens)) ||
        FAILED(hr = TristateArg(ctx, OptionalArg(args, argc, 4), &group)))
        return hr;
    if (digits < -1 || digits > 99)
        return VBScriptError(kVBInvalidCall);
    if (digits == -1)
        digits = 2;

    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UNumberFormat, NumberFormatCloser> fmt(
        unum_open(style, nullptr, 0, IcuLocale(ctx.lcid).c_str(), nullptr, &status));
    if (U_FAILURE(status))
        return CheckResultValue(E_FAIL);
    unum_setAttribute(fmt.get(), UNUM_MIN_FRACTION_DIGITS, digits);
    unum_setAttribute(fmt.get(), UNUM_MAX_FRACTION_DIGITS, digits);
    unum_setAttribute(fmt.get(), UNUM_ROUNDING_MODE, UNUM_ROUND_HALFUP);
    unum_setAttribute(fmt.get(), UNUM_GROUPING_USED, group == 0 ? 0 : 1);

    const bool negative = value < 0;
    const bool useParens = negative && parens == -1;
    UChar buffer[512];
    int32_t n =
        unum_formatDouble(fmt.get(), useParens ? -value : value, buffer, 512, nullptr, &status);
    if (U_FAILURE(status))
        return VBScriptError(kVBOverflow);
    std::u16string text(buffer, static_cast<std::size_t>(std::min(n, 511)));
    PlainSpaces(text);
    if (leading == 0) {
        // "0.5" becomes ".5": drop a zero that stands alone before the decimal sign.
        std::u16string sign = DecimalSign(ctx.lcid);
        std::size_t at = text.find(u"0" + sign);
        if (at != std::u16string::npos &&
            (at == 0 || !(text[at - 1] >= u'0' && text[at - 1] <= u'9')))
            text.erase(at, 1);
    }
    if (useParens)
        text = u"(" + text + u")";
    SetText(result, std::move(text));
    return S_OK;
}

HRESULT FormatNumber(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, VARIANT* result) {
    return FormatWithStyle(ctx, args, argc, UNUM_DECIMAL, result);
}
HRESULT FormatCurrency(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, VARIANT* result) {
    return FormatWithStyle(ctx, args, argc, UNUM_CURRENCY, result);
}
HRESULT FormatPercent(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, VARIANT* result) {
    return FormatWithStyle(ctx, args, argc, UNUM_PERCENT, result);
}

struct DateFormatCloser {
    void operator()(UDateFormat* f) const { udat_close(f); }
};

// The ICU pattern of a style; a short date gets a four-digit year.
std::u16string PatternOf(const std::string& locale, UDateFormatStyle time, UDateFormatStyle date) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UDateFormat, DateFormatCloser> fmt(
        udat_open(time, date, locale.c_str(), u"UTC", -1, nullptr, -1, &status));
    if (U_FAILURE(status))
        return std::u16string();
    UChar buffer[128];
    int32_t n = udat_toPattern(fmt.get(), false, buffer, 128, &status);
    if (U_FAILURE(status))
        return std::u16string();
    std::u16string pattern(buffer, static_cast<std::size_t>(std::min(n, 127)));
    if (date == UDAT_SHORT) {
        std::u16string withYear;
        bool quoted = false;
        for (std::size_t i = 0; i < pattern.size(); ++i) {
            char16_t c = pattern[i];
            if (c == u'\'')
                quoted = !quoted;
            if (!quoted && c == u'y') {
                while (i + 1 < pattern.size() && pattern[i + 1] == u'y')
                    ++i;
                withYear += u"yyyy";
                continue;
            }
            withYear += c;
        }
        pattern = withYear;
    }
    return pattern;
}

std::u16string FormatWithPattern(const std::string& locale, const std::u16string& pattern,
                                 double oleDate) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UDateFormat, DateFormatCloser> fmt(
        udat_open(UDAT_PATTERN, UDAT_PATTERN, locale.c_str(), u"UTC", -1, pattern.data(),
                  static_cast<int32_t>(pattern.size()), &status));
    if (U_FAILURE(status))
        return std::u16string();
    // Wall-clock time shown in UTC so that it is never shifted.
    UCalendar* cal = const_cast<UCalendar*>(udat_getCalendar(fmt.get()));
    ucal_setGregorianChange(cal, -8.64e15, &status);
    CalendarTime t = SplitDate(oleDate);
    long long unixDays = t.serial - 25569;
    UDate millis =
        (static_cast<double>(unixDays) * 86400.0 + t.hour * 3600.0 + t.minute * 60.0 + t.second) *
        1000.0;
    UChar buffer[256];
    status = U_ZERO_ERROR;
    int32_t n = udat_format(fmt.get(), millis, buffer, 256, nullptr, &status);
    if (U_FAILURE(status))
        return std::u16string();
    std::u16string text(buffer, static_cast<std::size_t>(std::min(n, 255)));
    PlainSpaces(text);
    return text;
}

// FormatDateTime(date[, format]): 0 general, 1 long date, 2 short date, 3 long time,
// 4 short time (24-hour hours and minutes).
HRESULT FormatDateTime(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, VARIANT* result) {
    double date = 0;
    HRESULT hr = ArgDate(ctx, args[0], &date);
    if (FAILED(hr))
        return hr;
    LONG named = 0;
    if (FAILED(hr = OptionalLong(ctx, OptionalArg(args, argc, 1), 0, &named)))
        return hr;
    const std::string locale = IcuLocale(ctx.lcid);
    std::u16string text;
    switch (named) {
        case 0:
            text = FormatDate(date, ctx.lcid);
            break;
        case 1:
            text = FormatWithPattern(locale, PatternOf(locale, UDAT_NONE, UDAT_FULL), date);
            break;
        case 2:
            text = FormatWithPattern(locale, PatternOf(locale, UDAT_NONE, UDAT_SHORT), date);
            break;
        case 3:
            text = FormatWithPattern(locale, PatternOf(locale, UDAT_MEDIUM, UDAT_NONE), date);
            break;
        case 4:
            text = FormatWithPattern(locale, u"HH:mm", date);
            break;
        default:
            return VBScriptError(kVBInvalidCall);
    }
    SetText(result, std::move(text));
    return S_OK;
}

constexpr VBBuiltin kFormat[] = {
    {u"FormatCurrency", FormatCurrency, 1, 5},
    {u"FormatDateTime", FormatDateTime, 1, 2},
    {u"FormatNumber", FormatNumber, 1, 5},
    {u"FormatPercent", FormatPercent, 1, 5},
};

}  // namespace

std::span<const VBBuiltin> VBFormatBuiltins() {
    return kFormat;
}
