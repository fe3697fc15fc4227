// Operand handling shared by the variant arithmetic and logic operators (internal to
// com/): operand classes in order of widening, resolution of BYREF and default
// properties, and the typed results with their overflow ladders.
#pragma once

#include "com/CComVariant.h"
#include "com/VariantNumber.h"

namespace var_detail {

// The operand classes of arithmetic, numeric ones in order of widening.
enum Rank {
    kBool,
    kByte,
    kInteger,
    kLong,
    kLongLong,
    kSingle,
    kDouble,
    kCurrency,
    kDate,
    kDecimal,
    kString,
    kEmpty,
    kNull,
    kInvalid
};

// The values of an operation with the operands resolved (BYREF and default properties).
struct Operands {
    CComVariant a, b;
    Rank ra = kInvalid, rb = kInvalid;
};

Rank RankOf(VARTYPE vt);
bool IsIntegerRank(Rank r);
HRESULT Resolve(const VARIANT* l, const VARIANT* r, Operands* ops);
// The single operand of Neg, Abs, Fix, Int, Not and Round, resolved.
HRESULT ResolveOne(const VARIANT* in, CComVariant* value, Rank* rank);
HRESULT Number(const VARIANT& v, VariantNumber* n);
HRESULT Double(const VARIANT& v, double* d);
HRESULT Integer(const VARIANT& v, __int128* i);
HRESULT Decimal(const VARIANT& v, DecimalValue* d);
HRESULT Currency(const VARIANT& v, LONGLONG* cy);
void Put(VARIANT* out, CComVariant value);
// An integer result in the smallest type of the ladder Byte → Integer → Long → Double
// (LongLong → Double) at or above `rank`.
CComVariant IntegerResult(__int128 v, Rank rank);
HRESULT DoubleResult(double d, Rank rank, VARIANT* out);
HRESULT CurrencyResult(__int128 v, VARIANT* out);
HRESULT DecimalResult(const DecimalValue& d, VARIANT* out);
HRESULT DecimalFromLongDouble(long double x, DecimalValue* out);
long double DecimalToLong(const DecimalValue& d);
__int128 Signed(const DecimalValue& d);
DecimalValue FromSigned(__int128 v, int scale);
// An operand of \, Mod and the logical operators as an integer of a ladder type;
// Booleans and Empty are Integers, everything else a Long (rounded).
HRESULT IntegerOperand(const VARIANT& v, Rank rank, __int128* value, Rank* integerRank);

}  // namespace var_detail
