' Expressions, variables and operators.
Dim a, b
a = 1 + 2 * 3
Print a
'> 7
b = "x" & a & Null
Print b
'> x7
Print 7 \ 2
'> 3
Print 2 ^ 10
'> 1024
Print "abc" < "abd"
'> True
Print "B" = "b"
'> False
Print Null = 1
'> Null
Print Not True
'> False
Print -a
'> -7
Print 1 / 0
'> error 800A000B Division by zero at 0:22:0
