<%@ Language=VBScript %>
<!-- #include file="settings.asa" -->
<!-- #include file="pages.asa" -->
<!-- #include file="texts.asa" -->
<%
' Recent activity since the service started: access requests from the block page, and
' each user's most recent blocked requests.
HandleActivityPost
Dim arrRequests, strRecord, arrField, strName, arrBlocked
arrRequests = RecordsOf("Corvane.Requests")
%><!DOCTYPE html>
<html lang="de">
<head>
<meta charset="utf-8">
<title>Corvane-Aktivität</title>
<link rel="stylesheet" href="style.css">
</head>
<body>
<header><strong>Corvane</strong><a class="here" href="activity.asp">Aktivität</a><a href="settings.asp">Einstellungen</a><a href="about.asp">Über Corvane</a></header>
<main>
<h1>Aktivität</h1>
<% If g_strNotice <> "" Then %><p class="notice"><%= H(Msg(g_strNotice)) %></p><% End If %>
<% If g_strError <> "" Then %><p class="error"><%= H(Msg(g_strError)) %></p><% End If %>
<section>
<h2>Zugangsanfragen</h2>
<% If UBound(arrRequests) < 0 Then %><p>Keine Anfragen.</p>
<% Else %><table>
<tr><th>Wann</th><th>Wer</th><th>Site</th><th>Notiz</th></tr>
<% For Each strRecord In arrRequests
     arrField = Fields(strRecord) %><tr><td><%= H(arrField(0)) %></td><td><%= H(arrField(1)) %></td><td><span class="host"><%= H(arrField(2)) %></span><br><span class="hint"><%= H(arrField(3)) %></span></td><td><%= H(arrField(4)) %></td></tr>
<% Next %></table>
<form method="post" action="activity.asp">
<input type="hidden" name="action" value="clear">
<label for="password">Eltern-Passwort</label>
<input type="password" id="password" name="password" autocomplete="current-password">
<button type="submit">Anfragen löschen</button>
</form>
<% End If %>
</section>
<% For Each strName In SeenUsers()
     arrBlocked = RecordsOf("Corvane.Blocked." & strName) %>
<section>
<h2>Gesperrt für <%= H(strName) %></h2>
<% If UBound(arrBlocked) < 0 Then %><p>Nichts gesperrt.</p>
<% Else %><table>
<tr><th>Wann</th><th>Site</th><th>Warum</th></tr>
<% For Each strRecord In arrBlocked
     arrField = Fields(strRecord) %><tr><td><%= H(arrField(0)) %></td><td><span class="host"><%= H(arrField(1)) %></span><br><span class="hint"><%= H(arrField(4)) %></span></td><td><%= H(ReasonName(arrField(2))) %><% If arrField(3) <> "" Then %> (<%= H(arrField(3)) %>)<% End If %></td></tr>
<% Next %></table>
<% End If %>
</section>
<% Next %>
<p class="hint">Seit dem letzten Start von Corvane: die letzten 100 je Benutzer.</p>
</main>
</body>
</html>
