<%@ Language=VBScript %>
<!DOCTYPE html>
<html lang="en-GB">
<head>
<meta charset="utf-8">
<title>About Corvane</title>
<style>
  body { font-family: sans-serif; margin: 2em auto; max-width: 36em; color: #222; }
  h1 { color: #2e7d32; font-weight: normal; }
  p.small { color: #666; font-size: 0.9em; }
</style>
</head>
<body>
<h1>About Corvane</h1>
<p>Corvane looks after the web on this computer. It checks each site a browser
asks for against your family's settings, lets the good ones through and shows a
friendly page in place of the ones that are not allowed.</p>
<p>The icon beside the clock shows whether filtering is on. Click it to see your
settings or to ask for a site to be allowed.</p>
<p>Nothing you browse leaves this computer because of Corvane: every check is
made right here.</p>
<p class="small">This page was served by Corvane at <%= Time() %>.</p>
</body>
</html>
