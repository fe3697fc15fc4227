<%@ Language=VBScript %>
<!-- #include file="settings.asa" -->
<!-- #include file="pages.asa" -->
<!-- #include file="texts.asa" -->
<%
' The page a browser is sent to in place of a blocked site: what was blocked and why,
' and a way to ask a parent for access.
HandleBlockPost
Dim strHost, strURL, strReason, strDetail
strHost = BlockField("host")
strURL = BlockField("url")
strReason = BlockField("reason")
strDetail = BlockField("detail")
%><!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Blocked: <%= H(strHost) %></title>
<link rel="stylesheet" href="style.css">
</head>
<body class="blocked">
<header><strong>Corvane</strong><a href="activity.asp">Activity</a><a href="settings.asp">Settings</a><a href="about.asp">About</a></header>
<main>
<h1>This site is not available</h1>
<% If g_strNotice <> "" Then %><p class="notice"><%= H(Msg(g_strNotice)) %></p><% End If %>
<section>
<p>Corvane stopped the page at <span class="host"><%= H(strHost) %></span>.</p>
<p><strong>Why:</strong>
<% Select Case strReason
   Case "host" %>the site is on the family's list of blocked sites (<span class="host"><%= H(strDetail) %></span>).
<% Case "category" %>the site is in a blocked category (number <%= H(strDetail) %>).
<% Case "allowlist" %>only sites on the family's allowed list can be visited, and this one is not on it.
<% Case "hours" %>browsing is not allowed at this time<% If strDetail <> "" And strDetail <> "-" Then %> (allowed today: <%= H(strDetail) %>)<% End If %>.
<% Case Else %>the family's settings do not allow it.
<% End Select %></p>
<% If strURL <> "" Then %><p class="hint">Address: <%= H(strURL) %></p><% End If %>
</section>
<% If g_strNotice <> "RequestSent" And strHost <> "" Then %>
<form class="box" method="post" action="block.asp">
<h2>Ask for access</h2>
<p>A parent sees your request on the activity page and can allow the site.</p>
<input type="hidden" name="action" value="request">
<input type="hidden" name="host" value="<%= H(strHost) %>">
<input type="hidden" name="url" value="<%= H(strURL) %>">
<input type="hidden" name="reason" value="<%= H(strReason) %>">
<input type="hidden" name="detail" value="<%= H(strDetail) %>">
<label for="note">Why do you need it? (optional)</label>
<input type="text" id="note" name="note" maxlength="500">
<button type="submit">Request access</button>
</form>
<% End If %>
</main>
</body>
</html>
