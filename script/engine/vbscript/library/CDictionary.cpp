// CDictionary: "Scripting.Dictionary".
#include "script/engine/vbscript/library/CDictionary.h"

#include "com/DiagnosticLog.h"
#include "com/SafeArray.h"
#include "script/engine/vbscript/library/CVariantEnum.h"
#include "script/engine/vbscript/library/VBLibrarySupport.h"

namespace {

constexpr DISPID kAdd = 1, kCount = 2, kExists = 3, kItems = 4, kKey = 5, kKeys = 6, kRemove = 7,
                 kRemoveAll = 8, kCompareMode = 9;

}  // namespace

const CDispatchTable& CDictionary::GetDispatchTable() {
    static const CDispatchTable table(
        u"Dictionary", {
                           DispGet<&CDictionary::get_Item>(u"Item", DISPID_VALUE),
                           DispPut<&CDictionary::put_Item>(u"Item", DISPID_VALUE),
                           DispPutRef<&CDictionary::put_Item>(u"Item", DISPID_VALUE),
                           DispMethod<&CDictionary::Add>(u"Add", kAdd),
                           DispGet<&CDictionary::get_Count>(u"Count", kCount),
                           DispMethod<&CDictionary::Exists>(u"Exists", kExists),
                           DispMethod<&CDictionary::Items>(u"Items", kItems),
                           DispPut<&CDictionary::put_Key>(u"Key", kKey),
                           DispMethod<&CDictionary::Keys>(u"Keys", kKeys),
                           DispMethod<&CDictionary::Remove>(u"Remove", kRemove),
                           DispMethod<&CDictionary::RemoveAll>(u"RemoveAll", kRemoveAll),
                           DispGet<&CDictionary::get_CompareMode>(u"CompareMode", kCompareMode),
                           DispPut<&CDictionary::put_CompareMode>(u"CompareMode", kCompareMode),
                           DispGet<&CDictionary::get__NewEnum>(u"_NewEnum", DISPID_NEWENUM),
                       });
    return table;
}

HRESULT CDictionary::ViewOf(const VARIANT& key, std::u16string* buffer, KeyView* view) const {
    switch (key.vt) {
        case VT_EMPTY:
            view->kind = KeyForm::Empty;
            return S_OK;
        case VT_NULL:
            view->kind = KeyForm::Null;
            return S_OK;
        case VT_BSTR:
            view->kind = KeyForm::Text;
            if (m_compareMode != 0) {
                *buffer = ToUpperSimple(VariantText(key));
                view->text = *buffer;
            } else {
                view->text = VariantText(key);
            }
            return S_OK;
        case VT_DISPATCH:
        case VT_UNKNOWN: {
            view->kind = KeyForm::Object;
            CComPtr<IUnknown> identity;
            if (key.punkVal)
                key.punkVal->QueryInterface(IIDOf<IUnknown>(), identity.ReceiveVoid());
            view->identity = identity.Get();
            return S_OK;
        }
        default:
            break;
    }
    if (key.vt & VT_ARRAY)
        return VBScriptError(kVBTypeMismatch);
    CComVariant number;
    if (FAILED(VariantChangeType(&number, &key, 0, VT_R8)))
        return VBScriptError(kVBTypeMismatch);
    view->kind = KeyForm::Number;
    view->number = number.dblVal == 0 ? 0.0 : number.dblVal;  // -0 and 0 are one key
    return S_OK;
}

std::size_t CDictionary::HashOf(const KeyView& view) {
    std::size_t h = static_cast<std::size_t>(view.kind) * 0x9E3779B97F4A7C15ull;
    switch (view.kind) {
        case KeyForm::Number:
            h ^= std::hash<double>()(view.number) + 0x9E3779B9 + (h << 6) + (h >> 2);
            break;
        case KeyForm::Text:
            h ^= std::hash<std::u16string_view>()(view.text) + 0x9E3779B9 + (h << 6) + (h >> 2);
            break;
        case KeyForm::Object:
            h ^= std::hash<const void*>()(view.identity) + 0x9E3779B9 + (h << 6) + (h >> 2);
            break;
        default:
            break;
    }
    // Mixed once more: the table takes the low bits.
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 32;
    return h;
}

std::ptrdiff_t CDictionary::Find(const KeyView& view, std::size_t hash) const {
    if (m_slots.empty())
        return -1;
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        std::uint32_t slot = m_slots[i];
        if (slot == 0)
            return -1;
        if (slot == kRemovedSlot)
            continue;
        const Entry& entry = m_entries[slot - 1];
        if (entry.hash == hash && view.Matches(entry.form))
            return static_cast<std::ptrdiff_t>(slot - 1);
    }
}

void CDictionary::IndexEntry(std::uint32_t entry) {
    const std::size_t mask = m_slots.size() - 1;
    std::size_t i = m_entries[entry].hash & mask;
    while (m_slots[i] != 0 && m_slots[i] != kRemovedSlot)
        i = (i + 1) & mask;
    if (m_slots[i] == 0)
        ++m_used;
    m_slots[i] = entry + 1;
}

void CDictionary::Unindex(std::uint32_t entry) {
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t i = m_entries[entry].hash & mask;; i = (i + 1) & mask) {
        if (m_slots[i] == entry + 1) {
            m_slots[i] = kRemovedSlot;
            return;
        }
    }
}

void CDictionary::Rebuild() {
    if (m_live != m_entries.size()) {
        std::size_t kept = 0;
        for (Entry& entry : m_entries)
            if (!entry.removed)
                m_entries[kept++] = std::move(entry);
        m_entries.resize(kept);
    }
    std::size_t size = 16;
    while (size < (m_live + 1) * 2)
        size *= 2;
    m_slots.assign(size, 0);
    m_used = 0;
    for (std::size_t e = 0; e < m_entries.size(); ++e)
        IndexEntry(static_cast<std::uint32_t>(e));
}

HRESULT CDictionary::Insert(const VARIANT& key, const KeyView& view, std::size_t hash,
                            const VARIANT& item) {
    if (m_entries.size() >= kRemovedSlot - 1)
        return E_OUTOFMEMORY;
    Entry entry;
    entry.key = key;
    entry.item = item;
    entry.form.kind = view.kind;
    entry.form.number = view.number;
    entry.form.text = view.text;
    entry.form.identity = view.identity;
    entry.hash = hash;
    m_entries.push_back(std::move(entry));
    ++m_live;
    // At most half the table in use, removed keys counted: probes stay short.
    if ((m_used + 1) * 2 > m_slots.size())
        Rebuild();
    else
        IndexEntry(static_cast<std::uint32_t>(m_entries.size() - 1));
    return S_OK;
}

HRESULT CDictionary::Add(const VARIANT& key, const VARIANT& item) {
    try {
        std::lock_guard lock(m_lock);
        std::u16string buffer;
        KeyView view;
        HRESULT hr = ViewOf(key, &buffer, &view);
        if (FAILED(hr))
            return hr;
        std::size_t hash = HashOf(view);
        if (Find(view, hash) >= 0)
            return VBScriptError(kVBKeyExists);
        return Insert(key, view, hash, item);
    } catch (...) {
        return ReportException("CDictionary::Add", CV_HERE);
    }
}

HRESULT CDictionary::Exists(const VARIANT& key, bool* pExists) {
    try {
        std::lock_guard lock(m_lock);
        std::u16string buffer;
        KeyView view;
        HRESULT hr = ViewOf(key, &buffer, &view);
        if (FAILED(hr))
            return hr;
        *pExists = Find(view, HashOf(view)) >= 0;
        return S_OK;
    } catch (...) {
        return ReportException("CDictionary::Exists", CV_HERE);
    }
}

HRESULT CDictionary::get_Item(const VARIANT& key, VARIANT* pItem) {
    try {
        std::lock_guard lock(m_lock);
        std::u16string buffer;
        KeyView view;
        HRESULT hr = ViewOf(key, &buffer, &view);
        if (FAILED(hr))
            return hr;
        std::size_t hash = HashOf(view);
        std::ptrdiff_t found = Find(view, hash);
        if (found < 0) {
            CComVariant empty;
            if (FAILED(hr = Insert(key, view, hash, empty)))
                return hr;
            VariantClear(pItem);
            return S_OK;
        }
        return VariantCopy(pItem, &m_entries[static_cast<std::size_t>(found)].item);
    } catch (...) {
        return ReportException("CDictionary::get_Item", CV_HERE);
    }
}

HRESULT CDictionary::put_Item(const VARIANT& key, const VARIANT& item) {
    try {
        std::lock_guard lock(m_lock);
        std::u16string buffer;
        KeyView view;
        HRESULT hr = ViewOf(key, &buffer, &view);
        if (FAILED(hr))
            return hr;
        std::size_t hash = HashOf(view);
        std::ptrdiff_t found = Find(view, hash);
        if (found < 0)
            return Insert(key, view, hash, item);
        m_entries[static_cast<std::size_t>(found)].item = item;
        return S_OK;
    } catch (...) {
        return ReportException("CDictionary::put_Item", CV_HERE);
    }
}

HRESULT CDictionary::put_Key(const VARIANT& key, const VARIANT& newKey) {
    try {
        std::lock_guard lock(m_lock);
        std::u16string oldBuffer, newBuffer;
        KeyView oldView, newView;
        HRESULT hr;
        if (FAILED(hr = ViewOf(key, &oldBuffer, &oldView)) ||
            FAILED(hr = ViewOf(newKey, &newBuffer, &newView)))
            return hr;
        std::ptrdiff_t found = Find(oldView, HashOf(oldView));
        if (found < 0)
            return VBScriptError(kVBElementNotFound);
        Entry& entry = m_entries[static_cast<std::size_t>(found)];
        std::size_t newHash = HashOf(newView);
        if (newHash == entry.hash && newView.Matches(entry.form)) {
            entry.key = newKey;
            return S_OK;
        }
        if (Find(newView, newHash) >= 0)
            return VBScriptError(kVBKeyExists);
        std::uint32_t number = static_cast<std::uint32_t>(found);
        Unindex(number);
        entry.key = newKey;
        entry.form.kind = newView.kind;
        entry.form.number = newView.number;
        entry.form.text = newView.text;
        entry.form.identity = newView.identity;
        entry.hash = newHash;
        IndexEntry(number);
        return S_OK;
    } catch (...) {
        return ReportException("CDictionary::put_Key", CV_HERE);
    }
}

HRESULT CDictionary::ListOf(bool keys, VARIANT* pArray) {
    try {
        std::lock_guard lock(m_lock);
        SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(m_live));
        if (CheckExpression(!array))
            return E_OUTOFMEMORY;
        LONG index = 0;
        for (const Entry& entry : m_entries) {
            if (entry.removed)
                continue;
            HRESULT hr = SafeArrayPutElement(array, &index, keys ? &entry.key : &entry.item);
            if (!CheckResult(hr)) {
                SafeArrayDestroy(array);
                return hr;
            }
            ++index;
        }
        VariantClear(pArray);
        pArray->vt = VT_ARRAY | VT_VARIANT;
        pArray->parray = array;
        return S_OK;
    } catch (...) {
        return ReportException("CDictionary::ListOf", CV_HERE);
    }
}

HRESULT CDictionary::Items(VARIANT* pItems) {
    return ListOf(false, pItems);
}

HRESULT CDictionary::Keys(VARIANT* pKeys) {
    return ListOf(true, pKeys);
}

HRESULT CDictionary::Remove(const VARIANT& key) {
    try {
        CComVariant removedKey, removedItem;  // released after the lock: a release may call back
        std::lock_guard lock(m_lock);
        std::u16string buffer;
        KeyView view;
        HRESULT hr = ViewOf(key, &buffer, &view);
        if (FAILED(hr))
            return hr;
        std::ptrdiff_t found = Find(view, HashOf(view));
        if (found < 0)
            return VBScriptError(kVBElementNotFound);
        std::uint32_t number = static_cast<std::uint32_t>(found);
        Entry& entry = m_entries[number];
        Unindex(number);
        entry.key.Detach(&removedKey);
        entry.item.Detach(&removedItem);
        entry.form = KeyForm();
        entry.removed = true;
        --m_live;
        // Removed entries are dropped once they outnumber the live ones.
        if (m_entries.size() - m_live > m_live + 16)
            Rebuild();
        return S_OK;
    } catch (...) {
        return ReportException("CDictionary::Remove", CV_HERE);
    }
}

HRESULT CDictionary::RemoveAll() {
    std::vector<Entry> removed;  // released after the lock
    {
        std::lock_guard lock(m_lock);
        m_slots.clear();
        m_used = 0;
        m_live = 0;
        removed.swap(m_entries);
    }
    return S_OK;
}

HRESULT CDictionary::get_Count(LONG* pCount) {
    std::lock_guard lock(m_lock);
    *pCount = static_cast<LONG>(m_live);
    return S_OK;
}

HRESULT CDictionary::get_CompareMode(LONG* pMode) {
    std::lock_guard lock(m_lock);
    *pMode = m_compareMode;
    return S_OK;
}

HRESULT CDictionary::put_CompareMode(LONG mode) {
    std::lock_guard lock(m_lock);
    if (mode < 0 || m_live != 0)
        return VBScriptError(kVBInvalidCall);
    m_compareMode = mode;
    return S_OK;
}

HRESULT CDictionary::get__NewEnum(IUnknown** ppEnum) {
    try {
        CVariantEnum::Values keys;
        {
            std::lock_guard lock(m_lock);
            for (const Entry& entry : m_entries)
                if (!entry.removed)
                    keys.push_back(entry.key);
        }
        return CVariantEnum::Create(std::move(keys), ppEnum);
    } catch (...) {
        return ReportException("CDictionary::get__NewEnum", CV_HERE);
    }
}
