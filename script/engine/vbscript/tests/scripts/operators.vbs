' Operators: arithmetic, promotion of subtypes, comparison, logic, concatenation.
Print TypeName(1 + 1) & " " & TypeName(32767 + 1) & " " & TypeName(2147483647 + 1)
'> Integer Long Double
Print TypeName(CByte(1) + CByte(1)) & " " & TypeName(CByte(200) + CByte(100))
'> Byte Integer
Print TypeName(1 / 1) & " " & 7 / 2 & " " & 7 \ 2 & " " & -7 \ 2 & " " & 7 Mod 3 & " " & -7 Mod 3
'> Double 3.5 3 -3 1 -1
Print 2 ^ 10 & " " & TypeName(2 ^ 2) & " " & -2 ^ 2
'> 1024 Double -4
Print "1" + 2 & " " & "1" & 2 & " " & "a" & Null & "b"
'> 3 12 ab
Print IsNull(1 + Null) & " " & IsNull("a" + Null) & " " & (Null And False) & " " & IsNull(Null Or False)
'> True True False True
Print (5 And 3) & " " & (5 Or 3) & " " & (5 Xor 3) & " " & (Not 0) & " " & (True Eqv False) & " " & (False Imp True)
'> 1 7 6 -1 False True
Print TypeName(True And 1) & " " & (True + True)
'> Integer -2
Print ("abc" < "abd") & " " & ("B" > "a") & " " & (10 < 9) & " " & ("10" < 9) & " " & (Empty = 0) & " " & (Empty = "")
'> True False False False True True
Print (1 = 1.0) & " " & CStr(0.1 + 0.2 = 0.3) & " " & (1 = 1 & "")
'> True False False
Print TypeName(CCur(1.5) * 2) & " " & CCur(1.5) * 2 & " " & TypeName(Date + 1)
'> Currency 3 Date
Print 3 + 4 * 2 - 1 & " " & (3 + 4) * 2 & " " & 2 * 3 ^ 2 & " " & 10 - 2 - 3
'> 10 14 18 5
Print &HFF & " " & &H7FFF + 1 & " " & &HFFFF & " " & &O17
'> 255 32768 -1 15
On Error Resume Next
Dim x
x = 1 / 0
Print Err.Number & " " & Err.Description
'> 11 Division by zero
Err.Clear
x = 32767 * 32767 * 32767 * 32767 * 32767
Print Err.Number & " " & TypeName(x)
'> 0 Double
Err.Clear
x = CInt(40000)
Print Err.Number & " " & Err.Description
'> 6 Overflow
Err.Clear
x = "abc" * 2
Print Err.Number & " " & Err.Description
'> 13 Type mismatch
' String literals that a comparison, a Case or the right side of & reads in place.
Dim sLit, nLit, kLit
sLit = ""
For nLit = 1 To 3
    sLit = sLit & "ab"
Next
Print sLit & " " & ("ab" & "") & " " & (sLit = "ababab") & " " & (Null = "a") & " " & IsNull(Null & Null)
'> ababab ab True  True
For Each kLit In Array("b", 2, Empty, "B")
    Select Case kLit
        Case "a", "b"
            Print "letter " & kLit
        Case "2"
            Print "two as a string"
        Case ""
            Print "empty"
        Case Else
            Print "other " & kLit
    End Select
Next
'> letter b
'> other 2
'> empty
'> other B
Err.Clear
x = Array(1) = "a"
Print Err.Number & " " & Err.Description
'> 13 Type mismatch
