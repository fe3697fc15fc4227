// The VBScript virtual machine: operators, conditions and loop helpers, on the
// Automation operators of com/. Strings compare by code unit, as the language defines
// `=` and `<`. See VBScriptVM.h.
#include <algorithm>
#include <cmath>

#include "com/SafeArray.h"
#include "com/VarMath.h"
#include "script/engine/vbscript/VBScriptVM.h"

namespace {

bool IsInteger(VARTYPE vt) {
    return vt == VT_I2 || vt == VT_I4;
}

bool IsNumber(VARTYPE vt) {
    return vt == VT_I2 || vt == VT_I4 || vt == VT_R8;
}

double NumberOf(const VARIANT* v) {
    return v->vt == VT_I2 ? v->iVal : v->vt == VT_I4 ? v->lVal : v->dblVal;
}

// An integer result in the narrowest of Integer, Long, Double that holds it, starting
// from the operands' type: Integer + Integer overflows into Long, Long into Double.
void PutInteger(long long value, bool bothShort, VARIANT* pResult) {
    if (bothShort && value >= -32768 && value <= 32767) {
        pResult->vt = VT_I2;
        pResult->iVal = static_cast<SHORT>(value);
    } else if (value >= INT32_MIN && value <= INT32_MAX) {
        pResult->vt = VT_I4;
        pResult->lVal = static_cast<LONG>(value);
    } else {
        pResult->vt = VT_R8;
        pResult->dblVal = static_cast<double>(value);
    }
}

// An Integer or Long is its digits in every locale (no grouping): written into
// `digits`, which the view points into.
std::u16string_view IntegerText(const VARIANT* value, char16_t (&digits)[12]) {
    char16_t* end = digits + 12;
    char16_t* p = end;
    long long n = value->vt == VT_I2 ? value->iVal : value->lVal;
    unsigned long long m =
        n < 0 ? 0ull - static_cast<unsigned long long>(n) : static_cast<unsigned long long>(n);
    do {
        *--p = static_cast<char16_t>(u'0' + m % 10);
        m /= 10;
    } while (m);
    if (n < 0)
        *--p = u'-';
    return std::u16string_view(p, static_cast<std::size_t>(end - p));
}

}  // namespace

// The common cases of the operators on Integer, Long and Double operands (and string
// comparison and concatenation), without the general conversions. False when the
// operands need the general path; the result type rules are the language's.
bool CVBScriptVM::FastBinary(VBSOpcode op, const VARIANT* left, const VARIANT* right,
                             VARIANT* pResult, HRESULT* pHr) {
    const VARTYPE lt = left->vt, rt = right->vt;
    *pHr = S_OK;
    if (op == VBSOpcode::Concat) {
        if (lt == VT_DISPATCH || rt == VT_DISPATCH || lt == VT_UNKNOWN || rt == VT_UNKNOWN)
            return false;
        *pHr = Concat(const_cast<VARIANT*>(left), const_cast<VARIANT*>(right), pResult);
        return true;
    }
    if (op >= VBSOpcode::Eq && op <= VBSOpcode::Ge) {
        int c;
        if (IsNumber(lt) && IsNumber(rt)) {
            double l = NumberOf(left), r = NumberOf(right);
            c = l < r ? -1 : l > r ? 1 : 0;
        } else if (lt == VT_BSTR && rt == VT_BSTR) {
            c = VariantText(*left).compare(VariantText(*right));
        } else {
            return false;
        }
        bool value = op == VBSOpcode::Eq   ? c == 0
                     : op == VBSOpcode::Ne ? c != 0
                     : op == VBSOpcode::Lt ? c < 0
                     : op == VBSOpcode::Gt ? c > 0
                     : op == VBSOpcode::Le ? c <= 0
                                           : c >= 0;
        pResult->vt = VT_BOOL;
        pResult->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
        return true;
    }
    if (IsInteger(lt) && IsInteger(rt)) {
        const long long l = lt == VT_I2 ? left->iVal : left->lVal;
        const long long r = rt == VT_I2 ? right->iVal : right->lVal;
        const bool bothShort = lt == VT_I2 && rt == VT_I2;
        switch (op) {
            case VBSOpcode::Add:
                PutInteger(l + r, bothShort, pResult);
                return true;
            case VBSOpcode::Sub:
                PutInteger(l - r, bothShort, pResult);
                return true;
            case VBSOpcode::Mul:
                PutInteger(l * r, bothShort, pResult);
                return true;
            case VBSOpcode::IntDiv:
            case VBSOpcode::Mod: {
                if (r == 0)
                    return false;
                long long v = op == VBSOpcode::IntDiv ? l / r : l % r;
                if (!bothShort && (v < INT32_MIN || v > INT32_MAX))
                    return false;  // overflow: the general path reports it
                PutInteger(v, bothShort, pResult);
                return true;
            }
            case VBSOpcode::Div:
                if (r == 0)
                    return false;
                pResult->vt = VT_R8;
                pResult->dblVal = static_cast<double>(l) / static_cast<double>(r);
                return true;
            case VBSOpcode::And:
            case VBSOpcode::Or:
            case VBSOpcode::Xor: {
                long long v = op == VBSOpcode::And  ? (l & r)
                              : op == VBSOpcode::Or ? (l | r)
                                                    : (l ^ r);
                PutInteger(v, bothShort, pResult);
                return true;
            }
            default:
                return false;
        }
    }
    if (lt == VT_BOOL && rt == VT_BOOL &&
        (op == VBSOpcode::And || op == VBSOpcode::Or || op == VBSOpcode::Xor)) {
        const bool l = left->boolVal != VARIANT_FALSE, r = right->boolVal != VARIANT_FALSE;
        const bool v = op == VBSOpcode::And ? l && r : op == VBSOpcode::Or ? l || r : l != r;
        pResult->vt = VT_BOOL;
        pResult->boolVal = v ? VARIANT_TRUE : VARIANT_FALSE;
        return true;
    }
    if (IsNumber(lt) && IsNumber(rt) &&
        (op == VBSOpcode::Add || op == VBSOpcode::Sub || op == VBSOpcode::Mul ||
         op == VBSOpcode::Div)) {
        const double l = NumberOf(left), r = NumberOf(right);
        if (op == VBSOpcode::Div && r == 0)
            return false;
        const double v = op == VBSOpcode::Add   ? l + r
                         : op == VBSOpcode::Sub ? l - r
                         : op == VBSOpcode::Mul ? l * r
                                                : l / r;
        if (!std::isfinite(v))
            return false;
        pResult->vt = VT_R8;
        pResult->dblVal = v;
        return true;
    }
    return false;
}

// The text a value contributes to a concatenation: Empty and Null none, numbers,
// dates and booleans as the script's locale writes them.
HRESULT CVBScriptVM::TextOf(const VARIANT* value, BSTR* pText) {
    if (value->vt == VT_BSTR) {
        *pText = VariantBstr(*value);
        return S_OK;
    }
    if (value->vt == VT_EMPTY || value->vt == VT_NULL) {
        *pText = BSTR::Empty();
        return S_OK;
    }
    if (value->vt == VT_I2 || value->vt == VT_I4) {
        char16_t digits[12];
        *pText = BSTR(IntegerText(value, digits));
        return S_OK;
    }
    CComVariant text;
    if (FAILED(VariantChangeTypeEx(&text, value, m_builtin.lcid, VARIANT_ALPHABOOL, VT_BSTR)))
        return Fail(13);
    *pText = VariantBstr(text);
    return S_OK;
}

HRESULT CVBScriptVM::TextView(const VARIANT* value, TextHolder* pHolder,
                              std::u16string_view* pText) {
    if (value->vt == VT_BSTR) {
        *pText = VariantText(*value);
        return S_OK;
    }
    if (value->vt == VT_EMPTY || value->vt == VT_NULL) {
        *pText = {};
        return S_OK;
    }
    if (value->vt == VT_I2 || value->vt == VT_I4) {
        *pText = IntegerText(value, pHolder->digits);
        return S_OK;
    }
    HRESULT hr = TextOf(value, &pHolder->text);
    if (FAILED(hr))
        return hr;
    *pText = pHolder->text.View();
    return S_OK;
}

HRESULT CVBScriptVM::Concat(VARIANT* left, VARIANT* right, VARIANT* pResult) {
    VARIANT* l = Deref(left);
    VARIANT* r = Deref(right);
    if (l->vt == VT_DISPATCH || l->vt == VT_UNKNOWN || r->vt == VT_DISPATCH ||
        r->vt == VT_UNKNOWN) {
        CComVariant a, b;
        VariantCopyInd(&a, l);
        VariantCopyInd(&b, r);
        HRESULT hr = ValueOf(&a);
        if (SUCCEEDED(hr))
            hr = ValueOf(&b);
        if (FAILED(hr))
            return hr;
        return Concat(&a, &b, pResult);
    }
    if (l->vt == VT_NULL && r->vt == VT_NULL) {
        pResult->vt = VT_NULL;
        return S_OK;
    }
    TextHolder tailHolder;
    std::u16string_view tail;
    HRESULT hr = TextView(r, &tailHolder, &tail);
    if (FAILED(hr))
        return hr;
    if (left->vt == VT_BSTR && left->bstrVal && left != right &&
        left->bstrVal->refs.load(std::memory_order_acquire) == 1) {
        // A value nothing else holds (the result of the concatenation before): append.
        if (left->bstrVal->text.size() + tail.size() > MAX_STRING_LENGTH)
            return Fail(14);
        BSTR text = BSTR::Adopt(left->bstrVal);
        left->vt = VT_EMPTY;
        text.Mutable().append(tail);
        pResult->vt = VT_BSTR;
        pResult->bstrVal = text.Detach();
        return S_OK;
    }
    TextHolder headHolder;
    std::u16string_view head;
    hr = TextView(l, &headHolder, &head);
    if (FAILED(hr))
        return hr;
    if (head.size() + tail.size() > MAX_STRING_LENGTH)
        return Fail(14);
    std::u16string text;
    // Room to grow: a concatenation is usually followed by more, appended in place.
    text.reserve(std::max<std::size_t>(head.size() + tail.size(), 40));
    text.append(head);
    text.append(tail);
    pResult->vt = VT_BSTR;
    pResult->bstrVal = BSTR(std::move(text)).Detach();
    return S_OK;
}

// s = s & …: when the variable's string is held by nothing but the variable and the
// operand stack, the text grows in place instead of being copied.
HRESULT CVBScriptVM::AppendStore(Frame& frame, const VBSInstr& in, VARIANT* left, VARIANT* right) {
    VARIANT* slot = nullptr;
    Binding binding;
    if (in.kind != VBSRefKind::MemberProc) {
        HRESULT hr = SlotOf(frame, in, false, &slot, &binding);
        if (FAILED(hr))
            return hr;
    }
    VARIANT* target = slot ? Deref(slot) : nullptr;
    VARIANT* r = Deref(right);
    if (target && target->vt == VT_BSTR && left->vt == VT_BSTR && target->bstrVal &&
        target->bstrVal == left->bstrVal &&
        target->bstrVal->refs.load(std::memory_order_acquire) == 2 && r->vt != VT_DISPATCH &&
        r->vt != VT_UNKNOWN) {
        BSTR tail;
        HRESULT hr = TextOf(r, &tail);
        if (FAILED(hr))
            return hr;
        if (target->bstrVal->text.size() + tail.Length() > MAX_STRING_LENGTH)
            return Fail(14);
        BSTR::ReleaseBuffer(left->bstrVal);  // the stack's reference: the variable's remains
        left->vt = VT_EMPTY;
        target->bstrVal->text.append(tail.View());
        return S_OK;
    }
    CComVariant result;
    HRESULT hr = Concat(left, right, &result);
    if (FAILED(hr))
        return hr;
    VBSInstr store = in;
    store.op = VBSOpcode::Store;
    return StoreRef(frame, store, nullptr, 0, &result, false);
}

HRESULT CVBScriptVM::Compare(VARIANT* left, VARIANT* right, HRESULT* pCmp) {
    // Two strings or two whole numbers, most of a script's comparisons, need neither copies
    // nor conversions.
    const VARIANT* a = Deref(left);
    const VARIANT* b = Deref(right);
    if (a->vt == VT_BSTR && b->vt == VT_BSTR) {
        const int c = VariantText(*a).compare(VariantText(*b));
        *pCmp = c < 0 ? VARCMP_LT : c > 0 ? VARCMP_GT : VARCMP_EQ;
        return S_OK;
    }
    if ((a->vt == VT_I4 || a->vt == VT_I2) && (b->vt == VT_I4 || b->vt == VT_I2)) {
        const LONG x = a->vt == VT_I4 ? a->lVal : a->iVal;
        const LONG y = b->vt == VT_I4 ? b->lVal : b->iVal;
        *pCmp = x < y ? VARCMP_LT : x > y ? VARCMP_GT : VARCMP_EQ;
        return S_OK;
    }
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
            return Concat(left, right, pResult);
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
    if (value->vt == VT_BOOL) {
        *pTrue = value->boolVal != VARIANT_FALSE;
        return S_OK;
    }
    if (IsInteger(value->vt)) {
        *pTrue = (value->vt == VT_I2 ? value->iVal : value->lVal) != 0;
        return S_OK;
    }
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
    if (IsNumber(value->vt) && IsNumber(slots[0].vt) && IsNumber(slots[1].vt)) {
        const double v = NumberOf(value), end = NumberOf(&slots[0]);
        *pDone = NumberOf(&slots[1]) < 0 ? v < end : v > end;
        return S_OK;
    }
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
    // A dynamic array without elements (Dim x() or erased): no iteration. The state stays
    // Empty, which ForEachNext reads as the end.
    if ((c->vt & (VT_ARRAY | VT_BYREF)) == VT_ARRAY && !c->parray)
        return S_OK;
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
