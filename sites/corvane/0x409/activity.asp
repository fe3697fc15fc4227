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
<html lang="en">
<head>
<meta charset="utf-8">
<title>Corvane activity</title>
<link rel="stylesheet" href="style.css">
</head>
<body>
<header><strong>Corvane</strong><a class="here" href="activity.asp">Activity</a><a href="settings.asp">Settings</a><a href="about.asp">About</a></header>
<main>
<h1>Activity</h1>
<% If g_strNotice <> "" Then %><p class="notice"><%= H(Msg(g_strNotice)) %></p><% End If %>
<% If g_strError <> "" Then %><p class="error"><%= H(Msg(g_strError)) %></p><% End If %>
<section>
<h2>Access requests</h2>
<% If UBound(arrRequests) < 0 Then %><p>No requests.</p>
<% Else %><table>
<tr><th>When</th><th>Who</th><th>Site</th><th>Note</th></tr>
<% For Each strRecord In arrRequests
     arrField = Fields(strRecord) %><tr><td><%= H(arrField(0)) %></td><td><%= H(arrField(1)) %></td><td><span class="host"><%= H(arrField(2)) %></span><br><span class="hint"><%= H(arrField(3)) %></span></td><td><%= H(arrField(4)) %></td></tr>
<% Next %></table>
<form method="post" action="activity.asp">
<input type="hidden" name="action" value="clear">
<label for="password">Parent password</label>
<input type="password" id="password" name="password" autocomplete="current-password">
<button type="submit">Clear the requests</button>
</form>
<% End If %>
</section>
<% For Each strName In SeenUsers()
     arrBlocked = RecordsOf("Corvane.Blocked." & strName) %>
<section>
<h2>Blocked for <%= H(strName) %></h2>
<% If UBound(arrBlocked) < 0 Then %><p>Nothing blocked.</p>
<% Else %><table>
<tr><th>When</th><th>Site</th><th>Why</th></tr>
<% For Each strRecord In arrBlocked
     arrField = Fields(strRecord) %><tr><td><%= H(arrField(0)) %></td><td><span class="host"><%= H(arrField(1)) %></span><br><span class="hint"><%= H(arrField(4)) %></span></td><td><%= H(ReasonName(arrField(2))) %><% If arrField(3) <> "" Then %> (<%= H(arrField(3)) %>)<% End If %></td></tr>
<% Next %></table>
<% End If %>
</section>
<% Next %>
<p class="hint">Kept since Corvane last started: the last 100 for each user.</p>
</main>
</body>
</html>
