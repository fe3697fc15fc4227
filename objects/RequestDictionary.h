// CRequestDictionary: the collections `Request.QueryString` and `Request.Form`: the
// fields of a URL-encoded text by their decoded names, in the order the user's locale
// sorts the names (case-sensitively).
//
// A field that occurred once has its value as a string; one that occurred more than once
// has a read-only string list of its values in their order of appearance. Item without
// an argument gives the whole source text as it came, still encoded; For Each walks the
// values, not the names. The request object fills a dictionary once and it never
// changes afterwards.
#pragma once

#include <map>
#include <vector>

#include "com/CComVariant.h"
#include "com/CriticalSection.h"
#include "com/DispatchTable.h"
#include "idl/ServiceInterfaces.h"
#include "objects/EnumVARIANT.h"
#include "objects/ObjectInterfaces1.h"

class CRequestDictionary
    : public CComObjectRoot<CRequestDictionary,
                            IDispatchImpl<CRequestDictionary, IRequestDictionary>,
                            ICorvane_Reserved>,
      public CEnumVARIANTSite {
public:
    // Orders names with VarCmp under the user's default locale, no flags.
    struct CKeyLess {
        bool operator()(const CComVariant& left, const CComVariant& right) const;
    };
    using CEntryMap = std::map<CComVariant, CComVariant, CKeyLess>;

    static const CDispatchTable& GetDispatchTable();

    // Called once by the request object: the entries (string keys; string or string-list
    // values) and the whole undecoded source text.
    HRESULT Init(CEntryMap mapEntries, BSTR strWhole);

    // IRequestDictionary
    HRESULT get_Item(const VARIANT& Var, VARIANT* pVariantReturn) override;
    HRESULT get__NewEnum(IUnknown** ppEnumReturn) override;
    HRESULT get_Count(LONG* cStrRet) override;
    HRESULT get_Key(const VARIANT& VarKey, VARIANT* pvar) override;

    // CEnumVARIANTSite: the values, in key order.
    HRESULT GetValues(std::vector<CComVariant>& values) override;

private:
    // Item as scripts call it: the argument may be left out.
    HRESULT DispatchItem(const VARIANT* pVar, VARIANT* pVariantReturn);

    // Guards the entries and the whole text; taken alone, never while calling out.
    CComAutoCriticalSection m_lock;
    CEntryMap m_mapEntries;
    BSTR m_strWhole;
};
