// SAFEARRAY: Automation's array of one or more dimensions with lower bounds.
//
// Elements are stored with the first dimension varying fastest (as VBScript's
// a(i, j) is laid out); index vectors list one index per dimension in declaration
// order, rgIndices[0] being the first dimension. `SafeArrayRedim` changes the last
// dimension, the only one whose change keeps the elements where they are. An array
// locked with `SafeArrayLock` or `SafeArrayAccessData` refuses to be destroyed or
// resized (DISP_E_ARRAYISLOCKED). Elements of VT_BSTR are BSTR objects, of VT_VARIANT
// VARIANTs, of VT_DISPATCH/VT_UNKNOWN interface pointers the array holds references to.
#pragma once

#include <vector>

#include "com/Variant.h"

struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
};

constexpr USHORT FADF_BSTR = 0x0100;
constexpr USHORT FADF_UNKNOWN = 0x0200;
constexpr USHORT FADF_DISPATCH = 0x0400;
constexpr USHORT FADF_VARIANT = 0x0800;
constexpr USHORT FADF_HAVEVARTYPE = 0x0080;

struct SAFEARRAY {
    USHORT cDims = 0;
    USHORT fFeatures = 0;
    ULONG cbElements = 0;
    ULONG cLocks = 0;
    void* pvData = nullptr;
    VARTYPE vt = VT_EMPTY;
    std::vector<SAFEARRAYBOUND> bounds;  // in declaration order
};

// A new array of `cDims` dimensions (1 to 60) of element type `vt`, elements empty or
// zero; null for an unsupported type, bad bounds or too many elements.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* rgsabound);
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
HRESULT SafeArrayDestroy(SAFEARRAY* psa);
HRESULT SafeArrayLock(SAFEARRAY* psa);
HRESULT SafeArrayUnlock(SAFEARRAY* psa);
HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
UINT SafeArrayGetDim(const SAFEARRAY* psa);
UINT SafeArrayGetElemsize(const SAFEARRAY* psa);
HRESULT SafeArrayGetVartype(const SAFEARRAY* psa, VARTYPE* pvt);
// nDim counts from 1; DISP_E_BADINDEX outside 1..cDims.
HRESULT SafeArrayGetUBound(const SAFEARRAY* psa, UINT nDim, LONG* plUbound);
HRESULT SafeArrayGetLBound(const SAFEARRAY* psa, UINT nDim, LONG* plLbound);
// Copies the element out (strings, variants and references copied) into `pv`, which
// points at a value of the element type (a BSTR, a VARIANT that is cleared first, …).
HRESULT SafeArrayGetElement(SAFEARRAY* psa, const LONG* rgIndices, void* pv);
// Stores a copy of the value `pv` points at (a BSTR*, a VARIANT*, an IUnknown* for
// object arrays, a scalar's address otherwise).
HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* rgIndices, const void* pv);
// The address of one element (the array should be locked while it is used).
HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, const LONG* rgIndices, void** ppvData);
// New bounds for the last dimension; elements beyond a shrunken end are released,
// new ones are empty.
HRESULT SafeArrayRedim(SAFEARRAY* psa, const SAFEARRAYBOUND* psaboundNew);
HRESULT SafeArrayCopy(const SAFEARRAY* psa, SAFEARRAY** ppsaOut);
