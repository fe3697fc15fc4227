// IUnknown, the reference-counted object base and the smart pointer.
//
// Every object of the program that is shared between parts (script objects, pages,
// entities, sessions, proxies) is an IUnknown: it keeps its own reference count and
// answers QueryInterface by interface id. An interface is a struct deriving from
// IUnknown (or another interface) that names its id with DECLARE_IID. A class
// implements its interfaces by deriving from CComObjectRoot<Self, Interfaces...>, is
// created only through MakeObject, and is held in CComPtr. `new` and `delete` for
// these objects live here and nowhere else.
#pragma once

#include <atomic>
#include <cstddef>
#include <new>
#include <tuple>
#include <type_traits>
#include <utility>

#include "com/Guid.h"
#include "com/HResult.h"

// Declares the interface id of an interface struct.
#define DECLARE_IID(text) static constexpr IID iid = MakeGUID(text)

struct IUnknown {
    DECLARE_IID("{00000000-0000-0000-C000-000000000046}");
    virtual HRESULT QueryInterface(const IID& iid, void** ppv) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

template <class I>
constexpr const IID& IIDOf() {
    return I::iid;
}

// Intrusive smart pointer over anything with AddRef/Release.
template <class T>
class CComPtr {
public:
    CComPtr() = default;
    CComPtr(std::nullptr_t) {}
    CComPtr(T* p) : m_p(p) {
        if (m_p) m_p->AddRef();
    }
    CComPtr(const CComPtr& other) : CComPtr(other.m_p) {}
    CComPtr(CComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    CComPtr(const CComPtr<U>& other) : CComPtr(static_cast<T*>(other.Get())) {}
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    CComPtr(CComPtr<U>&& other) noexcept : m_p(other.Detach()) {}
    ~CComPtr() { Reset(); }

    CComPtr& operator=(const CComPtr& other) {
        CComPtr(other).Swap(*this);
        return *this;
    }
    CComPtr& operator=(CComPtr&& other) noexcept {
        CComPtr(std::move(other)).Swap(*this);
        return *this;
    }
    CComPtr& operator=(T* p) {
        CComPtr(p).Swap(*this);
        return *this;
    }
    CComPtr& operator=(std::nullptr_t) {
        Reset();
        return *this;
    }

    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    T& operator*() const { return *m_p; }
    explicit operator bool() const { return m_p != nullptr; }

    void Reset() {
        if (T* p = std::exchange(m_p, nullptr)) p->Release();
    }
    // Takes over a reference the caller already owns.
    void Attach(T* p) {
        Reset();
        m_p = p;
    }
    // Gives up the reference without releasing it.
    T* Detach() { return std::exchange(m_p, nullptr); }
    void Swap(CComPtr& other) noexcept { std::swap(m_p, other.m_p); }

    // The address to pass as an out argument; releases what is held first.
    T** Receive() {
        Reset();
        return &m_p;
    }
    void** ReceiveVoid() { return reinterpret_cast<void**>(Receive()); }

    // QueryInterface into another smart pointer.
    template <class Q>
    HRESULT QueryInterface(CComPtr<Q>& out) const {
        if (!m_p) return E_POINTER;
        return m_p->QueryInterface(IIDOf<Q>(), out.ReceiveVoid());
    }

    friend bool operator==(const CComPtr& a, const CComPtr& b) { return a.m_p == b.m_p; }
    friend bool operator==(const CComPtr& a, std::nullptr_t) { return a.m_p == nullptr; }

private:
    T* m_p = nullptr;
};

// QueryInterface on a raw interface pointer, into a smart pointer of the asked type.
template <class Q, class T>
CComPtr<Q> ComQuery(T* p) {
    CComPtr<Q> out;
    if (p) p->QueryInterface(IIDOf<Q>(), out.ReceiveVoid());
    return out;
}

namespace com_detail {
template <class I, class... Rest>
struct First {
    using Type = I;
};
}  // namespace com_detail

// Base of every object: the reference count and QueryInterface over the listed
// interfaces (and every interface each of them derives from, when it lists those in
// `using Bases = ...`). The count is atomic; the object deletes itself when it drops to
// zero, calling FinalRelease first when the class has one.
template <class Self, class... Interfaces>
class CComObjectRoot : public Interfaces... {
public:
    HRESULT QueryInterface(const IID& iid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (iid == IIDOf<IUnknown>()) {
            *ppv = static_cast<IUnknown*>(
                static_cast<typename com_detail::First<Interfaces...>::Type*>(this));
        } else {
            (void)(Match<Interfaces>(iid, ppv) || ...);
            if (!*ppv) {
                if constexpr (requires(Self* s) { s->QueryExtraInterface(iid, ppv); }) {
                    return static_cast<Self*>(this)->QueryExtraInterface(iid, ppv);
                }
                return E_NOINTERFACE;
            }
        }
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return m_cRef.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG Release() override {
        ULONG n = m_cRef.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (n == 0) {
            Self* self = static_cast<Self*>(this);
            if constexpr (requires(Self* s) { s->FinalRelease(); }) self->FinalRelease();
            delete self;
        }
        return n;
    }

    // The current count, for tests and diagnostics only.
    ULONG RefCount() const { return m_cRef.load(); }

protected:
    CComObjectRoot() = default;
    virtual ~CComObjectRoot() = default;

private:
    template <class I>
    bool Match(const IID& iid, void** ppv) {
        if (iid == IIDOf<I>()) {
            *ppv = static_cast<I*>(this);
            return true;
        }
        if constexpr (requires { typename I::Bases; }) {
            return MatchBases<I>(iid, ppv, static_cast<typename I::Bases*>(nullptr));
        }
        return false;
    }
    template <class I, class... B>
    bool MatchBases(const IID& iid, void** ppv, std::tuple<B...>*) {
        return ((iid == IIDOf<B>() ? (*ppv = static_cast<B*>(static_cast<I*>(this)), true)
                                   : false) ||
                ...);
    }

    std::atomic<ULONG> m_cRef{0};
};

// Creates an object and returns the first reference to it. When the class has
// `HRESULT FinalConstruct()`, a failure there destroys the object and is returned
// through `phr` (when given) with an empty pointer.
template <class T, class... Args>
CComPtr<T> MakeObject(HRESULT* phr, Args&&... args) {
    if (phr) *phr = S_OK;
    T* p = new (std::nothrow) T(std::forward<Args>(args)...);
    if (!p) {
        if (phr) *phr = E_OUTOFMEMORY;
        return nullptr;
    }
    CComPtr<T> ptr(p);
    if constexpr (requires(T* t) { t->FinalConstruct(); }) {
        HRESULT hr = p->FinalConstruct();
        if (FAILED(hr)) {
            if (phr) *phr = hr;
            return nullptr;
        }
    }
    return ptr;
}

template <class T, class... Args>
CComPtr<T> MakeObject(Args&&... args) {
    return MakeObject<T>(static_cast<HRESULT*>(nullptr), std::forward<Args>(args)...);
}
