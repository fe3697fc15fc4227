// Test support for the object model's collections: calling a member through IDispatch
// as a script engine does, and draining an enumerator.
#pragma once

#include <vector>

#include "com/CComVariant.h"
#include "com/Dispatch.h"

namespace collections_test {

// Calls a member through IDispatch; args in the order a script writes them.
inline HRESULT Call(IDispatch* pDisp, DISPID dispid, WORD wFlags, std::vector<CComVariant> args,
                    VARIANT* pResult = nullptr) {
    std::vector<VARIANTARG> reversed(args.rbegin(), args.rend());
    DISPPARAMS params;
    params.rgvarg = reversed.data();
    params.cArgs = static_cast<UINT>(reversed.size());
    return pDisp->Invoke(dispid, GUID_NULL, 0, wFlags, &params, pResult, nullptr, nullptr);
}

// Every value an enumerator (as `_NewEnum` hands it out) still has, one Next at a time.
inline std::vector<CComVariant> Drain(IUnknown* pEnumUnk) {
    std::vector<CComVariant> values;
    CComPtr<IEnumVARIANT> ptrEnum = ComQuery<IEnumVARIANT>(pEnumUnk);
    if (!ptrEnum)
        return values;
    for (;;) {
        CComVariant var;
        if (ptrEnum->Next(1, &var, nullptr) != S_OK)
            return values;
        values.push_back(std::move(var));
    }
}

}  // namespace collections_test
