// Date, time and formatting built-ins in two locales (English US 1033, German 1031).
#include <gtest/gtest.h>

#include <cmath>

#include "com/Strings.h"
#include "com/TextForms.h"
#include "script/engine/vbscript/library/VBTestSupport.h"

namespace {

struct Case {
    LCID lcid;
    const char16_t* name;
    std::vector<CComVariant> args;
    const char* expected;
};

CComVariant Day(int y, int m, int d, int h = 0, int n = 0, int s = 0) {
    double date = 0;
    EXPECT_TRUE(DateFromParts(DateParts{y, m, d, h, n, s}, &date));
    return CComVariant::Date(date);
}

void RunCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        VBBuiltinContext ctx;
        ctx.lcid = c.lcid;
        CComVariant result;
        HRESULT hr = CallBuiltin(ctx, c.name, c.args, &result);
        // Results that are dates are shown in the case's locale.
        std::string shown = Show(hr, result);
        if (SUCCEEDED(hr) && result.vt == VT_DATE)
            shown = Utf16ToUtf8(FormatDate(result.date, c.lcid));
        EXPECT_EQ(shown, c.expected) << Utf16ToUtf8(c.name) << " in " << c.lcid;
    }
}

TEST(VBScriptDates, PartsAndArithmetic) {
    RunCases({
        {1033, u"Year", {Day(2024, 3, 5, 14, 7, 9)}, "2024"},
        {1033, u"Month", {S(u"3/5/2024")}, "3"},
        {1031, u"Month", {S(u"3.5.2024")}, "5"},
        {1033, u"Day", {CComVariant::Null()}, "Null"},
        {1033, u"Hour", {Day(2024, 3, 5, 14, 7, 9)}, "14"},
        {1033, u"Minute", {Day(2024, 3, 5, 14, 7, 9)}, "7"},
        {1033, u"Second", {Day(2024, 3, 5, 14, 7, 9)}, "9"},
        {1033, u"Weekday", {Day(2024, 3, 5)}, "3"},  // a Tuesday
        {1033, u"Weekday", {Day(2024, 3, 5), I(2)}, "2"},
        {1031, u"Weekday", {Day(2024, 3, 5), I(0)}, "2"},  // German weeks start on Monday
        {1033, u"Day", {S(u"not a date")}, "!13"},
        {1033, u"DateSerial", {I(2024), I(14), I(0)}, "1/31/2025"},
        {1033, u"DateSerial", {I(99), I(1), I(1)}, "1/1/1999"},
        {1033, u"DateSerial", {I(10000), I(1), I(1)}, "!5"},
        {1033, u"TimeSerial", {I(25), I(-30), I(0)}, "12/31/1899 12:30:00 AM"},
        {1033, u"DateAdd", {S(u"m"), I(1), Day(2024, 1, 31)}, "2/29/2024"},
        {1033, u"DateAdd", {S(u"yyyy"), I(-1), Day(2024, 2, 29)}, "2/28/2023"},
        {1033, u"DateAdd", {S(u"h"), I(25), Day(2024, 3, 5, 12)}, "3/6/2024 1:00:00 PM"},
        {1033, u"DateAdd", {S(u"ww"), I(1), Day(2024, 3, 5)}, "3/12/2024"},
        {1033, u"DateAdd", {S(u"x"), I(1), Day(2024, 3, 5)}, "!5"},
        {1033, u"DateAdd", {S(u"yyyy"), I(9000), Day(2024, 3, 5)}, "!5"},
        {1033, u"DateDiff", {S(u"d"), Day(2024, 3, 5, 23), Day(2024, 3, 6, 1)}, "1"},
        {1033, u"DateDiff", {S(u"m"), Day(2023, 12, 31), Day(2024, 1, 1)}, "1"},
        {1033, u"DateDiff", {S(u"yyyy"), Day(2024, 1, 1), Day(2023, 12, 31)}, "-1"},
        {1033, u"DateDiff", {S(u"h"), Day(2024, 3, 5, 10, 59), Day(2024, 3, 5, 11, 1)}, "1"},
        {1033, u"DateDiff", {S(u"ww"), Day(2024, 3, 2), Day(2024, 3, 3)}, "1"},  // Sat → Sun
        {1033, u"DateDiff", {S(u"w"), Day(2024, 3, 2), Day(2024, 3, 3)}, "0"},
        {1033, u"DateDiff", {S(u"s"), Day(100, 1, 1), Day(9999, 1, 1)}, "!6"},
        {1033, u"DatePart", {S(u"q"), Day(2024, 8, 1)}, "3"},
        {1033, u"DatePart", {S(u"y"), Day(2024, 3, 1)}, "61"},
        {1033, u"DatePart", {S(u"ww"), Day(2021, 1, 1)}, "1"},
        {1033, u"DatePart", {S(u"ww"), Day(2021, 1, 4), I(2), I(2)}, "1"},
        {1033, u"DatePart", {S(u"ww"), Day(2021, 1, 1), I(2), I(2)}, "53"},
        {1031, u"DatePart", {S(u"ww"), Day(2021, 1, 11), I(0), I(0)}, "2"},
        {1033, u"DateValue", {S(u"3/5/2024 10:00 PM")}, "3/5/2024"},
        {1031, u"DateValue", {S(u"5.3.2024")}, "05.03.2024"},
        {1033, u"TimeValue", {S(u"3/5/2024 10:30 PM")}, "10:30:00 PM"},
        {1033, u"MonthName", {I(3)}, "March"},
        {1031, u"MonthName", {I(3), CComVariant(true)}, "Mär"},
        {1033, u"MonthName", {I(13)}, "!5"},
        {1033, u"WeekdayName", {I(1)}, "Sunday"},
        {1031, u"WeekdayName", {I(1), CComVariant(false), I(2)}, "Montag"},
        {1033, u"WeekdayName", {I(8)}, "!5"},
    });
}

TEST(VBScriptDates, ClockFunctionsAgree) {
    VBBuiltinContext ctx;
    CComVariant date, time, now, timer;
    ASSERT_EQ(CallBuiltin(ctx, u"Date", {}, &date), S_OK);
    ASSERT_EQ(CallBuiltin(ctx, u"Time", {}, &time), S_OK);
    ASSERT_EQ(CallBuiltin(ctx, u"Now", {}, &now), S_OK);
    ASSERT_EQ(CallBuiltin(ctx, u"Timer", {}, &timer), S_OK);
    EXPECT_EQ(date.vt, VT_DATE);
    EXPECT_EQ(date.date, std::floor(date.date));
    EXPECT_GE(time.date, 0.0);
    EXPECT_LT(time.date, 1.0);
    EXPECT_NEAR(now.date, date.date, 1.0);
    EXPECT_EQ(timer.vt, VT_R4);
    EXPECT_LT(timer.fltVal, 86400.0f);
}

TEST(VBScriptFormat, NumbersCurrencyPercentAndDates) {
    RunCases({
        {1033, u"FormatNumber", {D(1234.567)}, "1,234.57"},
        {1031, u"FormatNumber", {D(1234.567)}, "1.234,57"},
        {1033, u"FormatNumber", {D(1234.5), I(0)}, "1,235"},
        {1033, u"FormatNumber", {D(0.5), I(1), I(0)}, ".5"},
        {1033, u"FormatNumber", {D(-3), I(2), I(-2), I(-1)}, "(3.00)"},
        {1033, u"FormatNumber", {D(1234.5), I(1), I(-2), I(-2), I(0)}, "1234.5"},
        {1033, u"FormatNumber", {S(u"abc")}, "!13"},
        {1033, u"FormatNumber", {CComVariant::Null()}, "!94"},
        {1033, u"FormatNumber", {D(1), I(-5)}, "!5"},
        {1033, u"FormatCurrency", {D(1234.5)}, "$1,234.50"},
        {1031, u"FormatCurrency", {D(1234.5)}, "1.234,50 €"},
        {1033, u"FormatPercent", {D(0.256)}, "25.60%"},
        {1031, u"FormatPercent", {D(0.5), I(0)}, "50 %"},
        {1033, u"FormatDateTime", {Day(2024, 3, 5, 14, 7, 9)}, "3/5/2024 2:07:09 PM"},
        {1031, u"FormatDateTime", {Day(2024, 3, 5, 14, 7, 9)}, "05.03.2024 14:07:09"},
        {1033, u"FormatDateTime", {Day(2024, 3, 5), I(1)}, "Tuesday, March 5, 2024"},
        {1031, u"FormatDateTime", {Day(2024, 3, 5), I(1)}, "Dienstag, 5. März 2024"},
        {1033, u"FormatDateTime", {Day(2024, 3, 5), I(2)}, "3/5/2024"},
        {1033, u"FormatDateTime", {Day(2024, 3, 5, 14, 7, 9), I(3)}, "2:07:09 PM"},
        {1031, u"FormatDateTime", {Day(2024, 3, 5, 14, 7, 9), I(4)}, "14:07"},
        {1033, u"FormatDateTime", {Day(2024, 3, 5), I(9)}, "!5"},
    });
}

}  // namespace
