// The results of RegExp.Execute: the Matches collection, each Match and its SubMatches.
//
// These three small read-only classes only carry what the search found, so they share
// one file. Each is a dispatch object with the members (and interface names, which
// TypeName reports) that scripts know: Matches has Count, Item (the default) and
// _NewEnum; a Match has Value (the default), FirstIndex (0-based), Length and
// SubMatches; SubMatches has Count, Item and _NewEnum. A group that took no part in the
// match is Empty.
#pragma once

#include <vector>

#include "com/DispatchTable.h"

class CSubMatches : public CComObjectRoot<CSubMatches, IDispatchImpl<CSubMatches>> {
public:
    explicit CSubMatches(std::vector<CComVariant> groups) : m_groups(std::move(groups)) {}
    static const CDispatchTable& GetDispatchTable();

    HRESULT get_Item(LONG index, VARIANT* pValue);
    HRESULT get_Count(LONG* pCount);
    HRESULT get__NewEnum(IUnknown** ppEnum);

private:
    std::vector<CComVariant> m_groups;
};

class CMatch : public CComObjectRoot<CMatch, IDispatchImpl<CMatch>> {
public:
    CMatch(BSTR value, LONG firstIndex, std::vector<CComVariant> groups)
        : m_value(std::move(value)), m_firstIndex(firstIndex), m_groups(std::move(groups)) {}
    static const CDispatchTable& GetDispatchTable();

    HRESULT get_Value(BSTR* pValue);
    HRESULT get_FirstIndex(LONG* pIndex);
    HRESULT get_Length(LONG* pLength);
    HRESULT get_SubMatches(IDispatch** ppSubMatches);

private:
    BSTR m_value;
    LONG m_firstIndex;
    std::vector<CComVariant> m_groups;
};

class CMatchCollection : public CComObjectRoot<CMatchCollection, IDispatchImpl<CMatchCollection>> {
public:
    explicit CMatchCollection(std::vector<CComPtr<CMatch>> matches)
        : m_matches(std::move(matches)) {}
    static const CDispatchTable& GetDispatchTable();

    HRESULT get_Item(LONG index, IDispatch** ppMatch);
    HRESULT get_Count(LONG* pCount);
    HRESULT get__NewEnum(IUnknown** ppEnum);

private:
    std::vector<CComPtr<CMatch>> m_matches;
};
