// The QueryString and Form collections of the Request object.
#include "objects/RequestDictionary.h"

#include <utility>

#include "com/DiagnosticLog.h"
#include "com/VarMath.h"
#include "idl/DispatchIds.h"

bool CRequestDictionary::CKeyLess::operator()(const CComVariant& left,
                                              const CComVariant& right) const {
    return VarCmp(&left, &right, LOCALE_USER_DEFAULT, 0) == VARCMP_LT;
}

const CDispatchTable& CRequestDictionary::GetDispatchTable() {
    using C = CRequestDictionary;
    static const CDispatchTable table(
        u"IRequestDictionary",
        {
            DispGet<&C::DispatchItem>(u"Item", DISPID_IREQUESTDICTIONARY_ITEM),
            DispGet<&C::get__NewEnum>(u"_NewEnum", DISPID_IREQUESTDICTIONARY_NEWENUM),
            DispGet<&C::get_Count>(u"Count", DISPID_IREQUESTDICTIONARY_COUNT),
            DispGet<&C::get_Key>(u"Key", DISPID_IREQUESTDICTIONARY_KEY),
        });
    return table;
}

HRESULT CRequestDictionary::Init(CEntryMap mapEntries, BSTR strWhole) {
    CCritSecLock lock(m_lock);
    m_mapEntries = std::move(mapEntries);
    m_strWhole = std::move(strWhole);
    return S_OK;
}

HRESULT CRequestDictionary::DispatchItem(const VARIANT* pVar, VARIANT* pVariantReturn) {
    if (CheckExpression(!pVar))
        return E_POINTER;
    return get_Item(*pVar, pVariantReturn);
}

HRESULT CRequestDictionary::get_Item(const VARIANT& Var, VARIANT* pVariantReturn) {
    if (CheckExpression(!pVariantReturn))
        return E_POINTER;
    try {
        if (Var.vt == VT_ERROR && Var.scode == DISP_E_PARAMNOTFOUND) {
            CCritSecLock lock(m_lock);
            VariantSetBstr(pVariantReturn, m_strWhole.IsNull() ? BSTR::Empty() : m_strWhole);
            return S_OK;
        }
        CComVariant varKey;
        HRESULT hr = CheckResultValue(VariantCopyInd(&varKey, &Var));
        if (FAILED(hr))
            return hr;
        VariantClear(pVariantReturn);
        // Every name is a string: anything else names no field (and must not reach the
        // ordering, which cannot rank it against strings).
        if (varKey.vt != VT_BSTR)
            return S_OK;
        CCritSecLock lock(m_lock);
        const auto it = m_mapEntries.find(varKey);
        if (it == m_mapEntries.end())
            return S_OK;
        return CheckResultValue(VariantCopy(pVariantReturn, &it->second));
    } catch (...) {
        return ReportException("CRequestDictionary::get_Item", CV_HERE);
    }
}

HRESULT CRequestDictionary::get__NewEnum(IUnknown** ppEnumReturn) {
    if (CheckExpression(!ppEnumReturn))
        return E_POINTER;
    return CheckResultValue(CreateEnumVARIANT(
        this, static_cast<IUnknown*>(static_cast<IRequestDictionary*>(this)), ppEnumReturn));
}

HRESULT CRequestDictionary::get_Count(LONG* cStrRet) {
    if (CheckExpression(!cStrRet))
        return E_POINTER;
    CCritSecLock lock(m_lock);
    *cStrRet = static_cast<LONG>(m_mapEntries.size());
    return S_OK;
}

HRESULT CRequestDictionary::get_Key(const VARIANT& VarKey, VARIANT* pvar) {
    if (CheckExpression(!pvar))
        return E_POINTER;
    try {
        CComVariant varIndex;
        HRESULT hr = CheckResultValue(VariantChangeType(&varIndex, &VarKey, 0, VT_I4));
        if (FAILED(hr))
            return hr;
        VariantClear(pvar);
        CCritSecLock lock(m_lock);
        const LONG nIndex = varIndex.lVal;
        if (nIndex < 1 || static_cast<std::size_t>(nIndex) > m_mapEntries.size())
            return S_OK;
        auto it = m_mapEntries.begin();
        std::advance(it, nIndex - 1);
        return CheckResultValue(VariantCopy(pvar, &it->first));
    } catch (...) {
        return ReportException("CRequestDictionary::get_Key", CV_HERE);
    }
}

HRESULT CRequestDictionary::GetValues(std::vector<CComVariant>& values) {
    try {
        CCritSecLock lock(m_lock);
        for (const auto& [varKey, varValue] : m_mapEntries)
            values.push_back(varValue);
        return S_OK;
    } catch (...) {
        return ReportException("CRequestDictionary::GetValues", CV_HERE);
    }
}
