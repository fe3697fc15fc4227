// CStorageObject: the storage object of scripts, `Application.StaticObjects("Storage")`
// while the boot script runs, through which the site sets the default page, the
// fallback language and the external sites.
//
// It holds no state of its own: every property forwards to the storage manager it was
// made for (the program's `STORAGE_MANAGER` unless a test hands in another), which
// outlives it. The external sites reach scripts as a string list whose handler the
// storage object owns.
#pragma once

#include "com/DispatchTable.h"
#include "storage/ExternalSiteList.h"
#include "storage/StorageManager.h"

class CStorageObject : public CComObjectRoot<CStorageObject, IDispatchImpl<CStorageObject>> {
public:
    // pManager null means the program's storage manager.
    explicit CStorageObject(CStorageManager* pManager = nullptr);

    static const CDispatchTable& GetDispatchTable();
    HRESULT QueryExtraInterface(const IID& iid, void** ppv);

    HRESULT get_DefaultPage(BSTR* pVal);
    HRESULT put_DefaultPage(BSTR newVal);
    HRESULT get_FallbackLCID(LONG* pVal);
    HRESULT put_FallbackLCID(LONG newVal);
    // A new list of the external sites whose Add and Remove act on them.
    HRESULT get_ExternalSites(IDispatch** pVal);

private:
    CStorageManager* m_pManager;
    // The handler behind every ExternalSites list; the lists hold this object alive.
    CExternalSiteList m_externalSites;
};
