' Arrays: fixed and dynamic, ReDim Preserve, Erase, bounds and locking.
Dim a(3), d()
a(0) = "x" : a(3) = "y"
Response.Write UBound(a) & " " & a(0) & a(3)
'> 3 xy
On Error Resume Next
ReDim a(5)
Response.Write Err.Number & " " & Err.Description
'> 10 This array is fixed or temporarily locked
Err.Clear
On Error GoTo 0
Erase a
Response.Write UBound(a) & " [" & a(0) & "]" & IsEmpty(a(3))
'> 3 []True
ReDim d(2)
d(2) = 7
ReDim Preserve d(4)
Response.Write UBound(d) & " " & d(2)
'> 4 7
Erase d
ReDim d(1)
Response.Write UBound(d) & IsEmpty(d(1))
'> 1True
Dim c
c = a
ReDim c(1)
Response.Write UBound(c)
'> 1
Sub Local3()
    Dim m(2), k
    For k = 1 To 2
        Dim n(1)
        n(0) = n(0) & k
    Next
    Response.Write n(0)
    m(1) = 4
    On Error Resume Next
    ReDim m(4)
    Response.Write Err.Number & " " & m(1)
End Sub
Local3
'> 12
'> 10 4
Sub Grow(ByRef arr)
    ReDim Preserve arr(5)
End Sub
Dim e(1)
On Error Resume Next
Grow e
Response.Write Err.Number
'> 10
Err.Clear
Dim g
g = Array(1, 2, 3)
Sub Touch(ByRef v)
    Erase g
End Sub
Touch g(1)
Response.Write Err.Number & " " & UBound(g)
'> 10 2
Dim m2(1, 2)
m2(1, 2) = "corner"
Response.Write UBound(m2, 2) & " " & m2(1, 2)
'> 2 corner
