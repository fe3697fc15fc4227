// The script dispatch of an engine. See VBScriptGlobalDispatch.h.
#include "script/engine/vbscript/VBScriptGlobalDispatch.h"

#include "com/DiagnosticLog.h"
#include "com/DispatchTable.h"
#include "script/engine/vbscript/VBScriptVM.h"

HRESULT CVBScriptGlobalDispatch::GetTypeInfoCount(UINT* pctinfo) {
    if (CheckExpression(!pctinfo))
        return E_POINTER;
    *pctinfo = 1;
    return S_OK;
}

HRESULT CVBScriptGlobalDispatch::GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) {
    if (CheckExpression(!ppTInfo))
        return E_POINTER;
    *ppTInfo = nullptr;
    if (iTInfo != 0)
        return DISP_E_BADINDEX;
    return CreateTypeNameInfo(u"Object", ppTInfo);
}

HRESULT CVBScriptGlobalDispatch::GetIDsOfNames(const IID&, const char16_t** rgszNames, UINT cNames,
                                               LCID, DISPID* rgDispId) {
    if (CheckExpression(!rgszNames || !rgDispId || cNames == 0 || !rgszNames[0]))
        return E_INVALIDARG;
    try {
        for (UINT i = 0; i < cNames; ++i)
            rgDispId[i] = DISPID_UNKNOWN;
        HRESULT hr = m_vm->GlobalDispId(rgszNames[0], &rgDispId[0]);
        if (FAILED(hr))
            return hr;
        return cNames == 1 ? S_OK : DISP_E_UNKNOWNNAME;
    } catch (...) {
        return ReportException("CVBScriptGlobalDispatch::GetIDsOfNames", CV_HERE);
    }
}

HRESULT CVBScriptGlobalDispatch::Invoke(DISPID dispIdMember, const IID&, LCID, WORD wFlags,
                                        DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                        EXCEPINFO* pExcepInfo, UINT*) {
    try {
        return m_vm->InvokeGlobal(dispIdMember, wFlags, pDispParams, pVarResult, pExcepInfo);
    } catch (...) {
        return ReportException("CVBScriptGlobalDispatch::Invoke", CV_HERE);
    }
}
