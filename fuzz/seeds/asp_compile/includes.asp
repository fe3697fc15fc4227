A<!-- #include file="a.inc" -->B<!--#include file="c.inc"-->
<!-- #include file="dir\f.inc" -->