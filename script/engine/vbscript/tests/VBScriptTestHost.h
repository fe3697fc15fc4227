// A tiny script host for the engine tests: a site that records errors and a named item
// "Host" whose Print writes a line of output, so a script's output and errors can be
// compared with what a test expects.
#pragma once

#include <string>

#include "com/DispatchTable.h"
#include "script/engine/ActiveScript.h"

class CTestHostObject : public CComObjectRoot<CTestHostObject, IDispatchImpl<CTestHostObject>> {
public:
    static const CDispatchTable& GetDispatchTable();
    HRESULT Print(const VARIANT& value);
    HRESULT Fail(LONG hr);
    HRESULT get_Value(LONG* pValue);
    HRESULT put_Value(LONG value);

    std::string m_output;
    LONG m_lValue = 0;
};

class CTestSite : public CComObjectRoot<CTestSite, IActiveScriptSite> {
public:
    CTestSite();
    HRESULT GetLCID(LCID* plcid) override;
    HRESULT GetItemInfo(const BSTR& name, DWORD dwReturnMask, IUnknown** ppiunkItem,
                        ITypeInfo** ppti) override;
    HRESULT GetDocVersionString(BSTR* pbstrVersion) override;
    HRESULT OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override;
    HRESULT OnStateChange(SCRIPTSTATE) override;
    HRESULT OnScriptError(IActiveScriptError* pscripterror) override;
    HRESULT OnEnterScript() override;
    HRESULT OnLeaveScript() override;

    CComPtr<CTestHostObject> m_host;
    std::string m_errors;  // "error <hex scode> <description> at <cookie>:<line>:<char>\n"
    LCID m_lcid = 1033;    // what GetLCID gives: the scripts' locale
};

// Runs a script through a fresh engine with the test site; returns output then errors.
std::string RunScript(const std::u16string& text);
