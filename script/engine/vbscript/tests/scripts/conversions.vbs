' Conversion functions and type inspection.
Print CInt(2.5) & " " & CInt(3.5) & " " & CInt(-2.5) & " " & CLng("12") & " " & Int(-2.5) & " " & Fix(-2.5)
'> 2 4 -2 12 -3 -2
Print CBool(0) & " " & CBool("True") & " " & CBool(-1) & " " & CStr(True)
'> False True True True
Print CDbl("1.5e3") & " " & CSng(0.5) & " " & TypeName(CSng(0.5)) & " " & CByte(255)
'> 1500 0.5 Single 255
Print VarType(Empty) & VarType(Null) & " " & VarType(1) & " " & VarType(CLng(1)) & " " & VarType("") & " " & VarType(Array())
'> 01 2 3 8 8204
Print TypeName(Nothing) & " " & TypeName(Empty) & " " & TypeName(Null) & " " & TypeName(Array()) & " " & TypeName(CDate("2020-01-02"))
'> Nothing Empty Null Variant() Date
Print IsNumeric("12.5") & " " & IsNumeric("abc") & " " & IsNumeric("") & " " & IsDate("2020-02-30") & " " & IsDate("2020-02-28") & " " & IsEmpty(Empty) & " " & IsObject(Nothing)
'> True False False False True True True
Print Hex(255) & " " & Hex(-1) & " " & Oct(8) & " " & Asc("A") & " " & Chr(66) & " " & AscW("€") & " " & ChrW(8364)
'> FF FFFF 10 65 B 8364 €
Print Round(2.5) & " " & Round(3.5) & " " & Round(2.346, 2) & " " & Abs(-3) & " " & Sgn(-0.5) & " " & Sqr(16)
'> 2 4 2.35 3 -1 4
Print CLng(&HFFFF&) & " " & CStr(1E+16) & " " & CStr(123456789012345) & " " & CStr(1 / 3)
'> 65535 1E+16 123456789012345 0.333333333333333
On Error Resume Next
Print CInt("x")
Print Err.Number
'> 13
Err.Clear
Print CByte(256)
Print Err.Number
'> 6
