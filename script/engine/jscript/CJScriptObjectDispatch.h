// An IDispatch view of a JavaScript object or function, for the host.
//
// The view keeps the object reachable in its heap and finds its members by name
// (exact spelling first, then without regard to case, since host languages such as
// VBScript do not keep case). Invoking DISPID_VALUE calls the object itself when it is
// a function; a member is read (DISPATCH_PROPERTYGET), written (PUT/PUTREF) or called
// (DISPATCH_METHOD, with the object as `this`). The engine's script dispatch is such a
// view of the global object. A script error inside a call comes back as
// DISP_E_EXCEPTION with the error in EXCEPINFO; an interrupt ends the call with S_OK.
// Once the engine is closed, every call answers E_UNEXPECTED.
#pragma once
#include <memory>
#include "com/DispatchTable.h"
#include "com/Unknown.h"
#include "duktape.h"

class CJScriptHeap;

class CJScriptObjectDispatch : public CComObjectRoot<CJScriptObjectDispatch, IDispatch> {
public:
    CJScriptObjectDispatch(std::shared_ptr<CJScriptHeap> heap, unsigned key);
    ~CJScriptObjectDispatch() override;

    // A view of the value at `index` of `ctx` (whose heap must be a CJScriptHeap).
    static HRESULT Create(duk_context* ctx, duk_idx_t index, IDispatch** ppdisp);
    // A view of a kept value of `heap`, for the engine's own use.
    static HRESULT CreateKept(std::shared_ptr<CJScriptHeap> heap, unsigned key, IDispatch** ppdisp);

    HRESULT GetTypeInfoCount(UINT* pctinfo) override;
    HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    HRESULT GetIDsOfNames(const IID& riid, const char16_t** rgszNames, UINT cNames, LCID lcid,
                          DISPID* rgDispId) override;
    HRESULT Invoke(DISPID dispIdMember, const IID& riid, LCID lcid, WORD wFlags,
                   DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                   UINT* puArgErr) override;

private:
    std::shared_ptr<CJScriptHeap> m_heap;
    const unsigned m_key;  // the object's kept-value key in m_heap
};
