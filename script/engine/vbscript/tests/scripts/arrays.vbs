' Arrays: fixed and dynamic, ReDim Preserve, Erase, bounds and locking.
Dim a(3), d()
a(0) = "x" : a(3) = "y"
Print UBound(a) & " " & a(0) & a(3)
'> 3 xy
On Error Resume Next
ReDim a(5)
Print Err.Number & " " & Err.Description
'> 10 This array is fixed or temporarily locked
Err.Clear
On Error GoTo 0
Erase a
Print UBound(a) & " [" & a(0) & "]" & IsEmpty(a(3))
'> 3 []True
ReDim d(2)
d(2) = 7
ReDim Preserve d(4)
Print UBound(d) & " " & d(2)
'> 4 7
Erase d
' An erased dynamic array is still an array, but has no elements.
On Error Resume Next
Print UBound(d)
Print Err.Number & " " & Err.Description & " " & IsArray(d) & " " & TypeName(d)
'> 9 Subscript out of range True Variant()
Err.Clear
Print LBound(d) : Print Err.Number : Err.Clear
'> 9
d(0) = 1 : Print Err.Number : Err.Clear
'> 9
Print d(0) : Print Err.Number : Err.Clear
'> 9
On Error GoTo 0
ReDim Preserve d(1)
Print UBound(d)
'> 1
Erase d
ReDim d(1)
Print UBound(d) & IsEmpty(d(1))
'> 1True
Dim c
c = a
ReDim c(1)
Print UBound(c)
'> 1
Sub Local3()
    Dim m(2), k
    For k = 1 To 2
        Dim n(1)
        n(0) = n(0) & k
    Next
    Print n(0)
    m(1) = 4
    On Error Resume Next
    ReDim m(4)
    Print Err.Number & " " & m(1)
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
Print Err.Number
'> 10
Err.Clear
Dim g
g = Array(1, 2, 3)
Sub Touch(ByRef v)
    Erase g
End Sub
Touch g(1)
Print Err.Number & " " & UBound(g)
'> 10 2
Dim m2(1, 2)
m2(1, 2) = "corner"
Print UBound(m2, 2) & " " & m2(1, 2)
'> 2 corner
