' Expressions, variables and operators.
Dim a, b
a = 1 + 2 * 3
Response.Write a
'> 7
b = "x" & a & Null
Response.Write b
'> x7
Response.Write 7 \ 2
'> 3
Response.Write 2 ^ 10
'> 1024
Response.Write "abc" < "abd"
'> True
Response.Write "B" = "b"
'> False
Response.Write Null = 1
'> Null
Response.Write Not True
'> False
Response.Write -a
'> -7
Response.Write 1 / 0
'> error 800A000B Division by zero at 0:22:0
