// Test helper: drives a dispatch object by member name, as the interpreter does.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "com/CComVariant.h"
#include "com/Dispatch.h"

class DispatchCaller {
public:
    explicit DispatchCaller(IDispatch* object) : m_object(object) {}

    HRESULT Call(const char16_t* name, WORD flags, std::vector<CComVariant> args,
                 CComVariant* result = nullptr) {
        DISPID id = DISPID_UNKNOWN;
        HRESULT hr = m_object->GetIDsOfNames(GUID_NULL, &name, 1, 1033, &id);
        if (FAILED(hr))
            return hr;
        return Invoke(id, flags, std::move(args), result);
    }
    HRESULT Invoke(DISPID id, WORD flags, std::vector<CComVariant> args, CComVariant* result) {
        std::vector<VARIANT> reversed(args.rbegin(), args.rend());
        DISPID put = DISPID_PROPERTYPUT;
        DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
        if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
            params.rgdispidNamedArgs = &put;
            params.cNamedArgs = 1;
        }
        CComVariant ignored;
        return m_object->Invoke(id, GUID_NULL, 1033, flags, &params, result ? result : &ignored,
                                nullptr, nullptr);
    }
    CComVariant Get(const char16_t* name, std::vector<CComVariant> args = {}) {
        CComVariant result;
        EXPECT_EQ(Call(name, DISPATCH_PROPERTYGET | DISPATCH_METHOD, std::move(args), &result),
                  S_OK)
            << Utf16ToUtf8(name);
        return result;
    }
    void Put(const char16_t* name, CComVariant value) {
        EXPECT_EQ(Call(name, DISPATCH_PROPERTYPUT, {std::move(value)}), S_OK) << Utf16ToUtf8(name);
    }

private:
    IDispatch* m_object;
};

// The values an object's _NewEnum yields.
inline std::vector<CComVariant> Enumerate(IDispatch* object) {
    CComVariant e;
    DispatchCaller caller(object);
    EXPECT_EQ(caller.Invoke(DISPID_NEWENUM, DISPATCH_PROPERTYGET | DISPATCH_METHOD, {}, &e), S_OK);
    std::vector<CComVariant> values;
    if (e.vt != VT_UNKNOWN || !e.punkVal)
        return values;
    CComPtr<IEnumVARIANT> it;
    EXPECT_EQ(e.punkVal->QueryInterface(IIDOf<IEnumVARIANT>(), it.ReceiveVoid()), S_OK);
    CComVariant v;
    while (it && it->Next(1, &v, nullptr) == S_OK)
        values.push_back(std::move(v));
    return values;
}
