' Statements: Const, Dim, If/ElseIf, Select Case, loops, With, Exit, Call.
Option Explicit
Const Limit = 3, Greeting = "hi"
Dim i, j, s, k
For i = Limit To 1 Step -1
    s = s & i
Next
Response.Write s & " " & i
'> 321 0
s = ""
For i = 1 To 2
    For j = 1 To 2
        If j = 2 Then Exit For
        s = s & i & j & ","
    Next
Next
Response.Write s
'> 11,21,
s = ""
For i = 0.5 To 2 Step 0.5
    s = s & i & ";"
Next
Response.Write s
'> 0.5;1;1.5;2;
For i = 1 To 0
    Response.Write "never"
Next
k = 0
Do
    k = k + 1
Loop Until k >= 4
Response.Write k
'> 4
Do Until k = 0
    k = k - 1
Loop
Response.Write k
'> 0
Do
    k = k + 1
    If k = 7 Then Exit Do
Loop While True
Response.Write k
'> 7
While k > 2
    k = k - 2
Wend
Response.Write k
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
Response.Write Grade(95) & Grade(85) & Grade(75) & Grade(5)
'> ABCF
Function Kind(v)
    Select Case VarType(v)
        Case vbString: Kind = "string"
        Case vbInteger, vbLong: Kind = "integer"
        Case Else: Kind = "other"
    End Select
End Function
Response.Write Kind("a") & " " & Kind(1) & " " & Kind(100000) & " " & Kind(1.5)
'> string integer integer other
Select Case "B"
    Case "a", "b"
        Response.Write "lower"
    Case "A", "B"
        Response.Write "upper"
End Select
'> upper
Sub Early(n)
    If n > 0 Then Exit Sub
    Response.Write "zero"
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
Response.Write Recurse(100)
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
Response.Write s
'> hi2
If p Is Nothing Then Print "none" Else Print "some"
'> some
Dim e
For Each e In Array("a", "b", "c")
    s = s & e
Next
Response.Write s
'> hi2abc
undeclared = 1
'> error 800A01F4 Variable is undefined: 'undeclared' at 0:114:0
