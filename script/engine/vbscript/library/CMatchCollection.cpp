// The results of RegExp.Execute: Matches, Match and SubMatches.
#include "script/engine/vbscript/library/CMatchCollection.h"

#include "com/DiagnosticLog.h"
#include "script/engine/vbscript/library/CVariantEnum.h"
#include "script/engine/vbscript/library/VBLibrarySupport.h"

namespace {
constexpr DISPID kCount = 1;
constexpr DISPID kFirstIndex = 10001, kLength = 10002, kSubMatches = 10003;
}  // namespace

const CDispatchTable& CSubMatches::GetDispatchTable() {
    static const CDispatchTable table(
        u"ISubMatches", {
                            DispGet<&CSubMatches::get_Item>(u"Item", DISPID_VALUE),
                            DispGet<&CSubMatches::get_Count>(u"Count", kCount),
                            DispGet<&CSubMatches::get__NewEnum>(u"_NewEnum", DISPID_NEWENUM),
                        });
    return table;
}

HRESULT CSubMatches::get_Item(LONG index, VARIANT* pValue) {
    if (index < 0 || static_cast<std::size_t>(index) >= m_groups.size())
        return VBScriptError(kVBInvalidCall);
    return VariantCopy(pValue, &m_groups[static_cast<std::size_t>(index)]);
}

HRESULT CSubMatches::get_Count(LONG* pCount) {
    *pCount = static_cast<LONG>(m_groups.size());
    return S_OK;
}

HRESULT CSubMatches::get__NewEnum(IUnknown** ppEnum) {
    try {
        return CVariantEnum::Create(m_groups, ppEnum);
    } catch (...) {
        return ReportException("CSubMatches::get__NewEnum", CV_HERE);
    }
}

const CDispatchTable& CMatch::GetDispatchTable() {
    static const CDispatchTable table(
        u"IMatch2", {
                        DispGet<&CMatch::get_Value>(u"Value", DISPID_VALUE),
                        DispGet<&CMatch::get_FirstIndex>(u"FirstIndex", kFirstIndex),
                        DispGet<&CMatch::get_Length>(u"Length", kLength),
                        DispGet<&CMatch::get_SubMatches>(u"SubMatches", kSubMatches),
                    });
    return table;
}

HRESULT CMatch::get_Value(BSTR* pValue) {
    *pValue = m_value.IsNull() ? BSTR::Empty() : m_value;
    return S_OK;
}

HRESULT CMatch::get_FirstIndex(LONG* pIndex) {
    *pIndex = m_firstIndex;
    return S_OK;
}

HRESULT CMatch::get_Length(LONG* pLength) {
    *pLength = static_cast<LONG>(m_value.Length());
    return S_OK;
}

HRESULT CMatch::get_SubMatches(IDispatch** ppSubMatches) {
    try {
        HRESULT hr = S_OK;
        CComPtr<CSubMatches> subMatches = MakeObject<CSubMatches>(&hr, m_groups);
        if (FAILED(hr))
            return hr;
        *ppSubMatches = subMatches.Detach();
        return S_OK;
    } catch (...) {
        return ReportException("CMatch::get_SubMatches", CV_HERE);
    }
}

const CDispatchTable& CMatchCollection::GetDispatchTable() {
    static const CDispatchTable table(
        u"IMatchCollection2",
        {
            DispGet<&CMatchCollection::get_Item>(u"Item", DISPID_VALUE),
            DispGet<&CMatchCollection::get_Count>(u"Count", kCount),
            DispGet<&CMatchCollection::get__NewEnum>(u"_NewEnum", DISPID_NEWENUM),
        });
    return table;
}

HRESULT CMatchCollection::get_Item(LONG index, IDispatch** ppMatch) {
    if (index < 0 || static_cast<std::size_t>(index) >= m_matches.size())
        return VBScriptError(kVBInvalidCall);
    CMatch* match = m_matches[static_cast<std::size_t>(index)].Get();
    match->AddRef();
    *ppMatch = match;
    return S_OK;
}

HRESULT CMatchCollection::get_Count(LONG* pCount) {
    *pCount = static_cast<LONG>(m_matches.size());
    return S_OK;
}

HRESULT CMatchCollection::get__NewEnum(IUnknown** ppEnum) {
    try {
        CVariantEnum::Values values;
        for (const CComPtr<CMatch>& match : m_matches)
            values.emplace_back(static_cast<IDispatch*>(match.Get()));
        return CVariantEnum::Create(std::move(values), ppEnum);
    } catch (...) {
        return ReportException("CMatchCollection::get__NewEnum", CV_HERE);
    }
}
