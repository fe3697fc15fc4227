// The storage object of scripts: DefaultPage, FallbackLCID and ExternalSites.
#include "storage/StorageObject.h"

#include "com/DiagnosticLog.h"
#include "idl/DispatchIds.h"
#include "idl/Identifiers.h"
#include "objects/StringList2.h"

CStorageObject::CStorageObject(CStorageManager* pManager)
    : m_pManager(pManager ? pManager : STORAGE_MANAGER::instance()), m_externalSites(m_pManager) {}

const CDispatchTable& CStorageObject::GetDispatchTable() {
    static const CDispatchTable table(
        u"IStorageObject", {
                               DispGet<&CStorageObject::get_DefaultPage>(
                                   u"DefaultPage", DISPID_ISTORAGEOBJECT_DEFAULTPAGE),
                               DispPut<&CStorageObject::put_DefaultPage>(
                                   u"DefaultPage", DISPID_ISTORAGEOBJECT_DEFAULTPAGE),
                               DispGet<&CStorageObject::get_FallbackLCID>(
                                   u"FallbackLCID", DISPID_ISTORAGEOBJECT_FALLBACKLCID),
                               DispPut<&CStorageObject::put_FallbackLCID>(
                                   u"FallbackLCID", DISPID_ISTORAGEOBJECT_FALLBACKLCID),
                               DispGet<&CStorageObject::get_ExternalSites>(
                                   u"ExternalSites", DISPID_ISTORAGEOBJECT_EXTERNALSITES),
                           });
    return table;
}

HRESULT CStorageObject::QueryExtraInterface(const IID& iid, void** ppv) {
    // The dual interface is the dispatch interface.
    if (iid != IID_IStorageObject)
        return E_NOINTERFACE;
    *ppv = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
}

HRESULT CStorageObject::get_DefaultPage(BSTR* pVal) {
    if (CheckExpression(!pVal || !m_pManager))
        return E_POINTER;
    return m_pManager->get_DefaultPage(pVal);
}

HRESULT CStorageObject::put_DefaultPage(BSTR newVal) {
    if (CheckExpression(!m_pManager))
        return E_POINTER;
    return m_pManager->put_DefaultPage(std::move(newVal));
}

HRESULT CStorageObject::get_FallbackLCID(LONG* pVal) {
    if (CheckExpression(!pVal || !m_pManager))
        return E_POINTER;
    LCID lcid = 0;
    const HRESULT hr = m_pManager->get_FallbackLCID(&lcid);
    if (SUCCEEDED(hr))
        *pVal = static_cast<LONG>(lcid);
    return hr;
}

HRESULT CStorageObject::put_FallbackLCID(LONG newVal) {
    if (CheckExpression(!m_pManager))
        return E_POINTER;
    return m_pManager->put_FallbackLCID(static_cast<LCID>(newVal));
}

HRESULT CStorageObject::get_ExternalSites(IDispatch** pVal) {
    if (CheckExpression(!pVal || !m_pManager))
        return E_POINTER;
    *pVal = nullptr;
    try {
        HRESULT hr = S_OK;
        CComPtr<CStringList2> ptrList = MakeObject<CStringList2>(&hr);
        if (!CheckResult(hr))
            return hr;
        hr = ptrList->Init(&m_externalSites, static_cast<IUnknown*>(static_cast<IDispatch*>(this)));
        if (!CheckResult(hr))
            return hr;
        *pVal = ptrList.Detach();
        return S_OK;
    } catch (...) {
        return ReportException("CStorageObject::get_ExternalSites", CV_HERE);
    }
}
