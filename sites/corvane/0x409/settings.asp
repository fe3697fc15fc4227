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
<html lang="en">
<head>
<meta charset="utf-8">
<title>Corvane settings</title>
<link rel="stylesheet" href="style.css">
</head>
<body>
<header><strong>Corvane</strong><a href="activity.asp">Activity</a><a class="here" href="settings.asp">Settings</a><a href="about.asp">About</a></header>
<main>
<h1>Settings</h1>
<% If g_strNotice <> "" Then %><p class="notice"><%= H(Msg(g_strNotice)) %></p><% End If %>
<% If g_strError <> "" Then %><p class="error"><%= H(Msg(g_strError)) %></p><% End If %>
<% If Not PasswordIsSet() Then %>
<form class="box" method="post" action="settings.asp">
<h2>Choose a parent password</h2>
<p>Corvane is open for everyone until you choose settings. Settings can only be changed with this password.</p>
<input type="hidden" name="action" value="setpassword">
<label for="newpassword">Password (at least 6 characters)</label>
<input type="password" id="newpassword" name="newpassword" autocomplete="new-password">
<label for="confirm">The same password again</label>
<input type="password" id="confirm" name="confirm" autocomplete="new-password">
<button type="submit">Set password</button>
</form>
<% Else %>
<section>
<h2>Whose settings</h2>
<p><% For Each strName In KnownProfiles()
   If strName = strProfile Then %><strong><%= H(ProfileName(strName)) %></strong> <% Else %><a href="settings.asp?profile=<%= H(Q(strName)) %>"><%= H(ProfileName(strName)) %></a> <% End If
Next %></p>
<form method="get" action="settings.asp">
<label for="newprofile">Another user (their login name)</label>
<input type="text" id="newprofile" name="profile">
<button type="submit">Show</button>
</form>
</section>
<form class="box" method="post" action="settings.asp">
<h2><%= H(ProfileName(strProfile)) %></h2>
<input type="hidden" name="action" value="save">
<input type="hidden" name="profile" value="<%= H(strProfile) %>">
<label>Mode</label>
<input type="radio" id="mode-open" name="mode" value="open"<% If strMode = "open" Then %> checked<% End If %>><label class="inline" for="mode-open">Open: nothing is blocked</label><br>
<input type="radio" id="mode-filtered" name="mode" value="filtered"<% If strMode = "filtered" Then %> checked<% End If %>><label class="inline" for="mode-filtered">Filtered: blocked sites and categories are stopped</label><br>
<input type="radio" id="mode-allowlist" name="mode" value="allowlist"<% If strMode = "allowlist" Then %> checked<% End If %>><label class="inline" for="mode-allowlist">Allowed sites only</label>
<label for="blocked">Blocked sites (one a line; a site includes its subdomains)</label>
<textarea id="blocked" name="blocked"><%= H(HostLines(BlockedHostsOf(strProfile))) %></textarea>
<label for="allowed">Allowed sites (always allowed, and the only ones in the allowed-sites mode)</label>
<textarea id="allowed" name="allowed"><%= H(HostLines(AllowedHostsOf(strProfile))) %></textarea>
<label for="categories">Blocked categories (numbers of the category lists)</label>
<input type="text" id="categories" name="categories" value="<%= H(CategoriesOf(strProfile)) %>">
<label>Allowed hours</label>
<p class="hint">For example 08:00-12:00, 14:00-20:00. Empty: the whole day. A dash (-): not at all.</p>
<table class="days">
<% For nDay = 0 To 6 %><tr><td><label class="inline" for="hours<%= nDay %>"><%= DayName(nDay) %></label></td><td><input type="text" id="hours<%= nDay %>" name="hours<%= nDay %>" value="<%= H(HoursOfDay(strHours, nDay)) %>"></td></tr>
<% Next %></table>
<label for="password">Parent password</label>
<input type="password" id="password" name="password" autocomplete="current-password">
<button type="submit">Save</button>
</form>
<form class="box" method="post" action="settings.asp">
<h2>Change the password</h2>
<input type="hidden" name="action" value="changepassword">
<label for="oldpassword">Current password</label>
<input type="password" id="oldpassword" name="password" autocomplete="current-password">
<label for="newpassword">New password (at least 6 characters)</label>
<input type="password" id="newpassword" name="newpassword" autocomplete="new-password">
<label for="confirm">The new password again</label>
<input type="password" id="confirm" name="confirm" autocomplete="new-password">
<button type="submit">Change password</button>
</form>
<% End If %>
</main>
</body>
</html>
