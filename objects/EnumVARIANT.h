// The enumerator behind every `_NewEnum` that scripts see (For Each): it enumerates a
// snapshot of values that it takes from its site, so a collection may change while a
// script walks it; the change shows only after `Reset` or in a new enumerator.
//
// A collection implements `CEnumVARIANTSite` and hands out enumerators through
// `CreateEnumVARIANT`, naming itself (or whoever keeps the site alive) as the owner.
#pragma once

#include <vector>

#include "com/CComVariant.h"
#include "com/CriticalSection.h"
#include "com/Dispatch.h"

// The source of an enumerator's values: appends a copy of every value, in order.
class CEnumVARIANTSite {
public:
    virtual HRESULT GetValues(std::vector<CComVariant>& values) = 0;

protected:
    ~CEnumVARIANTSite() = default;
};

// A new enumerator (IEnumVARIANT) over the site's values; pOwner keeps the site alive
// for the enumerator's life.
HRESULT CreateEnumVARIANT(CEnumVARIANTSite* pSite, IUnknown* pOwner, IUnknown** ppEnum);

class CEnumVARIANT : public CComObjectRoot<CEnumVARIANT, IEnumVARIANT> {
public:
    // Called once by the creator: keeps the site and the owner, takes the snapshot and
    // moves to `start`.
    HRESULT Init(CEnumVARIANTSite* pSite, IUnknown* pOwner, ULONG start);

    HRESULT Next(ULONG celt, VARIANT* rgVar, ULONG* pceltFetched) override;
    HRESULT Skip(ULONG celt) override;
    HRESULT Reset() override;
    HRESULT Clone(IEnumVARIANT** ppEnum) override;

private:
    CEnumVARIANTSite* m_pSite = nullptr;  // not owned; m_ptrOwner keeps it alive
    CComPtr<IUnknown> m_ptrOwner;
    // Guards the snapshot and the position; innermost, held only while copying values.
    CComAutoCriticalSection m_lock;
    std::vector<CComVariant> m_snapshot;
    ULONG m_nPosition = 0;
};
