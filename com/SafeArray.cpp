// SAFEARRAY storage: one zeroed block, elements constructed and released by type.
#include "com/SafeArray.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "com/DiagnosticLog.h"
#include "com/Dispatch.h"

namespace {

// Arrays larger than this are refused rather than allowed to exhaust memory.
constexpr std::size_t kMaxArrayBytes = std::size_t{1} << 31;

ULONG ElementSize(VARTYPE vt) {
    if (std::size_t scalar = VariantScalarSize(vt)) return static_cast<ULONG>(scalar);
    switch (vt) {
        case VT_BSTR:
            return sizeof(BSTR);
        case VT_DISPATCH:
        case VT_UNKNOWN:
            return sizeof(void*);
        case VT_VARIANT:
            return sizeof(VARIANT);
        case VT_DECIMAL:
            return sizeof(DECIMAL);
        default:
            return 0;
    }
}

bool TotalElements(const std::vector<SAFEARRAYBOUND>& bounds, ULONG cb, std::size_t* pCount) {
    std::size_t count = 1;
    for (const auto& b : bounds) {
        if (b.cElements && count > kMaxArrayBytes / b.cElements)
            return false;
        count *= b.cElements;
    }
    if (count > kMaxArrayBytes / cb)
        return false;
    *pCount = count;
    return true;
}

std::size_t CountOf(const SAFEARRAY* psa) {
    std::size_t count = 1;
    for (const auto& b : psa->bounds)
        count *= b.cElements;
    return count;
}

void* Allocate(std::size_t count, ULONG cb, VARTYPE vt) {
    void* data = std::calloc(count ? count : 1, cb);
    if (data && vt == VT_BSTR)
        for (std::size_t i = 0; i < count; ++i)
            new (static_cast<BSTR*>(data) + i) BSTR();
    return data;
}

// Releases elements [from, to) of the array's data.
void ReleaseElements(SAFEARRAY* psa, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
        switch (psa->vt) {
            case VT_BSTR:
                (static_cast<BSTR*>(psa->pvData) + i)->~BSTR();
                break;
            case VT_VARIANT:
                VariantClear(static_cast<VARIANT*>(psa->pvData) + i);
                break;
            case VT_DISPATCH:
            case VT_UNKNOWN:
                if (IUnknown* p = static_cast<IUnknown**>(psa->pvData)[i])
                    p->Release();
                break;
            default:
                break;
        }
    }
}

// Copies one element value of type `vt` from `src` to `dst` (which holds a released
// or fresh element).
HRESULT CopyElement(VARTYPE vt, ULONG cb, void* dst, const void* src) {
    switch (vt) {
        case VT_BSTR:
            *static_cast<BSTR*>(dst) = *static_cast<const BSTR*>(src);
            return S_OK;
        case VT_VARIANT:
            return VariantCopy(static_cast<VARIANT*>(dst), static_cast<const VARIANT*>(src));
        case VT_DISPATCH:
        case VT_UNKNOWN: {
            IUnknown* p = *static_cast<IUnknown* const*>(src);
            if (p)
                p->AddRef();
            IUnknown*& slot = *static_cast<IUnknown**>(dst);
            if (slot)
                slot->Release();
            slot = p;
            return S_OK;
        }
        default:
            std::memcpy(dst, src, cb);
            return S_OK;
    }
}

HRESULT Offset(const SAFEARRAY* psa, const LONG* rgIndices, std::size_t* pOffset) {
    if (CheckExpression(!psa || !rgIndices))
        return E_INVALIDARG;
    std::size_t offset = 0, stride = 1;
    for (std::size_t d = 0; d < psa->bounds.size(); ++d) {
        const auto& b = psa->bounds[d];
        long long i = static_cast<long long>(rgIndices[d]) - b.lLbound;
        if (i < 0 || i >= static_cast<long long>(b.cElements))
            return DISP_E_BADINDEX;
        offset += static_cast<std::size_t>(i) * stride;
        stride *= b.cElements;
    }
    *pOffset = offset;
    return S_OK;
}

}  // namespace

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* rgsabound) {
    ULONG cb = ElementSize(vt);
    if (CheckExpression(cb == 0 || cDims == 0 || cDims > 60 || !rgsabound))
        return nullptr;
    try {
        auto* psa = new SAFEARRAY;
        psa->cDims = static_cast<USHORT>(cDims);
        psa->vt = vt;
        psa->cbElements = cb;
        psa->fFeatures = FADF_HAVEVARTYPE | (vt == VT_BSTR       ? FADF_BSTR
                                             : vt == VT_VARIANT  ? FADF_VARIANT
                                             : vt == VT_DISPATCH ? FADF_DISPATCH
                                             : vt == VT_UNKNOWN  ? FADF_UNKNOWN
                                                                 : 0);
        psa->bounds.assign(rgsabound, rgsabound + cDims);
        std::size_t count = 0;
        if (CheckExpression(!TotalElements(psa->bounds, cb, &count)) ||
            CheckExpression(!(psa->pvData = Allocate(count, cb, vt)))) {
            delete psa;
            return nullptr;
        }
        return psa;
    } catch (...) {
        ReportException("SafeArrayCreate", CV_HERE);
        return nullptr;
    }
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
    SAFEARRAYBOUND bound{cElements, lLbound};
    return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
    if (!psa)
        return S_OK;
    if (psa->cLocks)
        return DISP_E_ARRAYISLOCKED;
    ReleaseElements(psa, 0, CountOf(psa));
    std::free(psa->pvData);
    delete psa;
    return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa) {
    if (CheckExpression(!psa))
        return E_INVALIDARG;
    ++psa->cLocks;
    return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
    if (CheckExpression(!psa))
        return E_INVALIDARG;
    if (CheckExpression(psa->cLocks == 0))
        return E_UNEXPECTED;
    --psa->cLocks;
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
    if (CheckExpression(!psa || !ppvData))
        return E_INVALIDARG;
    ++psa->cLocks;
    *ppvData = psa->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) {
    return SafeArrayUnlock(psa);
}

UINT SafeArrayGetDim(const SAFEARRAY* psa) {
    return psa ? psa->cDims : 0;
}

UINT SafeArrayGetElemsize(const SAFEARRAY* psa) {
    return psa ? psa->cbElements : 0;
}

HRESULT SafeArrayGetVartype(const SAFEARRAY* psa, VARTYPE* pvt) {
    if (CheckExpression(!psa || !pvt))
        return E_INVALIDARG;
    *pvt = psa->vt;
    return S_OK;
}

HRESULT SafeArrayGetUBound(const SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
    if (CheckExpression(!psa || !plUbound))
        return E_INVALIDARG;
    if (nDim < 1 || nDim > psa->cDims)
        return DISP_E_BADINDEX;
    const auto& b = psa->bounds[nDim - 1];
    *plUbound = static_cast<LONG>(static_cast<long long>(b.lLbound) + b.cElements - 1);
    return S_OK;
}

HRESULT SafeArrayGetLBound(const SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
    if (CheckExpression(!psa || !plLbound))
        return E_INVALIDARG;
    if (nDim < 1 || nDim > psa->cDims)
        return DISP_E_BADINDEX;
    *plLbound = psa->bounds[nDim - 1].lLbound;
    return S_OK;
}

HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, const LONG* rgIndices, void** ppvData) {
    if (CheckExpression(!ppvData))
        return E_INVALIDARG;
    std::size_t offset = 0;
    HRESULT hr = Offset(psa, rgIndices, &offset);
    if (FAILED(hr))
        return hr;
    *ppvData = static_cast<BYTE*>(psa->pvData) + offset * psa->cbElements;
    return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, const LONG* rgIndices, void* pv) {
    if (CheckExpression(!pv))
        return E_INVALIDARG;
    void* element = nullptr;
    HRESULT hr = SafeArrayPtrOfIndex(psa, rgIndices, &element);
    if (FAILED(hr))
        return hr;
    if (psa->vt == VT_DISPATCH || psa->vt == VT_UNKNOWN) {
        // The out pointer receives a new reference; what it held is not the array's.
        IUnknown* p = *static_cast<IUnknown**>(element);
        if (p)
            p->AddRef();
        *static_cast<IUnknown**>(pv) = p;
        return S_OK;
    }
    try {
        return CopyElement(psa->vt, psa->cbElements, pv, element);
    } catch (...) {
        return ReportException("SafeArrayGetElement", CV_HERE);
    }
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* rgIndices, const void* pv) {
    if (CheckExpression(!pv))
        return E_INVALIDARG;
    void* element = nullptr;
    HRESULT hr = SafeArrayPtrOfIndex(psa, rgIndices, &element);
    if (FAILED(hr))
        return hr;
    if (psa->vt == VT_DISPATCH || psa->vt == VT_UNKNOWN) {
        // Objects are passed as the pointer itself, as COM does.
        IUnknown* p = static_cast<IUnknown*>(const_cast<void*>(pv));
        return CopyElement(psa->vt, psa->cbElements, element, &p);
    }
    try {
        return CopyElement(psa->vt, psa->cbElements, element, pv);
    } catch (...) {
        return ReportException("SafeArrayPutElement", CV_HERE);
    }
}

HRESULT SafeArrayRedim(SAFEARRAY* psa, const SAFEARRAYBOUND* psaboundNew) {
    if (CheckExpression(!psa || !psaboundNew || psa->cDims == 0))
        return E_INVALIDARG;
    if (psa->cLocks)
        return DISP_E_ARRAYISLOCKED;
    std::vector<SAFEARRAYBOUND> bounds = psa->bounds;
    bounds.back() = *psaboundNew;
    std::size_t newCount = 0;
    if (!TotalElements(bounds, psa->cbElements, &newCount))
        return E_OUTOFMEMORY;
    std::size_t oldCount = CountOf(psa);
    void* data = Allocate(newCount, psa->cbElements, VT_EMPTY);
    if (CheckExpression(!data))
        return E_OUTOFMEMORY;
    std::size_t kept = std::min(oldCount, newCount);
    if (oldCount > newCount)
        ReleaseElements(psa, newCount, oldCount);
    if (psa->vt == VT_BSTR) {
        auto* from = static_cast<BSTR*>(psa->pvData);
        auto* to = static_cast<BSTR*>(data);
        for (std::size_t i = 0; i < newCount; ++i)
            new (to + i) BSTR(i < kept ? std::move(from[i]) : BSTR());
        for (std::size_t i = 0; i < kept; ++i)
            from[i].~BSTR();
    } else {
        std::memcpy(data, psa->pvData, kept * psa->cbElements);
    }
    std::free(psa->pvData);
    psa->pvData = data;
    psa->bounds = std::move(bounds);
    return S_OK;
}

HRESULT SafeArrayCopy(const SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
    if (CheckExpression(!ppsaOut))
        return E_INVALIDARG;
    *ppsaOut = nullptr;
    if (!psa)
        return S_OK;
    SAFEARRAY* copy = SafeArrayCreate(psa->vt, psa->cDims, psa->bounds.data());
    if (CheckExpression(!copy))
        return E_OUTOFMEMORY;
    std::size_t count = CountOf(psa);
    try {
        for (std::size_t i = 0; i < count; ++i) {
            HRESULT hr = CopyElement(psa->vt, psa->cbElements,
                                     static_cast<BYTE*>(copy->pvData) + i * psa->cbElements,
                                     static_cast<const BYTE*>(psa->pvData) + i * psa->cbElements);
            if (FAILED(hr)) {
                SafeArrayDestroy(copy);
                return hr;
            }
        }
    } catch (...) {
        SafeArrayDestroy(copy);
        return ReportException("SafeArrayCopy", CV_HERE);
    }
    *ppsaOut = copy;
    return S_OK;
}
