<%@ LANGUAGE=VBScript %>
<P><%= Now %></P>
