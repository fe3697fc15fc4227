// Host objects: an IDispatch seen from JavaScript.
//
// A host object is a Proxy whose target is a native function holding the object's
// IDispatch (released by the target's finalizer). Reading a member asks the object for
// the property (DISPATCH_PROPERTYGET); when the member is a method, or a property that
// wants arguments, the read gives a function that invokes it, so `obj.Method(1)`,
// `obj.Item(2)` and `obj.Value` all work. Writing a member puts the property (by
// reference for objects). Calling the object itself invokes its default member, and
// `name in obj` asks whether the object knows the name. A failing call throws an Error
// whose `number` is the status and whose `message` is the object's description.
// After every call into the host the interrupt flag is tested, so a host call that
// interrupted the script stops it before its next instruction.
#pragma once
#include "com/Dispatch.h"
#include "duktape.h"

class CJScriptHostObject {
public:
    // Pushes the host object for `pdisp` (null for a null pointer).
    static void Push(duk_context* ctx, IDispatch* pdisp);
    // The IDispatch of the host object at `index` (not AddRef'ed), or null when the value
    // is not a host object.
    static IDispatch* DispatchOf(duk_context* ctx, duk_idx_t index);
    // Invokes a member with the `count` values from `first` as arguments and pushes the
    // result; throws the call's failure as an Error.
    static void Invoke(duk_context* ctx, IDispatch* pdisp, DISPID dispid, WORD flags,
                       duk_idx_t first, duk_idx_t count);
    // Throws the failure of a host call as an Error (description from EXCEPINFO, the
    // thread's error record or the status's message).
    [[noreturn]] static void ThrowFailure(duk_context* ctx, HRESULT hr, const EXCEPINFO* pei);
    // Tests the interrupt flag after a host call.
    static void AfterHostCall(duk_context* ctx);

private:
    static duk_ret_t TrapGet(duk_context* ctx);
    static duk_ret_t TrapSet(duk_context* ctx);
    static duk_ret_t TrapHas(duk_context* ctx);
    static duk_ret_t TrapApply(duk_context* ctx);
    static duk_ret_t CallMember(duk_context* ctx);
    static duk_ret_t DefaultValue(duk_context* ctx);
    static duk_ret_t Finalize(duk_context* ctx);
    static duk_ret_t Unreachable(duk_context* ctx);
    static void PushHolder(duk_context* ctx, duk_c_function fn, duk_idx_t nargs, IDispatch* pdisp);
};
