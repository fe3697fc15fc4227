// The script-visible interfaces of the Request object, its dictionaries and the string
// lists, and the property bag through which an object declared in an application file
// reads its parameters.
//
// The first four are dual interfaces: scripts reach them by name through IDispatch (the
// implementing classes declare dispatch tables with the ids of idl/DispatchIds.h), and
// the program's own code calls the members below directly. Slot order follows the type
// library.
#pragma once

#include <tuple>

#include "com/Bstr.h"
#include "com/Dispatch.h"
#include "com/Variant.h"
#include "idl/Identifiers.h"

// The read-only string list has no id in the published type library; this one is ours.
constexpr IID IID_IStringList = MakeGUID("{54609CE1-793A-4B07-9009-FC3C410589BA}");
// The standard property-bag interfaces.
constexpr IID IID_IPropertyBag = MakeGUID("{55272A00-42CB-11CE-8135-00AA004BB851}");
constexpr IID IID_IErrorLog = MakeGUID("{3127CA40-446E-11CE-8135-00AA004BB851}");
constexpr IID IID_IPersistPropertyBag = MakeGUID("{37D84F60-42CB-11CE-8135-00AA004BB851}");

// The several values of one request field, counted from 1.
struct IStringList : IDispatch {
    static constexpr IID iid = IID_IStringList;
    using Bases = std::tuple<IDispatch>;
    virtual HRESULT get_Item(LONG i, VARIANT* pVariantReturn) = 0;
    virtual HRESULT get_Count(LONG* cStrRet) = 0;
    virtual HRESULT get__NewEnum(IUnknown** ppEnumReturn) = 0;

protected:
    ~IStringList() = default;
};

// A list of strings whose contents and changes belong to its owner (the external sites).
struct IStringList2 : IDispatch {
    static constexpr IID iid = IID_IStringList2;
    using Bases = std::tuple<IDispatch>;
    virtual HRESULT get_Item(const VARIANT& index, VARIANT* pVariantReturn) = 0;
    virtual HRESULT get_Count(LONG* cStrRet) = 0;
    virtual HRESULT get__NewEnum(IUnknown** ppEnumReturn) = 0;
    virtual HRESULT Add(BSTR bstrItem) = 0;
    virtual HRESULT Remove(const VARIANT& index) = 0;

protected:
    ~IStringList2() = default;
};

// Request.QueryString and Request.Form.
struct IRequestDictionary : IDispatch {
    static constexpr IID iid = IID_IRequestDictionary;
    using Bases = std::tuple<IDispatch>;
    // Var left out (VT_ERROR with DISP_E_PARAMNOTFOUND): the whole undecoded source text.
    virtual HRESULT get_Item(const VARIANT& Var, VARIANT* pVariantReturn) = 0;
    virtual HRESULT get__NewEnum(IUnknown** ppEnumReturn) = 0;
    virtual HRESULT get_Count(LONG* cStrRet) = 0;
    virtual HRESULT get_Key(const VARIANT& VarKey, VARIANT* pvar) = 0;

protected:
    ~IRequestDictionary() = default;
};

// The script object Request.
struct IRequest : IDispatch {
    static constexpr IID iid = IID_IRequest;
    using Bases = std::tuple<IDispatch>;
    virtual HRESULT get_Item(BSTR bstrVar, IDispatch** ppObjReturn) = 0;
    virtual HRESULT get_QueryString(IRequestDictionary** ppDictReturn) = 0;
    virtual HRESULT get_Form(IRequestDictionary** ppDictReturn) = 0;
    virtual HRESULT get_ServerVariables(IRequestDictionary** ppDictReturn) = 0;
    virtual HRESULT get_ClientCertificate(IRequestDictionary** ppDictReturn) = 0;
    virtual HRESULT get_Cookies(IRequestDictionary** ppDictReturn) = 0;
    virtual HRESULT get_TotalBytes(LONG* pcbTotal) = 0;
    virtual HRESULT BinaryRead(VARIANT* pvarCountToRead, VARIANT* pvarReturn) = 0;

protected:
    ~IRequest() = default;
};

// Collects errors while an object loads its properties; the program's bag does not use it.
struct IErrorLog : IUnknown {
    static constexpr IID iid = IID_IErrorLog;
    virtual HRESULT AddError(const char16_t* pszPropName, EXCEPINFO* pExcepInfo) = 0;

protected:
    ~IErrorLog() = default;
};

// Named values that an object reads while it loads itself.
struct IPropertyBag : IUnknown {
    static constexpr IID iid = IID_IPropertyBag;
    virtual HRESULT Read(const char16_t* pszPropName, VARIANT* pVar, IErrorLog* pErrorLog) = 0;
    virtual HRESULT Write(const char16_t* pszPropName, VARIANT* pVar) = 0;

protected:
    ~IPropertyBag() = default;
};

// An object that loads its properties from a property bag: what an application file's
// object declaration creates. The slots of IPersist come first.
struct IPersistPropertyBag : IUnknown {
    static constexpr IID iid = IID_IPersistPropertyBag;
    virtual HRESULT GetClassID(CLSID* pClassID) = 0;
    virtual HRESULT InitNew() = 0;
    virtual HRESULT Load(IPropertyBag* pPropBag, IErrorLog* pErrorLog) = 0;
    virtual HRESULT Save(IPropertyBag* pPropBag, BOOL fClearDirty, BOOL fSaveAllProperties) = 0;

protected:
    ~IPersistPropertyBag() = default;
};
