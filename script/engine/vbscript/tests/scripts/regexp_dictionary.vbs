' RegExp and Scripting.Dictionary.
Dim re, m, ms, s
Set re = New RegExp
re.Pattern = "(\w+)@(\w+)\.com"
re.Global = True
Set ms = re.Execute("ann@x.com, bob@y.com")
Print ms.Count & " " & ms(0).Value & " " & ms(1).SubMatches(0) & " " & ms(1).FirstIndex & " " & ms(0).Length
'> 2 ann@x.com bob 11 9
For Each m In ms
    s = s & m.SubMatches(1)
Next
Print s
'> xy
Print re.Test("none") & " " & re.Replace("ann@x.com", "$2:$1")
'> False x:ann
re.Pattern = "^a.c$"
re.IgnoreCase = True
Print re.Test("AbC") & " " & re.Test("abbc")
'> True False
re.Pattern = "o"
re.Global = False
Print re.Replace("foo", "0")
'> f0o
Dim d, k
Set d = CreateObject("Scripting.Dictionary")
d.Add "b", 2
d.Add "a", 1
d("c") = 3
Print d.Count & " " & d("b") & " " & d.Exists("a") & " " & d.Exists("z")
'> 3 2 True False
For Each k In d
    s = s & k
Next
Print s & " " & Join(d.Keys, ",") & " " & Join(d.Items, ",")
'> xybac b,a,c 2,1,3
d.Remove "a"
d.Key("b") = "bb"
Print Join(d.Keys, ",") & " " & d.Count
'> bb,c 2
On Error Resume Next
d.CompareMode = vbTextCompare
Print Err.Number
'> 5
Err.Clear
d.Add "c", 4
Print Err.Number & " " & Err.Description
'> 457 This key is already associated with an element of this collection
Err.Clear
d.Remove "zz"
Print Err.Number
'> 32811
Err.Clear
d.RemoveAll
Print d.Count
'> 0
