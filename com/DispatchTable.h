// Dispatch tables: a class declares its script-visible members once and gets
// GetIDsOfNames and Invoke from one shared implementation.
//
// A table lists, for each member, its name, dispatch id, kind (method, property get,
// put or putref) and the member function that carries it out; the argument types come
// from that function's signature:
//
//     class CCounter : public CComObjectRoot<CCounter, IDispatchImpl<CCounter>> {
//     public:
//         static const CDispatchTable& GetDispatchTable() {
//             static const CDispatchTable table(u"ICounter", {
//                 DispMethod<&CCounter::Add>(u"Add", 1),
//                 DispGet<&CCounter::get_Value>(u"Value", DISPID_VALUE),
//                 DispPut<&CCounter::put_Value>(u"Value", DISPID_VALUE),
//             });
//             return table;
//         }
//         HRESULT Add(LONG amount, std::optional<LONG> times, LONG* pResult);
//         HRESULT get_Value(LONG* pValue);
//         HRESULT put_Value(LONG value);
//     };
//
// Parameter types: LONG, SHORT, BYTE, LONGLONG, double, float, bool, BSTR, IDispatch*,
// IUnknown* (converted to VT_I4 … VT_UNKNOWN with VariantChangeType; a failure is
// DISP_E_TYPEMISMATCH), `const VARIANT&` (any value, BYREF followed), `const VARIANT*`
// (an optional VARIANT, VT_ERROR/DISP_E_PARAMNOTFOUND when left out), std::optional<T>
// of the scalar types (an optional argument), ByRef<T> of those types (in/out: a
// caller's BYREF argument receives the new value). A trailing plain pointer (LONG*,
// BSTR*, VARIANT*, IDispatch**, …) of a method or property get is its return value.
// Optional parameters come last. Booleans are `bool` (VARIANT_BOOL is a SHORT and
// would travel as VT_I2). The member pointer must name the class itself (cast an
// inherited member to it).
#pragma once

#include <initializer_list>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "com/CComVariant.h"
#include "com/Dispatch.h"

struct DispParam {
    VARTYPE vt;     // VT_VARIANT for any value
    bool optional;  // may be left out (arrives as VT_ERROR / DISP_E_PARAMNOTFOUND)
    bool out;       // in/out: written back to a BYREF argument
    bool retval;    // a plain pointer: the return value when it is the last parameter
};

// An in/out parameter: the member reads and writes *arg; a caller's BYREF argument
// receives the new value.
template <class T>
class ByRef {
public:
    explicit ByRef(T* p) : m_p(p) {}
    T& operator*() const { return *m_p; }
    T* operator->() const { return m_p; }
    T* Get() const { return m_p; }

private:
    T* m_p;
};

struct DispEntry {
    std::u16string_view name;
    DISPID dispid = DISPID_UNKNOWN;
    WORD kind = DISPATCH_METHOD;    // exactly one DISPATCH_ flag
    std::vector<DispParam> params;  // declared arguments, the return value excluded
    bool hasResult = false;
    // Calls the member with args[0..params) converted to the declared types;
    // args[params.size()] receives the return value.
    HRESULT (*thunk)(void* self, VARIANT* args) = nullptr;
};

class CDispatchTable {
public:
    CDispatchTable(std::u16string_view interfaceName, std::initializer_list<DispEntry> entries);

    // The interface name that TypeName reports ("IRequest").
    std::u16string_view InterfaceName() const { return m_interfaceName; }
    const std::vector<DispEntry>& Entries() const { return m_entries; }

    // Resolves rgszNames[0] case-insensitively; further names (argument names) are
    // not supported and come back as DISPID_UNKNOWN with DISP_E_UNKNOWNNAME.
    HRESULT GetIDsOfNames(const char16_t** rgszNames, UINT cNames, DISPID* rgDispId) const;
    // Invokes a member on `self` (the object whose class declared the table).
    HRESULT Invoke(void* self, DISPID dispIdMember, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) const;

private:
    const DispEntry* Select(DISPID dispid, WORD wFlags) const;

    std::u16string m_interfaceName;
    std::vector<DispEntry> m_entries;
};

// An ITypeInfo that answers only the interface's name.
HRESULT CreateTypeNameInfo(std::u16string_view name, ITypeInfo** ppTInfo);

// IDispatch for a class with a `static const CDispatchTable& GetDispatchTable()`.
// `Interface` is IDispatch or a dual interface derived from it.
template <class Self, class Interface = IDispatch>
class IDispatchImpl : public Interface {
public:
    HRESULT GetTypeInfoCount(UINT* pctinfo) override {
        if (!pctinfo)
            return E_POINTER;
        *pctinfo = 1;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) override {
        if (!ppTInfo)
            return E_POINTER;
        *ppTInfo = nullptr;
        if (iTInfo != 0)
            return DISP_E_BADINDEX;
        return CreateTypeNameInfo(Self::GetDispatchTable().InterfaceName(), ppTInfo);
    }
    HRESULT GetIDsOfNames(const IID&, const char16_t** rgszNames, UINT cNames, LCID,
                          DISPID* rgDispId) override {
        return Self::GetDispatchTable().GetIDsOfNames(rgszNames, cNames, rgDispId);
    }
    HRESULT Invoke(DISPID dispIdMember, const IID&, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override {
        return Self::GetDispatchTable().Invoke(static_cast<Self*>(this), dispIdMember, lcid, wFlags,
                                               pDispParams, pVarResult, pExcepInfo, puArgErr);
    }
};

namespace dispatch_detail {

// How one C++ parameter type travels in a VARIANT.
template <class A>
struct Arg;

template <class V, VARTYPE Type, V VARIANT::*Field>
struct ScalarArg {
    static constexpr bool retval = false;
    static constexpr VARTYPE vt = Type;
    static constexpr bool optional = false;
    static constexpr bool out = false;
    using Storage = V;
    static Storage Load(const VARIANT& v) { return v.vt == Type ? v.*Field : V{}; }
    static V Pass(Storage& s) { return s; }
    static void Store(Storage&, VARIANT&) {}
};

template <>
struct Arg<LONG> : ScalarArg<LONG, VT_I4, &VARIANT::lVal> {};
template <>
struct Arg<SHORT> : ScalarArg<SHORT, VT_I2, &VARIANT::iVal> {};
template <>
struct Arg<BYTE> : ScalarArg<BYTE, VT_UI1, &VARIANT::bVal> {};
template <>
struct Arg<LONGLONG> : ScalarArg<LONGLONG, VT_I8, &VARIANT::llVal> {};
template <>
struct Arg<double> : ScalarArg<double, VT_R8, &VARIANT::dblVal> {};
template <>
struct Arg<float> : ScalarArg<float, VT_R4, &VARIANT::fltVal> {};
template <>
struct Arg<IDispatch*> : ScalarArg<IDispatch*, VT_DISPATCH, &VARIANT::pdispVal> {};
template <>
struct Arg<IUnknown*> : ScalarArg<IUnknown*, VT_UNKNOWN, &VARIANT::punkVal> {};

template <>
struct Arg<bool> {
    static constexpr bool retval = false;
    static constexpr VARTYPE vt = VT_BOOL;
    static constexpr bool optional = false;
    static constexpr bool out = false;
    using Storage = bool;
    static bool Load(const VARIANT& v) { return v.vt == VT_BOOL && v.boolVal != 0; }
    static bool Pass(Storage& s) { return s; }
    static void Store(Storage&, VARIANT&) {}
};

template <>
struct Arg<BSTR> {
    static constexpr bool retval = false;
    static constexpr VARTYPE vt = VT_BSTR;
    static constexpr bool optional = false;
    static constexpr bool out = false;
    using Storage = BSTR;
    static BSTR Load(const VARIANT& v) { return VariantBstr(v); }
    static BSTR Pass(Storage& s) { return s; }
    static void Store(Storage&, VARIANT&) {}
};
template <>
struct Arg<const BSTR&> : Arg<BSTR> {
    static const BSTR& Pass(Storage& s) { return s; }
};

template <>
struct Arg<const VARIANT&> {
    static constexpr bool retval = false;
    static constexpr VARTYPE vt = VT_VARIANT;
    static constexpr bool optional = false;
    static constexpr bool out = false;
    using Storage = const VARIANT*;
    static Storage Load(const VARIANT& v) { return &v; }
    static const VARIANT& Pass(Storage& s) { return *s; }
    static void Store(Storage&, VARIANT&) {}
};

template <>
struct Arg<const VARIANT*> : Arg<const VARIANT&> {
    static constexpr bool optional = true;
    static const VARIANT* Pass(Storage& s) { return s; }
};

template <class T>
struct Arg<std::optional<T>> {
    static constexpr bool retval = false;
    static constexpr VARTYPE vt = Arg<T>::vt;
    static constexpr bool optional = true;
    static constexpr bool out = false;
    using Storage = std::optional<T>;
    static Storage Load(const VARIANT& v) {
        if (v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND)
            return std::nullopt;
        return Arg<T>::Load(v);
    }
    static Storage Pass(Storage& s) { return s; }
    static void Store(Storage&, VARIANT&) {}
};

// In/out and return values: the member writes through a pointer into local storage,
// which goes back into the argument's VARIANT afterwards.
template <class T>
struct Arg<T*> {
    static constexpr bool retval = true;
    using In = Arg<T>;
    static constexpr VARTYPE vt = In::vt;
    static constexpr bool optional = false;
    static constexpr bool out = true;
    using Storage = T;
    static Storage Load(const VARIANT& v) { return In::Load(v); }
    static T* Pass(Storage& s) { return &s; }
    static void Store(Storage& s, VARIANT& v) {
        VariantClear(&v);
        CComVariant(s).Detach(&v);
    }
};

template <>
struct Arg<VARIANT*> {
    static constexpr bool retval = true;
    static constexpr VARTYPE vt = VT_VARIANT;
    static constexpr bool optional = false;
    static constexpr bool out = true;
    using Storage = CComVariant;
    static Storage Load(const VARIANT& v) { return CComVariant(v); }
    static VARIANT* Pass(Storage& s) { return &s; }
    static void Store(Storage& s, VARIANT& v) {
        VariantClear(&v);
        s.Detach(&v);
    }
};

template <>
struct Arg<IDispatch**> {
    static constexpr bool retval = true;
    static constexpr VARTYPE vt = VT_DISPATCH;
    static constexpr bool optional = false;
    static constexpr bool out = true;
    using Storage = IDispatch*;  // holds the reference the member hands out
    static Storage Load(const VARIANT& v) {
        IDispatch* p = v.vt == VT_DISPATCH ? v.pdispVal : nullptr;
        if (p)
            p->AddRef();
        return p;
    }
    static IDispatch** Pass(Storage& s) { return &s; }
    static void Store(Storage& s, VARIANT& v) {
        VariantClear(&v);
        v.vt = VT_DISPATCH;
        v.pdispVal = s;
        s = nullptr;
    }
};

template <>
struct Arg<IUnknown**> {
    static constexpr bool retval = true;
    static constexpr VARTYPE vt = VT_UNKNOWN;
    static constexpr bool optional = false;
    static constexpr bool out = true;
    using Storage = IUnknown*;
    static Storage Load(const VARIANT& v) {
        IUnknown* p = v.vt == VT_UNKNOWN ? v.punkVal : nullptr;
        if (p)
            p->AddRef();
        return p;
    }
    static IUnknown** Pass(Storage& s) { return &s; }
    static void Store(Storage& s, VARIANT& v) {
        VariantClear(&v);
        v.vt = VT_UNKNOWN;
        v.punkVal = s;
        s = nullptr;
    }
};

template <class T>
struct Arg<ByRef<T>> : Arg<T*> {
    static constexpr bool retval = false;
    using Storage = typename Arg<T*>::Storage;
    static ByRef<T> Pass(Storage& s) { return ByRef<T>(Arg<T*>::Pass(s)); }
};

// Releases object references left in storage when a member failed.
template <class S>
void Drop(S&) {}
inline void Drop(IDispatch*& p) {
    if (p)
        p->Release();
    p = nullptr;
}
inline void Drop(IUnknown*& p) {
    if (p)
        p->Release();
    p = nullptr;
}

template <class M>
struct Member;

template <class T, class... A>
struct Member<HRESULT (T::*)(A...)> {
    using Class = T;
    static constexpr std::size_t count = sizeof...(A);

    template <auto Method, std::size_t... I>
    static HRESULT Call(void* self, VARIANT* args, std::index_sequence<I...>) {
        std::tuple<typename Arg<A>::Storage...> storage{Arg<A>::Load(args[I])...};
        HRESULT hr = (static_cast<T*>(self)->*Method)(Arg<A>::Pass(std::get<I>(storage))...);
        if (SUCCEEDED(hr)) {
            (Arg<A>::Store(std::get<I>(storage), args[I]), ...);
        } else {
            (Drop(std::get<I>(storage)), ...);
        }
        return hr;
    }

    template <auto Method>
    static HRESULT Thunk(void* self, VARIANT* args) {
        return Call<Method>(self, args, std::index_sequence_for<A...>{});
    }

    static std::vector<DispParam> Params() {
        return {DispParam{Arg<A>::vt, Arg<A>::optional, Arg<A>::out, Arg<A>::retval}...};
    }
};

template <auto Method>
DispEntry MakeEntry(std::u16string_view name, DISPID dispid, WORD kind) {
    using M = Member<decltype(Method)>;
    DispEntry e;
    e.name = name;
    e.dispid = dispid;
    e.kind = kind;
    e.params = M::Params();
    // A trailing plain pointer of a method or property get is its return value; it stays in
    // the args array at index params.size().
    if ((kind & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) && !e.params.empty() &&
        e.params.back().retval) {
        e.params.pop_back();
        e.hasResult = true;
    }
    e.thunk = &M::template Thunk<Method>;
    return e;
}

}  // namespace dispatch_detail

template <auto Method>
DispEntry DispMethod(std::u16string_view name, DISPID dispid) {
    return dispatch_detail::MakeEntry<Method>(name, dispid, DISPATCH_METHOD);
}
template <auto Method>
DispEntry DispGet(std::u16string_view name, DISPID dispid) {
    return dispatch_detail::MakeEntry<Method>(name, dispid, DISPATCH_PROPERTYGET);
}
template <auto Method>
DispEntry DispPut(std::u16string_view name, DISPID dispid) {
    return dispatch_detail::MakeEntry<Method>(name, dispid, DISPATCH_PROPERTYPUT);
}
template <auto Method>
DispEntry DispPutRef(std::u16string_view name, DISPID dispid) {
    return dispatch_detail::MakeEntry<Method>(name, dispid, DISPATCH_PROPERTYPUTREF);
}
