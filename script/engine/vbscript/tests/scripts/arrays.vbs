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
' Dim with empty parentheses declares a dynamic array without elements: an array to
' IsArray, "Subscript out of range" to UBound and LBound, sized by a later ReDim.
Dim dyn(), dyn2()
Private dyn3()
Print IsArray(dyn) & " " & TypeName(dyn) & " " & VarType(dyn) & " " & IsArray(dyn3)
'> True Variant() 8204 True
On Error Resume Next
Print UBound(dyn)
Print Err.Number & " " & Err.Description
'> 9 Subscript out of range
Err.Clear
Print LBound(dyn) : Print Err.Number : Err.Clear
'> 9
dyn(0) = 1 : Print Err.Number : Err.Clear
'> 9
On Error GoTo 0
ReDim dyn(3)
dyn(3) = "last"
Print UBound(dyn) & " " & dyn(3)
'> 3 last
ReDim Preserve dyn2(1)
dyn2(1) = "kept"
ReDim Preserve dyn2(2)
Print UBound(dyn2) & " " & dyn2(1)
'> 2 kept
' For Each over an array without elements runs its body no times.
Dim item, rounds
rounds = 0
For Each item In dyn3
    rounds = rounds + 1
Next
Erase dyn
For Each item In dyn
    rounds = rounds + 1
Next
Print "rounds " & rounds
'> rounds 0
For Each item In dyn2
    rounds = rounds + 1
Next
Print "rounds " & rounds
'> rounds 3
' The same in a procedure (the Dim reached again in a loop keeps the array) and in a class.
Sub LocalDynamic()
    Dim i, v, n
    For i = 1 To 2
        Dim loc()
        If i = 1 Then
            Print IsArray(loc)
            For Each v In loc
                n = n + 1
            Next
            ReDim loc(1)
            loc(1) = "once"
        End If
    Next
    Print UBound(loc) & " " & loc(1) & " " & IsEmpty(n)
    Erase loc
    For Each v In loc
        n = n + 1
    Next
    On Error Resume Next
    Print UBound(loc)
    Print Err.Number & " " & IsEmpty(n)
End Sub
LocalDynamic
'> True
'> 1 once True
'> 9 True
Class Stack
    Private m_items()
    Public Count
    Sub Push(v)
        ReDim Preserve m_items(Count)
        m_items(Count) = v
        Count = Count + 1
    End Sub
    Function Items()
        Items = IsArray(m_items)
        Dim v
        For Each v In m_items
            Items = Items & " " & v
        Next
    End Function
End Class
Dim st
Set st = New Stack
st.Count = 0
Print st.Items()
'> True
st.Push "a" : st.Push "b"
Print st.Items()
'> True a b
' An array taken from a function's result, and one copied from another variable: the copy
' is its own.
Dim words, copied
words = Split("a,b,c", ",")
copied = words
copied(0) = "z"
Print words(0) & copied(0) & UBound(words) & Join(words, "")
'> az2abc
' A built-in reads an array variable where it is; script code that an element's default
' value runs meanwhile cannot resize it.
Class Shrinker
    Public Default Function Text()
        On Error Resume Next
        ReDim Preserve shrunk(0)
        Text = "n" & Err.Number
    End Function
End Class
Dim shrunk
shrunk = Array("a", Nothing, "c")
Set shrunk(1) = New Shrinker
Print Join(shrunk, "-") & " " & UBound(shrunk)
'> a-n10-c 2
