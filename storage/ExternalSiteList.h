// CExternalSiteList: the storage manager's handler of the external sites behind the
// string list that `Storage.ExternalSites` gives scripts: the external sites by their
// full file names, counted from 1, with Add and Remove acting on the manager's list.
//
// The storage object owns one handler and names itself as the owner of every list (and
// enumerator) made over it, so the handler lives as long as any of them.
#pragma once

#include "objects/StringList2.h"
#include "storage/StorageManager.h"

class CExternalSiteList : public CStringList2Site {
public:
    explicit CExternalSiteList(CStorageManager* pManager);
    ~CExternalSiteList() = default;

    // CEnumVARIANTSite
    HRESULT GetValues(std::vector<CComVariant>& values) override;
    // CStringList2Site
    HRESULT get_Item(const VARIANT& index, VARIANT* pVariantReturn) override;
    HRESULT get_Count(LONG* cStrRet) override;
    HRESULT Add(BSTR bstrItem) override;
    HRESULT Remove(const VARIANT& index) override;

private:
    CStorageManager* m_pManager;  // not owned; outlives every storage object
};
