// A reference to a global Sub or Function, as GetRef gives it: an object whose default
// member (DISPID_VALUE) calls the procedure. Hosts use it as an event handler; scripts
// call it with parentheses like any object with a default method.
#pragma once

#include <memory>

#include "com/Dispatch.h"
#include "script/engine/vbscript/VBScriptProgram.h"

class CVBScriptVM;

class CVBScriptFunctionRef : public CComObjectRoot<CVBScriptFunctionRef, IDispatch> {
public:
    CVBScriptFunctionRef(std::shared_ptr<CVBScriptVM> vm, VBSProgramPtr program, int fn)
        : m_vm(std::move(vm)), m_program(std::move(program)), m_fn(fn) {}

    HRESULT GetTypeInfoCount(UINT* pctinfo) override;
    HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    HRESULT GetIDsOfNames(const IID& riid, const char16_t** rgszNames, UINT cNames, LCID lcid,
                          DISPID* rgDispId) override;
    HRESULT Invoke(DISPID dispIdMember, const IID& riid, LCID lcid, WORD wFlags,
                   DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                   UINT* puArgErr) override;

private:
    std::shared_ptr<CVBScriptVM> m_vm;
    VBSProgramPtr m_program;
    int m_fn;
};
