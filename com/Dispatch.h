// IDispatch and the interfaces around late-bound calls: DISPPARAMS, EXCEPINFO,
// IEnumVARIANT, the minimal ITypeInfo that carries an interface's name, and the
// dispatch ids and flags with COM's values.
//
// Arguments arrive in DISPPARAMS in reverse order, as in COM: rgvarg[cArgs - 1] is the
// first argument. A property put passes its value as the named argument
// DISPID_PROPERTYPUT. Classes do not implement Invoke by hand: they declare a dispatch
// table (DispatchTable.h) and derive from IDispatchImpl.
#pragma once

#include "com/Bstr.h"
#include "com/Locale.h"
#include "com/Unknown.h"
#include "com/Variant.h"

using MEMBERID = DISPID;

constexpr DISPID DISPID_UNKNOWN = -1;
constexpr DISPID DISPID_VALUE = 0;
constexpr DISPID DISPID_PROPERTYPUT = -3;
constexpr DISPID DISPID_NEWENUM = -4;
constexpr DISPID DISPID_EVALUATE = -5;
constexpr DISPID DISPID_CONSTRUCTOR = -6;
constexpr DISPID DISPID_DESTRUCTOR = -7;
constexpr MEMBERID MEMBERID_NIL = DISPID_UNKNOWN;

constexpr WORD DISPATCH_METHOD = 0x1;
constexpr WORD DISPATCH_PROPERTYGET = 0x2;
constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;

struct DISPPARAMS {
    VARIANTARG* rgvarg = nullptr;
    DISPID* rgdispidNamedArgs = nullptr;
    UINT cArgs = 0;
    UINT cNamedArgs = 0;
};

struct EXCEPINFO {
    WORD wCode = 0;
    WORD wReserved = 0;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext = 0;
    void* pvReserved = nullptr;
    HRESULT (*pfnDeferredFillIn)(EXCEPINFO*) = nullptr;
    SCODE scode = 0;
};

// Type information, reduced to what the program asks of it: the interface's name
// (GetDocumentation with MEMBERID_NIL), which VBScript's TypeName reports.
struct ITypeInfo : IUnknown {
    DECLARE_IID("{00020401-0000-0000-C000-000000000046}");
    virtual HRESULT GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString,
                                     DWORD* pdwHelpContext, BSTR* pBstrHelpFile) = 0;
};

struct IDispatch : IUnknown {
    DECLARE_IID("{00020400-0000-0000-C000-000000000046}");
    virtual HRESULT GetTypeInfoCount(UINT* pctinfo) = 0;
    virtual HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
    // Names compare case-insensitively. Only the first name (the member) is resolved;
    // names of arguments are not supported (DISP_E_UNKNOWNNAME for them).
    virtual HRESULT GetIDsOfNames(const IID& riid, const char16_t** rgszNames, UINT cNames,
                                  LCID lcid, DISPID* rgDispId) = 0;
    virtual HRESULT Invoke(DISPID dispIdMember, const IID& riid, LCID lcid, WORD wFlags,
                           DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                           UINT* puArgErr) = 0;
};

struct IEnumVARIANT : IUnknown {
    DECLARE_IID("{00020404-0000-0000-C000-000000000046}");
    // Copies up to `celt` values into rgVar (which the caller has VariantInit'ed); S_FALSE
    // when fewer were left.
    virtual HRESULT Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) = 0;
    virtual HRESULT Skip(ULONG celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumVARIANT** ppEnum) = 0;
};
