// The application object: named values and static objects shared by all scripts.
#include "objects/ApplicationObject.h"

#include <utility>

#include "com/DiagnosticLog.h"
#include "idl/DispatchIds.h"

const CDispatchTable& CApplicationObject::GetDispatchTable() {
    using C = CApplicationObject;
    static const CDispatchTable table(
        u"IApplication",
        {
            DispGet<&C::get_Value>(u"Value", DISPID_IAPPLICATION_VALUE),
            DispPut<&C::put_Value>(u"Value", DISPID_IAPPLICATION_VALUE),
            DispPutRef<&C::putref_Value>(u"Value", DISPID_IAPPLICATION_VALUE),
            DispMethod<&C::Lock>(u"Lock", DISPID_IAPPLICATION_LOCK),
            DispMethod<&C::UnLock>(u"UnLock", DISPID_IAPPLICATION_UNLOCK),
            DispGet<&C::DispatchStaticObjects>(u"StaticObjects", DISPID_IAPPLICATION_STATICOBJECTS),
            DispPut<&C::DispatchPutStaticObjects>(u"StaticObjects",
                                                  DISPID_IAPPLICATION_STATICOBJECTS),
            DispGet<&C::DispatchContents>(u"Contents", DISPID_IAPPLICATION_CONTENTS),
            DispPut<&C::DispatchPutContents>(u"Contents", DISPID_IAPPLICATION_CONTENTS),
        });
    return table;
}

HRESULT CApplicationObject::get_Value(BSTR bstrValue, VARIANT* pvar) {
    if (CheckExpression(!pvar))
        return E_POINTER;
    try {
        VariantClear(pvar);
        const CComVariant varKey(bstrValue.IsNull() ? BSTR::Empty() : std::move(bstrValue));
        CCritSecLock guard(m_lock);
        auto it = m_mapContents.find(varKey);
        if (it != m_mapContents.end())
            return CheckResultValue(VariantCopyOwnText(pvar, &it->second));
        it = m_mapStaticObjects.find(varKey);
        if (it != m_mapStaticObjects.end())
            return CheckResultValue(VariantCopy(pvar, &it->second));
        return S_OK;
    } catch (...) {
        return ReportException("CApplicationObject::get_Value", CV_HERE);
    }
}

HRESULT CApplicationObject::put_Value(BSTR bstrValue, const VARIANT& var) {
    try {
        HRESULT hr = CVariantDictionary::CheckStorable(var);
        if (FAILED(hr))
            return hr;
        CComVariant varValue;
        hr = VariantCopyInd(&varValue, &var);
        if (!CheckResult(hr))
            return hr;
        CComVariant varKey(bstrValue.IsNull() ? BSTR::Empty() : std::move(bstrValue));
        // The value replaced is released after the lock, so that an object's clean-up
        // never runs under it.
        {
            CCritSecLock guard(m_lock);
            CComVariant& slot = m_mapContents[std::move(varKey)];
            std::swap(static_cast<VARIANT&>(slot), static_cast<VARIANT&>(varValue));
        }
        return S_OK;
    } catch (...) {
        return ReportException("CApplicationObject::put_Value", CV_HERE);
    }
}

HRESULT CApplicationObject::putref_Value(BSTR bstrValue, const VARIANT& var) {
    return put_Value(std::move(bstrValue), var);
}

HRESULT CApplicationObject::Lock() {
    m_lock.Lock();
    return S_OK;
}

HRESULT CApplicationObject::UnLock() {
    // An UnLock without a Lock of this thread leaves the lock as it is; it is a slip of
    // the script, not a failure of the call.
    CheckExpression(!m_lock.Unlock());
    return S_OK;
}

HRESULT CApplicationObject::ReleaseScriptLocks() {
    bool bReleased = false;
    while (m_lock.IsHeldByCurrentThread() && m_lock.Unlock())
        bReleased = true;
    return bReleased ? S_OK : S_FALSE;
}

HRESULT CApplicationObject::MakeDictionary(CVariantMap* pmap, bool bReadOnly,
                                           IVariantDictionary** ppProperties) {
    if (CheckExpression(!ppProperties))
        return E_POINTER;
    *ppProperties = nullptr;
    try {
        HRESULT hr = S_OK;
        CComPtr<CVariantDictionary> ptrDictionary = MakeObject<CVariantDictionary>(&hr);
        if (!CheckResult(hr))
            return hr;
        hr = ptrDictionary->Init(&m_lock, static_cast<IUnknown*>(static_cast<IApplication*>(this)),
                                 pmap, bReadOnly);
        if (!CheckResult(hr))
            return hr;
        *ppProperties = ptrDictionary.Detach();
        return S_OK;
    } catch (...) {
        return ReportException("CApplicationObject::MakeDictionary", CV_HERE);
    }
}

HRESULT CApplicationObject::get_StaticObjects(IVariantDictionary** ppProperties) {
    return MakeDictionary(&m_mapStaticObjects, true, ppProperties);
}

HRESULT CApplicationObject::get_Contents(IVariantDictionary** ppProperties) {
    return MakeDictionary(&m_mapContents, false, ppProperties);
}

HRESULT CApplicationObject::DispatchStaticObjects(IDispatch** ppDisp) {
    if (CheckExpression(!ppDisp))
        return E_POINTER;
    IVariantDictionary* pDictionary = nullptr;
    HRESULT hr = get_StaticObjects(&pDictionary);
    *ppDisp = pDictionary;
    return hr;
}

HRESULT CApplicationObject::DispatchContents(IDispatch** ppDisp) {
    if (CheckExpression(!ppDisp))
        return E_POINTER;
    IVariantDictionary* pDictionary = nullptr;
    HRESULT hr = get_Contents(&pDictionary);
    *ppDisp = pDictionary;
    return hr;
}

HRESULT CApplicationObject::DispatchPutStaticObjects(const VARIANT& varKey,
                                                     const VARIANT& varValue) {
    CComPtr<IVariantDictionary> ptrDictionary;
    HRESULT hr = get_StaticObjects(ptrDictionary.Receive());
    if (FAILED(hr))
        return hr;
    return ptrDictionary->put_Item(varKey, varValue);
}

HRESULT CApplicationObject::DispatchPutContents(const VARIANT& varKey, const VARIANT& varValue) {
    CComPtr<IVariantDictionary> ptrDictionary;
    HRESULT hr = get_Contents(ptrDictionary.Receive());
    if (FAILED(hr))
        return hr;
    return ptrDictionary->put_Item(varKey, varValue);
}

HRESULT CApplicationObject::AddStaticObject(BSTR name, IDispatch* object) {
    if (CheckExpression(!object))
        return E_INVALIDARG;
    try {
        CComVariant varKey(name.IsNull() ? BSTR::Empty() : std::move(name));
        CComVariant varValue(object);
        {
            CCritSecLock guard(m_lock);
            CComVariant& slot = m_mapStaticObjects[std::move(varKey)];
            std::swap(static_cast<VARIANT&>(slot), static_cast<VARIANT&>(varValue));
        }
        return S_OK;
    } catch (...) {
        return ReportException("CApplicationObject::AddStaticObject", CV_HERE);
    }
}

HRESULT CApplicationObject::RemoveStaticObject(BSTR name, IDispatch** ppDisp) {
    if (ppDisp)
        *ppDisp = nullptr;
    try {
        const CComVariant varKey(name.IsNull() ? BSTR::Empty() : std::move(name));
        CVariantMap::node_type removed;  // released after the lock
        {
            CCritSecLock guard(m_lock);
            auto it = m_mapStaticObjects.find(varKey);
            if (CheckExpressionAt(it == m_mapStaticObjects.end(),
                                  "!m_mapStaticObjects.Lookup(varKey,varValue)", CV_HERE))
                return E_INVALIDARG;
            if (CheckExpressionAt(it->second.vt != VT_DISPATCH, "varValue.vt != VT_DISPATCH",
                                  CV_HERE))
                return E_INVALIDARG;
            removed = m_mapStaticObjects.extract(it);
        }
        if (ppDisp) {
            *ppDisp = removed.mapped().pdispVal;
            if (*ppDisp)
                (*ppDisp)->AddRef();
        }
        return S_OK;
    } catch (...) {
        return ReportException("CApplicationObject::RemoveStaticObject", CV_HERE);
    }
}
