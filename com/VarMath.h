// Variant comparison, arithmetic and logic after the OLE Automation rules.
//
// Every operation follows an operand that is BYREF and takes an object's default
// property (DISPID_VALUE) first. Null propagates (with the documented exceptions of the
// logical operators: Null And False is False, Null Or True is True); Empty acts as 0
// or "". Results take the wider of the operand types (Byte < Integer < Long < Single <
// Double < Currency < Decimal, a Date keeping Date in addition and subtraction of a
// number); an integer result that overflows its type moves up Byte → Integer → Long →
// Double, a Single one to Double; Currency, Date and Decimal overflows are
// DISP_E_OVERFLOW. Booleans count as Integers (-1 and 0), except that two booleans give
// a boolean in the logical operators.
#pragma once

#include "com/Variant.h"

// VARCMP_LT, VARCMP_EQ, VARCMP_GT or VARCMP_NULL (either side Null). Strings compare
// by the collator of the locale (tertiary strength, ties broken by code units;
// NORM_IGNORECASE ignores case); a number is less than a string; Empty is 0 or "".
HRESULT VarCmp(const VARIANT* pvarLeft, const VARIANT* pvarRight, LCID lcid, ULONG dwFlags);

HRESULT VarAdd(const VARIANT* pvarLeft, const VARIANT* pvarRight, VARIANT* pvarResult);
HRESULT VarSub(const VARIANT* pvarLeft, const VARIANT* pvarRight, VARIANT* pvarResult);
HRESULT VarMul(const VARIANT* pvarLeft, const VARIANT* pvarRight, VARIANT* pvarResult);
HRESULT VarDiv(const VARIANT* pvarLeft, const VARIANT* pvarRight, VARIANT* pvarResult);
HRESULT VarIdiv(const VARIANT* pvarLeft, const VARIANT* pvarRight, VARIANT* pvarResult);
HRESULT VarMod(const VARIANT* pvarLeft, const VARIANT* pvarRight, VARIANT* pvarResult);
HRESULT VarPow(const VARIANT* pvarLeft, const VARIANT* pvarRight, VARIANT* pvarResult);
HRESULT VarCat(const VARIANT* pvarLeft, const VARIANT* pvarRight, VARIANT* pvarResult);
HRESULT VarAnd(const VARIANT* pvarLeft, const VARIANT* pvarRight, VARIANT* pvarResult);
HRESULT VarOr(const VARIANT* pvarLeft, const VARIANT* pvarRight, VARIANT* pvarResult);
HRESULT VarXor(const VARIANT* pvarLeft, const VARIANT* pvarRight, VARIANT* pvarResult);
HRESULT VarEqv(const VARIANT* pvarLeft, const VARIANT* pvarRight, VARIANT* pvarResult);
HRESULT VarImp(const VARIANT* pvarLeft, const VARIANT* pvarRight, VARIANT* pvarResult);
HRESULT VarNeg(const VARIANT* pvarIn, VARIANT* pvarResult);
HRESULT VarNot(const VARIANT* pvarIn, VARIANT* pvarResult);
HRESULT VarAbs(const VARIANT* pvarIn, VARIANT* pvarResult);
HRESULT VarFix(const VARIANT* pvarIn, VARIANT* pvarResult);
HRESULT VarInt(const VARIANT* pvarIn, VARIANT* pvarResult);
// Rounds half to even at `cDecimals` places (0 or more).
HRESULT VarRound(const VARIANT* pvarIn, int cDecimals, VARIANT* pvarResult);
