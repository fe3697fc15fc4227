' Operators: arithmetic, promotion of subtypes, comparison, logic, concatenation.
Response.Write TypeName(1 + 1) & " " & TypeName(32767 + 1) & " " & TypeName(2147483647 + 1)
'> Integer Long Double
Response.Write TypeName(CByte(1) + CByte(1)) & " " & TypeName(CByte(200) + CByte(100))
'> Byte Integer
Response.Write TypeName(1 / 1) & " " & 7 / 2 & " " & 7 \ 2 & " " & -7 \ 2 & " " & 7 Mod 3 & " " & -7 Mod 3
'> Double 3.5 3 -3 1 -1
Response.Write 2 ^ 10 & " " & TypeName(2 ^ 2) & " " & -2 ^ 2
'> 1024 Double -4
Response.Write "1" + 2 & " " & "1" & 2 & " " & "a" & Null & "b"
'> 3 12 ab
Response.Write IsNull(1 + Null) & " " & IsNull("a" + Null) & " " & (Null And False) & " " & IsNull(Null Or False)
'> True True False True
Response.Write (5 And 3) & " " & (5 Or 3) & " " & (5 Xor 3) & " " & (Not 0) & " " & (True Eqv False) & " " & (False Imp True)
'> 1 7 6 -1 False True
Response.Write TypeName(True And 1) & " " & (True + True)
'> Integer -2
Response.Write ("abc" < "abd") & " " & ("B" > "a") & " " & (10 < 9) & " " & ("10" < 9) & " " & (Empty = 0) & " " & (Empty = "")
'> True False False False True True
Response.Write (1 = 1.0) & " " & CStr(0.1 + 0.2 = 0.3) & " " & (1 = 1 & "")
'> True False False
Response.Write TypeName(CCur(1.5) * 2) & " " & CCur(1.5) * 2 & " " & TypeName(Date + 1)
'> Currency 3 Date
Response.Write 3 + 4 * 2 - 1 & " " & (3 + 4) * 2 & " " & 2 * 3 ^ 2 & " " & 10 - 2 - 3
'> 10 14 18 5
Response.Write &HFF & " " & &H7FFF + 1 & " " & &HFFFF & " " & &O17
'> 255 32768 -1 15
On Error Resume Next
Dim x
x = 1 / 0
Response.Write Err.Number & " " & Err.Description
'> 11 Division by zero
Err.Clear
x = 32767 * 32767 * 32767 * 32767 * 32767
Response.Write Err.Number & " " & TypeName(x)
'> 0 Double
Err.Clear
x = CInt(40000)
Response.Write Err.Number & " " & Err.Description
'> 6 Overflow
Err.Clear
x = "abc" * 2
Response.Write Err.Number & " " & Err.Description
'> 13 Type mismatch
