' String functions.
Dim s
s = "Hello, World"
Print Len(s) & " " & Left(s, 5) & "|" & Right(s, 5) & "|" & Mid(s, 8) & "|" & Mid(s, 8, 3)
'> 12 Hello|World|World|Wor
Print InStr(s, "o") & " " & InStr(6, s, "o") & " " & InStr(1, s, "WORLD", vbTextCompare) & " " & InStr(s, "z") & " " & InStrRev(s, "o")
'> 5 9 8 0 9
Print UCase(s) & " " & LCase(s) & " [" & Trim("  a b  ") & "][" & LTrim("  a") & "][" & RTrim("a  ") & "]"
'> HELLO, WORLD hello, world [a b][a][a]
Print Replace(s, "o", "0") & " " & Replace("aAa", "a", "x", 1, -1, vbTextCompare) & " " & Replace("abcabc", "b", "", 3)
'> Hell0, W0rld xxx cac
Print StrReverse("abc") & " " & String(3, "z") & " " & Space(2) & "|" & StrComp("a", "B") & StrComp("a", "B", 1) & StrComp("b", "b")
'> cba zzz   |1-10
Dim parts
parts = Split("a,b,,c", ",")
Print UBound(parts) & " " & Join(parts, "-") & " " & UBound(Split("")) & " " & Join(Split("a b c"), "+")
'> 3 a-b--c -1 a+b+c
parts = Split("aXbxc", "x", -1, vbTextCompare)
Print UBound(parts) & parts(1)
'> 2b
Print Join(Split("a,b,c", ",", 2), "|") & " " & UBound(Split("a,b", ",", 0)) & " " & Join(Split("a::b::", "::"), "|")
'> a|b,c -1 a|b|
Print Filter(Array("apple", "banana", "cherry"), "an")(0) & " " & UBound(Filter(Array("a", "b"), "a", False))
'> banana 0
Print LCase(Left("ABC", 0)) & "|" & Mid("abc", 5) & "|" & Len(Null & "") & " " & IsNull(Left(Null, 1))
'> ||0 True
On Error Resume Next
Print Left("abc", -1)
Print Err.Number & " " & Err.Description
'> 5 Invalid procedure call or argument
Err.Clear
On Error GoTo 0
Dim t, u, i
t = "ab"
u = t
For i = 1 To 3
    t = t & i & "-"
Next
t = t & Null
Print t & " " & u & " " & Len(t)
'> ab1-2-3- ab 8
u = Null
u = u & Null
Print IsNull(u)
'> True
