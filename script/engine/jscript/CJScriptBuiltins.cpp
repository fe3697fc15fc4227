// VBArray, Enumerator and ActiveXObject for JScript.
#include "script/engine/jscript/CJScriptBuiltins.h"

#include <vector>
#include "com/CComVariant.h"
#include "com/ClassRegistry.h"
#include "com/DiagnosticLog.h"
#include "script/engine/jscript/CJScriptHostObject.h"
#include "script/engine/jscript/JScriptValues.h"

namespace {
const char kArray[] = DUK_HIDDEN_SYMBOL("safearray");
const char kVBArrayProto[] = DUK_HIDDEN_SYMBOL("VBArrayPrototype");
const char kEnum[] = DUK_HIDDEN_SYMBOL("enum");
const char kEnumArray[] = DUK_HIDDEN_SYMBOL("enumArray");
const char kEnumIndex[] = DUK_HIDDEN_SYMBOL("enumIndex");
const char kEnumItem[] = DUK_HIDDEN_SYMBOL("enumItem");
const char kEnumDone[] = DUK_HIDDEN_SYMBOL("enumDone");

SAFEARRAY* ThisArray(duk_context* ctx) {
    duk_push_this(ctx);
    SAFEARRAY* psa = CJScriptBuiltins::ArrayOf(ctx, -1);
    duk_pop(ctx);
    if (!psa)
        duk_type_error(ctx, "VBArray expected");
    return psa;
}

void PushElement(duk_context* ctx, SAFEARRAY* psa, const std::vector<LONG>& indices) {
    CComVariant element;
    HRESULT hr = S_OK;
    if (psa->vt == VT_VARIANT) {
        hr = SafeArrayGetElement(psa, indices.data(), &element);
    } else {
        void* p = nullptr;
        hr = SafeArrayPtrOfIndex(psa, indices.data(), &p);
        if (SUCCEEDED(hr)) {
            VARIANT ref;
            VariantInit(&ref);
            ref.vt = static_cast<VARTYPE>(psa->vt | VT_BYREF);
            ref.byref = p;
            hr = VariantCopyInd(&element, &ref);
        }
    }
    if (FAILED(hr))
        CJScriptHostObject::ThrowFailure(ctx, hr, nullptr);
    PushVariant(ctx, element);
}

// Moves the enumerator at `index` to its next item.
void Advance(duk_context* ctx, duk_idx_t index) {
    index = duk_normalize_index(ctx, index);
    bool done = true;
    if (duk_get_prop_string(ctx, index, kEnumArray)) {
        duk_get_prop_string(ctx, index, kEnumIndex);
        const duk_uarridx_t i = duk_get_uint(ctx, -1) + 1;
        duk_pop(ctx);
        duk_push_uint(ctx, i);
        duk_put_prop_string(ctx, index, kEnumIndex);
        done = i >= duk_get_length(ctx, -1);
        duk_get_prop_index(ctx, -1, i);
        duk_put_prop_string(ctx, index, kEnumItem);
    } else {
        duk_get_prop_string(ctx, index, kEnum);
        auto* penum = static_cast<IEnumVARIANT*>(duk_get_pointer(ctx, -1));
        duk_pop(ctx);
        if (penum) {
            CComVariant item;
            ULONG fetched = 0;
            HRESULT hr = penum->Next(1, &item, &fetched);
            CJScriptHostObject::AfterHostCall(ctx);
            if (FAILED(hr))
                CJScriptHostObject::ThrowFailure(ctx, hr, nullptr);
            done = hr != S_OK || fetched != 1;
            PushVariant(ctx, item);
            duk_put_prop_string(ctx, index, kEnumItem);
        }
    }
    duk_pop(ctx);
    duk_push_boolean(ctx, done);
    duk_put_prop_string(ctx, index, kEnumDone);
}
}  // namespace

void CJScriptBuiltins::Install(duk_context* ctx) {
    duk_push_heap_stash(ctx);
    duk_push_object(ctx);
    const duk_function_list_entry arrayMethods[] = {
        {"dimensions", &VBArrayDimensions, 0}, {"lbound", &VBArrayBound, 1},
        {"ubound", &VBArrayBound, 1},          {"getItem", &VBArrayGetItem, DUK_VARARGS},
        {"toArray", &VBArrayToArray, 0},       {nullptr, nullptr, 0}};
    duk_put_function_list(ctx, -1, arrayMethods);
    // lbound and ubound share a function; the magic value tells them apart.
    duk_get_prop_string(ctx, -1, "ubound");
    duk_set_magic(ctx, -1, 1);
    duk_pop(ctx);
    duk_put_prop_string(ctx, -2, kVBArrayProto);
    duk_pop(ctx);

    duk_push_global_object(ctx);
    duk_push_c_function(ctx, &VBArrayConstructor, 1);
    duk_put_prop_string(ctx, -2, "VBArray");
    duk_push_c_function(ctx, &EnumeratorConstructor, 1);
    duk_push_object(ctx);
    const duk_function_list_entry enumMethods[] = {{"atEnd", &EnumeratorAtEnd, 0},
                                                   {"item", &EnumeratorItem, 0},
                                                   {"moveNext", &EnumeratorMoveNext, 0},
                                                   {"moveFirst", &EnumeratorMoveFirst, 0},
                                                   {nullptr, nullptr, 0}};
    duk_put_function_list(ctx, -1, enumMethods);
    duk_put_prop_string(ctx, -2, "prototype");
    duk_put_prop_string(ctx, -2, "Enumerator");
    duk_push_c_function(ctx, &ActiveXObjectConstructor, 1);
    duk_put_prop_string(ctx, -2, "ActiveXObject");
    // Duktape keeps its own object (version and environment only, in our configuration)
    // for its error handling, which reaches it directly; pages have no business with it.
    duk_del_prop_string(ctx, -1, "Duktape");

    duk_get_prop_string(ctx, -1, "Error");
    duk_get_prop_string(ctx, -1, "prototype");
    duk_push_string(ctx, "number");
    duk_push_c_function(ctx, &ErrorNumberGet, 0);
    duk_push_c_function(ctx, &ErrorNumberSet, 1);
    duk_def_prop(ctx, -4,
                 DUK_DEFPROP_HAVE_GETTER | DUK_DEFPROP_HAVE_SETTER | DUK_DEFPROP_SET_CONFIGURABLE);
    duk_pop_3(ctx);
}

SCODE CJScriptBuiltins::ErrorNumberOfName(std::u16string_view name) {
    unsigned number = 5022;
    if (name == u"TypeError")
        number = 5007;
    else if (name == u"ReferenceError")
        number = 5009;
    else if (name == u"RangeError")
        number = 28;
    else if (name == u"SyntaxError")
        number = 1002;
    return static_cast<SCODE>(0x800A0000u | number);
}

duk_ret_t CJScriptBuiltins::ErrorNumberGet(duk_context* ctx) {
    duk_push_this(ctx);
    duk_get_prop_string(ctx, -1, "name");
    const std::u16string name = duk_is_string(ctx, -1) ? GetText(ctx, -1) : std::u16string();
    duk_push_int(ctx, static_cast<duk_int_t>(ErrorNumberOfName(name)));
    return 1;
}

duk_ret_t CJScriptBuiltins::ErrorNumberSet(duk_context* ctx) {
    // Assigning gives the error an own value that hides the derived one.
    duk_push_this(ctx);
    duk_push_string(ctx, "number");
    duk_dup(ctx, 0);
    duk_def_prop(ctx, -3,
                 DUK_DEFPROP_HAVE_VALUE | DUK_DEFPROP_SET_WRITABLE | DUK_DEFPROP_SET_CONFIGURABLE |
                     DUK_DEFPROP_SET_ENUMERABLE);
    return 0;
}

void CJScriptBuiltins::PushVBArray(duk_context* ctx, const SAFEARRAY* psa) {
    SAFEARRAY* copy = nullptr;
    HRESULT hr = SafeArrayCopy(psa, &copy);
    if (FAILED(hr))
        CJScriptHostObject::ThrowFailure(ctx, hr, nullptr);
    duk_push_object(ctx);
    duk_push_pointer(ctx, copy);
    duk_put_prop_string(ctx, -2, kArray);
    duk_push_c_function(ctx, &VBArrayFinalize, 2);
    duk_set_finalizer(ctx, -2);
    duk_push_heap_stash(ctx);
    duk_get_prop_string(ctx, -1, kVBArrayProto);
    duk_remove(ctx, -2);
    duk_set_prototype(ctx, -2);
}

SAFEARRAY* CJScriptBuiltins::ArrayOf(duk_context* ctx, duk_idx_t index) {
    if (!duk_is_object(ctx, index) || CJScriptHostObject::DispatchOf(ctx, index))
        return nullptr;
    SAFEARRAY* psa = nullptr;
    if (duk_get_prop_string(ctx, index, kArray))
        psa = static_cast<SAFEARRAY*>(duk_get_pointer(ctx, -1));
    duk_pop(ctx);
    return psa;
}

duk_ret_t CJScriptBuiltins::VBArrayConstructor(duk_context* ctx) {
    if (!ArrayOf(ctx, 0))
        duk_type_error(ctx, "VBArray expected");
    duk_dup(ctx, 0);
    return 1;
}

duk_ret_t CJScriptBuiltins::VBArrayDimensions(duk_context* ctx) {
    duk_push_uint(ctx, SafeArrayGetDim(ThisArray(ctx)));
    return 1;
}

duk_ret_t CJScriptBuiltins::VBArrayBound(duk_context* ctx) {
    SAFEARRAY* psa = ThisArray(ctx);
    const UINT dim = duk_is_undefined(ctx, 0) ? 1 : static_cast<UINT>(duk_to_int(ctx, 0));
    LONG bound = 0;
    HRESULT hr = duk_get_current_magic(ctx) ? SafeArrayGetUBound(psa, dim, &bound)
                                            : SafeArrayGetLBound(psa, dim, &bound);
    if (FAILED(hr))
        duk_range_error(ctx, "Subscript out of range");
    duk_push_int(ctx, bound);
    return 1;
}

duk_ret_t CJScriptBuiltins::VBArrayGetItem(duk_context* ctx) {
    SAFEARRAY* psa = ThisArray(ctx);
    const duk_idx_t count = duk_get_top(ctx);
    if (static_cast<UINT>(count) != SafeArrayGetDim(psa))
        duk_range_error(ctx, "Subscript out of range");
    std::vector<LONG> indices(static_cast<std::size_t>(count));
    for (duk_idx_t i = 0; i < count; ++i)
        indices[static_cast<std::size_t>(i)] = duk_to_int(ctx, i);
    PushElement(ctx, psa, indices);
    return 1;
}

duk_ret_t CJScriptBuiltins::VBArrayToArray(duk_context* ctx) {
    SAFEARRAY* psa = ThisArray(ctx);
    const UINT dims = SafeArrayGetDim(psa);
    std::vector<LONG> indices(dims);
    ULONG total = 1;
    for (UINT d = 0; d < dims; ++d) {
        indices[d] = psa->bounds[d].lLbound;
        total *= psa->bounds[d].cElements;
    }
    duk_push_array(ctx);
    for (ULONG n = 0; n < total; ++n) {
        PushElement(ctx, psa, indices);
        duk_put_prop_index(ctx, -2, n);
        for (UINT d = 0; d < dims; ++d) {  // first dimension fastest
            if (++indices[d] < psa->bounds[d].lLbound + static_cast<LONG>(psa->bounds[d].cElements))
                break;
            indices[d] = psa->bounds[d].lLbound;
        }
    }
    return 1;
}

duk_ret_t CJScriptBuiltins::VBArrayFinalize(duk_context* ctx) {
    if (duk_get_prop_string(ctx, 0, kArray)) {
        if (auto* psa = static_cast<SAFEARRAY*>(duk_get_pointer(ctx, -1)))
            SafeArrayDestroy(psa);
        duk_push_pointer(ctx, nullptr);
        duk_put_prop_string(ctx, 0, kArray);
    }
    return 0;
}

duk_ret_t CJScriptBuiltins::EnumeratorConstructor(duk_context* ctx) {
    if (!duk_is_constructor_call(ctx))
        duk_type_error(ctx, "Enumerator must be called with new");
    duk_push_this(ctx);  // [collection this]
    if (duk_is_array(ctx, 0)) {
        duk_dup(ctx, 0);
        duk_put_prop_string(ctx, 1, kEnumArray);
    } else if (IDispatch* pdisp = CJScriptHostObject::DispatchOf(ctx, 0)) {
        CComVariant result;
        DISPPARAMS none;
        EXCEPINFO ei;
        UINT argErr = 0;
        HRESULT hr =
            pdisp->Invoke(DISPID_NEWENUM, GUID_NULL, LOCALE_USER_DEFAULT,
                          DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none, &result, &ei, &argErr);
        CJScriptHostObject::AfterHostCall(ctx);
        if (FAILED(hr))
            CJScriptHostObject::ThrowFailure(ctx, hr, &ei);
        CComPtr<IEnumVARIANT> penum;
        if (result.vt == VT_UNKNOWN || result.vt == VT_DISPATCH)
            penum = ComQuery<IEnumVARIANT>(result.punkVal);
        if (!penum)
            duk_type_error(ctx, "Object doesn't support this property or method");
        duk_push_pointer(ctx, penum.Detach());
        duk_put_prop_string(ctx, 1, kEnum);
        duk_push_c_function(ctx, &EnumeratorFinalize, 2);
        duk_set_finalizer(ctx, 1);
    } else {
        duk_type_error(ctx, "Object is not a collection");
    }
    duk_push_int(ctx, -1);
    duk_put_prop_string(ctx, 1, kEnumIndex);
    Advance(ctx, 1);
    return 0;
}

duk_ret_t CJScriptBuiltins::EnumeratorAtEnd(duk_context* ctx) {
    duk_push_this(ctx);
    duk_get_prop_string(ctx, -1, kEnumDone);
    duk_push_boolean(ctx, duk_to_boolean(ctx, -1));
    return 1;
}

duk_ret_t CJScriptBuiltins::EnumeratorItem(duk_context* ctx) {
    duk_push_this(ctx);
    duk_get_prop_string(ctx, -1, kEnumDone);
    if (duk_to_boolean(ctx, -1))
        return 0;
    duk_get_prop_string(ctx, -2, kEnumItem);
    return 1;
}

duk_ret_t CJScriptBuiltins::EnumeratorMoveNext(duk_context* ctx) {
    duk_push_this(ctx);
    duk_get_prop_string(ctx, -1, kEnumDone);
    if (!duk_to_boolean(ctx, -1))
        Advance(ctx, -2);
    return 0;
}

duk_ret_t CJScriptBuiltins::EnumeratorMoveFirst(duk_context* ctx) {
    duk_push_this(ctx);
    if (duk_get_prop_string(ctx, -1, kEnum)) {
        if (auto* penum = static_cast<IEnumVARIANT*>(duk_get_pointer(ctx, -1)))
            penum->Reset();
        CJScriptHostObject::AfterHostCall(ctx);
    }
    duk_pop(ctx);
    duk_push_int(ctx, -1);
    duk_put_prop_string(ctx, -2, kEnumIndex);
    Advance(ctx, -1);
    return 0;
}

duk_ret_t CJScriptBuiltins::EnumeratorFinalize(duk_context* ctx) {
    if (duk_get_prop_string(ctx, 0, kEnum)) {
        if (auto* penum = static_cast<IEnumVARIANT*>(duk_get_pointer(ctx, -1)))
            penum->Release();
        duk_push_pointer(ctx, nullptr);
        duk_put_prop_string(ctx, 0, kEnum);
    }
    return 0;
}

duk_ret_t CJScriptBuiltins::ActiveXObjectConstructor(duk_context* ctx) {
    const std::u16string progId = GetText(ctx, 0);
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(progId.c_str(), &clsid);
    CComPtr<IDispatch> object;
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IIDOf<IDispatch>(), object.ReceiveVoid());
    if (FAILED(hr))
        CJScriptHostObject::ThrowFailure(ctx, hr, nullptr);
    CJScriptHostObject::Push(ctx, object.Get());
    return 1;
}
