// The read-only string list of a request field's several values.
#include "objects/StringList.h"

#include <utility>

#include "com/DiagnosticLog.h"
#include "idl/DispatchIds.h"

const CDispatchTable& CStringList::GetDispatchTable() {
    using C = CStringList;
    static const CDispatchTable table(
        u"IStringList", {
                            DispGet<&C::get_Item>(u"Item", DISPID_ISTRINGLIST_ITEM),
                            DispGet<&C::get_Count>(u"Count", DISPID_ISTRINGLIST_COUNT),
                            DispGet<&C::get__NewEnum>(u"_NewEnum", DISPID_ISTRINGLIST_NEWENUM),
                        });
    return table;
}

HRESULT CStringList::Init(std::vector<BSTR> strings) {
    CCritSecLock lock(m_lock);
    m_strings = std::move(strings);
    return S_OK;
}

HRESULT CStringList::get_Item(LONG i, VARIANT* pVariantReturn) {
    if (CheckExpression(!pVariantReturn))
        return E_POINTER;
    try {
        CCritSecLock lock(m_lock);
        if (CheckExpression(i < 1 || static_cast<std::size_t>(i) > m_strings.size()))
            return E_INVALIDARG;
        VariantSetBstr(pVariantReturn, m_strings[static_cast<std::size_t>(i) - 1]);
        return S_OK;
    } catch (...) {
        return ReportException("CStringList::get_Item", CV_HERE);
    }
}

HRESULT CStringList::get_Count(LONG* cStrRet) {
    if (CheckExpression(!cStrRet))
        return E_POINTER;
    CCritSecLock lock(m_lock);
    *cStrRet = static_cast<LONG>(m_strings.size());
    return S_OK;
}

HRESULT CStringList::get__NewEnum(IUnknown** ppEnumReturn) {
    if (CheckExpression(!ppEnumReturn))
        return E_POINTER;
    return CheckResultValue(CreateEnumVARIANT(
        this, static_cast<IUnknown*>(static_cast<IStringList*>(this)), ppEnumReturn));
}

HRESULT CStringList::GetValues(std::vector<CComVariant>& values) {
    try {
        CCritSecLock lock(m_lock);
        for (const BSTR& str : m_strings)
            values.emplace_back(str);
        return S_OK;
    } catch (...) {
        return ReportException("CStringList::GetValues", CV_HERE);
    }
}
