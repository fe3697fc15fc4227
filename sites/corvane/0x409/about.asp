<%@ Language=VBScript %>
<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>About Corvane</title>
<link rel="stylesheet" href="style.css">
</head>
<body>
<header><strong>Corvane</strong><a href="activity.asp">Activity</a><a href="settings.asp">Settings</a><a class="here" href="about.asp">About</a></header>
<main>
<h1>About Corvane</h1>
<section>
<p>Corvane looks after the web on this computer. Each site a browser asks for is checked
against the family's settings: allowed sites open as usual, and a page like the one you may
have seen explains why any other site was stopped.</p>
<p>A parent chooses, for each person who uses the computer, how open the web is: open,
filtered (blocked sites and categories are stopped) or allowed sites only, and at which
hours browsing is allowed. The settings are protected by a parent password.</p>
<p>If a site you need is blocked, ask for access on the block page; your request shows up
on the activity page.</p>
<p>Every check is made on this computer. The only outside question Corvane may ask is which
category a site belongs to, and it asks a category service on this computer.</p>
</section>
<p class="hint">This page was served by Corvane at <%= Server.HTMLEncode(CStr(Time())) %>.</p>
</main>
</body>
</html>
