// CEnumDebugCodeContexts: an array of code contexts with a current index.
#include "script/CEnumDebugCodeContexts.h"

#include "com/DiagnosticLog.h"

HRESULT CEnumDebugCodeContexts::Append(IEnumDebugCodeContexts* pEnum) {
    if (CheckExpression(!pEnum))
        return E_INVALIDARG;
    try {
        for (;;) {
            IDebugCodeContext* next = nullptr;
            ULONG fetched = 0;
            HRESULT hr = pEnum->Next(1, &next, &fetched);
            CComPtr<IDebugCodeContext> owned;
            if (next)
                owned.Attach(next);
            if (hr != S_OK || fetched != 1 || !owned)
                return CheckResultValue(hr == S_FALSE ? S_OK : hr);
            std::lock_guard guard(m_lock);
            m_arrContexts.push_back(std::move(owned));
        }
    } catch (...) {
        return ReportException("CEnumDebugCodeContexts::Append", CV_HERE);
    }
}

HRESULT CEnumDebugCodeContexts::Next(ULONG celt, IDebugCodeContext** pscc, ULONG* pceltFetched) {
    if (CheckExpression(!pscc))
        return E_POINTER;
    std::lock_guard guard(m_lock);
    ULONG fetched = 0;
    while (fetched < celt && m_nCurrent < m_arrContexts.size())
        pscc[fetched++] = CComPtr<IDebugCodeContext>(m_arrContexts[m_nCurrent++]).Detach();
    if (pceltFetched)
        *pceltFetched = fetched;
    return fetched == celt ? S_OK : S_FALSE;
}

HRESULT CEnumDebugCodeContexts::Skip(ULONG celt) {
    std::lock_guard guard(m_lock);
    if (m_nCurrent + celt < m_arrContexts.size()) {
        m_nCurrent += celt;
        return S_OK;
    }
    m_nCurrent = m_arrContexts.size();
    return S_FALSE;
}

HRESULT CEnumDebugCodeContexts::Reset() {
    std::lock_guard guard(m_lock);
    m_nCurrent = 0;
    return S_OK;
}

HRESULT CEnumDebugCodeContexts::Clone(IEnumDebugCodeContexts** ppescc) {
    if (CheckExpression(!ppescc))
        return E_POINTER;
    *ppescc = nullptr;
    try {
        HRESULT hr = S_OK;
        CComPtr<CEnumDebugCodeContexts> copy = MakeObject<CEnumDebugCodeContexts>(&hr);
        if (CheckExpression(!copy))
            return FAILED(hr) ? hr : E_OUTOFMEMORY;
        std::lock_guard guard(m_lock);
        copy->m_arrContexts = m_arrContexts;
        copy->m_nCurrent = m_nCurrent;
        *ppescc = CComPtr<IEnumDebugCodeContexts>(copy.Get()).Detach();
        return S_OK;
    } catch (...) {
        return ReportException("CEnumDebugCodeContexts::Clone", CV_HERE);
    }
}
