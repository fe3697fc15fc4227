// The tray icon's popup menu model; see MenuImpl.h.
#include "tray/MenuImpl.h"

#include <mutex>

#include "com/CComVariant.h"
#include "com/DiagnosticLog.h"
#include "com/Strings.h"
#include "idl/DispatchIds.h"

HRESULT ExtrasText(const VARIANT* varExtras, std::string* text) {
    text->clear();
    if (!varExtras || (varExtras->vt == VT_ERROR && varExtras->scode == DISP_E_PARAMNOTFOUND))
        return S_OK;
    CComVariant converted;
    HRESULT hr = VariantChangeType(&converted, varExtras, 0, VT_BSTR);
    if (!CheckResult(hr))
        return hr;
    *text = converted.Bstr().ToUtf8();
    return S_OK;
}

const CDispatchTable& CMenuImpl::GetDispatchTable() {
    static const CDispatchTable table(
        u"IMenu",
        {
            DispMethod<&CMenuImpl::AddItem>(u"AddItem", DISPID_IMENU_ADDITEM),
            DispMethod<&CMenuImpl::DispAddSubMenu>(u"AddSubMenu", DISPID_IMENU_ADDSUBMENU),
            DispGet<&CMenuImpl::get_DefaultItem>(u"DefaultItem", DISPID_IMENU_DEFAULTITEM),
            DispPut<&CMenuImpl::put_DefaultItem>(u"DefaultItem", DISPID_IMENU_DEFAULTITEM),
            DispGet<&CMenuImpl::get_ItemChecked>(u"ItemChecked", DISPID_IMENU_ITEMCHECKED),
            DispPut<&CMenuImpl::put_ItemChecked>(u"ItemChecked", DISPID_IMENU_ITEMCHECKED),
            DispGet<&CMenuImpl::get_ItemEnabled>(u"ItemEnabled", DISPID_IMENU_ITEMENABLED),
            DispPut<&CMenuImpl::put_ItemEnabled>(u"ItemEnabled", DISPID_IMENU_ITEMENABLED),
            DispGet<&CMenuImpl::DispGetSubMenu>(u"SubMenu", DISPID_IMENU_SUBMENU),
            DispMethod<&CMenuImpl::AddSeparator>(u"AddSeparator", DISPID_IMENU_ADDSEPARATOR),
            DispGet<&CMenuImpl::get_ItemText>(u"ItemText", DISPID_IMENU_ITEMTEXT),
            DispPut<&CMenuImpl::put_ItemText>(u"ItemText", DISPID_IMENU_ITEMTEXT),
            DispGet<&CMenuImpl::get_ItemUrl>(u"ItemUrl", DISPID_IMENU_ITEMURL),
            DispPut<&CMenuImpl::put_ItemUrl>(u"ItemUrl", DISPID_IMENU_ITEMURL),
            DispGet<&CMenuImpl::get_ItemExtras>(u"ItemExtras", DISPID_IMENU_ITEMEXTRAS),
            DispPut<&CMenuImpl::put_ItemExtras>(u"ItemExtras", DISPID_IMENU_ITEMEXTRAS),
            DispGet<&CMenuImpl::get_ItemCount>(u"ItemCount", DISPID_IMENU_ITEMCOUNT),
        });
    return table;
}

CMenuImpl::Item* CMenuImpl::At(LONG index) {
    if (index < 1 || static_cast<std::size_t>(index) > m_items.size())
        return nullptr;
    return &m_items[static_cast<std::size_t>(index - 1)];
}

void CMenuImpl::Changed() {
    if (m_context)
        m_context->Changed();
}

HRESULT CMenuImpl::AddItem(BSTR strText, bool bEnabled, BSTR bstrURL, const VARIANT* varExtras) {
    try {
        Item item;
        item.strText = strText.Str();
        item.bEnabled = bEnabled;
        item.bHasRecord = true;
        item.strUrl = bstrURL.ToUtf8();
        HRESULT hr = ExtrasText(varExtras, &item.strExtras);
        if (FAILED(hr))
            return hr;
        {
            std::lock_guard guard(m_lock);
            item.uId = static_cast<UINT>(++m_context->lCounter);
            m_items.push_back(std::move(item));
        }
        Changed();
        return S_OK;
    } catch (...) {
        return ReportException("CMenuImpl::AddItem", CV_HERE);
    }
}

HRESULT CMenuImpl::AddSubMenu(BSTR strText, IMenu** ppMenu) {
    try {
        if (CheckExpression(!ppMenu))
            return E_POINTER;
        *ppMenu = nullptr;
        HRESULT hr = S_OK;
        CComPtr<CMenuImpl> sub = MakeObject<CMenuImpl>(&hr, m_context);
        if (CheckExpression(!sub))
            return FAILED(hr) ? hr : E_OUTOFMEMORY;
        {
            std::lock_guard guard(m_lock);
            Item item;
            item.kind = MenuSnapshotItem::Kind::SubMenu;
            item.strText = strText.Str();
            item.ptrSubMenu = sub;
            m_items.push_back(std::move(item));
        }
        Changed();
        *ppMenu = sub.Detach();
        return S_OK;
    } catch (...) {
        return ReportException("CMenuImpl::AddSubMenu", CV_HERE);
    }
}

HRESULT CMenuImpl::DispAddSubMenu(BSTR strText, IDispatch** ppMenu) {
    if (CheckExpression(!ppMenu))
        return E_POINTER;
    IMenu* menu = nullptr;
    HRESULT hr = AddSubMenu(strText, &menu);
    *ppMenu = menu;
    return hr;
}

HRESULT CMenuImpl::get_DefaultItem(LONG* pVal) {
    if (CheckExpression(!pVal))
        return E_POINTER;
    std::lock_guard guard(m_lock);
    *pVal = m_lDefault + 1;
    return S_OK;
}

HRESULT CMenuImpl::put_DefaultItem(LONG newVal) {
    {
        std::lock_guard guard(m_lock);
        // 0 takes the default away, as a position of -1 does for the platform menu.
        if (CheckExpression(newVal != 0 && !At(newVal)))
            return E_INVALIDARG;
        m_lDefault = newVal - 1;
    }
    Changed();
    return S_OK;
}

template <typename T, typename Read>
HRESULT CMenuImpl::ReadItem(LONG index, T* pVal, Read read) {
    if (CheckExpression(!pVal))
        return E_POINTER;
    std::lock_guard guard(m_lock);
    Item* item = At(index);
    if (CheckExpression(!item))
        return E_INVALIDARG;
    *pVal = read(*item);
    return S_OK;
}

template <typename Write>
HRESULT CMenuImpl::WriteItem(LONG index, bool (*accepts)(const Item&), Write write, bool redraw) {
    {
        std::lock_guard guard(m_lock);
        Item* item = At(index);
        if (CheckExpression(!item || !accepts(*item)))
            return E_INVALIDARG;
        write(*item);
    }
    if (redraw)
        Changed();
    return S_OK;
}

namespace {

template <typename Item>
bool AnyItem(const Item&) {
    return true;
}

template <typename Item>
bool HasText(const Item& item) {
    return item.kind != MenuSnapshotItem::Kind::Separator;
}

// Separators and sub-menu entries have no page record to change.
template <typename Item>
bool HasRecord(const Item& item) {
    return item.bHasRecord;
}

}  // namespace

HRESULT CMenuImpl::get_ItemChecked(LONG index, bool* pVal) {
    return ReadItem(index, pVal, [](const Item& item) {
        return item.kind == MenuSnapshotItem::Kind::String && item.bChecked;
    });
}

HRESULT CMenuImpl::put_ItemChecked(LONG index, bool newVal) {
    return WriteItem(
        index, &AnyItem<Item>, [&](Item& item) { item.bChecked = newVal; }, true);
}

HRESULT CMenuImpl::get_ItemEnabled(LONG index, bool* pVal) {
    return ReadItem(index, pVal, [](const Item& item) { return item.bEnabled; });
}

HRESULT CMenuImpl::put_ItemEnabled(LONG index, bool newVal) {
    return WriteItem(
        index, &AnyItem<Item>, [&](Item& item) { item.bEnabled = newVal; }, true);
}

HRESULT CMenuImpl::get_SubMenu(LONG index, IMenu** pVal) {
    if (CheckExpression(!pVal))
        return E_POINTER;
    *pVal = nullptr;
    std::lock_guard guard(m_lock);
    Item* item = At(index);
    if (CheckExpression(!item || !item->ptrSubMenu))
        return E_INVALIDARG;
    CComPtr<CMenuImpl> sub = item->ptrSubMenu;
    *pVal = sub.Detach();
    return S_OK;
}

HRESULT CMenuImpl::DispGetSubMenu(LONG index, IDispatch** pVal) {
    if (CheckExpression(!pVal))
        return E_POINTER;
    IMenu* menu = nullptr;
    HRESULT hr = get_SubMenu(index, &menu);
    *pVal = menu;
    return hr;
}

HRESULT CMenuImpl::AddSeparator() {
    try {
        {
            std::lock_guard guard(m_lock);
            Item item;
            item.kind = MenuSnapshotItem::Kind::Separator;
            m_items.push_back(std::move(item));
        }
        Changed();
        return S_OK;
    } catch (...) {
        return ReportException("CMenuImpl::AddSeparator", CV_HERE);
    }
}

HRESULT CMenuImpl::get_ItemText(LONG index, BSTR* pVal) {
    return ReadItem(index, pVal, [](const Item& item) { return BSTR(item.strText); });
}

HRESULT CMenuImpl::put_ItemText(LONG index, BSTR newVal) {
    return WriteItem(
        index, &HasText<Item>, [&](Item& item) { item.strText = newVal.Str(); }, true);
}

HRESULT CMenuImpl::get_ItemUrl(LONG index, BSTR* pVal) {
    return ReadItem(index, pVal, [](const Item& item) { return BSTR::FromUtf8(item.strUrl); });
}

HRESULT CMenuImpl::put_ItemUrl(LONG index, BSTR newVal) {
    return WriteItem(
        index, &HasRecord<Item>, [&](Item& item) { item.strUrl = newVal.ToUtf8(); }, false);
}

HRESULT CMenuImpl::get_ItemExtras(LONG index, BSTR* pVal) {
    return ReadItem(index, pVal, [](const Item& item) { return BSTR::FromUtf8(item.strExtras); });
}

HRESULT CMenuImpl::put_ItemExtras(LONG index, BSTR newVal) {
    return WriteItem(
        index, &HasRecord<Item>, [&](Item& item) { item.strExtras = newVal.ToUtf8(); }, false);
}

HRESULT CMenuImpl::get_ItemCount(LONG* pVal) {
    if (CheckExpression(!pVal))
        return E_POINTER;
    std::lock_guard guard(m_lock);
    *pVal = static_cast<LONG>(m_items.size());
    return S_OK;
}

std::vector<MenuSnapshotItem> CMenuImpl::Snapshot() {
    std::vector<MenuSnapshotItem> items;
    std::lock_guard guard(m_lock);
    items.reserve(m_items.size());
    for (std::size_t i = 0; i < m_items.size(); ++i) {
        const Item& item = m_items[i];
        MenuSnapshotItem& copy = items.emplace_back();
        copy.kind = item.kind;
        copy.strText = Utf16ToUtf8(item.strText);
        copy.uId = item.uId;
        copy.bEnabled = item.bEnabled;
        copy.bChecked = item.bChecked;
        copy.bDefault = static_cast<LONG>(i) == m_lDefault;
        if (item.ptrSubMenu)
            copy.subItems = item.ptrSubMenu->Snapshot();
    }
    return items;
}

bool CMenuImpl::FindId(UINT id, std::string* url, std::string* extras) {
    if (id == 0)
        return false;
    std::lock_guard guard(m_lock);
    for (auto it = m_items.rbegin(); it != m_items.rend(); ++it) {
        if (it->ptrSubMenu) {
            if (it->ptrSubMenu->FindId(id, url, extras))
                return true;
        } else if (it->uId == id) {
            *url = it->strUrl;
            *extras = it->strExtras;
            return true;
        }
    }
    return false;
}

UINT CMenuImpl::DefaultId() {
    std::lock_guard guard(m_lock);
    Item* item = At(m_lDefault + 1);
    return item ? item->uId : 0;
}

void CMenuImpl::Clear() {
    std::vector<Item> old;
    {
        std::lock_guard guard(m_lock);
        old.swap(m_items);
        m_lDefault = -1;
    }
    Changed();
}
