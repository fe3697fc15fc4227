<SCRIPT LANGUAGE=JScript RUNAT=Server>
function f() { return "%>"; }
</SCRIPT>
<script>client()</script>
<!--
<% x %>
-->