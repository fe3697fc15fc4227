// Date and time built-ins: Date, Time, Now, Timer, DateAdd, DateDiff, DatePart,
// DateSerial, DateValue, TimeSerial, TimeValue, Day, Month, Year, Weekday, Hour, Minute,
// Second, MonthName and WeekdayName.
//
// Dates are wall-clock local times (the clock is read in the local zone and never
// shifted). Arguments convert as CDate converts them, in the script's locale. Results
// outside 1 January 100 to 31 December 9999 are error 5. Month and weekday names come
// from ICU for the script's locale; the first day of the week and the first week of the
// year default to the locale's when the argument is 0 (vbUseSystem…).
#include <unicode/udat.h>

#include <cmath>
#include <ctime>
#include <memory>

#include "com/Locale.h"
#include "script/engine/vbscript/library/VBDateMath.h"
#include "script/engine/vbscript/library/VBLibrarySupport.h"

namespace {

struct LocalNow {
    long long serial;
    long long seconds;
    int centiseconds;
};

LocalNow ReadClock() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    return {SerialFromCivil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday),
            local.tm_hour * 3600LL + local.tm_min * 60LL + local.tm_sec,
            static_cast<int>(now.tv_nsec / 10000000)};
}

HRESULT Date(VBBuiltinContext&, const VARIANT*, unsigned, VARIANT* result) {
    SetDate(result, JoinDate(ReadClock().serial, 0));
    return S_OK;
}
HRESULT Time(VBBuiltinContext&, const VARIANT*, unsigned, VARIANT* result) {
    SetDate(result, JoinDate(0, ReadClock().seconds));
    return S_OK;
}
HRESULT Now(VBBuiltinContext&, const VARIANT*, unsigned, VARIANT* result) {
    LocalNow now = ReadClock();
    SetDate(result, JoinDate(now.serial, now.seconds));
    return S_OK;
}
HRESULT Timer(VBBuiltinContext&, const VARIANT*, unsigned, VARIANT* result) {
    LocalNow now = ReadClock();
    VariantClear(result);
    result->vt = VT_R4;
    result->fltVal = static_cast<float>(now.seconds) + static_cast<float>(now.centiseconds) / 100;
    return S_OK;
}

HRESULT OutDate(double oleDate, VARIANT* result) {
    if (!IsDateInRange(oleDate))
        return VBScriptError(kVBInvalidCall);
    SetDate(result, oleDate);
    return S_OK;
}

// Reads the date argument of a part function; Null makes the result Null (`*isNull`).
HRESULT DateArg(VBBuiltinContext& ctx, const VARIANT& arg, CalendarTime* t, bool* isNull) {
    *isNull = IsNullValue(arg);
    if (*isNull)
        return S_OK;
    double date = 0;
    HRESULT hr = ArgDate(ctx, arg, &date);
    if (SUCCEEDED(hr))
        *t = SplitDate(date);
    return hr;
}

template <class Part>
HRESULT DatePartOf(VBBuiltinContext& ctx, const VARIANT& arg, VARIANT* result, Part part) {
    CalendarTime t;
    bool isNull = false;
    HRESULT hr = DateArg(ctx, arg, &t, &isNull);
    if (FAILED(hr))
        return hr;
    if (isNull)
        SetNull(result);
    else
        SetInteger(result, static_cast<SHORT>(part(t)));
    return S_OK;
}

HRESULT Year(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return DatePartOf(ctx, args[0], result, [](const CalendarTime& t) { return t.year; });
}
HRESULT Month(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return DatePartOf(ctx, args[0], result, [](const CalendarTime& t) { return t.month; });
}
HRESULT Day(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return DatePartOf(ctx, args[0], result, [](const CalendarTime& t) { return t.day; });
}
HRESULT Hour(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return DatePartOf(ctx, args[0], result, [](const CalendarTime& t) { return t.hour; });
}
HRESULT Minute(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return DatePartOf(ctx, args[0], result, [](const CalendarTime& t) { return t.minute; });
}
HRESULT Second(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return DatePartOf(ctx, args[0], result, [](const CalendarTime& t) { return t.second; });
}

// A firstdayofweek argument: 1 (Sunday) to 7; 0 or left out, the locale's (left out
// means Sunday, as the language defines).
HRESULT FirstDayArg(VBBuiltinContext& ctx, const VARIANT* arg, int* firstDay) {
    LONG value = 1;
    HRESULT hr = OptionalLong(ctx, arg, 1, &value);
    if (FAILED(hr))
        return hr;
    if (value < 0 || value > 7)
        return VBScriptError(kVBInvalidCall);
    *firstDay = value == 0 ? LocaleFirstDayOfWeek(ctx.lcid) : static_cast<int>(value);
    return S_OK;
}

// A firstweekofyear argument as the minimal days of the first week: 1 vbFirstJan1, 2
// vbFirstFourDays, 3 vbFirstFullWeek; 0 the locale's.
HRESULT FirstWeekArg(VBBuiltinContext& ctx, const VARIANT* arg, int* minimalDays) {
    LONG value = 1;
    HRESULT hr = OptionalLong(ctx, arg, 1, &value);
    if (FAILED(hr))
        return hr;
    if (value < 0 || value > 3)
        return VBScriptError(kVBInvalidCall);
    static constexpr int kMinimal[] = {0, 1, 4, 7};
    *minimalDays = value == 0 ? LocaleMinimalDaysInFirstWeek(ctx.lcid) : kMinimal[value];
    return S_OK;
}

HRESULT Weekday(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, VARIANT* result) {
    int firstDay = 1;
    HRESULT hr = FirstDayArg(ctx, OptionalArg(args, argc, 1), &firstDay);
    if (FAILED(hr))
        return hr;
    return DatePartOf(ctx, args[0], result, [firstDay](const CalendarTime& t) {
        return WeekdayFrom(t.serial, firstDay);
    });
}

long long WeekOneStart(int year, int firstDay, int minimalDays) {
    long long jan1 = SerialFromCivil(year, 1, 1);
    long long start = jan1 - (WeekdayFrom(jan1, firstDay) - 1);
    // The week holding 1 January counts when enough of it lies in the new year.
    if (7 - (jan1 - start) < minimalDays)
        start += 7;
    return start;
}

int WeekOfYear(const CalendarTime& t, int firstDay, int minimalDays) {
    long long start = WeekOneStart(t.year, firstDay, minimalDays);
    if (t.serial < start)
        start = WeekOneStart(t.year - 1, firstDay, minimalDays);
    return static_cast<int>((t.serial - start) / 7 + 1);
}

enum class Interval { Year, Quarter, Month, DayOfYear, Day, Weekday, Week, Hour, Minute, Second };

HRESULT IntervalArg(VBBuiltinContext& ctx, const VARIANT& arg, Interval* interval) {
    std::u16string text;
    HRESULT hr = ArgText(ctx, arg, &text);
    if (FAILED(hr))
        return hr;
    for (char16_t& c : text)
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    static const struct {
        std::u16string_view name;
        Interval interval;
    } kIntervals[] = {{u"yyyy", Interval::Year}, {u"q", Interval::Quarter},
                      {u"m", Interval::Month},   {u"y", Interval::DayOfYear},
                      {u"d", Interval::Day},     {u"w", Interval::Weekday},
                      {u"ww", Interval::Week},   {u"h", Interval::Hour},
                      {u"n", Interval::Minute},  {u"s", Interval::Second}};
    for (const auto& entry : kIntervals) {
        if (entry.name == text) {
            *interval = entry.interval;
            return S_OK;
        }
    }
    return VBScriptError(kVBInvalidCall);
}

// DateAdd(interval, number, date): months keep the day, or the month's last day.
HRESULT DateAdd(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    Interval interval;
    HRESULT hr = IntervalArg(ctx, args[0], &interval);
    if (FAILED(hr))
        return hr;
    double number = 0;
    if (FAILED(hr = ArgDouble(ctx, args[1], &number)))
        return hr;
    if (IsNullValue(args[2])) {
        SetNull(result);
        return S_OK;
    }
    double date = 0;
    if (FAILED(hr = ArgDate(ctx, args[2], &date)))
        return hr;
    number = std::nearbyint(number);
    if (std::fabs(number) > 1e10)
        return VBScriptError(kVBInvalidCall);
    const long long n = static_cast<long long>(number);
    CalendarTime t = SplitDate(date);
    const long long timeOfDay = t.hour * 3600LL + t.minute * 60LL + t.second;
    switch (interval) {
        case Interval::Year:
        case Interval::Quarter:
        case Interval::Month: {
            long long months = interval == Interval::Year      ? n * 12
                               : interval == Interval::Quarter ? n * 3
                                                               : n;
            long long index = t.year * 12LL + (t.month - 1) + months;
            long long year = index >= 0 ? index / 12 : -((-index + 11) / 12);
            int month = static_cast<int>(index - year * 12) + 1;
            if (year < 100 || year > 9999)
                return VBScriptError(kVBInvalidCall);
            int day = std::min(t.day, DaysInMonth(static_cast<int>(year), month));
            return OutDate(JoinDate(SerialFromCivil(year, month, day), timeOfDay), result);
        }
        case Interval::DayOfYear:
        case Interval::Day:
        case Interval::Weekday:
            return OutDate(JoinDate(t.serial + n, timeOfDay), result);
        case Interval::Week:
            return OutDate(JoinDate(t.serial + 7 * n, timeOfDay), result);
        case Interval::Hour:
            return OutDate(JoinDate(t.serial, timeOfDay + 3600 * n), result);
        case Interval::Minute:
            return OutDate(JoinDate(t.serial, timeOfDay + 60 * n), result);
        case Interval::Second:
            return OutDate(JoinDate(t.serial, timeOfDay + n), result);
    }
    return VBScriptError(kVBInvalidCall);
}

long long FloorDiv(long long a, long long b) {
    long long q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// DateDiff(interval, date1, date2[, firstdayofweek[, firstweekofyear]]): the number of
// interval boundaries crossed from date1 to date2.
HRESULT DateDiff(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, VARIANT* result) {
    Interval interval;
    HRESULT hr = IntervalArg(ctx, args[0], &interval);
    if (FAILED(hr))
        return hr;
    int firstDay = 1, minimalDays = 1;
    if (FAILED(hr = FirstDayArg(ctx, OptionalArg(args, argc, 3), &firstDay)) ||
        FAILED(hr = FirstWeekArg(ctx, OptionalArg(args, argc, 4), &minimalDays)))
        return hr;
    if (IsNullValue(args[1]) || IsNullValue(args[2])) {
        SetNull(result);
        return S_OK;
    }
    double d1 = 0, d2 = 0;
    if (FAILED(hr = ArgDate(ctx, args[1], &d1)) || FAILED(hr = ArgDate(ctx, args[2], &d2)))
        return hr;
    CalendarTime a = SplitDate(d1), b = SplitDate(d2);
    const long long secondsA = a.serial * 86400 + a.hour * 3600LL + a.minute * 60LL + a.second;
    const long long secondsB = b.serial * 86400 + b.hour * 3600LL + b.minute * 60LL + b.second;
    long long diff = 0;
    switch (interval) {
        case Interval::Year:
            diff = b.year - a.year;
            break;
        case Interval::Quarter:
            diff = (b.year * 4LL + (b.month - 1) / 3) - (a.year * 4LL + (a.month - 1) / 3);
            break;
        case Interval::Month:
            diff = (b.year * 12LL + b.month) - (a.year * 12LL + a.month);
            break;
        case Interval::DayOfYear:
        case Interval::Day:
            diff = b.serial - a.serial;
            break;
        case Interval::Weekday:
            diff = (b.serial - a.serial) / 7;
            break;
        case Interval::Week: {
            long long startA = a.serial - (WeekdayFrom(a.serial, firstDay) - 1);
            long long startB = b.serial - (WeekdayFrom(b.serial, firstDay) - 1);
            diff = (startB - startA) / 7;
            break;
        }
        case Interval::Hour:
            diff = FloorDiv(secondsB, 3600) - FloorDiv(secondsA, 3600);
            break;
        case Interval::Minute:
            diff = FloorDiv(secondsB, 60) - FloorDiv(secondsA, 60);
            break;
        case Interval::Second:
            diff = secondsB - secondsA;
            break;
    }
    if (diff < INT32_MIN || diff > INT32_MAX)
        return VBScriptError(kVBOverflow);
    SetLong(result, static_cast<LONG>(diff));
    return S_OK;
}

HRESULT DatePart(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, VARIANT* result) {
    Interval interval;
    HRESULT hr = IntervalArg(ctx, args[0], &interval);
    if (FAILED(hr))
        return hr;
    int firstDay = 1, minimalDays = 1;
    if (FAILED(hr = FirstDayArg(ctx, OptionalArg(args, argc, 2), &firstDay)) ||
        FAILED(hr = FirstWeekArg(ctx, OptionalArg(args, argc, 3), &minimalDays)))
        return hr;
    return DatePartOf(ctx, args[1], result, [&](const CalendarTime& t) {
        switch (interval) {
            case Interval::Year:
                return t.year;
            case Interval::Quarter:
                return (t.month - 1) / 3 + 1;
            case Interval::Month:
                return t.month;
            case Interval::DayOfYear:
                return static_cast<int>(t.serial - SerialFromCivil(t.year, 1, 1) + 1);
            case Interval::Day:
                return t.day;
            case Interval::Weekday:
                return WeekdayFrom(t.serial, firstDay);
            case Interval::Week:
                return WeekOfYear(t, firstDay, minimalDays);
            case Interval::Hour:
                return t.hour;
            case Interval::Minute:
                return t.minute;
            case Interval::Second:
                return t.second;
        }
        return 0;
    });
}

// DateSerial(year, month, day): two-digit years are 1930 to 2029; months and days
// outside their ranges carry into the neighbouring ones.
HRESULT DateSerial(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    LONG parts[3] = {};
    for (int i = 0; i < 3; ++i) {
        HRESULT hr = ArgLong(ctx, args[i], &parts[i]);
        if (FAILED(hr))
            return hr;
    }
    long long year = parts[0];
    if (year >= 0 && year < 30)
        year += 2000;
    else if (year >= 30 && year < 100)
        year += 1900;
    long long monthIndex = year * 12 + (parts[1] - 1);
    long long y = FloorDiv(monthIndex, 12);
    int m = static_cast<int>(monthIndex - y * 12) + 1;
    if (y < 100 - 1 || y > 9999 + 1)
        return VBScriptError(kVBInvalidCall);
    long long serial = SerialFromCivil(y, m, 1) + (parts[2] - 1);
    return OutDate(JoinDate(serial, 0), result);
}

HRESULT TimeSerial(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    LONG parts[3] = {};
    for (int i = 0; i < 3; ++i) {
        HRESULT hr = ArgLong(ctx, args[i], &parts[i]);
        if (FAILED(hr))
            return hr;
    }
    long long seconds = parts[0] * 3600LL + parts[1] * 60LL + parts[2];
    return OutDate(JoinDate(0, seconds), result);
}

HRESULT DateValue(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    if (IsNullValue(args[0])) {
        SetNull(result);
        return S_OK;
    }
    double date = 0;
    HRESULT hr = ArgDate(ctx, args[0], &date);
    if (FAILED(hr))
        return hr;
    return OutDate(JoinDate(SplitDate(date).serial, 0), result);
}

HRESULT TimeValue(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    if (IsNullValue(args[0])) {
        SetNull(result);
        return S_OK;
    }
    double date = 0;
    HRESULT hr = ArgDate(ctx, args[0], &date);
    if (FAILED(hr))
        return hr;
    CalendarTime t = SplitDate(date);
    return OutDate(JoinDate(0, t.hour * 3600LL + t.minute * 60LL + t.second), result);
}

struct DateFormatCloser {
    void operator()(UDateFormat* f) const { udat_close(f); }
};

// A month or weekday name of the locale from ICU's symbols.
std::u16string SymbolOf(LCID lcid, UDateFormatSymbolType type, int index) {
    UErrorCode status = U_ZERO_ERROR;
    std::string locale = IcuLocaleFromLcid(ResolveLcid(lcid));
    std::unique_ptr<UDateFormat, DateFormatCloser> fmt(
        udat_open(UDAT_NONE, UDAT_SHORT, locale.empty() ? "en_US" : locale.c_str(), u"UTC", -1,
                  nullptr, -1, &status));
    if (U_FAILURE(status))
        return std::u16string();
    UChar buffer[64];
    int32_t n = udat_getSymbols(fmt.get(), type, index, buffer, 64, &status);
    if (U_FAILURE(status))
        return std::u16string();
    return std::u16string(buffer, static_cast<std::size_t>(std::min(n, 64)));
}

HRESULT MonthName(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, VARIANT* result) {
    LONG month = 0;
    HRESULT hr = ArgLong(ctx, args[0], &month);
    if (FAILED(hr))
        return hr;
    bool abbreviate = false;
    if (const VARIANT* a = OptionalArg(args, argc, 1);
        a && FAILED(hr = ArgBool(ctx, *a, &abbreviate)))
        return hr;
    if (month < 1 || month > 12)
        return VBScriptError(kVBInvalidCall);
    SetText(result,
            SymbolOf(ctx.lcid, abbreviate ? UDAT_STANDALONE_SHORT_MONTHS : UDAT_STANDALONE_MONTHS,
                     static_cast<int>(month - 1)));
    return S_OK;
}

HRESULT WeekdayName(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, VARIANT* result) {
    LONG weekday = 0;
    HRESULT hr = ArgLong(ctx, args[0], &weekday);
    if (FAILED(hr))
        return hr;
    bool abbreviate = false;
    if (const VARIANT* a = OptionalArg(args, argc, 1);
        a && FAILED(hr = ArgBool(ctx, *a, &abbreviate)))
        return hr;
    int firstDay = 1;
    if (FAILED(hr = FirstDayArg(ctx, OptionalArg(args, argc, 2), &firstDay)))
        return hr;
    if (weekday < 1 || weekday > 7)
        return VBScriptError(kVBInvalidCall);
    // ICU numbers the weekdays 1 (Sunday) to 7.
    int sundayBased = (static_cast<int>(weekday) - 1 + firstDay - 1) % 7 + 1;
    SetText(result, SymbolOf(ctx.lcid,
                             abbreviate ? UDAT_STANDALONE_SHORT_WEEKDAYS : UDAT_STANDALONE_WEEKDAYS,
                             sundayBased));
    return S_OK;
}

constexpr VBBuiltin kDates[] = {
    {u"Date", Date, 0, 0},
    {u"DateAdd", DateAdd, 3, 3},
    {u"DateDiff", DateDiff, 3, 5},
    {u"DatePart", DatePart, 2, 4},
    {u"DateSerial", DateSerial, 3, 3},
    {u"DateValue", DateValue, 1, 1},
    {u"Day", Day, 1, 1},
    {u"Hour", Hour, 1, 1},
    {u"Minute", Minute, 1, 1},
    {u"Month", Month, 1, 1},
    {u"MonthName", MonthName, 1, 2},
    {u"Now", Now, 0, 0},
    {u"Second", Second, 1, 1},
    {u"Time", Time, 0, 0},
    {u"Timer", Timer, 0, 0},
    {u"TimeSerial", TimeSerial, 3, 3},
    {u"TimeValue", TimeValue, 1, 1},
    {u"Weekday", Weekday, 1, 2},
    {u"WeekdayName", WeekdayName, 1, 3},
    {u"Year", Year, 1, 1},
};

}  // namespace

std::span<const VBBuiltin> VBDateBuiltins() {
    return kDates;
}
