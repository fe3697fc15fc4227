// Script errors: reading a thrown value and answering the site's questions about it.
#include "script/engine/jscript/CJScriptError.h"

#include <cstdlib>
#include <cstring>
#include "com/DiagnosticLog.h"
#include "script/engine/jscript/JScriptValues.h"

namespace {
constexpr SCODE JScriptCode(int number) {
    return static_cast<SCODE>(0x800A0000u | static_cast<unsigned>(number));
}

// A property of an Error object, read without invoking getters of other objects.
bool GetOwnString(duk_context* ctx, duk_idx_t index, const char* name, std::u16string* out) {
    bool ok = false;
    if (duk_get_prop_string(ctx, index, name) && duk_is_string(ctx, -1)) {
        *out = GetText(ctx, -1);
        ok = true;
    }
    duk_pop(ctx);
    return ok;
}
}  // namespace

CJScriptErrorDetails CJScriptError::Describe(duk_context* ctx, duk_idx_t index, bool compile) {
    CJScriptErrorDetails d;
    index = duk_normalize_index(ctx, index);
    d.source = compile ? BSTR(u"JScript compilation error") : BSTR(u"JScript runtime error");
    d.scode = compile ? JScriptCode(1002) : JScriptCode(5022);
    if (!duk_is_error(ctx, index)) {
        d.description = GetText(ctx, index);
        return d;
    }
    std::u16string message, name;
    GetOwnString(ctx, index, "message", &message);
    GetOwnString(ctx, index, "name", &name);
    if (duk_get_prop_string(ctx, index, "lineNumber") && duk_is_number(ctx, -1))
        d.line = static_cast<long>(duk_get_number(ctx, -1));
    duk_pop(ctx);
    if (duk_get_prop_string(ctx, index, "fileName") && duk_is_string(ctx, -1))
        d.fileName = duk_get_string(ctx, -1);
    duk_pop(ctx);
    if (duk_get_prop_string(ctx, index, "number") && duk_is_number(ctx, -1))
        d.scode = static_cast<SCODE>(duk_get_int(ctx, -1));
    else if (name == u"SyntaxError")
        d.scode = JScriptCode(1002);
    else if (name == u"ReferenceError")
        d.scode = JScriptCode(5009);
    else if (name == u"TypeError")
        d.scode = JScriptCode(5007);
    else if (name == u"RangeError")
        d.scode = JScriptCode(28);
    duk_pop(ctx);
    if (name == u"SyntaxError") {
        d.source = BSTR(u"JScript compilation error");
        // The compiler appends " (line N)" to its message.
        const std::size_t at = message.rfind(u" (line ");
        if (at != std::u16string::npos && message.back() == u')') {
            std::string digits = Utf16ToUtf8(message.substr(at + 7, message.size() - at - 8));
            if (d.line < 0)
                d.line = std::strtol(digits.c_str(), nullptr, 10);
            message.erase(at);
        }
    }
    // E_FAIL would tell the host to ignore the error: never report that status.
    if (d.scode == E_FAIL)
        d.scode = JScriptCode(5022);
    d.description = message.empty() ? BSTR(name) : BSTR(message);
    return d;
}

HRESULT CJScriptError::GetExceptionInfo(EXCEPINFO* pexcepinfo) {
    if (CheckExpression(!pexcepinfo))
        return E_POINTER;
    *pexcepinfo = EXCEPINFO();
    pexcepinfo->bstrSource = m_details.source;
    pexcepinfo->bstrDescription = m_details.description;
    pexcepinfo->scode = m_details.scode;
    return S_OK;
}

HRESULT CJScriptError::GetSourcePosition(DWORD* pdwSourceContext, ULONG* pulLineNumber,
                                         LONG* plCharacterPosition) {
    if (pdwSourceContext)
        *pdwSourceContext = m_cookie;
    if (pulLineNumber)
        *pulLineNumber = m_line;
    if (plCharacterPosition)
        *plCharacterPosition = m_character;
    return S_OK;
}

HRESULT CJScriptError::GetSourceLineText(BSTR* pbstrSourceLine) {
    if (CheckExpression(!pbstrSourceLine))
        return E_POINTER;
    *pbstrSourceLine = m_lineText;
    return S_OK;
}
