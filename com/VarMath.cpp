// Variant arithmetic and logic: result types, overflow promotion, Null and Empty.
#include "com/VarMath.h"

#include <cfloat>
#include <cmath>
#include <cstdio>

#include "com/CComVariant.h"
#include "com/DiagnosticLog.h"
#include "com/Locale.h"
#include "com/TextForms.h"
#include "com/VarOperands.h"

using namespace var_detail;

namespace {

enum class Op { Add, Sub, Mul };

// The result rank of +, - and * for two numeric ranks (strings already made Double).
Rank ArithmeticRank(Rank a, Rank b, Op op) {
    if (a == kEmpty && b == kEmpty)
        return kInteger;
    if (a == kEmpty)
        a = b;
    if (b == kEmpty)
        b = a;
    if (a == kBool)
        a = kInteger;
    if (b == kBool)
        b = kInteger;
    if (a == kDate || b == kDate) {
        if (op == Op::Mul)
            return std::max({a == kDate ? kDouble : a, b == kDate ? kDouble : b});
        if (op == Op::Sub && a == kDate && b == kDate)
            return kDouble;
        return kDate;
    }
    Rank r = std::max(a, b);
    if (r == kSingle && ((a >= kLong && a <= kLongLong) || (b >= kLong && b <= kLongLong)))
        return kDouble;
    return r;
}

HRESULT Arithmetic(const VARIANT* l, const VARIANT* r, VARIANT* out, Op op) {
    if (CheckExpression(!out))
        return E_INVALIDARG;
    Operands ops;
    HRESULT hr = Resolve(l, r, &ops);
    if (FAILED(hr))
        return hr;
    if (ops.ra == kNull || ops.rb == kNull) {
        Put(out, CComVariant::Null());
        return S_OK;
    }
    bool sa = ops.ra == kString, sb = ops.rb == kString;
    if (op == Op::Add && (sa || sb) && (sa || ops.ra == kEmpty) && (sb || ops.rb == kEmpty)) {
        std::u16string text(ops.a.Text());
        text += ops.b.Text();
        Put(out, CComVariant(BSTR(std::move(text))));
        return S_OK;
    }
    Rank ra = sa ? kDouble : ops.ra, rb = sb ? kDouble : ops.rb;
    Rank rank = ArithmeticRank(ra, rb, op);
    if (IsIntegerRank(rank)) {
        __int128 x = 0, y = 0;
        hr = Integer(ops.a, &x);
        if (SUCCEEDED(hr))
            hr = Integer(ops.b, &y);
        if (FAILED(hr))
            return hr;
        __int128 v = op == Op::Add ? x + y : op == Op::Sub ? x - y : x * y;
        Put(out, IntegerResult(v, rank));
        return S_OK;
    }
    if (rank == kCurrency) {
        LONGLONG x = 0, y = 0;
        double real = 0;
        bool realRight = op == Op::Mul && (rb == kSingle || rb == kDouble);
        bool realLeft = op == Op::Mul && (ra == kSingle || ra == kDouble);
        if (realLeft || realRight) {
            hr = Currency(realLeft ? ops.b : ops.a, &x);
            if (SUCCEEDED(hr))
                hr = Double(realLeft ? ops.a : ops.b, &real);
            if (FAILED(hr))
                return hr;
            long double p = static_cast<long double>(x) * real;
            if (!(std::fabs(p) < 9.3e18L))
                return DISP_E_OVERFLOW;
            return CurrencyResult(static_cast<__int128>(std::nearbyint(p)), out);
        }
        hr = Currency(ops.a, &x);
        if (SUCCEEDED(hr))
            hr = Currency(ops.b, &y);
        if (FAILED(hr))
            return hr;
        __int128 v = op == Op::Add   ? static_cast<__int128>(x) + y
                     : op == Op::Sub ? static_cast<__int128>(x) - y
                                     : DivideRoundEven(static_cast<__int128>(x) * y, 10000);
        return CurrencyResult(v, out);
    }
    if (rank == kDecimal) {
        DecimalValue x, y;
        hr = Decimal(ops.a, &x);
        if (SUCCEEDED(hr))
            hr = Decimal(ops.b, &y);
        if (FAILED(hr))
            return hr;
        __int128 p = Signed(x), q = Signed(y), v = 0;
        bool overflow = false;
        int scale = 0;
        if (op == Op::Mul) {
            overflow = __builtin_mul_overflow(p, q, &v);
            scale = x.scale + y.scale;
        } else {
            scale = std::max(x.scale, y.scale);
            for (int i = x.scale; i < scale && !overflow; ++i)
                overflow = __builtin_mul_overflow(p, 10, &p);
            for (int i = y.scale; i < scale && !overflow; ++i)
                overflow = __builtin_mul_overflow(q, 10, &q);
            if (!overflow)
                overflow = op == Op::Add ? __builtin_add_overflow(p, q, &v)
                                         : __builtin_sub_overflow(p, q, &v);
        }
        DecimalValue result;
        if (overflow) {
            long double a = DecimalToLong(x), b = DecimalToLong(y);
            hr = DecimalFromLongDouble(op == Op::Add   ? a + b
                                       : op == Op::Sub ? a - b
                                                       : a * b,
                                       &result);
            if (FAILED(hr))
                return hr;
        } else {
            result = FromSigned(v, scale);
        }
        return DecimalResult(result, out);
    }
    double x = 0, y = 0;
    hr = Double(ops.a, &x);
    if (SUCCEEDED(hr))
        hr = Double(ops.b, &y);
    if (FAILED(hr))
        return hr;
    double v = op == Op::Add ? x + y : op == Op::Sub ? x - y : x * y;
    return DoubleResult(v, rank, out);
}

HRESULT IntegerDivision(const VARIANT* l, const VARIANT* r, VARIANT* out, bool modulo) {
    if (CheckExpression(!out))
        return E_INVALIDARG;
    Operands ops;
    HRESULT hr = Resolve(l, r, &ops);
    if (FAILED(hr))
        return hr;
    if (ops.ra == kNull || ops.rb == kNull) {
        Put(out, CComVariant::Null());
        return S_OK;
    }
    __int128 x = 0, y = 0;
    Rank rx, ry;
    hr = IntegerOperand(ops.a, ops.ra, &x, &rx);
    if (SUCCEEDED(hr))
        hr = IntegerOperand(ops.b, ops.rb, &y, &ry);
    if (FAILED(hr))
        return hr;
    if (y == 0)
        return DISP_E_DIVBYZERO;
    Put(out, IntegerResult(modulo ? x % y : x / y, std::max(rx, ry)));
    return S_OK;
}

enum class Unary { Neg, Abs, Fix, Int };

HRESULT UnaryNumeric(const VARIANT* in, VARIANT* out, Unary op) {
    if (CheckExpression(!out))
        return E_INVALIDARG;
    CComVariant v;
    Rank rank;
    HRESULT hr = ResolveOne(in, &v, &rank);
    if (FAILED(hr))
        return hr;
    if (rank == kNull) {
        Put(out, CComVariant::Null());
        return S_OK;
    }
    if (rank == kEmpty || rank == kBool || IsIntegerRank(rank)) {
        __int128 x = 0;
        hr = Integer(v, &x);
        if (FAILED(hr))
            return hr;
        Rank r = rank == kEmpty || rank == kBool ? kInteger : rank;
        if (op == Unary::Neg) {
            x = -x;
            if (r == kByte)
                r = kInteger;
        } else if (op == Unary::Abs) {
            x = x < 0 ? -x : x;
        }
        Put(out, IntegerResult(x, r));
        return S_OK;
    }
    if (rank == kCurrency) {
        __int128 c = v.cyVal.int64;
        switch (op) {
            case Unary::Neg:
                c = -c;
                break;
            case Unary::Abs:
                c = c < 0 ? -c : c;
                break;
            case Unary::Fix:
                c = c / 10000 * 10000;
                break;
            case Unary::Int:
                c = (c >= 0 || c % 10000 == 0) ? c / 10000 * 10000 : (c / 10000 - 1) * 10000;
                break;
        }
        return CurrencyResult(c, out);
    }
    if (rank == kDecimal) {
        DecimalValue d;
        hr = Decimal(v, &d);
        if (FAILED(hr))
            return hr;
        if (op == Unary::Neg) {
            d.negative = !d.negative;
        } else if (op == Unary::Abs) {
            d.negative = false;
        } else {
            __int128 p = 1;
            for (int i = 0; i < d.scale; ++i)
                p *= 10;
            __int128 s = Signed(d);
            __int128 q = s / p;
            if (op == Unary::Int && s < 0 && s % p != 0)
                --q;
            d = FromSigned(q, 0);
        }
        return DecimalResult(d, out);
    }
    double x = 0;
    hr = Double(v, &x);
    if (FAILED(hr))
        return hr;
    switch (op) {
        case Unary::Neg:
            x = -x;
            break;
        case Unary::Abs:
            x = std::fabs(x);
            break;
        case Unary::Fix:
            x = std::trunc(x);
            break;
        case Unary::Int:
            x = std::floor(x);
            break;
    }
    return DoubleResult(x, rank == kString ? kDouble : rank, out);
}

}  // namespace

HRESULT VarAdd(const VARIANT* l, const VARIANT* r, VARIANT* out) {
    try {
        return Arithmetic(l, r, out, Op::Add);
    } catch (...) {
        return ReportException("VarAdd", CV_HERE);
    }
}

HRESULT VarSub(const VARIANT* l, const VARIANT* r, VARIANT* out) {
    try {
        return Arithmetic(l, r, out, Op::Sub);
    } catch (...) {
        return ReportException("VarSub", CV_HERE);
    }
}

HRESULT VarMul(const VARIANT* l, const VARIANT* r, VARIANT* out) {
    try {
        return Arithmetic(l, r, out, Op::Mul);
    } catch (...) {
        return ReportException("VarMul", CV_HERE);
    }
}

HRESULT VarDiv(const VARIANT* l, const VARIANT* r, VARIANT* out) {
    if (CheckExpression(!out))
        return E_INVALIDARG;
    try {
        Operands ops;
        HRESULT hr = Resolve(l, r, &ops);
        if (FAILED(hr))
            return hr;
        if (ops.ra == kNull || ops.rb == kNull) {
            Put(out, CComVariant::Null());
            return S_OK;
        }
        auto small = [](Rank k) {
            return k == kEmpty || k == kBool || k == kByte || k == kInteger || k == kSingle;
        };
        if (ops.ra == kDecimal || ops.rb == kDecimal) {
            DecimalValue x, y;
            hr = Decimal(ops.a, &x);
            if (SUCCEEDED(hr))
                hr = Decimal(ops.b, &y);
            if (FAILED(hr))
                return hr;
            if (y.mantissa == 0)
                return x.mantissa == 0 ? DISP_E_OVERFLOW : DISP_E_DIVBYZERO;
            DecimalValue q;
            hr = DecimalFromLongDouble(DecimalToLong(x) / DecimalToLong(y), &q);
            if (FAILED(hr))
                return hr;
            return DecimalResult(q, out);
        }
        double x = 0, y = 0;
        hr = Double(ops.a, &x);
        if (SUCCEEDED(hr))
            hr = Double(ops.b, &y);
        if (FAILED(hr))
            return hr;
        if (y == 0)
            return x == 0 ? DISP_E_OVERFLOW : DISP_E_DIVBYZERO;
        bool single = (ops.ra == kSingle || ops.rb == kSingle) && small(ops.ra) && small(ops.rb);
        return DoubleResult(x / y, single ? kSingle : kDouble, out);
    } catch (...) {
        return ReportException("VarDiv", CV_HERE);
    }
}

HRESULT VarIdiv(const VARIANT* l, const VARIANT* r, VARIANT* out) {
    try {
        return IntegerDivision(l, r, out, false);
    } catch (...) {
        return ReportException("VarIdiv", CV_HERE);
    }
}

HRESULT VarMod(const VARIANT* l, const VARIANT* r, VARIANT* out) {
    try {
        return IntegerDivision(l, r, out, true);
    } catch (...) {
        return ReportException("VarMod", CV_HERE);
    }
}

HRESULT VarPow(const VARIANT* l, const VARIANT* r, VARIANT* out) {
    if (CheckExpression(!out))
        return E_INVALIDARG;
    try {
        Operands ops;
        HRESULT hr = Resolve(l, r, &ops);
        if (FAILED(hr))
            return hr;
        if (ops.ra == kNull || ops.rb == kNull) {
            Put(out, CComVariant::Null());
            return S_OK;
        }
        double x = 0, y = 0;
        hr = Double(ops.a, &x);
        if (SUCCEEDED(hr))
            hr = Double(ops.b, &y);
        if (FAILED(hr))
            return hr;
        if (x == 0 && y < 0)
            return DISP_E_DIVBYZERO;
        double v = std::pow(x, y);
        if (std::isnan(v))
            return E_INVALIDARG;
        return DoubleResult(v, kDouble, out);
    } catch (...) {
        return ReportException("VarPow", CV_HERE);
    }
}

HRESULT VarCat(const VARIANT* l, const VARIANT* r, VARIANT* out) {
    if (CheckExpression(!l || !r || !out))
        return E_INVALIDARG;
    try {
        LCID lcid = GetUserDefaultLCID();
        CComVariant a, b;
        HRESULT hr = ResolveVariantValue(l, lcid, &a);
        if (SUCCEEDED(hr))
            hr = ResolveVariantValue(r, lcid, &b);
        if (FAILED(hr))
            return hr;
        if (a.vt == VT_NULL && b.vt == VT_NULL) {
            Put(out, CComVariant::Null());
            return S_OK;
        }
        std::u16string text;
        for (CComVariant* v : {&a, &b}) {
            if (v->vt == VT_NULL)
                continue;
            hr = v->ChangeType(VT_BSTR, nullptr, lcid, VARIANT_ALPHABOOL);
            if (FAILED(hr))
                return hr;
            text += v->Text();
        }
        Put(out, CComVariant(BSTR(std::move(text))));
        return S_OK;
    } catch (...) {
        return ReportException("VarCat", CV_HERE);
    }
}

HRESULT VarNeg(const VARIANT* in, VARIANT* out) {
    try {
        return UnaryNumeric(in, out, Unary::Neg);
    } catch (...) {
        return ReportException("VarNeg", CV_HERE);
    }
}

HRESULT VarAbs(const VARIANT* in, VARIANT* out) {
    try {
        return UnaryNumeric(in, out, Unary::Abs);
    } catch (...) {
        return ReportException("VarAbs", CV_HERE);
    }
}

HRESULT VarFix(const VARIANT* in, VARIANT* out) {
    try {
        return UnaryNumeric(in, out, Unary::Fix);
    } catch (...) {
        return ReportException("VarFix", CV_HERE);
    }
}

HRESULT VarInt(const VARIANT* in, VARIANT* out) {
    try {
        return UnaryNumeric(in, out, Unary::Int);
    } catch (...) {
        return ReportException("VarInt", CV_HERE);
    }
}

HRESULT VarRound(const VARIANT* in, int cDecimals, VARIANT* out) {
    if (CheckExpression(!out))
        return E_INVALIDARG;
    if (cDecimals < 0)
        return E_INVALIDARG;
    try {
        CComVariant v;
        Rank rank;
        HRESULT hr = ResolveOne(in, &v, &rank);
        if (FAILED(hr))
            return hr;
        if (rank == kNull) {
            Put(out, CComVariant::Null());
            return S_OK;
        }
        if (rank == kEmpty || rank == kBool || IsIntegerRank(rank)) {
            __int128 x = 0;
            hr = Integer(v, &x);
            if (FAILED(hr))
                return hr;
            Put(out, IntegerResult(x, rank == kEmpty || rank == kBool ? kInteger : rank));
            return S_OK;
        }
        if (rank == kCurrency) {
            if (cDecimals >= 4) {
                Put(out, v);
                return S_OK;
            }
            __int128 unit = 1;
            for (int i = cDecimals; i < 4; ++i)
                unit *= 10;
            return CurrencyResult(DivideRoundEven(v.cyVal.int64, unit) * unit, out);
        }
        // Round the decimal value the number shows (15 digits for a Double), so 2.675
        // rounds as the 2.675 it reads as, half to even.
        DecimalValue d;
        hr = Decimal(v, &d);
        if (FAILED(hr))
            return hr;
        if (d.scale > cDecimals) {
            __int128 unit = 1;
            for (int i = cDecimals; i < d.scale; ++i)
                unit *= 10;
            d = FromSigned(DivideRoundEven(Signed(d), unit), cDecimals);
        }
        if (rank == kDecimal)
            return DecimalResult(d, out);
        return DoubleResult(DecimalToDouble(d), rank == kString ? kDouble : rank, out);
    } catch (...) {
        return ReportException("VarRound", CV_HERE);
    }
}
