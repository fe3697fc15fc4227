' Dates, times and formatting in two locales (SetLocale).
Dim d, old
d = DateSerial(2020, 1, 2) + TimeSerial(13, 4, 5)
Response.Write CStr(d)
'> 1/2/2020 1:04:05 PM
Response.Write FormatDateTime(d, vbLongDate) & "|" & FormatDateTime(d, vbShortDate) & "|" & FormatDateTime(d, vbLongTime) & "|" & FormatDateTime(d, vbShortTime)
'> Thursday, January 2, 2020|1/2/2020|1:04:05 PM|13:04
Response.Write Year(d) & " " & Month(d) & " " & Day(d) & " " & Hour(d) & " " & Minute(d) & " " & Second(d) & " " & Weekday(d) & " " & WeekdayName(Weekday(d)) & " " & MonthName(1, True)
'> 2020 1 2 13 4 5 5 Thursday Jan
Response.Write DateAdd("m", 1, #1/31/2020#) & " " & DateDiff("d", #1/1/2020#, #3/1/2020#) & " " & DatePart("q", d) & " " & DateAdd("yyyy", 1, #2/29/2020#)
'> 2/29/2020 60 1 2/28/2021
Response.Write DateSerial(2020, 14, 1) & " " & DateSerial(2020, 3, 0) & " " & CDate("January 2, 2020") & " " & TypeName(Now) & " " & (Timer >= 0)
'> 2/1/2021 2/29/2020 1/2/2020 Date True
Response.Write FormatNumber(1234.5, 2) & " " & FormatNumber(-0.5, 1, True, True) & " " & FormatPercent(0.255, 1) & " " & FormatNumber(1234567, 0, , , False)
'> 1,234.50 (0.5) 25.5% 1234567
old = SetLocale(1031)
Response.Write old & " " & GetLocale()
'> 1033 1031
Response.Write CStr(d) & "|" & FormatDateTime(d, vbLongDate)
'> 02.01.2020 13:04:05|Donnerstag, 2. Januar 2020
Response.Write CStr(1.5) & " " & FormatNumber(1234.5, 2) & " " & FormatPercent(0.25) & " " & (CDbl("1,5") = 1.5) & " " & Month(CDate("2.1.2020"))
'> 1,5 1.234,50 25,00 % True 1
SetLocale "en-us"
Response.Write CStr(1.5) & " " & GetLocale()
'> 1.5 1033
On Error Resume Next
SetLocale 99999
Response.Write Err.Number
'> 5
Err.Clear
Response.Write CDate("not a date")
Response.Write Err.Number
'> 13
