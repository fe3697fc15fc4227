// CDictionary: "Scripting.Dictionary", the key/item collection scripts create with
// CreateObject.
//
// Items keep the order in which their keys were added. Keys are compared by value: a
// number equals the same number of any numeric type, a string equals the same string
// (code by code unit, or after the simple upper-casing when CompareMode is 1 or 2),
// an object equals only itself. Reading the item of a missing key adds that key with
// an Empty item, as the reference defines; writing it adds it too. The members take
// the error numbers of the language (457 for a key that already exists, 32811 for a
// missing one, 5 for a CompareMode change once items exist).
#pragma once

#include <list>
#include <mutex>
#include <unordered_map>

#include "com/DispatchTable.h"

class CDictionary : public CComObjectRoot<CDictionary, IDispatchImpl<CDictionary>> {
public:
    static const CDispatchTable& GetDispatchTable();

    HRESULT Add(const VARIANT& key, const VARIANT& item);
    HRESULT Exists(const VARIANT& key, bool* pExists);
    HRESULT get_Item(const VARIANT& key, VARIANT* pItem);
    HRESULT put_Item(const VARIANT& key, const VARIANT& item);
    HRESULT put_Key(const VARIANT& key, const VARIANT& newKey);
    HRESULT Items(VARIANT* pItems);
    HRESULT Keys(VARIANT* pKeys);
    HRESULT Remove(const VARIANT& key);
    HRESULT RemoveAll();
    HRESULT get_Count(LONG* pCount);
    HRESULT get_CompareMode(LONG* pMode);
    HRESULT put_CompareMode(LONG mode);
    HRESULT get__NewEnum(IUnknown** ppEnum);

private:
    // A key as it is compared: its kind and its value in comparable form.
    struct KeyForm {
        enum Kind { Empty, Null, Number, Text, Object } kind = Empty;
        double number = 0;
        std::u16string text;
        const void* identity = nullptr;
        bool operator==(const KeyForm& other) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const KeyForm& k) const;
    };
    struct Entry {
        CComVariant key;
        CComVariant item;
    };
    using EntryList = std::list<Entry>;

    HRESULT FormOf(const VARIANT& key, KeyForm* form) const;
    // Adds an entry at the end; the caller holds m_lock.
    HRESULT Insert(const VARIANT& key, KeyForm form, const VARIANT& item);
    HRESULT ListOf(bool keys, VARIANT* pArray);

    std::mutex m_lock;  // guards the fields below; a leaf lock, never held across calls out
    EntryList m_entries;
    std::unordered_map<KeyForm, EntryList::iterator, KeyHash> m_index;
    LONG m_compareMode = 0;
};
