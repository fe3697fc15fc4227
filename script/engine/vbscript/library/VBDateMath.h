// Calendar arithmetic on OLE dates for the date built-ins.
//
// An OLE date counts days from 1899-12-30 with the time of day as the fraction, but
// before day 0 the fraction still counts forward from midnight (-1.25 is 1899-12-29
// 06:00). Arithmetic happens on the "linear" form, where -1.25 reads -0.75, and results
// go back to the OLE form. Day serials are whole days from 1899-12-30 (proleptic
// Gregorian); day 0 was a Saturday.
#pragma once

#include <cstdint>

#include "com/Types.h"

struct CalendarTime {
    long long serial = 0;  // whole days from 1899-12-30
    int year = 1899, month = 12, day = 30;
    int hour = 0, minute = 0, second = 0;
};

double OleToLinear(double date);
double LinearToOle(double linear);
bool IsDateInRange(double oleDate);

long long SerialFromCivil(long long year, long long month, long long day);
void CivilFromSerial(long long serial, int* year, int* month, int* day);
// The parts of an OLE date, rounded to the second.
CalendarTime SplitDate(double oleDate);
// The OLE date of a day serial plus seconds into that day (seconds may run over).
double JoinDate(long long serial, long long seconds);
// 1 (Sunday) to 7 (Saturday) of a day serial.
int SundayWeekday(long long serial);
// The weekday counted from `firstDay` (1 = Sunday … 7 = Saturday): 1 to 7.
int WeekdayFrom(long long serial, int firstDay);
int DaysInMonth(int year, int month);

// The locale's first day of the week (1 = Sunday) and the minimal number of days of the
// year's first week (1: the week of 1 January, 4: the first four-day week, 7: the first
// full week), from ICU's calendar data.
int LocaleFirstDayOfWeek(LCID lcid);
int LocaleMinimalDaysInFirstWeek(LCID lcid);
