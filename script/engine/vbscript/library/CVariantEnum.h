// CVariantEnum: an IEnumVARIANT over a snapshot of values, for the `_NewEnum` of the
// library's collections (Matches, SubMatches, the keys of a Dictionary).
//
// The values are copied when the enumerator is made, so a collection that changes
// while a For Each walks it never invalidates the walk.
#pragma once

#include <memory>
#include <vector>

#include "com/CComVariant.h"
#include "com/Dispatch.h"

class CVariantEnum : public CComObjectRoot<CVariantEnum, IEnumVARIANT> {
public:
    using Values = std::vector<CComVariant>;
    explicit CVariantEnum(std::shared_ptr<const Values> values, std::size_t position = 0)
        : m_values(std::move(values)), m_position(position) {}

    // Makes an enumerator over `values` as the IUnknown a `_NewEnum` returns.
    static HRESULT Create(Values values, IUnknown** ppEnum);

    HRESULT Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) override;
    HRESULT Skip(ULONG celt) override;
    HRESULT Reset() override;
    HRESULT Clone(IEnumVARIANT** ppEnum) override;

private:
    std::shared_ptr<const Values> m_values;
    std::size_t m_position;
};
