// The shared GetIDsOfNames/Invoke over a class's dispatch table.
#include "com/DispatchTable.h"

#include <cstdint>
#include <cstring>
#include <iterator>

#include "com/DiagnosticLog.h"
#include "com/ErrorInfo.h"
#include "com/Strings.h"

namespace {

class CTypeNameInfo : public CComObjectRoot<CTypeNameInfo, ITypeInfo> {
public:
    explicit CTypeNameInfo(std::u16string_view name) : m_name(name) {}
    HRESULT GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString,
                             DWORD* pdwHelpContext, BSTR* pBstrHelpFile) override {
        if (memid != MEMBERID_NIL)
            return TYPE_E_ELEMENTNOTFOUND;
        if (pBstrName)
            *pBstrName = m_name;
        if (pBstrDocString)
            *pBstrDocString = BSTR();
        if (pdwHelpContext)
            *pdwHelpContext = 0;
        if (pBstrHelpFile)
            *pBstrHelpFile = BSTR();
        return S_OK;
    }

private:
    BSTR m_name;
};

bool IsMissing(const VARIANT& v) {
    return v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND;
}

// Writes an in/out argument's new value back through the caller's BYREF argument,
// converted to the type the caller's reference has.
HRESULT WriteBack(const VARIANT& value, VARIANT& target, LCID lcid) {
    VARTYPE base = target.vt & ~VT_BYREF;
    if (!target.byref)
        return E_POINTER;
    if (base == VT_VARIANT)
        return VariantCopy(target.pvarVal, &value);
    if (base & VT_ARRAY)
        return S_OK;
    CComVariant converted;
    HRESULT hr = VariantChangeTypeEx(&converted, &value, lcid, 0, base);
    if (FAILED(hr))
        return hr;
    switch (base) {
        case VT_BSTR:
            *target.pbstrVal = converted.Bstr();
            return S_OK;
        case VT_DISPATCH:
        case VT_UNKNOWN: {
            IUnknown* p = converted.punkVal;
            if (p)
                p->AddRef();
            if (*target.ppunkVal)
                (*target.ppunkVal)->Release();
            *target.ppunkVal = p;
            return S_OK;
        }
        case VT_DECIMAL:
            *target.pdecVal = converted.decVal;
            return S_OK;
        default: {
            // Write exactly the width of the caller's value, never past it.
            std::size_t size = VariantScalarSize(base);
            std::memcpy(target.byref, &converted.llVal, size ? size : sizeof converted.llVal);
            return S_OK;
        }
    }
}

}  // namespace

HRESULT CreateTypeNameInfo(std::u16string_view name, ITypeInfo** ppTInfo) {
    if (CheckExpression(!ppTInfo))
        return E_POINTER;
    try {
        HRESULT hr = S_OK;
        CComPtr<CTypeNameInfo> info = MakeObject<CTypeNameInfo>(&hr, name);
        if (FAILED(hr))
            return hr;
        *ppTInfo = info.Detach();
        return S_OK;
    } catch (...) {
        return ReportException("CreateTypeNameInfo", CV_HERE);
    }
}

CDispatchTable::CDispatchTable(std::u16string_view interfaceName,
                               std::initializer_list<DispEntry> entries)
    : m_interfaceName(interfaceName), m_entries(entries) {}

HRESULT CDispatchTable::GetIDsOfNames(const char16_t** rgszNames, UINT cNames,
                                      DISPID* rgDispId) const {
    if (CheckExpression(!rgszNames || !rgDispId || cNames == 0))
        return E_INVALIDARG;
    for (UINT i = 0; i < cNames; ++i)
        rgDispId[i] = DISPID_UNKNOWN;
    if (!rgszNames[0])
        return DISP_E_UNKNOWNNAME;
    for (const DispEntry& e : m_entries) {
        if (EqualsNoCase(e.name, rgszNames[0])) {
            rgDispId[0] = e.dispid;
            return cNames == 1 ? S_OK : DISP_E_UNKNOWNNAME;
        }
    }
    return DISP_E_UNKNOWNNAME;
}

const DispEntry* CDispatchTable::Select(DISPID dispid, WORD wFlags) const {
    auto find = [&](WORD kind) -> const DispEntry* {
        for (const DispEntry& e : m_entries)
            if (e.dispid == dispid && e.kind == kind)
                return &e;
        return nullptr;
    };
    const DispEntry* e = nullptr;
    if (wFlags & DISPATCH_PROPERTYPUTREF)
        e = find(DISPATCH_PROPERTYPUTREF);
    if (!e && (wFlags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)))
        e = find(DISPATCH_PROPERTYPUT);
    if (!e && (wFlags & DISPATCH_PROPERTYPUT))
        e = find(DISPATCH_PROPERTYPUTREF);
    if (!e && (wFlags & DISPATCH_METHOD))
        e = find(DISPATCH_METHOD);
    if (!e && (wFlags & DISPATCH_PROPERTYGET))
        e = find(DISPATCH_PROPERTYGET);
    return e;
}

HRESULT CDispatchTable::Invoke(void* self, DISPID dispIdMember, LCID lcid, WORD wFlags,
                               DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                               UINT* puArgErr) const {
    if (CheckExpression(!self || !pDispParams))
        return E_INVALIDARG;
    if (CheckExpression(pDispParams->cArgs && !pDispParams->rgvarg))
        return E_INVALIDARG;
    if (CheckExpression(pDispParams->cNamedArgs > pDispParams->cArgs ||
                        (pDispParams->cNamedArgs && !pDispParams->rgdispidNamedArgs)))
        return E_INVALIDARG;
    const DispEntry* entry = Select(dispIdMember, wFlags);
    if (!entry)
        return DISP_E_MEMBERNOTFOUND;
    try {
        const UINT cArgs = pDispParams->cArgs;
        const UINT cNamed = pDispParams->cNamedArgs;
        const bool put = entry->kind & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF);
        const UINT cParams = static_cast<UINT>(entry->params.size());
        if (put) {
            // The value is the named argument DISPID_PROPERTYPUT, rgvarg[0].
            if (cNamed != 1 || pDispParams->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
                return DISP_E_PARAMNOTFOUND;
        } else if (cNamed != 0) {
            return DISP_E_NONAMEDARGS;
        }
        UINT cRequired = 0;
        for (UINT i = 0; i < cParams; ++i)
            if (!entry->params[i].optional)
                cRequired = i + 1;
        if (cArgs > cParams || cArgs < cRequired || (put && cParams == 0))
            return DISP_E_BADPARAMCOUNT;

        // The rgvarg index of declared argument i, or -1 when it was left out.
        const UINT cPositional = cArgs - cNamed;
        auto sourceOf = [&](UINT i) -> int {
            if (put && i == cParams - 1)
                return 0;
            if (i < cPositional)
                return static_cast<int>(cArgs - 1 - i);
            return -1;
        };
        // The converted arguments and the return value; most members take a few, which
        // need no allocation.
        CComVariant local[4];
        std::vector<CComVariant> heap;
        CComVariant* args = local;
        if (cParams + 1 > std::size(local)) {
            heap.resize(cParams + 1);
            args = heap.data();
        }
        // A string, object or plain value for a VARIANT parameter is passed as the caller's
        // own (valid for the call, as rgvarg is), not copied: handed back before the
        // arguments are cleared.
        std::uint32_t borrowed = 0;
        struct Unborrow {
            CComVariant* args;
            const std::uint32_t& mask;
            ~Unborrow() {
                for (std::uint32_t m = mask; m != 0; m &= m - 1)
                    VariantInit(&args[__builtin_ctz(m)]);
            }
        } unborrow{args, borrowed};
        for (UINT i = 0; i < cParams; ++i) {
            const DispParam& param = entry->params[i];
            int index = sourceOf(i);
            const VARIANT* src = index >= 0 ? &pDispParams->rgvarg[index] : nullptr;
            if (!src || IsMissing(*src)) {
                if (!param.optional) {
                    if (puArgErr && index >= 0)
                        *puArgErr = static_cast<UINT>(index);
                    return DISP_E_PARAMNOTOPTIONAL;
                }
                args[i] = CComVariant::Error(DISP_E_PARAMNOTFOUND);
                continue;
            }
            if (param.vt == VT_VARIANT && !param.out && i < 32 &&
                (src->vt <= VT_DISPATCH || src->vt == VT_BOOL || src->vt == VT_UNKNOWN)) {
                static_cast<VARIANT&>(args[i]) = *src;
                borrowed |= 1u << i;
                continue;
            }
            HRESULT hr = param.vt == VT_VARIANT
                             ? VariantCopyInd(&args[i], src)
                             : VariantChangeTypeEx(&args[i], src, lcid, 0, param.vt);
            if (FAILED(hr)) {
                if (puArgErr)
                    *puArgErr = static_cast<UINT>(index);
                return DISP_E_TYPEMISMATCH;
            }
        }
        SetErrorInfo(0, nullptr);
        HRESULT hr = entry->thunk(self, args);
        if (FAILED(hr)) {
            if (!pExcepInfo)
                return hr;
            *pExcepInfo = EXCEPINFO();
            pExcepInfo->scode = hr;
            CComPtr<IErrorInfo> info;
            if (GetErrorInfo(0, info.Receive()) == S_OK) {
                info->GetSource(&pExcepInfo->bstrSource);
                info->GetDescription(&pExcepInfo->bstrDescription);
            }
            if (pExcepInfo->bstrDescription.IsNull())
                pExcepInfo->bstrDescription = BSTR::FromUtf8(ErrorText(hr));
            return DISP_E_EXCEPTION;
        }
        for (UINT i = 0; i < cParams; ++i) {
            int index = sourceOf(i);
            if (!entry->params[i].out || index < 0)
                continue;
            VARIANT& target = pDispParams->rgvarg[index];
            if (target.vt & VT_BYREF)
                CheckResult(WriteBack(args[i], target, lcid));
        }
        if (pVarResult) {
            VariantClear(pVarResult);
            if (entry->hasResult)
                args[cParams].Detach(pVarResult);
        }
        return S_OK;
    } catch (...) {
        return ReportException("CDispatchTable::Invoke", CV_HERE);
    }
}
