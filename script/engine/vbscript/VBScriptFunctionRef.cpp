// Function references of GetRef. See VBScriptFunctionRef.h.
#include "script/engine/vbscript/VBScriptFunctionRef.h"

#include "com/DiagnosticLog.h"
#include "com/DispatchTable.h"
#include "script/engine/vbscript/VBScriptVM.h"

HRESULT CVBScriptFunctionRef::GetTypeInfoCount(UINT* pctinfo) {
    if (CheckExpression(!pctinfo))
        return E_POINTER;
    *pctinfo = 1;
    return S_OK;
}

HRESULT CVBScriptFunctionRef::GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) {
    if (CheckExpression(!ppTInfo))
        return E_POINTER;
    *ppTInfo = nullptr;
    if (iTInfo != 0)
        return DISP_E_BADINDEX;
    return CreateTypeNameInfo(u"Object", ppTInfo);
}

HRESULT CVBScriptFunctionRef::GetIDsOfNames(const IID&, const char16_t** rgszNames, UINT cNames,
                                            LCID, DISPID* rgDispId) {
    if (CheckExpression(!rgszNames || !rgDispId || cNames == 0))
        return E_INVALIDARG;
    for (UINT i = 0; i < cNames; ++i)
        rgDispId[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
}

HRESULT CVBScriptFunctionRef::Invoke(DISPID dispIdMember, const IID&, LCID, WORD wFlags,
                                     DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                     EXCEPINFO* pExcepInfo, UINT*) {
    if (dispIdMember != DISPID_VALUE)
        return DISP_E_MEMBERNOTFOUND;
    if (!(wFlags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)))
        return DISP_E_MEMBERNOTFOUND;
    try {
        CComPtr<CVBScriptFunctionRef> self(this);
        return m_vm->InvokeFunction(m_program, m_fn, pDispParams, pVarResult, pExcepInfo);
    } catch (...) {
        return ReportException("CVBScriptFunctionRef::Invoke", CV_HERE);
    }
}
