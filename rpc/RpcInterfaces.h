// CRpcInterfaces: the stubs that let an exported object receive calls of a custom
// interface without implementing IRpcCall itself.
//
// A call of a custom interface arrives as (interface id, method ordinal, arguments in
// their declared order). When the exported object implements IRpcCall it receives the
// call directly; otherwise the connection looks up the stub registered here for the
// interface id, asks the object for that interface (QueryInterface) and lets the stub
// carry the call out on the interface pointer it got.
//
// A stub is either a function, or a dispatch table over the interface's own methods
// whose DISPIDs are the method ordinals (the argument conversions, in/out arguments
// and the return value work as for dispatch; a trailing plain pointer is the result):
//
//     struct ITally : IUnknown {
//         DECLARE_IID("{...}");
//         virtual HRESULT Add(LONG amount, LONG* pTotal) = 0;       // ordinal 1
//         virtual HRESULT Rename(BSTR name) = 0;                     // ordinal 2
//     };
//     static const CDispatchTable& TallyStub() {
//         static const CDispatchTable table(u"ITally", {
//             DispMethod<&ITally::Add>(u"Add", 1),
//             DispMethod<&ITally::Rename>(u"Rename", 2),
//         });
//         return table;
//     }
//     CRpcInterfaces::Register<ITally>(TallyStub());
//
// A failing method's error information (ReportError) travels back to the caller. The
// registry is process-wide; register a stub before objects that need it are exported.
//
// On the calling side, RpcInvoke passes C++ values as the arguments of a custom call,
// so a typed proxy class is one line per method:
//
//     HRESULT Add(LONG amount, LONG* pTotal) override {
//         CComVariant total;
//         HRESULT hr = RpcInvoke(m_call.Get(), IIDOf<ITally>(), 1, &total, amount);
//         ...
//     }
//
// Locks: one lock guards the map; it is innermost and not held while a stub runs.
#pragma once

#include <utility>

#include "com/DispatchTable.h"
#include "rpc/IRpcCall.h"

class CRpcInterfaces {
public:
    // Carries out method `method` on `pInterface`, the object's pointer for the
    // registered interface id.
    using Stub = HRESULT (*)(void* pInterface, ULONG method, UINT cArgs, VARIANT* rgArgs,
                             VARIANT* pResult);

    // Registers (or replaces) the stub of `iid`. `table` must outlive the registration.
    static HRESULT Register(const IID& iid, Stub stub);
    static HRESULT Register(const IID& iid, const CDispatchTable& table);
    template <class I>
    static HRESULT Register(const CDispatchTable& table) {
        return Register(IIDOf<I>(), table);
    }
    // S_FALSE when nothing was registered for `iid`.
    static HRESULT Unregister(const IID& iid);

    // Calls `method` of interface `iid` on `object` through its stub: E_NOINTERFACE when
    // no stub is registered or the object does not answer `iid`.
    static HRESULT Call(IUnknown* object, const IID& iid, ULONG method, UINT cArgs, VARIANT* rgArgs,
                        VARIANT* pResult);
};

// Calls method `method` of interface `iid` through `call` with `args` (each anything a
// CComVariant is made from, a VT_BYREF VARIANT for an in/out argument) in declared order.
template <class... A>
HRESULT RpcInvoke(IRpcCall* call, const IID& iid, ULONG method, VARIANT* pResult, A&&... args) {
    if (!call)
        return E_POINTER;
    CComVariant argv[sizeof...(A) + 1] = {CComVariant(std::forward<A>(args))...};
    return call->RpcCall(iid, method, sizeof...(A), argv, pResult);
}
