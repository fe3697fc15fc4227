// Calendar arithmetic on OLE dates for the date built-ins.
#include "script/engine/vbscript/library/VBDateMath.h"

#include <unicode/ucal.h>

#include <cmath>
#include <memory>

#include "com/Locale.h"
#include "com/Variant.h"

namespace {

long long FloorDiv(long long a, long long b) {
    long long q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
long long DaysFromCivil(long long y, long long m, long long d) {
    y -= m <= 2;
    const long long era = FloorDiv(y, 400);
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

const long long kEpoch = DaysFromCivil(1899, 12, 30);

struct CalendarCloser {
    void operator()(UCalendar* c) const { ucal_close(c); }
};

std::unique_ptr<UCalendar, CalendarCloser> OpenCalendar(LCID lcid) {
    UErrorCode status = U_ZERO_ERROR;
    std::string locale = IcuLocaleFromLcid(ResolveLcid(lcid));
    UCalendar* cal =
        ucal_open(nullptr, 0, locale.empty() ? "en_US" : locale.c_str(), UCAL_GREGORIAN, &status);
    if (U_FAILURE(status))
        return nullptr;
    return std::unique_ptr<UCalendar, CalendarCloser>(cal);
}

}  // namespace

double OleToLinear(double date) {
    if (date >= 0)
        return date;
    double day = std::trunc(date);
    return day + (day - date);
}

double LinearToOle(double linear) {
    if (linear >= 0)
        return linear;
    double day = std::floor(linear);
    double fraction = linear - day;
    return fraction == 0 ? day : day - fraction;
}

bool IsDateInRange(double oleDate) {
    return std::isfinite(oleDate) && oleDate >= DATE_MIN && oleDate <= DATE_MAX;
}

long long SerialFromCivil(long long y, long long m, long long d) {
    return DaysFromCivil(y, m, d) - kEpoch;
}

void CivilFromSerial(long long serial, int* year, int* month, int* day) {
    long long z = serial + kEpoch + 719468;
    const long long era = FloorDiv(z, 146097);
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const long long d = doy - (153 * mp + 2) / 5 + 1;
    const long long m = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int>(yoe + era * 400 + (m <= 2));
    *month = static_cast<int>(m);
    *day = static_cast<int>(d);
}

CalendarTime SplitDate(double oleDate) {
    double linear = OleToLinear(oleDate);
    long long totalSeconds = std::llround(linear * 86400.0);
    CalendarTime t;
    t.serial = FloorDiv(totalSeconds, 86400);
    long long seconds = totalSeconds - t.serial * 86400;
    t.hour = static_cast<int>(seconds / 3600);
    t.minute = static_cast<int>(seconds / 60 % 60);
    t.second = static_cast<int>(seconds % 60);
    CivilFromSerial(t.serial, &t.year, &t.month, &t.day);
    return t;
}

double JoinDate(long long serial, long long seconds) {
    return LinearToOle(static_cast<double>(serial) + static_cast<double>(seconds) / 86400.0);
}

int SundayWeekday(long long serial) {
    return static_cast<int>(((serial % 7) + 7 + 6) % 7) + 1;
}

int WeekdayFrom(long long serial, int firstDay) {
    return (SundayWeekday(serial) - firstDay + 7) % 7 + 1;
}

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

int LocaleFirstDayOfWeek(LCID lcid) {
    auto cal = OpenCalendar(lcid);
    return cal ? ucal_getAttribute(cal.get(), UCAL_FIRST_DAY_OF_WEEK) : 1;
}

int LocaleMinimalDaysInFirstWeek(LCID lcid) {
    auto cal = OpenCalendar(lcid);
    return cal ? ucal_getAttribute(cal.get(), UCAL_MINIMAL_DAYS_IN_FIRST_WEEK) : 1;
}
