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
<html lang="de">
<head>
<meta charset="utf-8">
<title>Gesperrt: <%= H(strHost) %></title>
<link rel="stylesheet" href="style.css">
</head>
<body class="blocked">
<header><strong>Corvane</strong><a href="activity.asp">Aktivität</a><a href="settings.asp">Einstellungen</a><a href="about.asp">Über Corvane</a></header>
<main>
<h1>Diese Site ist nicht erreichbar</h1>
<% If g_strNotice <> "" Then %><p class="notice"><%= H(Msg(g_strNotice)) %></p><% End If %>
<section>
<p>Corvane hat die Seite von <span class="host"><%= H(strHost) %></span> angehalten.</p>
<p><strong>Warum:</strong>
<% Select Case strReason
   Case "host" %>Die Site steht auf der Liste gesperrter Sites der Familie (<span class="host"><%= H(strDetail) %></span>).
<% Case "category" %>Die Site gehört zu einer gesperrten Kategorie (Nummer <%= H(strDetail) %>).
<% Case "allowlist" %>Nur Sites aus der Liste erlaubter Sites sind erreichbar, und diese gehört nicht dazu.
<% Case "hours" %>Surfen ist zu dieser Zeit nicht erlaubt<% If strDetail <> "" And strDetail <> "-" Then %> (heute erlaubt: <%= H(strDetail) %>)<% End If %>.
<% Case Else %>Die Einstellungen der Familie erlauben es nicht.
<% End Select %></p>
<% If strURL <> "" Then %><p class="hint">Adresse: <%= H(strURL) %></p><% End If %>
</section>
<% If g_strNotice <> "RequestSent" And strHost <> "" Then %>
<form class="box" method="post" action="block.asp">
<h2>Um Zugang bitten</h2>
<p>Ein Elternteil sieht deine Anfrage auf der Seite Aktivität und kann die Site erlauben.</p>
<input type="hidden" name="action" value="request">
<input type="hidden" name="host" value="<%= H(strHost) %>">
<input type="hidden" name="url" value="<%= H(strURL) %>">
<input type="hidden" name="reason" value="<%= H(strReason) %>">
<input type="hidden" name="detail" value="<%= H(strDetail) %>">
<label for="note">Wofür brauchst du sie? (freiwillig)</label>
<input type="text" id="note" name="note" maxlength="500">
<button type="submit">Zugang anfragen</button>
</form>
<% End If %>
</main>
</body>
</html>
