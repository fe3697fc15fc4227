// CMenuImpl: the tray icon's popup menu as scripts build it (IMenu).
//
// The service's scripts add items, separators and sub-menus through IMenu on RPC threads;
// the menu itself is a plain model here. Whoever shows it (the tray window on the GTK
// thread) takes a snapshot when it is told that the tree changed, and looks an item up by
// its identifier when the user chooses it. Item identifiers come from one counter shared
// by the whole tree, so they are unique across sub-menus and start at 1; separators and
// sub-menu entries carry identifier 0 and no page record.
//
// Locks: each menu's m_lock guards its own items. A parent takes a child's lock only
// while it holds its own (snapshots, searches), never the other way round, so the order
// is parent before child. The change callback is called with no menu lock held.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "com/CriticalSection.h"
#include "com/DispatchTable.h"
#include "idl/TrayInterfaces.h"

// What a whole menu tree shares: the item identifier counter and who to tell about
// changes.
struct CMenuContext {
    std::atomic<LONG> lCounter{0};

    // Sets who is told after any change of any menu in the tree (empty: nobody). Menus
    // handed out to the service may outlive their tray, which lets go here first.
    void SetOnChange(std::function<void()> onChange) {
        std::lock_guard guard(m_lock);
        m_onChange = std::move(onChange);
    }
    void Changed() {
        std::lock_guard guard(m_lock);
        if (m_onChange)
            m_onChange();
    }

private:
    // Guards m_onChange and is held while it runs; taken before the tray's window lock.
    std::mutex m_lock;
    std::function<void()> m_onChange;
};

// A copy of one menu for showing it.
struct MenuSnapshotItem {
    enum class Kind { String, Separator, SubMenu };
    Kind kind = Kind::String;
    std::string strText;  // UTF-8
    UINT uId = 0;
    bool bEnabled = true;
    bool bChecked = false;
    bool bDefault = false;
    std::vector<MenuSnapshotItem> subItems;
};

class CMenuImpl : public CComObjectRoot<CMenuImpl, IDispatchImpl<CMenuImpl, IMenu>> {
public:
    explicit CMenuImpl(std::shared_ptr<CMenuContext> context) : m_context(std::move(context)) {}

    static const CDispatchTable& GetDispatchTable();

    HRESULT AddItem(BSTR strText, bool bEnabled, BSTR bstrURL, const VARIANT* varExtras) override;
    HRESULT AddSubMenu(BSTR strText, IMenu** ppMenu) override;
    HRESULT get_DefaultItem(LONG* pVal) override;
    HRESULT put_DefaultItem(LONG newVal) override;
    HRESULT get_ItemChecked(LONG index, bool* pVal) override;
    HRESULT put_ItemChecked(LONG index, bool newVal) override;
    HRESULT get_ItemEnabled(LONG index, bool* pVal) override;
    HRESULT put_ItemEnabled(LONG index, bool newVal) override;
    HRESULT get_SubMenu(LONG index, IMenu** pVal) override;
    HRESULT AddSeparator() override;
    HRESULT get_ItemText(LONG index, BSTR* pVal) override;
    HRESULT put_ItemText(LONG index, BSTR newVal) override;
    HRESULT get_ItemUrl(LONG index, BSTR* pVal) override;
    HRESULT put_ItemUrl(LONG index, BSTR newVal) override;
    HRESULT get_ItemExtras(LONG index, BSTR* pVal) override;
    HRESULT put_ItemExtras(LONG index, BSTR newVal) override;
    HRESULT get_ItemCount(LONG* pVal) override;

    // Dispatch forms of the members that hand out a menu.
    HRESULT DispAddSubMenu(BSTR strText, IDispatch** ppMenu);
    HRESULT DispGetSubMenu(LONG index, IDispatch** pVal);

    // The menu as it is now, sub-menus included.
    std::vector<MenuSnapshotItem> Snapshot();
    // Looks for the item with identifier `id`, last item first and into sub-menus depth
    // first. True when found; `url` and `extras` receive its page record (empty for an
    // item without one).
    bool FindId(UINT id, std::string* url, std::string* extras);
    // The identifier of the default item (0 when there is none or it opens a sub-menu).
    UINT DefaultId();
    // Removes every item (a new service starts with an empty menu).
    void Clear();

private:
    struct Item {
        MenuSnapshotItem::Kind kind = MenuSnapshotItem::Kind::String;
        std::u16string strText;
        UINT uId = 0;
        bool bEnabled = true;
        bool bChecked = false;
        bool bHasRecord = false;
        std::string strUrl;  // the page record: path and dialog options (UTF-8)
        std::string strExtras;
        CComPtr<CMenuImpl> ptrSubMenu;
    };

    // The item at 1-based `index`, or null; m_lock held.
    Item* At(LONG index);
    void Changed();
    // The item accessors: `read` gives the value of an item; `write` changes an item that
    // `accepts` allows (separators have no text, only items with a page record have a
    // URL), and `redraw` says whether the platform menu shows what changed.
    template <typename T, typename Read>
    HRESULT ReadItem(LONG index, T* pVal, Read read);
    template <typename Write>
    HRESULT WriteItem(LONG index, bool (*accepts)(const Item&), Write write, bool redraw);

    std::shared_ptr<CMenuContext> m_context;
    CComAutoCriticalSection m_lock;  // guards the members below; parent before child
    std::vector<Item> m_items;
    LONG m_lDefault = -1;  // 0-based position of the default item, -1 for none
};

// The text of an optional extras argument: empty when it is missing.
HRESULT ExtrasText(const VARIANT* varExtras, std::string* text);
