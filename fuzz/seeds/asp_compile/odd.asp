ab<% x = "%>" %>
<%
<!-- c
%>-->
<%@ LANGUAGE = VBScript %>
<%%><%=a%><%=b%>
<!-- #include file=