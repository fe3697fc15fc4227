// Translation of VBScript regular expressions into ICU's syntax.
//
// Scripts write patterns in the JScript flavour that VBScript shares. ICU's engine
// differs in a few places, which the translation rewrites: `.` never matches a line
// feed, `$` outside Multiline matches only at the very end, `[` and `&` are plain
// characters inside a class, `{` that does not start a repeat count is a plain brace,
// `\v` and `\0` are single characters, `[]` matches nothing and `[^]` anything, and an
// unknown escape of a letter is that letter. Syntax errors are found here so that they
// carry the language's numbers: 5017 for a syntax error, 5018 for a quantifier with
// nothing to repeat, 5019 for a missing ']' and 5020 for a missing ')'.
#pragma once

#include <string>
#include <string_view>

#include "com/HResult.h"

HRESULT TranslateRegExpPattern(std::u16string_view pattern, bool multiline, std::u16string* out);
