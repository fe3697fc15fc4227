Dim i, s
For i = 1 To 10
    Response.Write "<li>" & i & "</li>"
Next
Execute "s = 1 + 2"
Response.Write Eval("s * 2")
Do : Loop
