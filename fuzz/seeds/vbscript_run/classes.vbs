' Classes: members, properties, default members and lifetimes.
Class Counter
    Private m_count
    Public Name
    Private Sub Class_Initialize()
        m_count = 10
    End Sub
    Private Sub Class_Terminate()
        Response.Write "bye " & Name
    End Sub
    Public Default Property Get Count()
        Count = m_count
    End Property
    Public Property Let Count(v)
        m_count = v
    End Property
    Public Function Add(n)
        m_count = m_count + n
        Set Add = Me
    End Function
End Class
Dim c, d
Set c = New Counter
c.Name = "c"
c.Count = 5
c.Add(2).Add 3
Response.Write c.Count
'> 10
Response.Write c + 0
'> 10
Set d = c
Response.Write d Is c
'> True
Set c = Nothing
Response.Write "still here"
'> still here
Set d = Nothing
'> bye c
Response.Write Host.Value
'> 0
Host.Value = 42
Response.Write Value
'> 42
d.Count = 1
'> error 800A01A8 Object required at 0:43:0
