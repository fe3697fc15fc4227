' ByRef and ByVal through variables, arrays, properties and Call; Property Set; Public
' and Private at script level; constants.
Public pa : Private pb
pa = 1 : pb = 2
Print pa + pb
'> 3
Class Holder
    Private m_o
    Public Property Set Obj(v)
        Set m_o = v
    End Property
    Public Property Get Obj()
        Set Obj = m_o
    End Property
End Class
Dim h
Set h = New Holder
Set h.Obj = New RegExp
h.Obj.Pattern = "a+"
Print TypeName(h.Obj) & " " & h.Obj.Pattern
'> IRegExp2 a+
Call Print("called")
'> called
Dim arr(2)
arr(0) = 1
Sub SetFirst(a)
    a(0) = 99
End Sub
Sub SetFirstByVal(ByVal a)
    a(0) = 5
End Sub
SetFirst arr
Print arr(0)
'> 99
SetFirstByVal arr
Print arr(0)
'> 99
Dim x
x = 5
Sub Inc(ByRef v)
    v = v + 1
End Sub
Inc x
Print x
'> 6
Inc (x)
Print x
'> 6
Call Inc(x)
Print x
'> 7
Function Swap(ByRef a, ByRef b)
    Dim t
    t = a : a = b : b = t
End Function
Dim s1, s2
s1 = "one" : s2 = "two"
Swap s1, s2
Print s1 & " " & s2
'> two one
Const K = 5
On Error Resume Next
K = 6
Print Err.Number & " " & K
'> 501 5
Err.Clear
Dim q
Set q = 5
Print Err.Number
'> 424
Err.Clear
Inc 1, 2
Print Err.Number
'> 450
' A built-in reads its arguments as they were when it was called, even when an object's
' default property, read inside the built-in, changes a variable passed beside it.
Class CSideEffect
    Public Default Property Get Value()
        sSide = "changed"
        Value = "an"
    End Property
End Class
Dim sSide, oSide
sSide = "banana"
Set oSide = New CSideEffect
Print InStr(sSide, oSide) & " " & sSide
'> 2 changed
' A string literal passed last to a built-in function is read where it stands: the second
' time through (the function's name known by then), beside an object argument and kept in
' what the function returns, it gives the same answers and stays as written.
Dim iLit, sLit, aLit
For iLit = 1 To 2
    sLit = sLit & InStr("a.b.c", ".") & Replace("x-y", "-", "+") & TypeName("s") & " "
    aLit = Array(iLit, "two")
    aLit(1) = aLit(1) & "!"
Next
Print sLit & aLit(1) & " " & InStr(oSide, "n") & " " & Array("lit")(0)
'> 2x+yString 2x+yString two! 2 lit
