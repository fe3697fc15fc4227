' Classes: Terminate order, properties with arguments, ByRef through properties and
' arrays, default members, Me and private members.
Class Tracer
    Public Name
    Private Sub Class_Initialize()
        Response.Write "init"
    End Sub
    Private Sub Class_Terminate()
        Response.Write "term " & Name
    End Sub
End Class
Sub Scope()
    Dim t
    Set t = New Tracer
    t.Name = "local"
    Response.Write "leaving"
End Sub
Scope
'> init
'> leaving
'> term local
Dim a, b
Set a = New Tracer : a.Name = "a"
Set b = New Tracer : b.Name = "b"
Set a = b
Response.Write "swapped"
'> init
'> init
'> term a
'> swapped
Set b = Nothing
Response.Write "b gone"
'> b gone
Set a = Nothing
'> term b
Class Grid
    Private m_cells(2, 2)
    Public Property Get Cell(r, c)
        Cell = m_cells(r, c)
    End Property
    Public Property Let Cell(r, c, v)
        m_cells(r, c) = v
    End Property
    Public Items
    Private Sub Class_Initialize()
        Items = Array(1, 2, 3)
    End Sub
    Public Function Self()
        Set Self = Me
    End Function
    Private Function Hidden()
        Hidden = 1
    End Function
End Class
Dim g
Set g = New Grid
g.Cell(1, 2) = "x"
Response.Write g.Cell(1, 2) & "|" & g.Cell(0, 0) & "|"
'> x||
Sub AddOne(ByRef v)
    v = v + 1
End Sub
Dim arr
arr = Array(1, 2, 3)
AddOne arr(0)
Response.Write arr(0)
'> 2
AddOne g.Items(1)
Response.Write g.Items(1)
'> 2
AddOne (arr(1))
Response.Write arr(1)
'> 2
Response.Write g.Self().Self().Cell(1, 2)
'> x
On Error Resume Next
g.Hidden
Response.Write Err.Number
'> 438
Err.Clear
Dim n
n = New Grid
Response.Write Err.Number
'> 438
