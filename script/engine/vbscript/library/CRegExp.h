// CRegExp: the RegExp object of VBScript ("VBScript.RegExp", and `New RegExp`).
//
// Patterns are the JScript-flavoured expressions of the language, translated to ICU's
// syntax (RegExpPattern.h) and run by ICU's UTF-16 engine. The compiled pattern is kept
// until Pattern, IgnoreCase or Multiline changes. Positions are 0-based code-unit
// offsets. Replace understands $1…$99, $&, $`, $' and $$ in the replacement text. A
// search that runs away (catastrophic backtracking) stops at ICU's step limit and
// fails with E_ABORT rather than hold the thread.
#pragma once

#include <unicode/regex.h>

#include <memory>

#include "com/DispatchTable.h"

class CRegExp : public CComObjectRoot<CRegExp, IDispatchImpl<CRegExp>> {
public:
    static const CDispatchTable& GetDispatchTable();

    HRESULT get_Pattern(BSTR* pPattern);
    HRESULT put_Pattern(BSTR pattern);
    HRESULT get_IgnoreCase(bool* pValue);
    HRESULT put_IgnoreCase(bool value);
    HRESULT get_Global(bool* pValue);
    HRESULT put_Global(bool value);
    HRESULT get_Multiline(bool* pValue);
    HRESULT put_Multiline(bool value);
    HRESULT Test(BSTR source, bool* pMatched);
    HRESULT Execute(BSTR source, IDispatch** ppMatches);
    HRESULT Replace(BSTR source, const VARIANT& replacement, BSTR* pResult);

private:
    HRESULT Compiled(icu::RegexPattern** ppPattern);
    HRESULT Matcher(const icu::UnicodeString& text, std::unique_ptr<icu::RegexMatcher>* out);

    BSTR m_pattern = BSTR::Empty();
    bool m_ignoreCase = false;
    bool m_global = false;
    bool m_multiline = false;
    std::unique_ptr<icu::RegexPattern> m_compiled;  // null until used after a change
};
