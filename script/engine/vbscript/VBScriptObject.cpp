// VBScript class instances as IDispatch. See VBScriptObject.h.
#include "script/engine/vbscript/VBScriptObject.h"

#include <vector>

#include "com/DiagnosticLog.h"
#include "com/DispatchTable.h"
#include "com/Strings.h"
#include "script/engine/vbscript/VBScriptVM.h"

int CVBScriptObject::FindMember(const std::u16string& upperName) const {
    const VBSClass& cls = Class();
    auto it = cls.members.find(upperName);
    if (it == cls.members.end())
        return -1;
    int m = it->second;
    int vars = static_cast<int>(cls.vars.size());
    bool isPublic = m < vars ? cls.vars[m].isPublic : cls.procs[m - vars].isPublic;
    return isPublic ? m : -1;
}

HRESULT CVBScriptObject::GetTypeInfoCount(UINT* pctinfo) {
    if (CheckExpression(!pctinfo))
        return E_POINTER;
    *pctinfo = 1;
    return S_OK;
}

HRESULT CVBScriptObject::GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) {
    if (CheckExpression(!ppTInfo))
        return E_POINTER;
    *ppTInfo = nullptr;
    if (iTInfo != 0)
        return DISP_E_BADINDEX;
    return CreateTypeNameInfo(Class().name, ppTInfo);
}

HRESULT CVBScriptObject::GetIDsOfNames(const IID&, const char16_t** rgszNames, UINT cNames, LCID,
                                       DISPID* rgDispId) {
    if (CheckExpression(!rgszNames || !rgDispId || cNames == 0))
        return E_INVALIDARG;
    try {
        for (UINT i = 0; i < cNames; ++i)
            rgDispId[i] = DISPID_UNKNOWN;
        int m = FindMember(ToUpperSimple(std::u16string_view(rgszNames[0] ? rgszNames[0] : u"")));
        if (m < 0)
            return DISP_E_UNKNOWNNAME;
        rgDispId[0] = m + 1;
        return cNames == 1 ? S_OK : DISP_E_UNKNOWNNAME;
    } catch (...) {
        return ReportException("CVBScriptObject::GetIDsOfNames", CV_HERE);
    }
}

HRESULT CVBScriptObject::Invoke(DISPID dispIdMember, const IID&, LCID, WORD wFlags,
                                DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                UINT*) {
    try {
        const VBSClass& cls = Class();
        int member;
        if (dispIdMember == DISPID_VALUE) {
            if (cls.defaultProc < 0)
                return DISP_E_MEMBERNOTFOUND;
            member = static_cast<int>(cls.vars.size()) + cls.defaultProc;
        } else {
            member = dispIdMember - 1;
            if (member < 0 || member >= static_cast<int>(cls.vars.size() + cls.procs.size()))
                return DISP_E_MEMBERNOTFOUND;
        }
        UINT argc = pDispParams ? pDispParams->cArgs : 0;
        // Arguments arrive last first; the members take them first first (the value of a
        // property put, rgvarg[0], so comes last).
        std::vector<VARIANT> args(argc);
        for (UINT i = 0; i < argc; ++i)
            args[i] = pDispParams->rgvarg[argc - 1 - i];
        CComPtr<CVBScriptObject> self(this);
        return m_vm->InvokeMember(this, member, wFlags, args.data(), argc, pVarResult, pExcepInfo);
    } catch (...) {
        return ReportException("CVBScriptObject::Invoke", CV_HERE);
    }
}

void CVBScriptObject::FinalRelease() {
    if (m_terminated || Class().terminate < 0)
        return;
    try {
        CComPtr<CVBScriptObject> wrapper =
            MakeObject<CVBScriptObject>(m_vm, m_program, m_classIndex, m_members, true);
        if (wrapper)
            m_vm->RunTerminate(wrapper.Get());
    } catch (...) {
        ReportException("CVBScriptObject::FinalRelease", CV_HERE);
    }
}
