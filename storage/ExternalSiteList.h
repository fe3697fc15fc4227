// CExternalSiteList: the list object that `Storage.ExternalSites` gives scripts: the
// external sites by their full file names, counted from 1, with Add and Remove acting
// on the storage manager's list.
//
// It answers the members of the string-list interface of the type library (Item,
// Count, Add, Remove) and forwards each to the manager, which keeps the sites; the
// list holds a reference to the storage object that made it.
#pragma once

#include "com/DispatchTable.h"
#include "storage/StorageManager.h"

class CExternalSiteList
    : public CComObjectRoot<CExternalSiteList, IDispatchImpl<CExternalSiteList>> {
public:
    CExternalSiteList(CStorageManager* pManager, IUnknown* pOwner);

    static const CDispatchTable& GetDispatchTable();
    HRESULT QueryExtraInterface(const IID& iid, void** ppv);

    HRESULT get_Item(const VARIANT& index, VARIANT* pVariantReturn);
    HRESULT get_Count(LONG* cStrRet);
    HRESULT Add(BSTR bstrItem);
    HRESULT Remove(const VARIANT& index);

private:
    CStorageManager* m_pManager;
    CComPtr<IUnknown> m_ptrOwner;
};
