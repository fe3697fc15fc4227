<%@ Language=VBScript %>
<!DOCTYPE html>
<html lang="de">
<head>
<meta charset="utf-8">
<title>Über Corvane</title>
<link rel="stylesheet" href="style.css">
</head>
<body>
<header><strong>Corvane</strong><a href="activity.asp">Aktivität</a><a href="settings.asp">Einstellungen</a><a class="here" href="about.asp">Über Corvane</a></header>
<main>
<h1>Über Corvane</h1>
<section>
<p>Corvane passt auf das Web auf diesem Computer auf. Jede Site, die ein Browser aufruft, wird
mit den Einstellungen der Familie verglichen: Erlaubte Sites öffnen sich wie gewohnt, und bei
jeder anderen erklärt eine Seite, warum sie angehalten wurde.</p>
<p>Ein Elternteil wählt für jede Person, die den Computer benutzt, wie offen das Web ist:
offen, gefiltert (gesperrte Sites und Kategorien werden angehalten) oder nur erlaubte Sites,
und zu welchen Zeiten gesurft werden darf. Die Einstellungen schützt ein Eltern-Passwort.</p>
<p>Ist eine Site gesperrt, die du brauchst, bitte auf der Sperrseite um Zugang; deine Anfrage
erscheint auf der Seite Aktivität.</p>
<p>Jede Prüfung geschieht auf diesem Computer. Die einzige Frage, die Corvane stellen kann, ist
die nach der Kategorie einer Site, und die beantwortet ein Kategoriedienst auf diesem Computer.</p>
</section>
<p class="hint">Diese Seite hat Corvane um <%= Server.HTMLEncode(CStr(Time())) %> geliefert.</p>
</main>
</body>
</html>
