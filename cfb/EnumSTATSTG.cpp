// The enumerator of a storage's elements.
#include "cfb/EnumSTATSTG.h"

#include <algorithm>

#include "com/DiagnosticLog.h"

CEnumSTATSTG::CEnumSTATSTG(std::shared_ptr<const std::vector<STATSTG>> elements, size_t position)
    : m_elements(std::move(elements)), m_position(position) {}

HRESULT CEnumSTATSTG::Next(ULONG celt, STATSTG* rgelt, ULONG* pceltFetched) {
    if (pceltFetched)
        *pceltFetched = 0;
    if (CheckExpression(!rgelt && celt > 0))
        return STG_E_INVALIDPOINTER;
    // Without a count to report, only one element at a time may be asked for.
    if (CheckExpression(!pceltFetched && celt > 1))
        return STG_E_INVALIDPARAMETER;
    try {
        std::lock_guard lock(m_lockPosition);
        const size_t cLeft = m_elements->size() - std::min(m_position, m_elements->size());
        const ULONG cFetched = static_cast<ULONG>(std::min<size_t>(celt, cLeft));
        for (ULONG i = 0; i < cFetched; ++i)
            rgelt[i] = (*m_elements)[m_position + i];
        m_position += cFetched;
        if (pceltFetched)
            *pceltFetched = cFetched;
        return cFetched < celt ? S_FALSE : S_OK;
    } catch (...) {
        return ReportException("CEnumSTATSTG::Next", CV_HERE);
    }
}

HRESULT CEnumSTATSTG::Skip(ULONG celt) {
    try {
        std::lock_guard lock(m_lockPosition);
        const size_t cLeft = m_elements->size() - std::min(m_position, m_elements->size());
        m_position += std::min<size_t>(celt, cLeft);
        return celt > cLeft ? S_FALSE : S_OK;
    } catch (...) {
        return ReportException("CEnumSTATSTG::Skip", CV_HERE);
    }
}

HRESULT CEnumSTATSTG::Reset() {
    try {
        std::lock_guard lock(m_lockPosition);
        m_position = 0;
        return S_OK;
    } catch (...) {
        return ReportException("CEnumSTATSTG::Reset", CV_HERE);
    }
}

HRESULT CEnumSTATSTG::Clone(IEnumSTATSTG** ppenum) {
    if (CheckExpression(!ppenum))
        return STG_E_INVALIDPOINTER;
    try {
        *ppenum = nullptr;
        size_t position;
        {
            std::lock_guard lock(m_lockPosition);
            position = m_position;
        }
        HRESULT hr = S_OK;
        CComPtr<CEnumSTATSTG> clone = MakeObject<CEnumSTATSTG>(&hr, m_elements, position);
        if (!CheckResult(hr))
            return hr;
        *ppenum = clone.Detach();
        return S_OK;
    } catch (...) {
        return ReportException("CEnumSTATSTG::Clone", CV_HERE);
    }
}
