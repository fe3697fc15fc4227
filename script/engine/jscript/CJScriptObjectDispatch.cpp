// IDispatch over a JavaScript value: name lookup, property access and calls, each run
// as a protected call into the heap.
#include "script/engine/jscript/CJScriptObjectDispatch.h"

#include <vector>
#include "com/CComVariant.h"
#include "com/DiagnosticLog.h"
#include "com/Strings.h"
#include "script/engine/jscript/CJScriptError.h"
#include "script/engine/jscript/CJScriptHeap.h"
#include "script/engine/jscript/JScriptValues.h"

namespace {
struct LookupState {
    CJScriptHeap* heap;
    unsigned key;
    std::u16string name;
    std::u16string found;
    bool exists = false;
};

struct InvokeState {
    CJScriptHeap* heap;
    unsigned key;
    const std::u16string* member;  // null for the value itself
    WORD flags;
    DISPPARAMS* params;
    CComVariant result;
    HRESULT hr = S_OK;
};

template <class F>
duk_int_t SafeCall(duk_context* ctx, F& body) {
    return duk_safe_call(
        ctx,
        [](duk_context* c, void* udata) -> duk_ret_t {
            (*static_cast<F*>(udata))(c);
            return 0;
        },
        &body, 0, 1);
}
}  // namespace

CJScriptObjectDispatch::CJScriptObjectDispatch(std::shared_ptr<CJScriptHeap> heap, unsigned key)
    : m_heap(std::move(heap)), m_key(key) {}

CJScriptObjectDispatch::~CJScriptObjectDispatch() {
    std::lock_guard guard(m_heap->Lock());
    m_heap->ReleaseKept(m_key);
}

HRESULT CJScriptObjectDispatch::Create(duk_context* ctx, duk_idx_t index, IDispatch** ppdisp) {
    if (CheckExpression(!ppdisp))
        return E_POINTER;
    *ppdisp = nullptr;
    std::shared_ptr<CJScriptHeap> heap = CJScriptHeap::SharedFrom(ctx);
    if (CheckExpression(!heap))
        return E_UNEXPECTED;
    return CreateKept(heap, heap->Keep(index), ppdisp);
}

HRESULT CJScriptObjectDispatch::CreateKept(std::shared_ptr<CJScriptHeap> heap, unsigned key,
                                           IDispatch** ppdisp) {
    HRESULT hr = S_OK;
    CComPtr<CJScriptObjectDispatch> view = MakeObject<CJScriptObjectDispatch>(&hr, heap, key);
    if (CheckExpression(!view)) {
        heap->ReleaseKept(key);
        return FAILED(hr) ? hr : E_OUTOFMEMORY;
    }
    *ppdisp = view.Detach();
    return S_OK;
}

HRESULT CJScriptObjectDispatch::GetTypeInfoCount(UINT* pctinfo) {
    if (CheckExpression(!pctinfo))
        return E_POINTER;
    *pctinfo = 1;
    return S_OK;
}

HRESULT CJScriptObjectDispatch::GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) {
    if (CheckExpression(!ppTInfo))
        return E_POINTER;
    *ppTInfo = nullptr;
    if (iTInfo != 0)
        return DISP_E_BADINDEX;
    return CreateTypeNameInfo(u"JScriptTypeInfo", ppTInfo);
}

HRESULT CJScriptObjectDispatch::GetIDsOfNames(const IID&, const char16_t** rgszNames, UINT cNames,
                                              LCID, DISPID* rgDispId) {
    if (CheckExpression(!rgszNames || !rgDispId || cNames == 0 || !rgszNames[0]))
        return E_INVALIDARG;
    try {
        for (UINT i = 0; i < cNames; ++i)
            rgDispId[i] = DISPID_UNKNOWN;
        std::lock_guard guard(m_heap->Lock());
        duk_context* ctx = m_heap->Context();
        if (!ctx)
            return E_UNEXPECTED;
        LookupState state{m_heap.get(), m_key, rgszNames[0], {}, false};
        auto body = [&state](duk_context* c) {
            state.heap->PushKept(state.key);
            if (!duk_is_object(c, -1))
                return;
            PushText(c, state.name);
            if (duk_has_prop(c, -2)) {
                state.found = state.name;
                state.exists = true;
                return;
            }
            duk_enum(c, -1, DUK_ENUM_INCLUDE_NONENUMERABLE);
            while (duk_next(c, -1, 0)) {
                std::u16string key = GetText(c, -1);
                duk_pop(c);
                if (EqualsNoCase(key, state.name)) {
                    state.found = std::move(key);
                    state.exists = true;
                    return;
                }
            }
        };
        duk_int_t rc = SafeCall(ctx, body);
        duk_pop(ctx);
        if (rc != DUK_EXEC_SUCCESS || !state.exists)
            return DISP_E_UNKNOWNNAME;
        rgDispId[0] = m_heap->IdOfName(state.found);
        return cNames == 1 ? S_OK : DISP_E_UNKNOWNNAME;
    } catch (...) {
        return ReportException("CJScriptObjectDispatch::GetIDsOfNames", CV_HERE);
    }
}

HRESULT CJScriptObjectDispatch::Invoke(DISPID dispIdMember, const IID&, LCID, WORD wFlags,
                                       DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                       EXCEPINFO* pExcepInfo, UINT*) {
    DISPPARAMS none;
    if (!pDispParams)
        pDispParams = &none;
    if (CheckExpression(pDispParams->cArgs > 0 && !pDispParams->rgvarg))
        return E_INVALIDARG;
    try {
        std::unique_lock guard(m_heap->Lock());
        duk_context* ctx = m_heap->Context();
        if (!ctx)
            return E_UNEXPECTED;
        const std::u16string* member = nullptr;
        if (dispIdMember != DISPID_VALUE) {
            member = m_heap->NameOfId(dispIdMember);
            if (!member)
                return DISP_E_MEMBERNOTFOUND;
        }
        const bool outermost = m_heap->EnterCall();
        CJScriptErrorDetails details;
        InvokeState state{m_heap.get(), m_key, member, wFlags, pDispParams, {}, S_OK};
        auto body = [&state](duk_context* c) {
            state.heap->PushKept(state.key);  // [obj]
            const UINT cArgs = state.params->cArgs;
            const UINT cNamed = state.params->cNamedArgs;
            if (state.flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
                if (!state.member) {
                    state.hr = DISP_E_MEMBERNOTFOUND;
                    return;
                }
                // A JavaScript property takes exactly its new value (no indexes).
                if (cArgs != 1) {
                    state.hr = DISP_E_BADPARAMCOUNT;
                    return;
                }
                PushText(c, *state.member);
                PushVariant(c, state.params->rgvarg[0]);
                duk_put_prop(c, -3);
                return;
            }
            const UINT cPositional = cArgs - cNamed;
            if (state.member) {
                PushText(c, *state.member);
                duk_get_prop(c, -2);  // [obj value]
                const bool callable = duk_is_callable(c, -1);
                const bool call = callable && ((state.flags & DISPATCH_METHOD) || cPositional > 0);
                if (!call) {
                    // Arguments for a value that is no function have nothing to go to.
                    if (!callable && cPositional > 0) {
                        state.hr = DISP_E_BADPARAMCOUNT;
                        return;
                    }
                    GetVariant(c, -1, &state.result);
                    return;
                }
                duk_swap(c, -2, -1);  // [function this]
            } else {
                if (!duk_is_callable(c, -1)) {
                    if (cPositional > 0) {
                        state.hr = DISP_E_BADPARAMCOUNT;
                        return;
                    }
                    GetVariant(c, -1, &state.result);
                    return;
                }
                duk_push_undefined(c);  // [function this]
            }
            for (UINT i = 0; i < cPositional; ++i)
                PushVariant(c, state.params->rgvarg[cArgs - 1 - i]);
            duk_call_method(c, static_cast<duk_idx_t>(cPositional));
            GetVariant(c, -1, &state.result);
        };
        duk_int_t rc = SafeCall(ctx, body);
        HRESULT hr = state.hr;
        if (FAILED(hr))
            CheckResult(hr);
        if (rc != DUK_EXEC_SUCCESS) {
            if (m_heap->InterruptRequested()) {
                hr = S_OK;
            } else {
                details = CJScriptError::Describe(ctx, -1, false);
                if (pExcepInfo) {
                    *pExcepInfo = EXCEPINFO();
                    pExcepInfo->bstrSource = details.source;
                    pExcepInfo->bstrDescription = details.description;
                    pExcepInfo->scode = details.scode;
                }
                hr = DISP_E_EXCEPTION;
            }
        }
        duk_pop(ctx);
        m_heap->LeaveCall(outermost);
        if (SUCCEEDED(hr) && pVarResult && rc == DUK_EXEC_SUCCESS) {
            VariantClear(pVarResult);
            state.result.Detach(pVarResult);
        }
        // An error of a call from the host (not from a script of this heap) goes to the
        // site with its position, as an error of the engine's own run would. The heap's
        // lock is let go first: the engine's lock comes before it.
        auto report = m_heap->m_reportError;
        guard.unlock();
        if (hr == DISP_E_EXCEPTION && outermost && report)
            report(details);
        return hr;
    } catch (...) {
        return ReportException("CJScriptObjectDispatch::Invoke", CV_HERE);
    }
}
