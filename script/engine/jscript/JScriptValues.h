// Values between Automation and JavaScript.
//
// VARIANT → JavaScript: empty is undefined, VT_NULL and a null string are null, numbers
// of every width are numbers, strings keep every code unit (embedded nulls and lone
// surrogates too), booleans are booleans, dates become Date objects (an OLE date is a
// local wall-clock time), arrays become VBArray objects and dispatch objects become
// host objects. JavaScript → VARIANT: undefined is empty; null passes as a null string,
// which is how the host's string parameters tell it from ""; integral numbers within
// 32 bits are VT_I4 and others VT_R8; Date objects are VT_DATE; a VBArray gives its
// array back; a host object gives its own IDispatch back; any other object or function
// is offered to the host as an IDispatch view.
//
// Duktape keeps text as CESU-8 (surrogates encoded one by one), so the conversion of
// text is done here unit by unit rather than through UTF-8.
#pragma once
#include <string>
#include <string_view>
#include "com/Variant.h"
#include "duktape.h"

// Pushes a string.
void PushText(duk_context* ctx, std::u16string_view text);
// The text of a string value; another value is converted as String() would, and a
// conversion that throws gives the name of the value's type.
std::u16string GetText(duk_context* ctx, duk_idx_t index);

// Pushes the JavaScript form of a value (may throw a JavaScript error).
void PushVariant(duk_context* ctx, const VARIANT& value);
// The Automation form of the value at `index`, into an empty `out`.
HRESULT GetVariant(duk_context* ctx, duk_idx_t index, VARIANT* out);

// Time values (milliseconds since 1970 UTC) and OLE dates (local days since 1899-12-30).
double OleDateFromTimeValue(double timeValue);
double TimeValueFromOleDate(double date);
