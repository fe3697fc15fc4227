' Statements: Const, Dim, If/ElseIf, Select Case, loops, With, Exit, Call.
Option Explicit
Const Limit = 3, Greeting = "hi"
Dim i, j, s, k
For i = Limit To 1 Step -1
    s = s & i
Next
Print s & " " & i
'> 321 0
s = ""
For i = 1 To 2
    For j = 1 To 2
        If j = 2 Then Exit For
        s = s & i & j & ","
    Next
Next
Print s
'> 11,21,
s = ""
For i = 0.5 To 2 Step 0.5
    s = s & i & ";"
Next
Print s
'> 0.5;1;1.5;2;
For i = 1 To 0
    Print "never"
Next
k = 0
Do
    k = k + 1
Loop Until k >= 4
Print k
'> 4
Do Until k = 0
    k = k - 1
Loop
Print k
'> 0
Do
    k = k + 1
    If k = 7 Then Exit Do
Loop While True
Print k
'> 7
While k > 2
    k = k - 2
Wend
Print k
'> 1
Function Grade(n)
    If n >= 90 Then
        Grade = "A"
    ElseIf n >= 80 Then
        Grade = "B"
    ElseIf n >= 70 Then
        Grade = "C"
    Else
        Grade = "F"
    End If
End Function
Print Grade(95) & Grade(85) & Grade(75) & Grade(5)
'> ABCF
Function Kind(v)
    Select Case VarType(v)
        Case vbString: Kind = "string"
        Case vbInteger, vbLong: Kind = "integer"
        Case Else: Kind = "other"
    End Select
End Function
Print Kind("a") & " " & Kind(1) & " " & Kind(100000) & " " & Kind(1.5)
'> string integer integer other
Select Case "B"
    Case "a", "b"
        Print "lower"
    Case "A", "B"
        Print "upper"
End Select
'> upper
Sub Early(n)
    If n > 0 Then Exit Sub
    Print "zero"
End Sub
Call Early(1)
Early 0
'> zero
Function Recurse(n)
    If n = 0 Then
        Recurse = 0
        Exit Function
    End If
    Recurse = n + Recurse(n - 1)
End Function
Print Recurse(100)
'> 5050
Class Pair
    Public First, Second
End Class
Dim p
Set p = New Pair
With p
    .First = Greeting
    .Second = Len(.First)
    s = .First & .Second
End With
Print s
'> hi2
If p Is Nothing Then Print "none" Else Print "some"
'> some
Dim e
For Each e In Array("a", "b", "c")
    s = s & e
Next
Print s
'> hi2abc
' A long Select Case over string literals finds the first Case that lists the text, in
' any position, and Case Else when none does; a selector that is not a string is compared
' Case by Case as before.
Function Family(v)
    Select Case v
        Case "alpha", "beta" : Family = "greek"
        Case "one", "two", "three" : Family = "number"
        Case "red", "green", "alpha" : Family = "colour"
        Case "", "x" : Family = "short"
        Case "last" : Family = "last"
        Case Else : Family = "other"
    End Select
End Function
Print Family("alpha") & " " & Family("three") & " " & Family("green") & " " & Family("last") & " " & Family("ALPHA") & " " & Family("zeta")
'> greek number colour last other other
Print Family("") & " " & Family(vbNullString) & " " & Family(Empty) & " " & Family(Null) & " " & Family(1)
'> short short short other other
undeclared = 1
'> error 800A01F4 Variable is undefined: 'undeclared' at 0:131:0
