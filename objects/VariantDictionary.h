// CVariantDictionary: the collection through which scripts see a map of named values
// that belongs to another object (`Application.Contents`, `Application.StaticObjects`
// and the same collections of a user session).
//
// The dictionary owns nothing of the map: the owner hands it the map, the lock that
// guards the map and its own IUnknown, which the dictionary holds so that the map
// outlives every dictionary over it. A dictionary is made fresh for every read of the
// collection and shows the live map. Keys are ordered by the Automation comparison of
// the user's locale (strings case-sensitively), so iteration and `Key(i)` follow that
// order.
//
// The program's own objects answer the private marker ICorvane_Reserved; such an object
// lives for one request (or is the application itself) and must not outlive it in
// shared state, so the maps refuse it (`CheckStorable`).
#pragma once

#include <map>
#include <vector>

#include "com/CComVariant.h"
#include "com/CriticalSection.h"
#include "com/DispatchTable.h"
#include "idl/ServiceInterfaces.h"
#include "objects/EnumVARIANT.h"
#include "objects/ObjectInterfaces2.h"

// Orders keys with VarCmp under the user's default locale, no flags: strings by the
// locale's collation, case-sensitively; numbers before strings.
struct CVariantKeyLess {
    bool operator()(const CComVariant& left, const CComVariant& right) const;
};

// A map of named values as the application object and the user sessions keep them.
using CVariantMap = std::map<CComVariant, CComVariant, CVariantKeyLess>;

class CVariantDictionary
    : public CComObjectRoot<CVariantDictionary,
                            IDispatchImpl<CVariantDictionary, IVariantDictionary>,
                            ICorvane_Reserved>,
      public CEnumVARIANTSite {
public:
    static const CDispatchTable& GetDispatchTable();

    // Called once by the owner right after creation. pOwner guards *pmapElements;
    // pUnkOwner is kept alive as long as the dictionary lives.
    HRESULT Init(CComAutoCriticalSection* pOwner, IUnknown* pUnkOwner, CVariantMap* pmapElements,
                 bool bReadOnly);

    // E_ACCESSDENIED (logged) when `var` is an object that answers ICorvane_Reserved,
    // directly or through a reference; S_OK for every other value.
    static HRESULT CheckStorable(const VARIANT& var);
    // The map key for a key given by a caller: references are followed, an object gives
    // its default value, Empty is the empty string. E_INVALIDARG for a key that cannot
    // be ordered (Null, an error value, an array, an object without a plain default value).
    static HRESULT MakeKey(const VARIANT& key, CComVariant* pKey);

    // IVariantDictionary
    HRESULT get_Item(const VARIANT& VarKey, VARIANT* pvar) override;
    HRESULT put_Item(const VARIANT& VarKey, const VARIANT& var) override;
    HRESULT putref_Item(const VARIANT& VarKey, const VARIANT& var) override;
    HRESULT get_Key(const VARIANT& VarKey, VARIANT* pvar) override;
    HRESULT get_Count(LONG* cStrRet) override;
    HRESULT get__NewEnum(IUnknown** ppEnumReturn) override;
    HRESULT Remove(const VARIANT& VarKey) override;
    HRESULT RemoveAll() override;

    // CEnumVARIANTSite: a copy of every value, in key order.
    HRESULT GetValues(std::vector<CComVariant>& values) override;

private:
    // What an operation works on, read under m_lock. The owner's lock is never taken
    // while m_lock is held: a script that holds the owner's lock (Application.Lock) may
    // come back through this dictionary on another path.
    struct Target {
        CComAutoCriticalSection* pOwner;
        CVariantMap* pmap;
        bool bReadOnly;
    };
    HRESULT GetTarget(Target* pTarget);

    // Guards the four fields below, which Init sets once; taken before the owner's lock
    // and never held together with it.
    CComAutoCriticalSection m_lock;
    CComAutoCriticalSection* m_pOwner = nullptr;  // not owned; m_ptrOwner keeps it alive
    CComPtr<IUnknown> m_ptrOwner;
    CVariantMap* m_pmapElements = nullptr;  // the owner's map, guarded by *m_pOwner
    bool m_bReadOnly = false;
};
