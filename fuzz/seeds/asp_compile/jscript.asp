<%@ LANGUAGE=JScript LCID=2057 CODEPAGE=65001 %>
<% for (var i=0;i<3;i++) { %>(<%= i %>)<% } %>
