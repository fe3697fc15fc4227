<%@ Language=VBScript %>
<!-- #include file="settings.asa" -->
<!-- #include file="pages.asa" -->
<!-- #include file="texts.asa" -->
<%
' The parent's settings: a password first, then per user the mode, sites, categories
' and hours. Every change needs the password; the form posts back to this page.
HandleSettingsPost
Dim strProfile, strMode, strHours, nDay, strName
strProfile = SelectedProfile()
strMode = ModeOf(strProfile)
strHours = HoursOf(strProfile)
%><!DOCTYPE html>
<html lang="de">
<head>
<meta charset="utf-8">
<title>Corvane-Einstellungen</title>
<link rel="stylesheet" href="style.css">
</head>
<body>
<header><strong>Corvane</strong><a href="activity.asp">Aktivität</a><a class="here" href="settings.asp">Einstellungen</a><a href="about.asp">Über Corvane</a></header>
<main>
<h1>Einstellungen</h1>
<% If g_strNotice <> "" Then %><p class="notice"><%= H(Msg(g_strNotice)) %></p><% End If %>
<% If g_strError <> "" Then %><p class="error"><%= H(Msg(g_strError)) %></p><% End If %>
<% If Not PasswordIsSet() Then %>
<form class="box" method="post" action="settings.asp">
<h2>Eltern-Passwort wählen</h2>
<p>Corvane ist für alle offen, bis Sie Einstellungen wählen. Einstellungen lassen sich nur mit diesem Passwort ändern.</p>
<input type="hidden" name="action" value="setpassword">
<label for="newpassword">Passwort (mindestens 6 Zeichen)</label>
<input type="password" id="newpassword" name="newpassword" autocomplete="new-password">
<label for="confirm">Dasselbe Passwort noch einmal</label>
<input type="password" id="confirm" name="confirm" autocomplete="new-password">
<button type="submit">Passwort setzen</button>
</form>
<% Else %>
<section>
<h2>Wessen Einstellungen</h2>
<p><% For Each strName In KnownProfiles()
   If strName = strProfile Then %><strong><%= H(ProfileName(strName)) %></strong> <% Else %><a href="settings.asp?profile=<%= H(Q(strName)) %>"><%= H(ProfileName(strName)) %></a> <% End If
Next %></p>
<form method="get" action="settings.asp">
<label for="newprofile">Anderer Benutzer (Anmeldename)</label>
<input type="text" id="newprofile" name="profile">
<button type="submit">Anzeigen</button>
</form>
</section>
<form class="box" method="post" action="settings.asp">
<h2><%= H(ProfileName(strProfile)) %></h2>
<input type="hidden" name="action" value="save">
<input type="hidden" name="profile" value="<%= H(strProfile) %>">
<label>Betriebsart</label>
<input type="radio" id="mode-open" name="mode" value="open"<% If strMode = "open" Then %> checked<% End If %>><label class="inline" for="mode-open">Offen: nichts wird gesperrt</label><br>
<input type="radio" id="mode-filtered" name="mode" value="filtered"<% If strMode = "filtered" Then %> checked<% End If %>><label class="inline" for="mode-filtered">Gefiltert: gesperrte Sites und Kategorien werden angehalten</label><br>
<input type="radio" id="mode-allowlist" name="mode" value="allowlist"<% If strMode = "allowlist" Then %> checked<% End If %>><label class="inline" for="mode-allowlist">Nur erlaubte Sites</label>
<label for="blocked">Gesperrte Sites (eine pro Zeile; eine Site schließt ihre Subdomains ein)</label>
<textarea id="blocked" name="blocked"><%= H(HostLines(BlockedHostsOf(strProfile))) %></textarea>
<label for="allowed">Erlaubte Sites (immer erlaubt, und in der Betriebsart „Nur erlaubte Sites“ die einzigen)</label>
<textarea id="allowed" name="allowed"><%= H(HostLines(AllowedHostsOf(strProfile))) %></textarea>
<label for="categories">Gesperrte Kategorien (Nummern der Kategorielisten)</label>
<input type="text" id="categories" name="categories" value="<%= H(CategoriesOf(strProfile)) %>">
<label>Erlaubte Zeiten</label>
<p class="hint">Zum Beispiel 08:00-12:00, 14:00-20:00. Leer: den ganzen Tag. Ein Strich (-): gar nicht.</p>
<table class="days">
<% For nDay = 0 To 6 %><tr><td><label class="inline" for="hours<%= nDay %>"><%= DayName(nDay) %></label></td><td><input type="text" id="hours<%= nDay %>" name="hours<%= nDay %>" value="<%= H(HoursOfDay(strHours, nDay)) %>"></td></tr>
<% Next %></table>
<label for="password">Eltern-Passwort</label>
<input type="password" id="password" name="password" autocomplete="current-password">
<button type="submit">Speichern</button>
</form>
<form class="box" method="post" action="settings.asp">
<h2>Passwort ändern</h2>
<input type="hidden" name="action" value="changepassword">
<label for="oldpassword">Bisheriges Passwort</label>
<input type="password" id="oldpassword" name="password" autocomplete="current-password">
<label for="newpassword">Neues Passwort (mindestens 6 Zeichen)</label>
<input type="password" id="newpassword" name="newpassword" autocomplete="new-password">
<label for="confirm">Das neue Passwort noch einmal</label>
<input type="password" id="confirm" name="confirm" autocomplete="new-password">
<button type="submit">Passwort ändern</button>
</form>
<% End If %>
</main>
</body>
</html>
