Function F(n)
    F = F(n + 1)
End Function
x = F(1)
Set r = GetRef("F")
ExecuteGlobal "Sub Main : Main : End Sub"
Main
