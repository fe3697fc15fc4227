// The variant dictionary: Item, Key, Count, _NewEnum, Remove and RemoveAll over a map
// owned by the application object or a user session.
#include "objects/VariantDictionary.h"

#include <utility>

#include "com/DiagnosticLog.h"
#include "com/VarMath.h"
#include "idl/DispatchIds.h"

bool CVariantKeyLess::operator()(const CComVariant& left, const CComVariant& right) const {
    return VarCmp(&left, &right, LOCALE_USER_DEFAULT, 0) == VARCMP_LT;
}

CVariantMap::iterator CVariantMap::find(const CComVariant& key) {
    if (key.vt != VT_BSTR)
        return Base::find(key);
    const std::u16string_view text = BSTR::ViewOf(key.bstrVal);
    if (const auto known = m_found.find(text); known != m_found.end())
        return known->second;
    const iterator it = Base::find(key);
    if (it == Base::end())
        return it;
    // Bounded: spellings that the collation holds equal could otherwise pile up.
    if (m_found.size() >= 2 * Base::size() + 16)
        m_found.clear();
    m_found.emplace(std::u16string(text), it);
    return it;
}

const CDispatchTable& CVariantDictionary::GetDispatchTable() {
    using C = CVariantDictionary;
    static const CDispatchTable table(
        u"IVariantDictionary",
        {
            DispGet<&C::get_Item>(u"Item", DISPID_IVARIANTDICTIONARY_ITEM),
            DispPut<&C::put_Item>(u"Item", DISPID_IVARIANTDICTIONARY_ITEM),
            DispPutRef<&C::putref_Item>(u"Item", DISPID_IVARIANTDICTIONARY_ITEM),
            DispGet<&C::get_Key>(u"Key", DISPID_IVARIANTDICTIONARY_KEY),
            DispGet<&C::get_Count>(u"Count", DISPID_IVARIANTDICTIONARY_COUNT),
            DispGet<&C::get__NewEnum>(u"_NewEnum", DISPID_IVARIANTDICTIONARY_NEWENUM),
            DispMethod<&C::Remove>(u"Remove", DISPID_IVARIANTDICTIONARY_REMOVE),
            DispMethod<&C::RemoveAll>(u"RemoveAll", DISPID_IVARIANTDICTIONARY_REMOVEALL),
        });
    return table;
}

HRESULT CVariantDictionary::Init(CComAutoCriticalSection* pOwner, IUnknown* pUnkOwner,
                                 CVariantMap* pmapElements, bool bReadOnly) {
    if (CheckExpression(!pOwner || !pmapElements))
        return E_INVALIDARG;
    CCritSecLock guard(m_lock);
    m_pOwner = pOwner;
    m_ptrOwner = pUnkOwner;
    m_pmapElements = pmapElements;
    m_bReadOnly = bReadOnly;
    return S_OK;
}

HRESULT CVariantDictionary::CheckStorable(const VARIANT& var) {
    CComPtr<ICorvane_Reserved> ptrReserved;
    auto answers = [&ptrReserved](IUnknown* p) {
        return p &&
               SUCCEEDED(p->QueryInterface(IIDOf<ICorvane_Reserved>(), ptrReserved.ReceiveVoid()));
    };
    // The four forms an object can arrive in, each logged as its own expression.
    if (CheckExpressionAt(
            var.vt == VT_DISPATCH && answers(var.pdispVal),
            "var.vt == VT_DISPATCH && CV_SUCCEEDED(var.pdispVal->QueryInterface(&ptrReserved))",
            CV_HERE))
        return E_ACCESSDENIED;
    if (CheckExpressionAt(
            var.vt == VT_UNKNOWN && answers(var.punkVal),
            "var.vt == VT_UNKNOWN && CV_SUCCEEDED(var.punkVal->QueryInterface(&ptrReserved))",
            CV_HERE))
        return E_ACCESSDENIED;
    if (CheckExpressionAt(
            var.vt == (VT_DISPATCH | VT_BYREF) && var.ppdispVal && answers(*var.ppdispVal),
            "var.vt == (VT_DISPATCH | VT_BYREF) && "
            "CV_SUCCEEDED((*var.ppdispVal)->QueryInterface(&ptrReserved))",
            CV_HERE))
        return E_ACCESSDENIED;
    if (CheckExpressionAt(
            var.vt == (VT_UNKNOWN | VT_BYREF) && var.ppunkVal && answers(*var.ppunkVal),
            "var.vt == (VT_UNKNOWN | VT_BYREF) && "
            "CV_SUCCEEDED((*var.ppunkVal)->QueryInterface(&ptrReserved))",
            CV_HERE))
        return E_ACCESSDENIED;
    return S_OK;
}

namespace {

// Types whose VarCmp order is total among themselves: numbers (booleans, dates and
// currency count as numbers) and strings. Empty, which equals both 0 and "", would
// break that order and is mapped to "" before it gets here.
bool IsOrderedKeyType(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_I2:
        case VT_I4:
        case VT_I8:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_DECIMAL:
        case VT_BOOL:
        case VT_BSTR:
            return true;
        default:
            return false;
    }
}

}  // namespace

HRESULT CVariantDictionary::MakeKey(const VARIANT& key, CComVariant* pKey) {
    if (CheckExpression(!pKey))
        return E_POINTER;
    HRESULT hr = VariantCopyInd(pKey, &key);
    if (!CheckResult(hr))
        return hr;
    if (pKey->vt == VT_DISPATCH) {
        // An object stands for its default value, as it would in a comparison.
        CComPtr<IDispatch> ptrDisp(pKey->pdispVal);
        CComVariant varValue;
        DISPPARAMS noArgs;
        hr = ptrDisp ? ptrDisp->Invoke(DISPID_VALUE, IIDOf<IUnknown>(), LOCALE_USER_DEFAULT,
                                       DISPATCH_PROPERTYGET, &noArgs, &varValue, nullptr, nullptr)
                     : E_INVALIDARG;
        if (CheckExpression(FAILED(hr)))
            return E_INVALIDARG;
        hr = VariantCopyInd(pKey, &varValue);
        if (!CheckResult(hr))
            return hr;
    }
    if (pKey->vt == VT_EMPTY) {
        *pKey = CComVariant(BSTR::Empty());
        return S_OK;
    }
    if (CheckExpression(!IsOrderedKeyType(pKey->vt)))
        return E_INVALIDARG;
    return S_OK;
}

HRESULT CVariantDictionary::GetTarget(Target* pTarget) {
    CCritSecLock guard(m_lock);
    if (CheckExpression(!m_pmapElements || !m_pOwner))
        return E_UNEXPECTED;
    *pTarget = Target{m_pOwner, m_pmapElements, m_bReadOnly};
    return S_OK;
}

HRESULT CVariantDictionary::get_Item(const VARIANT& VarKey, VARIANT* pvar) {
    if (CheckExpression(!pvar))
        return E_POINTER;
    try {
        VariantClear(pvar);
        Target target;
        HRESULT hr = GetTarget(&target);
        if (FAILED(hr))
            return hr;
        CComVariant varKey;
        hr = MakeKey(VarKey, &varKey);
        if (FAILED(hr))
            return hr;
        CCritSecLock owner(*target.pOwner);
        auto it = target.pmap->find(varKey);
        if (it == target.pmap->end())
            return S_OK;
        return CheckResultValue(VariantCopy(pvar, &it->second));
    } catch (...) {
        return ReportException("CVariantDictionary::get_Item", CV_HERE);
    }
}

HRESULT CVariantDictionary::put_Item(const VARIANT& VarKey, const VARIANT& var) {
    try {
        HRESULT hr = CheckStorable(var);
        if (FAILED(hr))
            return hr;
        Target target;
        hr = GetTarget(&target);
        if (FAILED(hr))
            return hr;
        if (CheckExpressionAt(target.bReadOnly, "m_bReadOnly", CV_HERE))
            return E_ACCESSDENIED;
        CComVariant varKey;
        hr = MakeKey(VarKey, &varKey);
        if (FAILED(hr))
            return hr;
        CComVariant varValue;
        hr = VariantCopyInd(&varValue, &var);
        if (!CheckResult(hr))
            return hr;
        // The value replaced is released after the owner's lock, so that an object's
        // clean-up never runs under it.
        {
            CCritSecLock owner(*target.pOwner);
            CComVariant& slot = (*target.pmap)[std::move(varKey)];
            std::swap(static_cast<VARIANT&>(slot), static_cast<VARIANT&>(varValue));
        }
        return S_OK;
    } catch (...) {
        return ReportException("CVariantDictionary::put_Item", CV_HERE);
    }
}

HRESULT CVariantDictionary::putref_Item(const VARIANT& VarKey, const VARIANT& var) {
    return put_Item(VarKey, var);
}

HRESULT CVariantDictionary::get_Key(const VARIANT& VarKey, VARIANT* pvar) {
    if (CheckExpression(!pvar))
        return E_POINTER;
    try {
        VariantClear(pvar);
        Target target;
        HRESULT hr = GetTarget(&target);
        if (FAILED(hr))
            return hr;
        CComVariant varIndex;
        hr = VariantChangeType(&varIndex, &VarKey, 0, VT_I4);
        if (!CheckResult(hr))
            return hr;
        const LONG index = varIndex.lVal;
        CCritSecLock owner(*target.pOwner);
        if (index < 1 || static_cast<std::size_t>(index) > target.pmap->size())
            return S_OK;
        auto it = std::next(target.pmap->begin(), index - 1);
        return CheckResultValue(VariantCopy(pvar, &it->second));
    } catch (...) {
        return ReportException("CVariantDictionary::get_Key", CV_HERE);
    }
}

HRESULT CVariantDictionary::get_Count(LONG* cStrRet) {
    if (CheckExpression(!cStrRet))
        return E_POINTER;
    Target target;
    HRESULT hr = GetTarget(&target);
    if (FAILED(hr))
        return hr;
    CCritSecLock owner(*target.pOwner);
    *cStrRet = static_cast<LONG>(target.pmap->size());
    return S_OK;
}

HRESULT CVariantDictionary::get__NewEnum(IUnknown** ppEnumReturn) {
    if (CheckExpression(!ppEnumReturn))
        return E_POINTER;
    *ppEnumReturn = nullptr;
    Target target;
    HRESULT hr = GetTarget(&target);
    if (FAILED(hr))
        return hr;
    return CheckResultValue(CreateEnumVARIANT(
        this, static_cast<IUnknown*>(static_cast<IVariantDictionary*>(this)), ppEnumReturn));
}

HRESULT CVariantDictionary::Remove(const VARIANT& VarKey) {
    try {
        Target target;
        HRESULT hr = GetTarget(&target);
        if (FAILED(hr))
            return hr;
        if (CheckExpressionAt(target.bReadOnly, "m_bReadOnly", CV_HERE))
            return E_ACCESSDENIED;
        CComVariant varKey;
        hr = MakeKey(VarKey, &varKey);
        if (FAILED(hr))
            return hr;
        CVariantMap::node_type removed;  // released after the owner's lock
        {
            CCritSecLock owner(*target.pOwner);
            removed = target.pmap->extract(varKey);
        }
        if (CheckExpressionAt(removed.empty(), "!m_pmapElements->RemoveKey(VarKey)", CV_HERE))
            return E_INVALIDARG;
        return S_OK;
    } catch (...) {
        return ReportException("CVariantDictionary::Remove", CV_HERE);
    }
}

HRESULT CVariantDictionary::RemoveAll() {
    try {
        Target target;
        HRESULT hr = GetTarget(&target);
        if (FAILED(hr))
            return hr;
        if (CheckExpressionAt(target.bReadOnly, "m_bReadOnly", CV_HERE))
            return E_ACCESSDENIED;
        CVariantMap removed;  // released after the owner's lock
        {
            CCritSecLock owner(*target.pOwner);
            removed.swap(*target.pmap);
        }
        return S_OK;
    } catch (...) {
        return ReportException("CVariantDictionary::RemoveAll", CV_HERE);
    }
}

HRESULT CVariantDictionary::GetValues(std::vector<CComVariant>& values) {
    try {
        Target target;
        HRESULT hr = GetTarget(&target);
        if (FAILED(hr))
            return hr;
        CCritSecLock owner(*target.pOwner);
        values.reserve(values.size() + target.pmap->size());
        for (const auto& [key, value] : *target.pmap)
            values.push_back(value);
        return S_OK;
    } catch (...) {
        return ReportException("CVariantDictionary::GetValues", CV_HERE);
    }
}
