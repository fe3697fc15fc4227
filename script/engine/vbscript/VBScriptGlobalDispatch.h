// The global functions and variables of an engine as an IDispatch: what
// GetScriptDispatch gives the host, so it can call procedures by name.
#pragma once

#include <memory>

#include "com/Dispatch.h"

class CVBScriptVM;

class CVBScriptGlobalDispatch : public CComObjectRoot<CVBScriptGlobalDispatch, IDispatch> {
public:
    explicit CVBScriptGlobalDispatch(std::shared_ptr<CVBScriptVM> vm) : m_vm(std::move(vm)) {}

    HRESULT GetTypeInfoCount(UINT* pctinfo) override;
    HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    HRESULT GetIDsOfNames(const IID& riid, const char16_t** rgszNames, UINT cNames, LCID lcid,
                          DISPID* rgDispId) override;
    HRESULT Invoke(DISPID dispIdMember, const IID& riid, LCID lcid, WORD wFlags,
                   DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                   UINT* puArgErr) override;

private:
    std::shared_ptr<CVBScriptVM> m_vm;
};
