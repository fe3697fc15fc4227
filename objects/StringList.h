// CStringList: the read-only list of strings that a request dictionary gives for a
// field that occurred more than once (`Request.QueryString("a")` after "a=1&a=3"),
// counted from 1 and enumerable with For Each.
//
// Its creator fills it once with `Init`; afterwards it never changes, so a list may be
// shared by every copy of the dictionary value that holds it.
#pragma once

#include <vector>

#include "com/CriticalSection.h"
#include "com/DispatchTable.h"
#include "objects/EnumVARIANT.h"
#include "objects/ObjectInterfaces1.h"

class CStringList : public CComObjectRoot<CStringList, IDispatchImpl<CStringList, IStringList>>,
                    public CEnumVARIANTSite {
public:
    static const CDispatchTable& GetDispatchTable();

    // Fills the list; called once by the creator.
    HRESULT Init(std::vector<BSTR> strings);

    // IStringList
    HRESULT get_Item(LONG i, VARIANT* pVariantReturn) override;
    HRESULT get_Count(LONG* cStrRet) override;
    HRESULT get__NewEnum(IUnknown** ppEnumReturn) override;

    // CEnumVARIANTSite
    HRESULT GetValues(std::vector<CComVariant>& values) override;

private:
    // Guards m_strings; taken alone, never while calling out.
    CComAutoCriticalSection m_lock;
    std::vector<BSTR> m_strings;
};
