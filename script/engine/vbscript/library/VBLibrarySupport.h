// Argument handling shared by the built-in function families of the VBScript library.
//
// Built-ins receive evaluated arguments in source order; an optional argument that was
// left out is either absent (argc is smaller) or arrives as VT_ERROR carrying
// DISP_E_PARAMNOTFOUND. These helpers read arguments the way the language converts
// them (in the script's locale), turn Automation failures into the language's error
// numbers, and write results. Each family file exposes its table slice through one of
// the `VB…Builtins()` functions below; VBScriptBuiltins.cpp merges and sorts them.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "com/CComVariant.h"
#include "script/engine/vbscript/library/VBScriptBuiltins.h"

// Error numbers of the language that the library raises by name.
constexpr unsigned kVBInvalidCall = 5;
constexpr unsigned kVBOverflow = 6;
constexpr unsigned kVBOutOfMemory = 7;
constexpr unsigned kVBSubscript = 9;
constexpr unsigned kVBDivByZero = 11;
constexpr unsigned kVBTypeMismatch = 13;
constexpr unsigned kVBInvalidNull = 94;
constexpr unsigned kVBObjectRequired = 424;
constexpr unsigned kVBCannotCreate = 429;
constexpr unsigned kVBWrongArgCount = 450;
constexpr unsigned kVBKeyExists = 457;
constexpr unsigned kVBRemoteServer = 462;
constexpr unsigned kVBElementNotFound = 32811;

// The argument at `index`, or null when it was left out.
const VARIANT* OptionalArg(const VARIANT* args, unsigned argc, unsigned index);
bool IsNullValue(const VARIANT& v);

// Maps a status of the Automation layer to the language's error (type mismatch 13,
// overflow 6, division by zero 11, bad index 9, invalid argument 5, out of memory 7);
// other statuses pass unchanged.
HRESULT VBStatus(HRESULT hr);

// Conversions as the language's C… functions make them, in the script's locale. A Null
// argument is error 94; a value that does not convert is 13, one out of range 6.
// `out` must hold a value (possibly Empty); it is replaced only on success.
HRESULT ConvertArg(const VBBuiltinContext& ctx, const VARIANT& v, VARTYPE vt, VARIANT* out);
HRESULT ArgText(const VBBuiltinContext& ctx, const VARIANT& v, std::u16string* out);
// The argument as text without a copy: a view of the string itself, or of its conversion
// kept in `*holder` (which must outlive the view).
HRESULT ArgTextView(const VBBuiltinContext& ctx, const VARIANT& v, CComVariant* holder,
                    std::u16string_view* out);
HRESULT ArgLong(const VBBuiltinContext& ctx, const VARIANT& v, LONG* out);
HRESULT ArgDouble(const VBBuiltinContext& ctx, const VARIANT& v, double* out);
HRESULT ArgBool(const VBBuiltinContext& ctx, const VARIANT& v, bool* out);
HRESULT ArgDate(const VBBuiltinContext& ctx, const VARIANT& v, double* out);
// An optional Long argument: `fallback` when left out.
HRESULT OptionalLong(const VBBuiltinContext& ctx, const VARIANT* v, LONG fallback, LONG* out);
// A compare argument (vbBinaryCompare 0, vbTextCompare 1, vbDatabaseCompare 2 as text);
// left out means binary. Anything else is error 5.
HRESULT ArgCompareMode(const VBBuiltinContext& ctx, const VARIANT* v, bool* textCompare);

// Code-unit comparison, optionally after the simple upper-casing: <0, 0, >0.
int CompareText(std::u16string_view a, std::u16string_view b, bool textCompare);
// Position of `what` in `text` at or after `from` (0-based), or npos.
std::size_t FindText(std::u16string_view text, std::u16string_view what, std::size_t from,
                     bool textCompare);
// Tests: whether FindText may use AVX2 where the processor has it (it does by default).
void AllowWideSearchForTest(bool allowed);

void SetText(VARIANT* result, std::u16string text);
void SetLong(VARIANT* result, LONG value);
void SetInteger(VARIANT* result, SHORT value);
void SetBool(VARIANT* result, bool value);
void SetDouble(VARIANT* result, double value);
void SetDate(VARIANT* result, double date);
void SetNull(VARIANT* result);

// The slices of the built-in table, one per family.
std::span<const VBBuiltin> VBConversionBuiltins();
std::span<const VBBuiltin> VBStringBuiltins();
std::span<const VBBuiltin> VBMathBuiltins();
std::span<const VBBuiltin> VBDateBuiltins();
std::span<const VBBuiltin> VBFormatBuiltins();
std::span<const VBBuiltin> VBArrayBuiltins();
std::span<const VBBuiltin> VBHostBuiltins();
