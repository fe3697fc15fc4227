// Host objects: the Proxy traps that turn JavaScript property access and calls into
// IDispatch calls.
#include "script/engine/jscript/CJScriptHostObject.h"

#include <string>
#include <vector>
#include "com/CComVariant.h"
#include "com/DiagnosticLog.h"
#include "com/ErrorInfo.h"
#include "script/engine/jscript/CJScriptHeap.h"
#include "script/engine/jscript/DuktapeOverrides.h"
#include "script/engine/jscript/JScriptValues.h"

namespace {
const char kDispatch[] = DUK_HIDDEN_SYMBOL("dispatch");
const char kDispid[] = DUK_HIDDEN_SYMBOL("dispid");
const char kHandler[] = DUK_HIDDEN_SYMBOL("hostHandler");

// The IDispatch stored in the object at `index` by PushHolder.
IDispatch* HeldDispatch(duk_context* ctx, duk_idx_t index) {
    IDispatch* p = nullptr;
    if (duk_get_prop_string(ctx, index, kDispatch))
        p = static_cast<IDispatch*>(duk_get_pointer(ctx, -1));
    duk_pop(ctx);
    return p;
}

HRESULT IdOfName(IDispatch* pdisp, const std::u16string& name, DISPID* pid) {
    const char16_t* names[] = {name.c_str()};
    return pdisp->GetIDsOfNames(GUID_NULL, names, 1, LOCALE_USER_DEFAULT, pid);
}

// True for the statuses that say "this member is not a plain property read".
bool WantsCall(HRESULT hr) {
    return hr == DISP_E_MEMBERNOTFOUND || hr == DISP_E_BADPARAMCOUNT ||
           hr == DISP_E_PARAMNOTOPTIONAL || hr == DISP_E_PARAMNOTFOUND;
}
}  // namespace

void CJScriptHostObject::PushHolder(duk_context* ctx, duk_c_function fn, duk_idx_t nargs,
                                    IDispatch* pdisp) {
    duk_push_c_function(ctx, fn, nargs);
    pdisp->AddRef();
    duk_push_pointer(ctx, pdisp);
    duk_put_prop_string(ctx, -2, kDispatch);
    duk_push_c_function(ctx, &Finalize, 2);
    duk_set_finalizer(ctx, -2);
}

void CJScriptHostObject::Push(duk_context* ctx, IDispatch* pdisp) {
    if (!pdisp) {
        duk_push_null(ctx);
        return;
    }
    PushHolder(ctx, &Unreachable, 0, pdisp);
    duk_push_heap_stash(ctx);
    if (!duk_get_prop_string(ctx, -1, kHandler)) {
        duk_pop(ctx);
        duk_push_bare_object(ctx);
        const duk_function_list_entry traps[] = {{"get", &TrapGet, 3},
                                                 {"set", &TrapSet, 4},
                                                 {"has", &TrapHas, 2},
                                                 {"apply", &TrapApply, 3},
                                                 {nullptr, nullptr, 0}};
        duk_put_function_list(ctx, -1, traps);
        duk_dup_top(ctx);
        duk_put_prop_string(ctx, -3, kHandler);
    }
    duk_remove(ctx, -2);
    duk_push_proxy(ctx, 0);
}

IDispatch* CJScriptHostObject::DispatchOf(duk_context* ctx, duk_idx_t index) {
    if (!duk_is_object(ctx, index))
        return nullptr;
    return HeldDispatch(ctx, index);
}

void CJScriptHostObject::AfterHostCall(duk_context* ctx) {
    CJScriptHeap* heap = CJScriptHeap::From(ctx);
    if (heap && heap->InterruptRequested())
        CorvaneDuktapeRequestInterrupt(ctx);
}

void CJScriptHostObject::ThrowFailure(duk_context* ctx, HRESULT hr, const EXCEPINFO* pei) {
    std::u16string description;
    HRESULT number = hr;
    if (pei && hr == DISP_E_EXCEPTION) {
        if (pei->pfnDeferredFillIn) {
            EXCEPINFO copy = *pei;
            copy.pfnDeferredFillIn(&copy);
            description = copy.bstrDescription.Str();
            if (copy.scode)
                number = copy.scode;
        } else {
            description = pei->bstrDescription.Str();
            if (pei->scode)
                number = pei->scode;
        }
    }
    if (description.empty()) {
        CComPtr<IErrorInfo> info;
        if (GetErrorInfo(0, info.Receive()) == S_OK && info) {
            BSTR text;
            if (SUCCEEDED(info->GetDescription(&text)))
                description = text.Str();
        }
    }
    if (description.empty())
        description = Utf8ToUtf16(ErrorText(number));
    if (description.empty())
        description = Utf8ToUtf16("Error " + HResultToString(number));
    duk_push_error_object(ctx, DUK_ERR_ERROR, "%s", "");
    PushText(ctx, description);
    duk_put_prop_string(ctx, -2, "message");
    PushText(ctx, description);
    duk_put_prop_string(ctx, -2, "description");
    // An own data property: Error.prototype.number is an accessor without a backing value.
    duk_push_string(ctx, "number");
    duk_push_int(ctx, static_cast<duk_int_t>(number));
    duk_def_prop(ctx, -3,
                 DUK_DEFPROP_HAVE_VALUE | DUK_DEFPROP_SET_WRITABLE | DUK_DEFPROP_SET_CONFIGURABLE);
    duk_throw(ctx);
    __builtin_unreachable();
}

void CJScriptHostObject::Invoke(duk_context* ctx, IDispatch* pdisp, DISPID dispid, WORD flags,
                                duk_idx_t first, duk_idx_t count) {
    std::vector<CComVariant> args(static_cast<std::size_t>(count));
    for (duk_idx_t i = 0; i < count; ++i) {
        CComVariant& arg = args[static_cast<std::size_t>(count - 1 - i)];
        HRESULT hr = GetVariant(ctx, first + i, &arg);
        if (FAILED(hr))
            ThrowFailure(ctx, hr, nullptr);
    }
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params;
    params.rgvarg = args.data();
    params.cArgs = static_cast<UINT>(count);
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
        params.rgdispidNamedArgs = &named;
        params.cNamedArgs = 1;
    }
    CComVariant result;
    EXCEPINFO ei;
    UINT argErr = 0;
    CJScriptHeap* heap = CJScriptHeap::From(ctx);
    HRESULT hr = pdisp->Invoke(dispid, GUID_NULL, heap ? heap->m_lcid : LOCALE_USER_DEFAULT, flags,
                               &params, &result, &ei, &argErr);
    AfterHostCall(ctx);
    if (FAILED(hr))
        ThrowFailure(ctx, hr, &ei);
    PushVariant(ctx, result);
}

duk_ret_t CJScriptHostObject::TrapGet(duk_context* ctx) {
    // (target, key, receiver)
    if (duk_is_symbol(ctx, 1)) {
        duk_dup(ctx, 1);
        duk_get_prop(ctx, 0);
        return 1;
    }
    IDispatch* pdisp = HeldDispatch(ctx, 0);
    if (!pdisp)
        return 0;
    const std::u16string name = GetText(ctx, 1);
    DISPID dispid = DISPID_UNKNOWN;
    if (FAILED(IdOfName(pdisp, name, &dispid))) {
        if (name == u"valueOf" || name == u"toString") {
            PushHolder(ctx, &DefaultValue, 0, pdisp);
            return 1;
        }
        return 0;
    }
    CComVariant result;
    EXCEPINFO ei;
    DISPPARAMS none;
    UINT argErr = 0;
    CJScriptHeap* heap = CJScriptHeap::From(ctx);
    HRESULT hr = pdisp->Invoke(dispid, GUID_NULL, heap ? heap->m_lcid : LOCALE_USER_DEFAULT,
                               DISPATCH_PROPERTYGET, &none, &result, &ei, &argErr);
    AfterHostCall(ctx);
    if (SUCCEEDED(hr)) {
        PushVariant(ctx, result);
        return 1;
    }
    if (!WantsCall(hr))
        ThrowFailure(ctx, hr, &ei);
    PushHolder(ctx, &CallMember, DUK_VARARGS, pdisp);
    duk_push_int(ctx, dispid);
    duk_put_prop_string(ctx, -2, kDispid);
    return 1;
}

duk_ret_t CJScriptHostObject::TrapSet(duk_context* ctx) {
    // (target, key, value, receiver)
    if (duk_is_symbol(ctx, 1)) {
        duk_dup(ctx, 1);
        duk_dup(ctx, 2);
        duk_put_prop(ctx, 0);
        duk_push_true(ctx);
        return 1;
    }
    IDispatch* pdisp = HeldDispatch(ctx, 0);
    if (!pdisp)
        return 0;
    DISPID dispid = DISPID_UNKNOWN;
    HRESULT hr = IdOfName(pdisp, GetText(ctx, 1), &dispid);
    if (FAILED(hr))
        ThrowFailure(ctx, hr, nullptr);
    const WORD flags = duk_is_object(ctx, 2) && !duk_is_function(ctx, 2) ? DISPATCH_PROPERTYPUTREF
                                                                         : DISPATCH_PROPERTYPUT;
    Invoke(ctx, pdisp, dispid, flags, 2, 1);
    duk_push_true(ctx);
    return 1;
}

duk_ret_t CJScriptHostObject::TrapHas(duk_context* ctx) {
    if (duk_is_symbol(ctx, 1)) {
        duk_push_boolean(ctx, duk_has_prop(ctx, 0));
        return 1;
    }
    IDispatch* pdisp = HeldDispatch(ctx, 0);
    DISPID dispid = DISPID_UNKNOWN;
    duk_push_boolean(ctx, pdisp && SUCCEEDED(IdOfName(pdisp, GetText(ctx, 1), &dispid)));
    return 1;
}

duk_ret_t CJScriptHostObject::TrapApply(duk_context* ctx) {
    // (target, this, argumentsArray)
    IDispatch* pdisp = HeldDispatch(ctx, 0);
    if (!pdisp)
        return 0;
    const duk_idx_t first = duk_get_top(ctx);
    const duk_idx_t count = static_cast<duk_idx_t>(duk_get_length(ctx, 2));
    for (duk_idx_t i = 0; i < count; ++i)
        duk_get_prop_index(ctx, 2, static_cast<duk_uarridx_t>(i));
    Invoke(ctx, pdisp, DISPID_VALUE, DISPATCH_METHOD | DISPATCH_PROPERTYGET, first, count);
    return 1;
}

duk_ret_t CJScriptHostObject::CallMember(duk_context* ctx) {
    const duk_idx_t count = duk_get_top(ctx);
    duk_push_current_function(ctx);
    IDispatch* pdisp = HeldDispatch(ctx, -1);
    duk_get_prop_string(ctx, -1, kDispid);
    const DISPID dispid = duk_get_int(ctx, -1);
    duk_pop_2(ctx);
    if (!pdisp)
        return 0;
    Invoke(ctx, pdisp, dispid, DISPATCH_METHOD | DISPATCH_PROPERTYGET, 0, count);
    return 1;
}

duk_ret_t CJScriptHostObject::DefaultValue(duk_context* ctx) {
    duk_push_current_function(ctx);
    IDispatch* pdisp = HeldDispatch(ctx, -1);
    duk_pop(ctx);
    if (!pdisp)
        return 0;
    CComVariant result;
    EXCEPINFO ei;
    DISPPARAMS none;
    UINT argErr = 0;
    HRESULT hr = pdisp->Invoke(DISPID_VALUE, GUID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET,
                               &none, &result, &ei, &argErr);
    AfterHostCall(ctx);
    if (FAILED(hr) || result.vt == VT_DISPATCH) {
        duk_push_string(ctx, "[object]");
        return 1;
    }
    PushVariant(ctx, result);
    return 1;
}

duk_ret_t CJScriptHostObject::Finalize(duk_context* ctx) {
    if (duk_get_prop_string(ctx, 0, kDispatch)) {
        if (auto* p = static_cast<IDispatch*>(duk_get_pointer(ctx, -1)))
            p->Release();
        duk_pop(ctx);
        duk_push_pointer(ctx, nullptr);
        duk_put_prop_string(ctx, 0, kDispatch);
    }
    return 0;
}

duk_ret_t CJScriptHostObject::Unreachable(duk_context*) {
    return 0;
}
