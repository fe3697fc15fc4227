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

std::size_t CDictionary::KeyHash::operator()(const KeyForm& k) const {
    std::size_t h = std::hash<int>()(k.kind);
    h ^= std::hash<double>()(k.number) + 0x9E3779B9 + (h << 6) + (h >> 2);
    h ^= std::hash<std::u16string>()(k.text) + 0x9E3779B9 + (h << 6) + (h >> 2);
    h ^= std::hash<const void*>()(k.identity) + 0x9E3779B9 + (h << 6) + (h >> 2);
    return h;
}

HRESULT CDictionary::FormOf(const VARIANT& key, KeyForm* form) const {
    switch (key.vt) {
        case VT_EMPTY:
            form->kind = KeyForm::Empty;
            return S_OK;
        case VT_NULL:
            form->kind = KeyForm::Null;
            return S_OK;
        case VT_BSTR:
            form->kind = KeyForm::Text;
            form->text = m_compareMode != 0 ? ToUpperSimple(VariantText(key))
                                            : std::u16string(VariantText(key));
            return S_OK;
        case VT_DISPATCH:
        case VT_UNKNOWN: {
            form->kind = KeyForm::Object;
            CComPtr<IUnknown> identity;
            if (key.punkVal)
                key.punkVal->QueryInterface(IIDOf<IUnknown>(), identity.ReceiveVoid());
            form->identity = identity.Get();
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
    form->kind = KeyForm::Number;
    form->number = number.dblVal == 0 ? 0.0 : number.dblVal;  // -0 and 0 are one key
    return S_OK;
}

HRESULT CDictionary::Insert(const VARIANT& key, KeyForm form, const VARIANT& item) {
    m_entries.push_back(Entry{CComVariant(key), CComVariant(item)});
    try {
        m_index.emplace(std::move(form), std::prev(m_entries.end()));
    } catch (...) {
        m_entries.pop_back();
        throw;
    }
    return S_OK;
}

HRESULT CDictionary::Add(const VARIANT& key, const VARIANT& item) {
    try {
        std::lock_guard lock(m_lock);
        KeyForm form;
        HRESULT hr = FormOf(key, &form);
        if (FAILED(hr))
            return hr;
        if (m_index.count(form))
            return VBScriptError(kVBKeyExists);
        return Insert(key, std::move(form), item);
    } catch (...) {
        return ReportException("CDictionary::Add", CV_HERE);
    }
}

HRESULT CDictionary::Exists(const VARIANT& key, bool* pExists) {
    try {
        std::lock_guard lock(m_lock);
        KeyForm form;
        HRESULT hr = FormOf(key, &form);
        if (FAILED(hr))
            return hr;
        *pExists = m_index.count(form) != 0;
        return S_OK;
    } catch (...) {
        return ReportException("CDictionary::Exists", CV_HERE);
    }
}

HRESULT CDictionary::get_Item(const VARIANT& key, VARIANT* pItem) {
    try {
        std::lock_guard lock(m_lock);
        KeyForm form;
        HRESULT hr = FormOf(key, &form);
        if (FAILED(hr))
            return hr;
        auto it = m_index.find(form);
        if (it == m_index.end()) {
            CComVariant empty;
            if (FAILED(hr = Insert(key, std::move(form), empty)))
                return hr;
            VariantClear(pItem);
            return S_OK;
        }
        return VariantCopy(pItem, &it->second->item);
    } catch (...) {
        return ReportException("CDictionary::get_Item", CV_HERE);
    }
}

HRESULT CDictionary::put_Item(const VARIANT& key, const VARIANT& item) {
    try {
        std::lock_guard lock(m_lock);
        KeyForm form;
        HRESULT hr = FormOf(key, &form);
        if (FAILED(hr))
            return hr;
        auto it = m_index.find(form);
        if (it == m_index.end())
            return Insert(key, std::move(form), item);
        it->second->item = item;
        return S_OK;
    } catch (...) {
        return ReportException("CDictionary::put_Item", CV_HERE);
    }
}

HRESULT CDictionary::put_Key(const VARIANT& key, const VARIANT& newKey) {
    try {
        std::lock_guard lock(m_lock);
        KeyForm oldForm, newForm;
        HRESULT hr;
        if (FAILED(hr = FormOf(key, &oldForm)) || FAILED(hr = FormOf(newKey, &newForm)))
            return hr;
        auto it = m_index.find(oldForm);
        if (it == m_index.end())
            return VBScriptError(kVBElementNotFound);
        if (oldForm == newForm) {
            it->second->key = newKey;
            return S_OK;
        }
        if (m_index.count(newForm))
            return VBScriptError(kVBKeyExists);
        EntryList::iterator entry = it->second;
        m_index.emplace(std::move(newForm), entry);
        m_index.erase(oldForm);
        entry->key = newKey;
        return S_OK;
    } catch (...) {
        return ReportException("CDictionary::put_Key", CV_HERE);
    }
}

HRESULT CDictionary::ListOf(bool keys, VARIANT* pArray) {
    try {
        std::lock_guard lock(m_lock);
        SAFEARRAY* array =
            SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(m_entries.size()));
        if (CheckExpression(!array))
            return E_OUTOFMEMORY;
        LONG index = 0;
        for (const Entry& entry : m_entries) {
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
        EntryList removed;  // released after the lock, in case an item's release calls back
        std::lock_guard lock(m_lock);
        KeyForm form;
        HRESULT hr = FormOf(key, &form);
        if (FAILED(hr))
            return hr;
        auto it = m_index.find(form);
        if (it == m_index.end())
            return VBScriptError(kVBElementNotFound);
        removed.splice(removed.begin(), m_entries, it->second);
        m_index.erase(it);
        return S_OK;
    } catch (...) {
        return ReportException("CDictionary::Remove", CV_HERE);
    }
}

HRESULT CDictionary::RemoveAll() {
    EntryList removed;
    {
        std::lock_guard lock(m_lock);
        m_index.clear();
        removed.swap(m_entries);
    }
    return S_OK;
}

HRESULT CDictionary::get_Count(LONG* pCount) {
    std::lock_guard lock(m_lock);
    *pCount = static_cast<LONG>(m_entries.size());
    return S_OK;
}

HRESULT CDictionary::get_CompareMode(LONG* pMode) {
    std::lock_guard lock(m_lock);
    *pMode = m_compareMode;
    return S_OK;
}

HRESULT CDictionary::put_CompareMode(LONG mode) {
    std::lock_guard lock(m_lock);
    if (mode < 0 || !m_entries.empty())
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
                keys.push_back(entry.key);
        }
        return CVariantEnum::Create(std::move(keys), ppEnum);
    } catch (...) {
        return ReportException("CDictionary::get__NewEnum", CV_HERE);
    }
}
