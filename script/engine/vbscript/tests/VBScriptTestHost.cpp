// The test host of the engine tests. See VBScriptTestHost.h.
#include "script/engine/vbscript/tests/VBScriptTestHost.h"

#include <cstdio>

#include "com/Strings.h"
#include "com/TextForms.h"
#include "script/engine/vbscript/VBScriptEngine.h"
#include "script/engine/vbscript/library/VBScriptBuiltins.h"

const CDispatchTable& CTestHostObject::GetDispatchTable() {
    static const CDispatchTable table(u"ITestHost",
                                      {
                                          DispMethod<&CTestHostObject::Print>(u"Print", 1),
                                          DispMethod<&CTestHostObject::Fail>(u"Fail", 2),
                                          DispGet<&CTestHostObject::get_Value>(u"Value", 3),
                                          DispPut<&CTestHostObject::put_Value>(u"Value", 3),
                                      });
    return table;
}

HRESULT CTestHostObject::Print(const VARIANT& value) {
    CComVariant text;
    if (value.vt == VT_NULL) {
        m_output += "Null\n";
        return S_OK;
    }
    if (value.vt == VT_EMPTY) {
        m_output += "Empty\n";
        return S_OK;
    }
    if (value.vt == VT_DISPATCH) {
        m_output += value.pdispVal ? "Object\n" : "Nothing\n";
        return S_OK;
    }
    if (FAILED(VariantChangeTypeEx(&text, &value, 1033, VARIANT_ALPHABOOL, VT_BSTR)))
        return DISP_E_TYPEMISMATCH;
    m_output += Utf16ToUtf8(text.Text()) + "\n";
    return S_OK;
}

HRESULT CTestHostObject::Fail(LONG hr) {
    return hr;
}

HRESULT CTestHostObject::get_Value(LONG* pValue) {
    *pValue = m_lValue;
    return S_OK;
}

HRESULT CTestHostObject::put_Value(LONG value) {
    m_lValue = value;
    return S_OK;
}

CTestSite::CTestSite() : m_host(MakeObject<CTestHostObject>()) {}

HRESULT CTestSite::GetLCID(LCID* plcid) {
    *plcid = m_lcid;
    return S_OK;
}

HRESULT CTestSite::GetItemInfo(const BSTR& name, DWORD, IUnknown** ppiunkItem, ITypeInfo**) {
    if (!EqualsNoCase(name.View(), u"Host"))
        return TYPE_E_ELEMENTNOTFOUND;
    *ppiunkItem = static_cast<IDispatch*>(m_host.Get());
    (*ppiunkItem)->AddRef();
    return S_OK;
}

HRESULT CTestSite::GetDocVersionString(BSTR*) {
    return E_NOTIMPL;
}
HRESULT CTestSite::OnScriptTerminate(const VARIANT*, const EXCEPINFO*) {
    return S_OK;
}
HRESULT CTestSite::OnStateChange(SCRIPTSTATE) {
    return S_OK;
}
HRESULT CTestSite::OnEnterScript() {
    return S_OK;
}
HRESULT CTestSite::OnLeaveScript() {
    return S_OK;
}

HRESULT CTestSite::OnScriptError(IActiveScriptError* pscripterror) {
    EXCEPINFO ei;
    pscripterror->GetExceptionInfo(&ei);
    DWORD cookie = 0;
    ULONG line = 0;
    LONG character = 0;
    pscripterror->GetSourcePosition(&cookie, &line, &character);
    char buf[64];
    std::snprintf(buf, sizeof buf, "error %08X ", static_cast<unsigned>(ei.scode));
    m_errors += buf + ei.bstrDescription.ToUtf8() + " at " + std::to_string(cookie) + ":" +
                std::to_string(line) + ":" + std::to_string(character) + "\n";
    return S_OK;
}

std::string RunScript(const std::u16string& text) {
    RegisterVBScriptLibraryClasses();
    CComPtr<CTestSite> site = MakeObject<CTestSite>();
    CComPtr<CVBScriptEngine> engine = MakeObject<CVBScriptEngine>();
    engine->SetScriptSite(site.Get());
    engine->AddNamedItem(BSTR(u"Host"), SCRIPTITEM_ISVISIBLE | SCRIPTITEM_GLOBALMEMBERS);
    engine->ParseScriptText(BSTR(text), BSTR(), nullptr, BSTR(), 0, 0, SCRIPTTEXT_ISVISIBLE,
                            nullptr, nullptr);
    engine->SetScriptState(SCRIPTSTATE_CONNECTED);
    engine->Close();
    return site->m_host->m_output + site->m_errors;
}
