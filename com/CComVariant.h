// CComVariant: a VARIANT that owns its value.
//
// Construction from a C++ value picks the VT_ code (LONG → VT_I4, double → VT_R8, bool →
// VT_BOOL, BSTR → VT_BSTR, an interface pointer → VT_DISPATCH/VT_UNKNOWN with a new
// reference); copies are VariantCopy copies and destruction clears. A CComVariant is a
// VARIANT, so its address passes wherever a VARIANT* is wanted.
#pragma once

#include <utility>

#include "com/Dispatch.h"
#include "com/Variant.h"

class CComVariant : public VARIANT {
public:
    CComVariant() { VariantInit(this); }
    CComVariant(const VARIANT& other) {
        VariantInit(this);
        VariantCopy(this, &other);
    }
    CComVariant(const CComVariant& other) : CComVariant(static_cast<const VARIANT&>(other)) {}
    CComVariant(CComVariant&& other) noexcept {
        static_cast<VARIANT&>(*this) = other;
        VariantInit(&other);
    }
    CComVariant(bool value) { Set(VT_BOOL).boolVal = value ? VARIANT_TRUE : VARIANT_FALSE; }
    CComVariant(BYTE value) { Set(VT_UI1).bVal = value; }
    CComVariant(SHORT value) { Set(VT_I2).iVal = value; }
    CComVariant(LONG value) { Set(VT_I4).lVal = value; }
    CComVariant(LONGLONG value) { Set(VT_I8).llVal = value; }
    CComVariant(float value) { Set(VT_R4).fltVal = value; }
    CComVariant(double value) { Set(VT_R8).dblVal = value; }
    CComVariant(BSTR value) {
        VariantInit(this);
        VariantSetBstr(this, std::move(value));
    }
    CComVariant(const char16_t* text) : CComVariant(BSTR(text)) {}
    CComVariant(std::u16string_view text) : CComVariant(BSTR(text)) {}
    CComVariant(IDispatch* p) {
        Set(VT_DISPATCH).pdispVal = p;
        if (p)
            p->AddRef();
    }
    CComVariant(IUnknown* p) {
        Set(VT_UNKNOWN).punkVal = p;
        if (p)
            p->AddRef();
    }
    ~CComVariant() { VariantClear(this); }

    CComVariant& operator=(const CComVariant& other) {
        if (this != &other)
            VariantCopy(this, &other);
        return *this;
    }
    CComVariant& operator=(const VARIANT& other) {
        if (this != &other)
            VariantCopy(this, &other);
        return *this;
    }
    CComVariant& operator=(CComVariant&& other) noexcept {
        if (this != &other) {
            VariantClear(this);
            static_cast<VARIANT&>(*this) = other;
            VariantInit(&other);
        }
        return *this;
    }

    // A value of a given type: VT_ERROR, VT_CY, VT_DATE and the like.
    static CComVariant Of(VARTYPE vt, LONGLONG bits) {
        CComVariant v;
        v.vt = vt;
        v.llVal = bits;
        return v;
    }
    static CComVariant Date(double date) {
        CComVariant v;
        v.vt = VT_DATE;
        v.date = date;
        return v;
    }
    static CComVariant Error(SCODE scode) {
        CComVariant v;
        v.vt = VT_ERROR;
        v.scode = scode;
        return v;
    }
    static CComVariant Null() {
        CComVariant v;
        v.vt = VT_NULL;
        return v;
    }
    static CComVariant Currency(LONGLONG scaled) {
        CComVariant v;
        v.vt = VT_CY;
        v.cyVal.int64 = scaled;
        return v;
    }

    HRESULT Clear() { return VariantClear(this); }
    HRESULT ChangeType(VARTYPE vtNew, const VARIANT* src = nullptr, LCID lcid = LOCALE_USER_DEFAULT,
                       WORD flags = 0) {
        return VariantChangeTypeEx(this, src ? src : this, lcid, flags, vtNew);
    }
    // Moves the value out into `dest` (which must not hold a value) and leaves this empty.
    void Detach(VARIANT* dest) {
        *dest = *this;
        VariantInit(this);
    }
    // Takes over `src`'s value, leaving it empty.
    void Attach(VARIANT* src) {
        VariantClear(this);
        static_cast<VARIANT&>(*this) = *src;
        VariantInit(src);
    }

    BSTR Bstr() const { return VariantBstr(*this); }
    std::u16string_view Text() const { return VariantText(*this); }

private:
    VARIANT& Set(VARTYPE type) {
        VariantInit(this);
        vt = type;
        return *this;
    }
};
