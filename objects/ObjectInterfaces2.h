// The script-visible interfaces of the Response object, the Application object and the
// variant dictionary that shows the application's (and a user session's) named values.
//
// All three are dual interfaces: scripts reach them by name through IDispatch (the
// implementing classes declare dispatch tables with the ids of idl/DispatchIds.h), and
// the program's own code calls the members below directly. Slot order follows the type
// library.
#pragma once

#include <tuple>

#include "com/Bstr.h"
#include "com/Dispatch.h"
#include "com/Variant.h"
#include "idl/Identifiers.h"

// Application.Contents and Application.StaticObjects (and the same of the user session):
// a live view of a map of named values that belongs to another object.
struct IVariantDictionary : IDispatch {
    static constexpr IID iid = IID_IVariantDictionary;
    using Bases = std::tuple<IDispatch>;
    virtual HRESULT get_Item(const VARIANT& VarKey, VARIANT* pvar) = 0;
    virtual HRESULT put_Item(const VARIANT& VarKey, const VARIANT& var) = 0;
    virtual HRESULT putref_Item(const VARIANT& VarKey, const VARIANT& var) = 0;
    // The value (not the key) at a 1-based position in key order.
    virtual HRESULT get_Key(const VARIANT& VarKey, VARIANT* pvar) = 0;
    virtual HRESULT get_Count(LONG* cStrRet) = 0;
    virtual HRESULT get__NewEnum(IUnknown** ppEnumReturn) = 0;
    virtual HRESULT Remove(const VARIANT& VarKey) = 0;
    virtual HRESULT RemoveAll() = 0;

protected:
    ~IVariantDictionary() = default;
};

// The script object Application: values shared by every script of the process.
struct IApplication : IDispatch {
    static constexpr IID iid = IID_IApplication;
    using Bases = std::tuple<IDispatch>;
    virtual HRESULT get_Value(BSTR bstrValue, VARIANT* pvar) = 0;
    virtual HRESULT put_Value(BSTR bstrValue, const VARIANT& var) = 0;
    virtual HRESULT putref_Value(BSTR bstrValue, const VARIANT& var) = 0;
    virtual HRESULT Lock() = 0;
    virtual HRESULT UnLock() = 0;
    virtual HRESULT get_StaticObjects(IVariantDictionary** ppProperties) = 0;
    virtual HRESULT get_Contents(IVariantDictionary** ppProperties) = 0;

protected:
    ~IApplication() = default;
};

// The script object Response: the answer to a local page request.
struct IResponse : IDispatch {
    static constexpr IID iid = IID_IResponse;
    using Bases = std::tuple<IDispatch>;
    virtual HRESULT get_ContentType(BSTR* pbstrContentTypeRet) = 0;
    virtual HRESULT put_ContentType(BSTR bstrContentType) = 0;
    // Minutes, as a VT_I4 variant.
    virtual HRESULT get_Expires(VARIANT* pvarExpiresMinutesRet) = 0;
    virtual HRESULT put_Expires(LONG lExpiresMinutes) = 0;
    // A VT_DATE variant.
    virtual HRESULT get_ExpiresAbsolute(VARIANT* pvarExpiresRet) = 0;
    virtual HRESULT put_ExpiresAbsolute(DATE dtExpires) = 0;
    // The status text without the protocol version ("200 OK").
    virtual HRESULT get_Status(BSTR* pbstrStatusRet) = 0;
    virtual HRESULT put_Status(BSTR bstrStatus) = 0;
    virtual HRESULT AddHeader(BSTR bstrHeaderName, BSTR bstrHeaderValue) = 0;
    virtual HRESULT BinaryWrite(const VARIANT& varInput) = 0;
    virtual HRESULT Clear() = 0;
    virtual HRESULT End() = 0;
    virtual HRESULT Redirect(BSTR bstrURL) = 0;
    virtual HRESULT Write(const VARIANT& varText) = 0;
    // Writes literal text block n of the running page.
    virtual HRESULT WriteBlock(ULONG ulBlockNumber) = 0;
    virtual HRESULT get_CharSet(BSTR* pbstrCharSetRet) = 0;
    virtual HRESULT put_CharSet(BSTR bstrCharSet) = 0;
    virtual HRESULT get_CacheControl(BSTR* pbstrCacheControl) = 0;
    virtual HRESULT put_CacheControl(BSTR bstrCacheControl) = 0;
    virtual HRESULT Pics(BSTR bstrHeaderValue) = 0;
    virtual HRESULT get_CodePage(LONG* plvar) = 0;
    virtual HRESULT put_CodePage(LONG lvar) = 0;
    virtual HRESULT get_LCID(LONG* plvar) = 0;
    virtual HRESULT put_LCID(LONG lvar) = 0;

protected:
    ~IResponse() = default;
};
