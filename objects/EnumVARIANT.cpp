// The snapshot enumerator of every collection that scripts walk with For Each.
#include "objects/EnumVARIANT.h"

#include <utility>

#include "com/DiagnosticLog.h"

HRESULT CreateEnumVARIANT(CEnumVARIANTSite* pSite, IUnknown* pOwner, IUnknown** ppEnum) {
    if (CheckExpression(!pSite || !ppEnum))
        return E_POINTER;
    *ppEnum = nullptr;
    try {
        HRESULT hr = S_OK;
        CComPtr<CEnumVARIANT> ptrEnum = MakeObject<CEnumVARIANT>(&hr);
        if (!CheckResult(hr))
            return hr;
        hr = ptrEnum->Init(pSite, pOwner, 0);
        if (!CheckResult(hr))
            return hr;
        *ppEnum = static_cast<IUnknown*>(static_cast<IEnumVARIANT*>(ptrEnum.Detach()));
        return S_OK;
    } catch (...) {
        return ReportException("CreateEnumVARIANT", CV_HERE);
    }
}

HRESULT CEnumVARIANT::Init(CEnumVARIANTSite* pSite, IUnknown* pOwner, ULONG start) {
    if (CheckExpression(!pSite))
        return E_POINTER;
    m_pSite = pSite;
    m_ptrOwner = pOwner;
    HRESULT hr = CheckResultValue(Reset());
    if (FAILED(hr))
        return hr;
    CCritSecLock lock(m_lock);
    m_nPosition = start;
    return S_OK;
}

HRESULT CEnumVARIANT::Reset() {
    if (CheckExpression(!m_pSite))
        return E_UNEXPECTED;
    try {
        std::vector<CComVariant> values;
        HRESULT hr = CheckResultValue(m_pSite->GetValues(values));
        if (FAILED(hr))
            return hr;
        CCritSecLock lock(m_lock);
        m_snapshot.swap(values);
        m_nPosition = 0;
        return S_OK;
    } catch (...) {
        return ReportException("CEnumVARIANT::Reset", CV_HERE);
    }
}

HRESULT CEnumVARIANT::Next(ULONG celt, VARIANT* rgVar, ULONG* pceltFetched) {
    if (pceltFetched)
        *pceltFetched = 0;
    if (CheckExpression(!rgVar))
        return E_POINTER;
    try {
        CCritSecLock lock(m_lock);
        HRESULT hr = S_OK;
        ULONG nFetched = 0;
        while (nFetched < celt) {
            if (m_nPosition >= m_snapshot.size()) {
                hr = S_FALSE;
                break;
            }
            hr = CheckResultValue(VariantCopy(&rgVar[nFetched], &m_snapshot[m_nPosition]));
            if (FAILED(hr))
                break;
            ++nFetched;
            ++m_nPosition;
        }
        if (pceltFetched)
            *pceltFetched = nFetched;
        return hr;
    } catch (...) {
        return ReportException("CEnumVARIANT::Next", CV_HERE);
    }
}

HRESULT CEnumVARIANT::Skip(ULONG celt) {
    CCritSecLock lock(m_lock);
    // Computed in 64 bits so that a huge count cannot wrap around to a small position.
    const unsigned long long target = static_cast<unsigned long long>(m_nPosition) + celt;
    if (target <= m_snapshot.size()) {
        m_nPosition = static_cast<ULONG>(target);
        return S_OK;
    }
    m_nPosition = static_cast<ULONG>(m_snapshot.size());
    return S_FALSE;
}

HRESULT CEnumVARIANT::Clone(IEnumVARIANT** ppEnum) {
    if (CheckExpression(!ppEnum))
        return E_POINTER;
    *ppEnum = nullptr;
    try {
        ULONG position = 0;
        {
            CCritSecLock lock(m_lock);
            position = m_nPosition;
        }
        HRESULT hr = S_OK;
        CComPtr<CEnumVARIANT> ptrClone = MakeObject<CEnumVARIANT>(&hr);
        if (!CheckResult(hr))
            return hr;
        // The clone takes a fresh snapshot of its own from the same site.
        hr = ptrClone->Init(m_pSite, m_ptrOwner.Get(), position);
        if (!CheckResult(hr))
            return hr;
        *ppEnum = ptrClone.Detach();
        return S_OK;
    } catch (...) {
        return ReportException("CEnumVARIANT::Clone", CV_HERE);
    }
}
