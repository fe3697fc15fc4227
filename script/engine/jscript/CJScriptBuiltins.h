// The JScript objects that reach the host's world: VBArray, Enumerator, ActiveXObject.
//
// - A SAFEARRAY reaches scripts as a VBArray (its own copy): dimensions(), lbound(d),
//   ubound(d), getItem(i, …) and toArray() (every element, first dimension fastest);
//   `new VBArray(a)` of a VBArray is that array.
// - `new Enumerator(c)` walks a host collection through its _NewEnum (IEnumVARIANT) or
//   a JavaScript array: atEnd(), item(), moveNext(), moveFirst().
// - `new ActiveXObject(progId)` creates a class of the class registry as a host object.
// - Every Error has a `number`: the status as a signed 32-bit HRESULT. Errors raised by
//   host calls carry the call's own status; the language's errors answer the JScript
//   code of their type (TypeError 5007, ReferenceError 5009, RangeError 28,
//   SyntaxError 1002, others 5022) in the 0x800A facility.
#pragma once
#include <string_view>
#include "com/SafeArray.h"
#include "duktape.h"

class CJScriptBuiltins {
public:
    // Defines the constructors on the global object of `ctx`.
    static void Install(duk_context* ctx);
    // Pushes a VBArray holding a copy of `psa`.
    static void PushVBArray(duk_context* ctx, const SAFEARRAY* psa);
    // The array of the VBArray at `index`, or null.
    static SAFEARRAY* ArrayOf(duk_context* ctx, duk_idx_t index);

private:
    static duk_ret_t VBArrayConstructor(duk_context* ctx);
    static duk_ret_t VBArrayDimensions(duk_context* ctx);
    static duk_ret_t VBArrayBound(duk_context* ctx);
    static duk_ret_t VBArrayGetItem(duk_context* ctx);
    static duk_ret_t VBArrayToArray(duk_context* ctx);
    static duk_ret_t VBArrayFinalize(duk_context* ctx);
    static duk_ret_t EnumeratorConstructor(duk_context* ctx);
    static duk_ret_t EnumeratorAtEnd(duk_context* ctx);
    static duk_ret_t EnumeratorItem(duk_context* ctx);
    static duk_ret_t EnumeratorMoveNext(duk_context* ctx);
    static duk_ret_t EnumeratorMoveFirst(duk_context* ctx);
    static duk_ret_t EnumeratorFinalize(duk_context* ctx);
    static duk_ret_t ActiveXObjectConstructor(duk_context* ctx);
    static duk_ret_t ErrorNumberGet(duk_context* ctx);
    static duk_ret_t ErrorNumberSet(duk_context* ctx);

public:
    // The JScript status of an error of the named type (e.g. "TypeError").
    static SCODE ErrorNumberOfName(std::u16string_view name);
};
