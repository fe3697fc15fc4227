// The storage manager's handler of the external-site list that scripts see as
// Storage.ExternalSites.
#include "storage/ExternalSiteList.h"

#include <utility>

#include "com/DiagnosticLog.h"

CExternalSiteList::CExternalSiteList(CStorageManager* pManager) : m_pManager(pManager) {}

HRESULT CExternalSiteList::GetValues(std::vector<CComVariant>& values) {
    if (CheckExpression(!m_pManager))
        return E_POINTER;
    return CheckResultValue(m_pManager->GetValues(&values));
}

HRESULT CExternalSiteList::get_Item(const VARIANT& index, VARIANT* pVariantReturn) {
    if (CheckExpression(!m_pManager))
        return E_POINTER;
    return CheckResultValue(m_pManager->get_Item(index, pVariantReturn));
}

HRESULT CExternalSiteList::get_Count(LONG* cStrRet) {
    if (CheckExpression(!m_pManager))
        return E_POINTER;
    return CheckResultValue(m_pManager->get_Count(cStrRet));
}

HRESULT CExternalSiteList::Add(BSTR bstrItem) {
    if (CheckExpression(!m_pManager))
        return E_POINTER;
    return CheckResultValue(m_pManager->Add(std::move(bstrItem)));
}

HRESULT CExternalSiteList::Remove(const VARIANT& index) {
    if (CheckExpression(!m_pManager))
        return E_POINTER;
    return CheckResultValue(m_pManager->Remove(index));
}
