// Variant logic: And, Or, Xor, Eqv, Imp and Not, with the Null rules and bit widths.
#include "com/DiagnosticLog.h"
#include "com/VarMath.h"
#include "com/VarOperands.h"

using namespace var_detail;

namespace {

enum class Logic { And, Or, Xor, Eqv, Imp };

// A logical operand: Null, a boolean, or an integer of a ladder type.
struct LogicOperand {
    bool null = false;
    bool boolean = false;
    __int128 value = 0;
    Rank rank = kInteger;
};

HRESULT LogicOperandOf(const CComVariant& v, Rank rank, LogicOperand* out) {
    if (rank == kNull) {
        out->null = true;
        return S_OK;
    }
    if (rank == kBool) {
        out->boolean = true;
        out->value = v.boolVal ? -1 : 0;
        return S_OK;
    }
    if (rank == kString) {
        std::u16string_view t = v.Text();
        if (EqualsNoCase(t, u"True") || EqualsNoCase(t, u"False")) {
            out->boolean = true;
            out->value = EqualsNoCase(t, u"True") ? -1 : 0;
            return S_OK;
        }
    }
    return IntegerOperand(v, rank, &out->value, &out->rank);
}

CComVariant LogicResult(__int128 v, bool boolean, Rank rank) {
    if (boolean)
        return CComVariant(v != 0);
    switch (rank) {
        case kByte:
            return CComVariant(static_cast<BYTE>(v));
        case kInteger:
            return CComVariant(static_cast<SHORT>(v));
        case kLong:
            return CComVariant(static_cast<LONG>(v));
        default:
            return CComVariant(static_cast<LONGLONG>(v));
    }
}

HRESULT Logical(const VARIANT* l, const VARIANT* r, VARIANT* out, Logic op) {
    if (CheckExpression(!out))
        return E_INVALIDARG;
    Operands ops;
    HRESULT hr = Resolve(l, r, &ops);
    if (FAILED(hr))
        return hr;
    LogicOperand a, b;
    hr = LogicOperandOf(ops.a, ops.ra, &a);
    if (SUCCEEDED(hr))
        hr = LogicOperandOf(ops.b, ops.rb, &b);
    if (FAILED(hr))
        return hr;
    auto rankOf = [](const LogicOperand& o) { return o.boolean ? kInteger : o.rank; };
    if (a.null || b.null) {
        // The documented Null rules: the known side decides where it can.
        const LogicOperand& known = a.null ? b : a;
        bool bothNull = a.null && b.null;
        __int128 mask = -1;
        if (!bothNull) {
            if (op == Logic::And && known.value == 0) {
                Put(out, LogicResult(0, known.boolean, rankOf(known)));
                return S_OK;
            }
            if (op == Logic::Or && known.value == mask) {
                Put(out, LogicResult(-1, known.boolean, rankOf(known)));
                return S_OK;
            }
            if (op == Logic::Imp && ((b.null && a.value == 0) || (a.null && b.value == mask))) {
                Put(out, LogicResult(-1, known.boolean, rankOf(known)));
                return S_OK;
            }
        }
        Put(out, CComVariant::Null());
        return S_OK;
    }
    __int128 x = a.value, y = b.value, v = 0;
    switch (op) {
        case Logic::And:
            v = x & y;
            break;
        case Logic::Or:
            v = x | y;
            break;
        case Logic::Xor:
            v = x ^ y;
            break;
        case Logic::Eqv:
            v = ~(x ^ y);
            break;
        case Logic::Imp:
            v = ~x | y;
            break;
    }
    bool boolean = a.boolean && b.boolean;
    Rank rank = std::max(rankOf(a), rankOf(b));
    if (rank == kByte)
        v &= 0xFF;
    Put(out, LogicResult(v, boolean, rank));
    return S_OK;
}

}  // namespace

HRESULT VarAnd(const VARIANT* l, const VARIANT* r, VARIANT* out) {
    try {
        return Logical(l, r, out, Logic::And);
    } catch (...) {
        return ReportException("VarAnd", CV_HERE);
    }
}

HRESULT VarOr(const VARIANT* l, const VARIANT* r, VARIANT* out) {
    try {
        return Logical(l, r, out, Logic::Or);
    } catch (...) {
        return ReportException("VarOr", CV_HERE);
    }
}

HRESULT VarXor(const VARIANT* l, const VARIANT* r, VARIANT* out) {
    try {
        return Logical(l, r, out, Logic::Xor);
    } catch (...) {
        return ReportException("VarXor", CV_HERE);
    }
}

HRESULT VarEqv(const VARIANT* l, const VARIANT* r, VARIANT* out) {
    try {
        return Logical(l, r, out, Logic::Eqv);
    } catch (...) {
        return ReportException("VarEqv", CV_HERE);
    }
}

HRESULT VarImp(const VARIANT* l, const VARIANT* r, VARIANT* out) {
    try {
        return Logical(l, r, out, Logic::Imp);
    } catch (...) {
        return ReportException("VarImp", CV_HERE);
    }
}

HRESULT VarNot(const VARIANT* in, VARIANT* out) {
    if (CheckExpression(!out))
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
        LogicOperand o;
        hr = LogicOperandOf(v, rank, &o);
        if (FAILED(hr))
            return hr;
        __int128 x = ~o.value;
        if (!o.boolean && o.rank == kByte)
            x &= 0xFF;
        Put(out, LogicResult(x, o.boolean, o.rank));
        return S_OK;
    } catch (...) {
        return ReportException("VarNot", CV_HERE);
    }
}
