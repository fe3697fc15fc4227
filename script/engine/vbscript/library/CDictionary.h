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

#include <cstdint>
#include <mutex>
#include <string_view>
#include <vector>

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
    // The same without owning its text: what a lookup compares before anything is stored.
    struct KeyView {
        KeyForm::Kind kind = KeyForm::Empty;
        double number = 0;
        std::u16string_view text;
        const void* identity = nullptr;
        bool Matches(const KeyForm& form) const {
            return kind == form.kind && number == form.number && text == form.text &&
                   identity == form.identity;
        }
    };
    struct Entry {
        CComVariant key;
        CComVariant item;
        KeyForm form;
        std::size_t hash = 0;
        bool removed = false;
    };
    // The index: open addressing with linear probing over a power-of-two table, each
    // slot an entry number + 1 (0 free, kRemovedSlot a removed key that probes pass).
    static constexpr std::uint32_t kRemovedSlot = 0xFFFFFFFF;

    // The comparable form of a key; `buffer` holds upper-cased text for CompareMode 1/2.
    HRESULT ViewOf(const VARIANT& key, std::u16string* buffer, KeyView* view) const;
    static std::size_t HashOf(const KeyView& view);
    // The entry number of a key, or -1; the caller holds m_lock.
    std::ptrdiff_t Find(const KeyView& view, std::size_t hash) const;
    // Adds an entry at the end; the caller holds m_lock.
    HRESULT Insert(const VARIANT& key, const KeyView& view, std::size_t hash, const VARIANT& item);
    void IndexEntry(std::uint32_t entry);
    void Unindex(std::uint32_t entry);
    // Rebuilds the index for the live entries (dropping removed ones) in a table of at
    // least twice their number.
    void Rebuild();
    HRESULT ListOf(bool keys, VARIANT* pArray);

    std::mutex m_lock;  // guards the fields below; a leaf lock, never held across calls out
    std::vector<Entry> m_entries;        // in the order of addition, removed ones included
    std::vector<std::uint32_t> m_slots;  // the index, empty or a power of two long
    std::size_t m_live = 0;              // entries not removed
    std::size_t m_used = 0;              // slots not free (entries and removed keys)
    LONG m_compareMode = 0;
};
