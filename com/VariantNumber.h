// The exact numeric forms behind variant conversions and arithmetic (internal to com/).
//
// A value on its way between types is held as a `VariantNumber`: a 128-bit integer, a
// double, a currency (an integer scaled by 10,000), a decimal (96-bit mantissa with a
// scale) or a number read from text with all its digits. Each target type takes it
// with its own rounding (half to even) and range check, so "2.5" becomes 2 as an
// Integer and 2.5 as a Double without going through binary floating point first.
#pragma once

#include "com/TextForms.h"
#include "com/Variant.h"

struct DecimalValue {
    bool negative = false;
    unsigned __int128 mantissa = 0;  // < 2^96 when stored
    int scale = 0;                   // 0..28
};

struct VariantNumber {
    enum Kind { Integer, Real, Currency, Decimal, Text } kind = Integer;
    __int128 integer = 0;
    double real = 0;
    LONGLONG currency = 0;
    DecimalValue decimal;
    ParsedNumber text;
};

// Rounds v / divisor half to even.
__int128 DivideRoundEven(__int128 v, __int128 divisor);

DecimalValue DecimalFromDECIMAL(const DECIMAL& d);
// False when the value cannot be held (too large at scale 0).
bool DECIMALFromDecimal(DecimalValue value, DECIMAL* out);
double DecimalToDouble(const DecimalValue& d);
std::string DecimalToAscii(const DecimalValue& d);

// The number a scalar variant (no BYREF, no object) stands for: VT_EMPTY is 0, VT_BOOL
// -1 or 0, a string is read in the locale. DISP_E_TYPEMISMATCH for anything else.
HRESULT NumberOfVariant(const VARIANT& v, LCID lcid, VariantNumber* out);
HRESULT NumberToInteger(const VariantNumber& n, __int128* out);  // rounded half to even
HRESULT NumberToDouble(const VariantNumber& n, double* out);
HRESULT NumberToCurrency(const VariantNumber& n, LONGLONG* out);
HRESULT NumberToDecimal(const VariantNumber& n, DecimalValue* out);

// The value a variant stands for in an expression: BYREF followed, an object replaced by
// its default property (DISPID_VALUE). `out` receives an owning copy.
HRESULT ResolveVariantValue(const VARIANT* src, LCID lcid, VARIANT* out);
