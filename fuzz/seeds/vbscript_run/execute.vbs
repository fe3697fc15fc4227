' Eval, Execute, ExecuteGlobal and GetRef: scopes, results and errors.
Dim X
X = "Global"
Sub Proc1
    Dim X, n
    X = "Local"
    Response.Write Eval("X")
    Execute "X = X & ""!"" : n = 2 * 21"
    Response.Write X & " " & n
    Execute "Sub Proc2 : Print X : End Sub"
    Proc2
    ExecuteGlobal "Dim Made : Made = X"
End Sub
Proc1
'> Local
'> Local! 42
'> Global
Response.Write Made
'> Global
Response.Write Eval("1 + 2 * 3") & " " & Eval("X = ""Global""")
'> 7 True
Execute "X = 5"
Response.Write X
'> 5
ExecuteGlobal "Class Pt : Public A : Function Twice() : Twice = A * 2 : End Function : End Class"
Dim p
Set p = New Pt
p.A = 21
Response.Write p.Twice()
'> 42
Class Box
    Private m_v
    Public Sub SetIt(v)
        Execute "m_v = v"
    End Sub
    Public Function Get_()
        Get_ = Eval("m_v + 1")
    End Function
End Class
Dim b
Set b = New Box
b.SetIt 9
Response.Write b.Get_()
'> 10
Function Add(a, c)
    Add = a + c
End Function
Dim f
Set f = GetRef("Add")
Response.Write f(2, 3)
'> 5
Response.Write TypeName(f)
'> Object
Dim i, total
For i = 1 To 100
    total = total + Eval("i")
Next
Response.Write total
'> 5050
On Error Resume Next
Execute "X = "
Response.Write Err.Number & " " & Err.Description
'> 1023 Expected expression
Err.Clear
Eval "1 / 0"
Response.Write Err.Number & " " & Err.Description
'> 11 Division by zero
Err.Clear
Set f = GetRef("NoSuch")
Response.Write Err.Number
'> 5
On Error GoTo 0
Execute "Print 1" & vbCrLf & "Print 2 / 0"
'> 1
'> error 800A000B Division by zero at 0:72:0
