' Procedures, ByRef and ByVal, arrays, loops and On Error.
Sub Bump(ByRef x, ByVal y)
    x = x + 1
    y = y + 1
End Sub
Function Twice(n)
    Twice = n * 2
End Function
Dim p, q, arr(2)
p = 1 : q = 1
Bump p, q
Response.Write p & " " & q
'> 2 1
arr(1) = 5
Bump arr(1), q
Response.Write arr(1)
'> 6
Response.Write Twice(21)
'> 42
Dim i, s
For i = 1 To 10 Step 3
    s = s & i
Next
Response.Write s
'> 14710
For Each i In arr
    s = s & "[" & i & "]"
Next
Response.Write s
'> 14710[][6][]
Do While i < 5
    i = i + 1
    If i = 3 Then Exit Do
Loop
Response.Write i
'> 3
Select Case i
    Case 1, 2
        Response.Write "low"
    Case 3
        Response.Write "three"
    Case Else
        Response.Write "other"
End Select
'> three
On Error Resume Next
Response.Write arr(7)
Response.Write Err.Number & " " & Err.Description
'> 9 Subscript out of range
Err.Raise 1000, "Mine", "Custom"
Response.Write Err.Number & " " & Err.Source & " " & Err.Description
'> 1000 Mine Custom
On Error GoTo 0
Response.Write Err.Number
'> 0
Function Recurse(n)
    Recurse = Recurse(n + 1)
End Function
Recurse 1
'> error 800A001C Out of stack space at 0:56:4
