// The string list whose contents belong to a site: every member forwards to it.
#include "objects/StringList2.h"

#include <utility>

#include "com/DiagnosticLog.h"
#include "idl/DispatchIds.h"

const CDispatchTable& CStringList2::GetDispatchTable() {
    using C = CStringList2;
    static const CDispatchTable table(
        u"IStringList2", {
                             DispGet<&C::get_Item>(u"Item", DISPID_ISTRINGLIST2_ITEM),
                             DispGet<&C::get_Count>(u"Count", DISPID_ISTRINGLIST2_COUNT),
                             DispGet<&C::get__NewEnum>(u"_NewEnum", DISPID_ISTRINGLIST2_NEWENUM),
                             DispMethod<&C::Add>(u"Add", DISPID_ISTRINGLIST2_ADD),
                             DispMethod<&C::Remove>(u"Remove", DISPID_ISTRINGLIST2_REMOVE),
                         });
    return table;
}

HRESULT CStringList2::Init(CStringList2Site* pSite, IUnknown* pOwner) {
    if (CheckExpression(!pSite))
        return E_POINTER;
    CCritSecLock lock(m_lock);
    m_pSite = pSite;
    m_ptrOwner = pOwner;
    return S_OK;
}

HRESULT CStringList2::get_Item(const VARIANT& index, VARIANT* pVariantReturn) {
    if (CheckExpression(!pVariantReturn))
        return E_POINTER;
    CCritSecLock lock(m_lock);
    if (CheckExpression(!m_pSite))
        return E_UNEXPECTED;
    return CheckResultValue(m_pSite->get_Item(index, pVariantReturn));
}

HRESULT CStringList2::get_Count(LONG* cStrRet) {
    if (CheckExpression(!cStrRet))
        return E_POINTER;
    CCritSecLock lock(m_lock);
    if (CheckExpression(!m_pSite))
        return E_UNEXPECTED;
    return CheckResultValue(m_pSite->get_Count(cStrRet));
}

HRESULT CStringList2::get__NewEnum(IUnknown** ppEnumReturn) {
    if (CheckExpression(!ppEnumReturn))
        return E_POINTER;
    *ppEnumReturn = nullptr;
    CCritSecLock lock(m_lock);
    if (CheckExpression(!m_pSite))
        return E_UNEXPECTED;
    return CheckResultValue(CreateEnumVARIANT(m_pSite, m_ptrOwner.Get(), ppEnumReturn));
}

HRESULT CStringList2::Add(BSTR bstrItem) {
    CCritSecLock lock(m_lock);
    if (CheckExpression(!m_pSite))
        return E_UNEXPECTED;
    return CheckResultValue(m_pSite->Add(std::move(bstrItem)));
}

HRESULT CStringList2::Remove(const VARIANT& index) {
    CCritSecLock lock(m_lock);
    if (CheckExpression(!m_pSite))
        return E_UNEXPECTED;
    return CheckResultValue(m_pSite->Remove(index));
}
