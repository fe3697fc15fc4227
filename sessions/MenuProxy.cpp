// IMenu over IDispatch; see MenuProxy.h.
#include "sessions/MenuProxy.h"

#include <algorithm>
#include <vector>

#include "com/DiagnosticLog.h"
#include "idl/DispatchIds.h"

CComPtr<IMenu> CMenuProxy::FromUnknown(IUnknown* object) {
    if (!object)
        return nullptr;
    if (CComPtr<IMenu> local = ComQuery<IMenu>(object))
        return local;
    CComPtr<IDispatch> dispatch = ComQuery<IDispatch>(object);
    if (!dispatch)
        return nullptr;
    CComPtr<CMenuProxy> proxy = MakeObject<CMenuProxy>(dispatch);
    if (CheckExpression(!proxy))
        return nullptr;
    return CComPtr<IMenu>(proxy);
}

HRESULT CMenuProxy::GetTypeInfoCount(UINT* pctinfo) {
    return m_ptrMenu->GetTypeInfoCount(pctinfo);
}

HRESULT CMenuProxy::GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) {
    return m_ptrMenu->GetTypeInfo(iTInfo, lcid, ppTInfo);
}

HRESULT CMenuProxy::GetIDsOfNames(const IID& riid, const char16_t** rgszNames, UINT cNames,
                                  LCID lcid, DISPID* rgDispId) {
    return m_ptrMenu->GetIDsOfNames(riid, rgszNames, cNames, lcid, rgDispId);
}

HRESULT CMenuProxy::Invoke(DISPID dispIdMember, const IID& riid, LCID lcid, WORD wFlags,
                           DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                           UINT* puArgErr) {
    return m_ptrMenu->Invoke(dispIdMember, riid, lcid, wFlags, pDispParams, pVarResult, pExcepInfo,
                             puArgErr);
}

HRESULT CMenuProxy::Call(DISPID dispid, WORD flags, std::initializer_list<CComVariant> args,
                         VARTYPE vt, CComVariant* result) {
    try {
        // DISPPARAMS carry the arguments last first.
        std::vector<CComVariant> reversed(args.begin(), args.end());
        std::reverse(reversed.begin(), reversed.end());
        DISPID put = DISPID_PROPERTYPUT;
        DISPPARAMS params;
        params.rgvarg = reversed.empty() ? nullptr : reversed.data();
        params.cArgs = static_cast<UINT>(reversed.size());
        if (flags == DISPATCH_PROPERTYPUT) {
            params.rgdispidNamedArgs = &put;
            params.cNamedArgs = 1;
        }
        CComVariant answer;
        HRESULT hr = m_ptrMenu->Invoke(dispid, GUID_NULL, 0, flags, &params,
                                       result ? &answer : nullptr, nullptr, nullptr);
        if (FAILED(hr) || !result)
            return hr;
        if (vt == VT_DISPATCH) {
            // A menu member that answers no menu answers Nothing.
            if (answer.vt != VT_DISPATCH && answer.vt != VT_UNKNOWN && answer.vt != VT_EMPTY)
                return DISP_E_TYPEMISMATCH;
            *result = std::move(answer);
            return hr;
        }
        if (FAILED(VariantChangeType(result, &answer, 0, vt)))
            return DISP_E_TYPEMISMATCH;
        return hr;
    } catch (...) {
        return ReportException("CMenuProxy::Call", CV_HERE);
    }
}

HRESULT CMenuProxy::GetMenuResult(DISPID dispid, WORD flags,
                                  std::initializer_list<CComVariant> args, IMenu** pVal) {
    if (CheckExpression(!pVal))
        return E_POINTER;
    *pVal = nullptr;
    CComVariant menu;
    HRESULT hr = Call(dispid, flags, args, VT_DISPATCH, &menu);
    if (FAILED(hr))
        return hr;
    IUnknown* object = menu.vt == VT_DISPATCH  ? static_cast<IUnknown*>(menu.pdispVal)
                       : menu.vt == VT_UNKNOWN ? menu.punkVal
                                               : nullptr;
    if (!object)
        return hr;
    CComPtr<IMenu> wrapped = FromUnknown(object);
    if (CheckExpression(!wrapped))
        return E_NOINTERFACE;
    *pVal = wrapped.Detach();
    return hr;
}

HRESULT CMenuProxy::GetText(DISPID dispid, LONG index, BSTR* pVal) {
    if (CheckExpression(!pVal))
        return E_POINTER;
    CComVariant text;
    HRESULT hr = Call(dispid, DISPATCH_PROPERTYGET, {CComVariant(index)}, VT_BSTR, &text);
    if (SUCCEEDED(hr))
        *pVal = text.Bstr();
    return hr;
}

HRESULT CMenuProxy::GetFlag(DISPID dispid, LONG index, bool* pVal) {
    if (CheckExpression(!pVal))
        return E_POINTER;
    CComVariant flag;
    HRESULT hr = Call(dispid, DISPATCH_PROPERTYGET, {CComVariant(index)}, VT_BOOL, &flag);
    if (SUCCEEDED(hr))
        *pVal = flag.boolVal != VARIANT_FALSE;
    return hr;
}

HRESULT CMenuProxy::AddItem(BSTR strText, bool bEnabled, BSTR bstrURL, const VARIANT* varExtras) {
    // Extras left out stay left out, so the menu sees its own default.
    if (!varExtras || (varExtras->vt == VT_ERROR && varExtras->scode == DISP_E_PARAMNOTFOUND))
        return Call(DISPID_IMENU_ADDITEM, DISPATCH_METHOD,
                    {CComVariant(strText), CComVariant(bEnabled), CComVariant(bstrURL)});
    return Call(DISPID_IMENU_ADDITEM, DISPATCH_METHOD,
                {CComVariant(strText), CComVariant(bEnabled), CComVariant(bstrURL),
                 CComVariant(*varExtras)});
}

HRESULT CMenuProxy::AddSubMenu(BSTR strText, IMenu** ppMenu) {
    return GetMenuResult(DISPID_IMENU_ADDSUBMENU, DISPATCH_METHOD, {CComVariant(strText)}, ppMenu);
}

HRESULT CMenuProxy::get_DefaultItem(LONG* pVal) {
    if (CheckExpression(!pVal))
        return E_POINTER;
    CComVariant item;
    HRESULT hr = Call(DISPID_IMENU_DEFAULTITEM, DISPATCH_PROPERTYGET, {}, VT_I4, &item);
    if (SUCCEEDED(hr))
        *pVal = item.lVal;
    return hr;
}

HRESULT CMenuProxy::put_DefaultItem(LONG newVal) {
    return Call(DISPID_IMENU_DEFAULTITEM, DISPATCH_PROPERTYPUT, {CComVariant(newVal)});
}

HRESULT CMenuProxy::get_ItemChecked(LONG index, bool* pVal) {
    return GetFlag(DISPID_IMENU_ITEMCHECKED, index, pVal);
}

HRESULT CMenuProxy::put_ItemChecked(LONG index, bool newVal) {
    return Call(DISPID_IMENU_ITEMCHECKED, DISPATCH_PROPERTYPUT,
                {CComVariant(index), CComVariant(newVal)});
}

HRESULT CMenuProxy::get_ItemEnabled(LONG index, bool* pVal) {
    return GetFlag(DISPID_IMENU_ITEMENABLED, index, pVal);
}

HRESULT CMenuProxy::put_ItemEnabled(LONG index, bool newVal) {
    return Call(DISPID_IMENU_ITEMENABLED, DISPATCH_PROPERTYPUT,
                {CComVariant(index), CComVariant(newVal)});
}

HRESULT CMenuProxy::get_SubMenu(LONG index, IMenu** pVal) {
    return GetMenuResult(DISPID_IMENU_SUBMENU, DISPATCH_PROPERTYGET, {CComVariant(index)}, pVal);
}

HRESULT CMenuProxy::AddSeparator() {
    return Call(DISPID_IMENU_ADDSEPARATOR, DISPATCH_METHOD, {});
}

HRESULT CMenuProxy::get_ItemText(LONG index, BSTR* pVal) {
    return GetText(DISPID_IMENU_ITEMTEXT, index, pVal);
}

HRESULT CMenuProxy::put_ItemText(LONG index, BSTR newVal) {
    return Call(DISPID_IMENU_ITEMTEXT, DISPATCH_PROPERTYPUT,
                {CComVariant(index), CComVariant(newVal)});
}

HRESULT CMenuProxy::get_ItemUrl(LONG index, BSTR* pVal) {
    return GetText(DISPID_IMENU_ITEMURL, index, pVal);
}

HRESULT CMenuProxy::put_ItemUrl(LONG index, BSTR newVal) {
    return Call(DISPID_IMENU_ITEMURL, DISPATCH_PROPERTYPUT,
                {CComVariant(index), CComVariant(newVal)});
}

HRESULT CMenuProxy::get_ItemExtras(LONG index, BSTR* pVal) {
    return GetText(DISPID_IMENU_ITEMEXTRAS, index, pVal);
}

HRESULT CMenuProxy::put_ItemExtras(LONG index, BSTR newVal) {
    return Call(DISPID_IMENU_ITEMEXTRAS, DISPATCH_PROPERTYPUT,
                {CComVariant(index), CComVariant(newVal)});
}

HRESULT CMenuProxy::get_ItemCount(LONG* pVal) {
    if (CheckExpression(!pVal))
        return E_POINTER;
    CComVariant count;
    HRESULT hr = Call(DISPID_IMENU_ITEMCOUNT, DISPATCH_PROPERTYGET, {}, VT_I4, &count);
    if (SUCCEEDED(hr))
        *pVal = count.lVal;
    return hr;
}
