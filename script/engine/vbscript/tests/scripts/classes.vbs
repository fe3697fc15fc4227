' Classes: members, properties, default members and lifetimes.
Class Counter
    Private m_count
    Public Name
    Private Sub Class_Initialize()
        m_count = 10
    End Sub
    Private Sub Class_Terminate()
        Print "bye " & Name
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
Print c.Count
'> 10
Print c + 0
'> 10
Set d = c
Print d Is c
'> True
Set c = Nothing
Print "still here"
'> still here
Set d = Nothing
'> bye c
Print Host.Value
'> 0
Host.Value = 42
Print Value
'> 42
' A named item's members, called again and again, and the same object through a
' variable and through a global that holds another object.
Dim hk, hv, hobj
For hk = 1 To 3
    Host.Value = Host.Value + hk
Next
Set hobj = Host
hobj.Value = hobj.Value * 2
Print Host.Value & " " & hobj.Value & " " & (hobj Is Host)
'> 96 96 True
Set hobj = New Counter
hobj.Count = 5
Print hobj.Count & " " & Host.Value
'> 5 96
d.Count = 1
'> error 800A01A8 Object required at 0:57:0
