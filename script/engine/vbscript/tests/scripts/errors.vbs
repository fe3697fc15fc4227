' Err and On Error: numbers, sources, Raise, Clear, scopes and positions.
On Error Resume Next
Err.Raise 6
Print Err.Number & " " & Err.Description & " " & Err.Source
'> 6 Overflow VBScript runtime error
Err.Clear
Print Err.Number & "[" & Err.Description & "]"
'> 0[]
Err.Raise vbObjectError + 1, "MyApp", "Custom failure"
Print Hex(Err.Number) & " " & Err.Source & " " & Err.Description
'> 80040001 MyApp Custom failure
Sub Inner()
    Dim x
    x = 1 / 0
    Print "not reached"
End Sub
Sub Outer()
    On Error Resume Next
    Inner
    Print "outer saw " & Err.Number
End Sub
Err.Clear
Outer
'> outer saw 11
Sub Resets()
    On Error Resume Next
    Err.Raise 5
    On Error GoTo 0
    Print "after goto0 " & Err.Number
End Sub
Resets
'> after goto0 0
Sub ResumeClears()
    On Error Resume Next
    Err.Raise 13
    On Error Resume Next
    Print "after resume next " & Err.Number
End Sub
ResumeClears
'> after resume next 0
Sub Caller()
    On Error Resume Next
    Err.Raise 13
    Callee
    Print "caller sees " & Err.Number
End Sub
Sub Callee()
    On Error Resume Next
    Print "callee starts with " & Err.Number
End Sub
Caller
'> callee starts with 0
'> caller sees 0
Function Safe(n)
    On Error Resume Next
    Safe = 10 / n
    If Err.Number <> 0 Then Safe = -1
End Function
Print Safe(2) & " " & Safe(0)
'> 5 -1
Err.Clear
Host.Fail &H80070005
Print Hex(Err.Number) & " " & Err.Description
'> 46 Permission denied
Err.Clear
Host.Fail &H80004005
Print Hex(Err.Number)
'> 80004005
Err.Clear
Dim o
o.Method
Print Err.Number & " " & Err.Description
'> 424 Object required
Err.Clear
Set o = New RegExp
o.NoSuchMember
Print Err.Number
'> 438
On Error GoTo 0
Sub Deep()
    Err.Raise 1000, "Src", "Deep failure"
End Sub
Print "before"
'> before
Deep
Print "never"
'> error 800A03E8 Deep failure at 0:80:4
