// CMenuProxy: IMenu over a menu object's IDispatch, for the tray program's menu when it
// arrives from another process.
//
// The tray's menu is a dual object; across the object RPC it arrives as a proxy that
// answers IDispatch (and IRpcCall) but not IMenu. This wrapper gives the program an IMenu
// whose members call the object by their dispatch ids. Scripts are handed the wrapper's
// IDispatch, which forwards every call untouched, so they see the tray's menu exactly as
// it answers (its sub-menus included). Sub-menus fetched through the IMenu members come
// back wrapped in the same way.
#pragma once

#include "com/DispatchTable.h"
#include "idl/TrayInterfaces.h"

class CMenuProxy : public CComObjectRoot<CMenuProxy, IMenu> {
public:
    // The menu behind `object`: itself when it answers IMenu, else a wrapper of its
    // IDispatch; null when it answers neither.
    static CComPtr<IMenu> FromUnknown(IUnknown* object);

    explicit CMenuProxy(CComPtr<IDispatch> menu) : m_ptrMenu(std::move(menu)) {}

    // IDispatch: forwarded to the wrapped menu.
    HRESULT GetTypeInfoCount(UINT* pctinfo) override;
    HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    HRESULT GetIDsOfNames(const IID& riid, const char16_t** rgszNames, UINT cNames, LCID lcid,
                          DISPID* rgDispId) override;
    HRESULT Invoke(DISPID dispIdMember, const IID& riid, LCID lcid, WORD wFlags,
                   DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                   UINT* puArgErr) override;

    // IMenu
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

private:
    // Calls member `dispid` with `args` in declared order; a property put passes its
    // value last. The result, when asked for, is converted to `vt`.
    HRESULT Call(DISPID dispid, WORD flags, std::initializer_list<CComVariant> args,
                 VARTYPE vt = VT_EMPTY, CComVariant* result = nullptr);
    HRESULT GetMenuResult(DISPID dispid, WORD flags, std::initializer_list<CComVariant> args,
                          IMenu** pVal);
    HRESULT GetText(DISPID dispid, LONG index, BSTR* pVal);
    HRESULT GetFlag(DISPID dispid, LONG index, bool* pVal);

    const CComPtr<IDispatch> m_ptrMenu;
};
