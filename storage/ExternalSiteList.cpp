// The list of external sites that scripts see as Storage.ExternalSites.
#include "storage/ExternalSiteList.h"

#include "com/DiagnosticLog.h"
#include "idl/DispatchIds.h"
#include "idl/Identifiers.h"

CExternalSiteList::CExternalSiteList(CStorageManager* pManager, IUnknown* pOwner)
    : m_pManager(pManager), m_ptrOwner(pOwner) {}

const CDispatchTable& CExternalSiteList::GetDispatchTable() {
    static const CDispatchTable table(
        u"IStringList2",
        {
            DispGet<&CExternalSiteList::get_Item>(u"Item", DISPID_ISTRINGLIST2_ITEM),
            DispGet<&CExternalSiteList::get_Count>(u"Count", DISPID_ISTRINGLIST2_COUNT),
            DispMethod<&CExternalSiteList::Add>(u"Add", DISPID_ISTRINGLIST2_ADD),
            DispMethod<&CExternalSiteList::Remove>(u"Remove", DISPID_ISTRINGLIST2_REMOVE),
        });
    return table;
}

HRESULT CExternalSiteList::QueryExtraInterface(const IID& iid, void** ppv) {
    if (iid != IID_IStringList2)
        return E_NOINTERFACE;
    *ppv = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
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
