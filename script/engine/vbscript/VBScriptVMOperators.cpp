// The VBScript virtual machine: operators, conditions and loop helpers, on the
// Automation operators of com/. Strings compare by code unit, as the language defines
// `=` and `<`. See VBScriptVM.h.
#include "com/SafeArray.h"
#include "com/VarMath.h"
#include "script/engine/vbscript/VBScriptVM.h"

namespace {

VARIANT* Deref(VARIANT* v) {
    while (v->vt == (VT_BYREF | VT_VARIANT))
        v = v->pvarVal;
    return v;
}

}  // namespace

HRESULT CVBScriptVM::Compare(VARIANT* left, VARIANT* right, HRESULT* pCmp) {
    CComVariant l, r;
    VariantCopyInd(&l, Deref(left));
    VariantCopyInd(&r, Deref(right));
    HRESULT hr = ValueOf(&l);
    if (SUCCEEDED(hr))
        hr = ValueOf(&r);
    if (FAILED(hr))
        return hr;
    if (l.vt == VT_BSTR && r.vt == VT_BSTR) {
        int c = VariantText(l).compare(VariantText(r));
        *pCmp = c < 0 ? VARCMP_LT : c > 0 ? VARCMP_GT : VARCMP_EQ;
        return S_OK;
    }
    hr = VarCmp(&l, &r, m_builtin.lcid, 0);
    if (FAILED(hr))
        return RecordFailure(hr, nullptr);
    *pCmp = hr;
    return S_OK;
}

HRESULT CVBScriptVM::Binary(VBSOpcode op, VARIANT* left, VARIANT* right, VARIANT* pResult) {
    HRESULT hr = S_OK;
    switch (op) {
        case VBSOpcode::Eq:
        case VBSOpcode::Ne:
        case VBSOpcode::Lt:
        case VBSOpcode::Gt:
        case VBSOpcode::Le:
        case VBSOpcode::Ge: {
            HRESULT cmp;
            hr = Compare(left, right, &cmp);
            if (FAILED(hr))
                return hr;
            if (cmp == VARCMP_NULL) {
                pResult->vt = VT_NULL;
                return S_OK;
            }
            bool value = false;
            switch (op) {
                case VBSOpcode::Eq:
                    value = cmp == VARCMP_EQ;
                    break;
                case VBSOpcode::Ne:
                    value = cmp != VARCMP_EQ;
                    break;
                case VBSOpcode::Lt:
                    value = cmp == VARCMP_LT;
                    break;
                case VBSOpcode::Gt:
                    value = cmp == VARCMP_GT;
                    break;
                case VBSOpcode::Le:
                    value = cmp != VARCMP_GT;
                    break;
                default:
                    value = cmp != VARCMP_LT;
                    break;
            }
            pResult->vt = VT_BOOL;
            pResult->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
            return S_OK;
        }
        case VBSOpcode::Is: {
            VARIANT* l = Deref(left);
            VARIANT* r = Deref(right);
            if ((l->vt != VT_DISPATCH && l->vt != VT_UNKNOWN) ||
                (r->vt != VT_DISPATCH && r->vt != VT_UNKNOWN))
                return Fail(424);
            CComPtr<IUnknown> a, b;
            if (l->punkVal)
                l->punkVal->QueryInterface(IIDOf<IUnknown>(), a.ReceiveVoid());
            if (r->punkVal)
                r->punkVal->QueryInterface(IIDOf<IUnknown>(), b.ReceiveVoid());
            pResult->vt = VT_BOOL;
            pResult->boolVal = a == b ? VARIANT_TRUE : VARIANT_FALSE;
            return S_OK;
        }
        case VBSOpcode::Add:
            hr = VarAdd(left, right, pResult);
            break;
        case VBSOpcode::Sub:
            hr = VarSub(left, right, pResult);
            break;
        case VBSOpcode::Mul:
            hr = VarMul(left, right, pResult);
            break;
        case VBSOpcode::Div:
            hr = VarDiv(left, right, pResult);
            break;
        case VBSOpcode::IntDiv:
            hr = VarIdiv(left, right, pResult);
            break;
        case VBSOpcode::Mod:
            hr = VarMod(left, right, pResult);
            break;
        case VBSOpcode::Pow:
            hr = VarPow(left, right, pResult);
            break;
        case VBSOpcode::Concat:
            hr = VarCat(left, right, pResult);
            break;
        case VBSOpcode::And:
            hr = VarAnd(left, right, pResult);
            break;
        case VBSOpcode::Or:
            hr = VarOr(left, right, pResult);
            break;
        case VBSOpcode::Xor:
            hr = VarXor(left, right, pResult);
            break;
        case VBSOpcode::Eqv:
            hr = VarEqv(left, right, pResult);
            break;
        case VBSOpcode::Imp:
            hr = VarImp(left, right, pResult);
            break;
        default:
            return E_UNEXPECTED;
    }
    return FAILED(hr) ? RecordFailure(hr, nullptr) : S_OK;
}

HRESULT CVBScriptVM::Truth(VARIANT* value, bool* pTrue) {
    CComVariant v;
    VariantCopyInd(&v, Deref(value));
    HRESULT hr = ValueOf(&v);
    if (FAILED(hr))
        return hr;
    if (v.vt == VT_NULL) {  // a Null condition is not true
        *pTrue = false;
        return S_OK;
    }
    CComVariant b;
    if (FAILED(VariantChangeTypeEx(&b, &v, m_builtin.lcid, 0, VT_BOOL)))
        return Fail(13);
    *pTrue = b.boolVal != VARIANT_FALSE;
    return S_OK;
}

HRESULT CVBScriptVM::ForInit(VARIANT* slots, VARIANT* values) {
    for (int i = 0; i < 3; ++i) {
        CComVariant v;
        VariantCopyInd(&v, Deref(&values[i]));
        HRESULT hr = ValueOf(&v);
        if (FAILED(hr))
            return hr;
        if (v.vt == VT_NULL)
            return Fail(94);
        CComVariant number;
        if (FAILED(VariantChangeTypeEx(&number, &v, m_builtin.lcid, 0, VT_R8)))
            return Fail(13);
        if (i > 0) {
            VariantClear(&slots[i - 1]);
            v.Detach(&slots[i - 1]);
        } else {
            VariantClear(&values[0]);
            v.Detach(&values[0]);
        }
    }
    return S_OK;
}

HRESULT CVBScriptVM::ForCheck(VARIANT* slots, VARIANT* value, bool* pDone) {
    CComVariant zero(static_cast<LONG>(0));
    HRESULT sign = VarCmp(&slots[1], &zero, m_builtin.lcid, 0);
    HRESULT cmp = VarCmp(value, &slots[0], m_builtin.lcid, 0);
    if (FAILED(sign) || FAILED(cmp))
        return Fail(13);
    *pDone = sign == VARCMP_LT ? cmp == VARCMP_LT : cmp == VARCMP_GT;
    return S_OK;
}

HRESULT CVBScriptVM::ForEachInit(VARIANT* state, VARIANT* collection) {
    VARIANT* c = Deref(collection);
    VariantClear(&state[0]);
    VariantClear(&state[1]);
    if (c->vt == (VT_ARRAY | VT_VARIANT) && c->parray) {
        VariantCopy(&state[0], c);
        state[1].vt = VT_I4;
        state[1].lVal = 0;
        return S_OK;
    }
    if (c->vt == VT_DISPATCH && c->pdispVal) {
        CComVariant result;
        CComPtr<IDispatch> obj(c->pdispVal);
        HRESULT hr = Dispatch(obj.Get(), DISPID_NEWENUM, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                              nullptr, 0, &result);
        if (FAILED(hr)) {
            m_errorRecorded = false;
            return Fail(451);
        }
        if (result.vt != VT_UNKNOWN && result.vt != VT_DISPATCH)
            return Fail(451);
        CComPtr<IEnumVARIANT> e = ComQuery<IEnumVARIANT>(result.punkVal);
        if (!e)
            return Fail(451);
        state[0].vt = VT_UNKNOWN;
        state[0].punkVal = e.Detach();
        return S_OK;
    }
    return Fail(451);
}

HRESULT CVBScriptVM::ForEachNext(VARIANT* state, VARIANT* pValue, bool* pDone) {
    *pDone = true;
    if (state[0].vt == (VT_ARRAY | VT_VARIANT)) {
        SAFEARRAY* psa = state[0].parray;
        std::size_t total = 1;
        for (const SAFEARRAYBOUND& b : psa->bounds)
            total *= b.cElements;
        if (static_cast<std::size_t>(state[1].lVal) >= total)
            return S_OK;
        VariantCopy(pValue, static_cast<VARIANT*>(psa->pvData) + state[1].lVal);
        ++state[1].lVal;
        *pDone = false;
        return S_OK;
    }
    if (state[0].vt == VT_UNKNOWN && state[0].punkVal) {
        auto* e = static_cast<IEnumVARIANT*>(state[0].punkVal);
        ULONG fetched = 0;
        HRESULT hr = e->Next(1, pValue, &fetched);
        if (FAILED(hr))
            return RecordFailure(hr, nullptr);
        *pDone = fetched == 0;
        if (m_interrupt.load(std::memory_order_relaxed))
            return VBS_E_INTERRUPTED;
    }
    return S_OK;
}
