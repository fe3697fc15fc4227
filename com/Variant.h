// VARIANT: the tagged value of Automation, with its VT_ codes and value types.
//
// A VARIANT is a type code `vt` and a value, laid out as COM lays it out: 16 bytes,
// the value in an 8-byte union behind the type code, and a DECIMAL overlaying the
// whole structure (its first word is the type code). It is trivially copyable on
// purpose: the script engines copy these constantly, so ownership is explicit, as in
// COM: `VariantInit` makes an empty one, `VariantClear` releases what it holds (a
// string reference, an object reference, an array), `VariantCopy` makes an owning copy.
// `CComVariant` (CComVariant.h) wraps this in RAII.
//
// A string value is held as a raw BSTR handle (see Bstr.h) so that null and empty
// stay distinct; use `VariantBstr` / `VariantSetBstr` / `VariantText` rather than the
// raw field.
#pragma once

#include <cstddef>
#include <string_view>

#include "com/Bstr.h"
#include "com/HResult.h"
#include "com/Types.h"

struct IUnknown;
struct IDispatch;
struct SAFEARRAY;

using VARTYPE = std::uint16_t;
using VARIANT_BOOL = std::int16_t;
using SCODE = std::int32_t;
using DATE = double;
using CHAR = char;
using LCID = std::uint32_t;

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_DECIMAL = 14,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_VOID = 24,
    VT_HRESULT = 25,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
    VT_TYPEMASK = 0x0FFF,
};

// Currency: a 64-bit integer scaled by 10,000.
union CY {
    struct {
        ULONG Lo;
        LONG Hi;
    };
    LONGLONG int64;
};

// Decimal: a 96-bit unsigned integer, a power-of-ten scale (0 to 28) and a sign.
struct DECIMAL {
    USHORT wReserved;
    BYTE scale;
    BYTE sign;  // DECIMAL_NEG for negative values
    ULONG Hi32;
    ULONGLONG Lo64;
};
constexpr BYTE DECIMAL_NEG = 0x80;

struct VARIANT {
    union {
        struct {
            VARTYPE vt;
            WORD wReserved1;
            WORD wReserved2;
            WORD wReserved3;
            union {
                LONGLONG llVal;
                LONG lVal;
                BYTE bVal;
                SHORT iVal;
                float fltVal;
                double dblVal;
                VARIANT_BOOL boolVal;
                SCODE scode;
                CY cyVal;
                DATE date;
                BstrBuffer* bstrVal;  // owned handle; use VariantBstr/VariantSetBstr
                IUnknown* punkVal;
                IDispatch* pdispVal;
                SAFEARRAY* parray;
                CHAR cVal;
                USHORT uiVal;
                ULONG ulVal;
                ULONGLONG ullVal;
                INT intVal;
                UINT uintVal;
                BYTE* pbVal;
                SHORT* piVal;
                LONG* plVal;
                LONGLONG* pllVal;
                float* pfltVal;
                double* pdblVal;
                VARIANT_BOOL* pboolVal;
                SCODE* pscode;
                CY* pcyVal;
                DATE* pdate;
                BSTR* pbstrVal;  // a by-reference string is a BSTR object of the caller
                IUnknown** ppunkVal;
                IDispatch** ppdispVal;
                SAFEARRAY** pparray;
                VARIANT* pvarVal;
                DECIMAL* pdecVal;
                CHAR* pcVal;
                USHORT* puiVal;
                ULONG* pulVal;
                ULONGLONG* pullVal;
                INT* pintVal;
                UINT* puintVal;
                void* byref;
            };
        };
        DECIMAL decVal;
    };
};
static_assert(sizeof(VARIANT) == 16, "VARIANT keeps COM's 16-byte layout");

using VARIANTARG = VARIANT;

// VariantChangeType flags.
constexpr WORD VARIANT_NOVALUEPROP = 0x01;
constexpr WORD VARIANT_ALPHABOOL = 0x02;
constexpr WORD VARIANT_NOUSEROVERRIDE = 0x04;
constexpr WORD VARIANT_LOCALBOOL = 0x10;

// VarCmp results and flags.
constexpr HRESULT VARCMP_LT = 0;
constexpr HRESULT VARCMP_EQ = 1;
constexpr HRESULT VARCMP_GT = 2;
constexpr HRESULT VARCMP_NULL = 3;
constexpr ULONG NORM_IGNORECASE = 0x00000001;
constexpr ULONG NORM_IGNORENONSPACE = 0x00000002;
constexpr ULONG NORM_IGNORESYMBOLS = 0x00000004;

// Day numbers of the first and last dates an OLE date may hold (1 January 100 and
// 31 December 9999); the value is days since 1899-12-30.
constexpr double DATE_MIN = -657434.0;
constexpr double DATE_MAX = 2958465.999988426;

// True for a type code that a VARIANT may carry (with or without VT_BYREF/VT_ARRAY).
bool IsValidVariantType(VARTYPE vt);

inline void VariantInit(VARIANT* pvarg) {
    if (!pvarg)
        return;
    pvarg->vt = VT_EMPTY;
    pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
    pvarg->llVal = 0;
}

// The general cases of VariantClear and VariantCopy; the inline versions below handle
// the values that own nothing (Empty, Null, the numbers and dates) themselves.
HRESULT VariantClearAny(VARIANT* pvarg);
HRESULT VariantCopyAny(VARIANT* pvargDest, const VARIANT* pvargSrc);

// Releases the value and leaves VT_EMPTY. A locked array refuses with
// DISP_E_ARRAYISLOCKED and the variant keeps it.
inline HRESULT VariantClear(VARIANT* pvarg) {
    if (pvarg && pvarg->vt < VT_BSTR) {
        VariantInit(pvarg);
        return S_OK;
    }
    return VariantClearAny(pvarg);
}
// An owning copy: strings and arrays are copied, objects AddRef'ed. By-reference
// values are copied as references. The destination is cleared first.
inline HRESULT VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc) {
    if (pvargDest && pvargSrc && pvargSrc->vt < VT_BSTR && pvargDest->vt < VT_BSTR) {
        *pvargDest = *pvargSrc;
        return S_OK;
    }
    return VariantCopyAny(pvargDest, pvargSrc);
}
// As VariantCopy, but a by-reference source is copied as the value it points to.
HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANT* pvargSrc);
// As VariantCopy, but a string of at most kOwnTextUnits units gets a buffer of its own
// instead of a share of the source's. For stores that every thread reads (the
// application's values, a user's values): a shared buffer's reference count would pass
// between processors on every read and on every release of what was read, which costs
// more than copying a short text.
constexpr UINT kOwnTextUnits = 256;
HRESULT VariantCopyOwnText(VARIANT* pvargDest, const VARIANT* pvargSrc);

// Conversion after the OLE Automation rules; the destination may be the source.
// `lcid` decides decimal signs and date forms (LOCALE_SYSTEM_DEFAULT / LOCALE_USER_DEFAULT
// and 0 mean the system default locale).
HRESULT VariantChangeType(VARIANT* pvargDest, const VARIANT* pvarSrc, WORD wFlags, VARTYPE vt);
HRESULT VariantChangeTypeEx(VARIANT* pvargDest, const VARIANT* pvarSrc, LCID lcid, WORD wFlags,
                            VARTYPE vt);

// Value accessors.
inline VARTYPE V_VT(const VARIANT* v) {
    return v->vt;
}
// The size in bytes of a fixed-size value type (I1 … R8, CY, DATE, BOOL, ERROR, INT,
// UINT); 0 for strings, objects, variants, decimals and arrays.
std::size_t VariantScalarSize(VARTYPE vt);

// The string of a VT_BSTR (or VT_BSTR|VT_BYREF) variant as a shared copy.
BSTR VariantBstr(const VARIANT& v);
// The text of a VT_BSTR (or by-reference string) variant, without copying; empty for
// other types.
std::u16string_view VariantText(const VARIANT& v);
// Makes `v` a VT_BSTR holding `text` (clears it first).
void VariantSetBstr(VARIANT* v, BSTR text);

// DECIMAL helpers.
inline bool DecimalIsNegative(const DECIMAL& d) {
    return (d.sign & DECIMAL_NEG) != 0;
}
