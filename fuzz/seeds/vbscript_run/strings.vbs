' String functions.
Dim s
s = "Hello, World"
Response.Write Len(s) & " " & Left(s, 5) & "|" & Right(s, 5) & "|" & Mid(s, 8) & "|" & Mid(s, 8, 3)
'> 12 Hello|World|World|Wor
Response.Write InStr(s, "o") & " " & InStr(6, s, "o") & " " & InStr(1, s, "WORLD", vbTextCompare) & " " & InStr(s, "z") & " " & InStrRev(s, "o")
'> 5 9 8 0 9
Response.Write UCase(s) & " " & LCase(s) & " [" & Trim("  a b  ") & "][" & LTrim("  a") & "][" & RTrim("a  ") & "]"
'> HELLO, WORLD hello, world [a b][a][a]
Response.Write Replace(s, "o", "0") & " " & Replace("aAa", "a", "x", 1, -1, vbTextCompare) & " " & Replace("abcabc", "b", "", 3)
'> Hell0, W0rld xxx cac
Response.Write StrReverse("abc") & " " & String(3, "z") & " " & Space(2) & "|" & StrComp("a", "B") & StrComp("a", "B", 1) & StrComp("b", "b")
'> cba zzz   |1-10
Dim parts
parts = Split("a,b,,c", ",")
Response.Write UBound(parts) & " " & Join(parts, "-") & " " & UBound(Split("")) & " " & Join(Split("a b c"), "+")
'> 3 a-b--c -1 a+b+c
parts = Split("aXbxc", "x", -1, vbTextCompare)
Response.Write UBound(parts) & parts(1)
'> 2b
Response.Write Filter(Array("apple", "banana", "cherry"), "an")(0) & " " & UBound(Filter(Array("a", "b"), "a", False))
'> banana 0
Response.Write LCase(Left("ABC", 0)) & "|" & Mid("abc", 5) & "|" & Len(Null & "") & " " & IsNull(Left(Null, 1))
'> ||0 True
On Error Resume Next
Response.Write Left("abc", -1)
Response.Write Err.Number & " " & Err.Description
'> 5 Invalid procedure call or argument
