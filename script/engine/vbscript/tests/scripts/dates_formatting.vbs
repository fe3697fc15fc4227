' Dates, times and formatting in two locales (SetLocale).
Dim d, old
d = DateSerial(2020, 1, 2) + TimeSerial(13, 4, 5)
Print CStr(d)
'> 1/2/2020 1:04:05 PM
Print FormatDateTime(d, vbLongDate) & "|" & FormatDateTime(d, vbShortDate) & "|" & FormatDateTime(d, vbLongTime) & "|" & FormatDateTime(d, vbShortTime)
'> Thursday, January 2, 2020|1/2/2020|1:04:05 PM|13:04
Print Year(d) & " " & Month(d) & " " & Day(d) & " " & Hour(d) & " " & Minute(d) & " " & Second(d) & " " & Weekday(d) & " " & WeekdayName(Weekday(d)) & " " & MonthName(1, True)
'> 2020 1 2 13 4 5 5 Thursday Jan
Print DateAdd("m", 1, #1/31/2020#) & " " & DateDiff("d", #1/1/2020#, #3/1/2020#) & " " & DatePart("q", d) & " " & DateAdd("yyyy", 1, #2/29/2020#)
'> 2/29/2020 60 1 2/28/2021
Print DateSerial(2020, 14, 1) & " " & DateSerial(2020, 3, 0) & " " & CDate("January 2, 2020") & " " & TypeName(Now) & " " & (Timer >= 0)
'> 2/1/2021 2/29/2020 1/2/2020 Date True
Print FormatNumber(1234.5, 2) & " " & FormatNumber(-0.5, 1, True, True) & " " & FormatPercent(0.255, 1) & " " & FormatNumber(1234567, 0, , , False)
'> 1,234.50 (0.5) 25.5% 1234567
old = SetLocale(1031)
Print old & " " & GetLocale()
'> 1033 1031
Print CStr(d) & "|" & FormatDateTime(d, vbLongDate)
'> 02.01.2020 13:04:05|Donnerstag, 2. Januar 2020
Print CStr(1.5) & " " & FormatNumber(1234.5, 2) & " " & FormatPercent(0.25) & " " & (CDbl("1,5") = 1.5) & " " & Month(CDate("2.1.2020"))
'> 1,5 1.234,50 25,00 % True 1
Print "" & 2.5 & " " & True & " " & #1/2/2020#
'> 2,5 True 02.01.2020
' & converts as CStr does, in the script's locale, whichever side the number is on and
' when it grows a variable in place.
Dim num, txt : num = 0.25 : txt = "v"
txt = txt & num
txt = txt & CSng(1.5) & "|" & CCur(2.5) & "|" & 1/4 & "|" & d
Print num & "|" & txt
'> 0,25|v0,251,5|2,5|0,25|02.01.2020 13:04:05
SetLocale "en-us"
Print CStr(1.5) & " " & GetLocale()
'> 1.5 1033
On Error Resume Next
SetLocale 99999
Print Err.Number
'> 5
Err.Clear
Print CDate("not a date")
Print Err.Number
'> 13
