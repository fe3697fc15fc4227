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
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
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
//
// Scripts read the same few names again and again (every request asks for the user's
// settings), and each comparison under the locale's collation costs far more than a hash:
// a string key that was found is remembered by its exact text, and a later look-up of that
// text goes straight to its entry. Adding entries keeps what is remembered (entries do not
// move); taking any out forgets all of it. What is remembered is guarded like the map: by
// its owner's lock, which every look-up holds, even a const one.
class CVariantMap : private std::map<CComVariant, CComVariant, CVariantKeyLess> {
    using Base = std::map<CComVariant, CComVariant, CVariantKeyLess>;

public:
    using Base::const_iterator;
    using Base::iterator;
    using Base::node_type;
    using Base::value_type;

    CVariantMap() = default;
    CVariantMap(const CVariantMap& other) : Base(other) {}
    CVariantMap& operator=(const CVariantMap& other) {
        if (this != &other) {
            Base::operator=(other);
            m_found.clear();
        }
        return *this;
    }
    CVariantMap(CVariantMap&&) = default;
    CVariantMap& operator=(CVariantMap&&) = default;

    using Base::begin;
    using Base::empty;
    using Base::end;
    using Base::size;

    iterator find(const CComVariant& key);
    const_iterator find(const CComVariant& key) const {
        return const_cast<CVariantMap*>(this)->find(key);
    }
    CComVariant& operator[](CComVariant&& key) { return Base::operator[](std::move(key)); }
    template <class... Args>
    std::pair<iterator, bool> emplace(Args&&... args) {
        return Base::emplace(std::forward<Args>(args)...);
    }
    node_type extract(const_iterator it) {
        m_found.clear();
        return Base::extract(it);
    }
    node_type extract(const CComVariant& key) {
        m_found.clear();
        return Base::extract(key);
    }
    void clear() noexcept {
        m_found.clear();
        Base::clear();
    }
    void swap(CVariantMap& other) noexcept {
        Base::swap(other);
        m_found.swap(other.m_found);  // the entries changed maps with their nodes
    }

private:
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::u16string_view text) const noexcept {
            return std::hash<std::u16string_view>()(text);
        }
    };
    // Exact key texts found before, and their entries.
    std::unordered_map<std::u16string, iterator, TextHash, std::equal_to<>> m_found;
};

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
