// CStringList2: a list of strings whose contents and changes belong to an owner that it
// reaches through a site (the external sites that `Storage.ExternalSites` shows).
//
// The list keeps nothing itself: Item, Count, Add and Remove go to the site unchanged,
// and the site decides what an index means and what Add and Remove do. The list holds
// the owner's IUnknown, which keeps the site alive for the list's life and for the life
// of every enumerator it hands out.
#pragma once

#include "com/CriticalSection.h"
#include "com/DispatchTable.h"
#include "objects/EnumVARIANT.h"
#include "objects/ObjectInterfaces1.h"

// The owner's handler of a CStringList2. GetValues (from CEnumVARIANTSite) gives the
// strings for enumeration.
class CStringList2Site : public CEnumVARIANTSite {
public:
    virtual HRESULT get_Item(const VARIANT& index, VARIANT* pVariantReturn) = 0;
    virtual HRESULT get_Count(LONG* cStrRet) = 0;
    virtual HRESULT Add(BSTR bstrItem) = 0;
    virtual HRESULT Remove(const VARIANT& index) = 0;

protected:
    ~CStringList2Site() = default;
};

class CStringList2
    : public CComObjectRoot<CStringList2, IDispatchImpl<CStringList2, IStringList2>> {
public:
    static const CDispatchTable& GetDispatchTable();

    // Called once by the creator. pOwner keeps pSite alive.
    HRESULT Init(CStringList2Site* pSite, IUnknown* pOwner);

    // IStringList2
    HRESULT get_Item(const VARIANT& index, VARIANT* pVariantReturn) override;
    HRESULT get_Count(LONG* cStrRet) override;
    HRESULT get__NewEnum(IUnknown** ppEnumReturn) override;
    HRESULT Add(BSTR bstrItem) override;
    HRESULT Remove(const VARIANT& index) override;

private:
    // Serialises the calls this list forwards; the site takes its own locks after it.
    CComAutoCriticalSection m_lock;
    CStringList2Site* m_pSite = nullptr;  // not owned; m_ptrOwner keeps it alive
    CComPtr<IUnknown> m_ptrOwner;
};
