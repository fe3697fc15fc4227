// CVariantEnum: an IEnumVARIANT over a snapshot of values.
#include "script/engine/vbscript/library/CVariantEnum.h"

#include "com/DiagnosticLog.h"

HRESULT CVariantEnum::Create(Values values, IUnknown** ppEnum) {
    if (CheckExpression(!ppEnum))
        return E_POINTER;
    *ppEnum = nullptr;
    try {
        HRESULT hr = S_OK;
        CComPtr<CVariantEnum> object =
            MakeObject<CVariantEnum>(&hr, std::make_shared<const Values>(std::move(values)));
        if (FAILED(hr))
            return hr;
        *ppEnum = static_cast<IEnumVARIANT*>(object.Detach());
        return S_OK;
    } catch (...) {
        return ReportException("CVariantEnum::Create", CV_HERE);
    }
}

HRESULT CVariantEnum::Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) {
    if (CheckExpression(!rgVar && celt > 0))
        return E_POINTER;
    ULONG fetched = 0;
    while (fetched < celt && m_position < m_values->size()) {
        HRESULT hr = VariantCopy(&rgVar[fetched], &(*m_values)[m_position]);
        if (!CheckResult(hr)) {
            for (ULONG i = 0; i < fetched; ++i)
                VariantClear(&rgVar[i]);
            return hr;
        }
        ++fetched;
        ++m_position;
    }
    if (pCeltFetched)
        *pCeltFetched = fetched;
    return fetched == celt ? S_OK : S_FALSE;
}

HRESULT CVariantEnum::Skip(ULONG celt) {
    std::size_t left = m_values->size() - m_position;
    m_position += std::min<std::size_t>(celt, left);
    return celt <= left ? S_OK : S_FALSE;
}

HRESULT CVariantEnum::Reset() {
    m_position = 0;
    return S_OK;
}

HRESULT CVariantEnum::Clone(IEnumVARIANT** ppEnum) {
    if (CheckExpression(!ppEnum))
        return E_POINTER;
    HRESULT hr = S_OK;
    CComPtr<CVariantEnum> copy = MakeObject<CVariantEnum>(&hr, m_values, m_position);
    if (FAILED(hr))
        return hr;
    *ppEnum = copy.Detach();
    return S_OK;
}
