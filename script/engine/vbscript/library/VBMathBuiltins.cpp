// Math built-ins: Atn, Cos, Sin, Tan, Exp, Log, Sqr, Round, Rnd and Randomize.
//
// The trigonometric and exponential functions take the argument as a Double and give a
// Double; Null passes through. Rnd is the language's 24-bit linear congruential
// generator, whose state lives in the context so that each script has its own sequence
// and Randomize with a number repeats it.
#include <cmath>
#include <cstring>
#include <ctime>

#include "com/VarMath.h"
#include "script/engine/vbscript/library/VBLibrarySupport.h"

namespace {

constexpr std::uint32_t kRndMultiplier = 0x43FDFD;
constexpr std::uint32_t kRndIncrement = 0xC39EC3;
constexpr std::uint32_t kRndMask = 0xFFFFFF;

template <class F>
HRESULT RealFunction(VBBuiltinContext& ctx, const VARIANT& arg, VARIANT* result, F f) {
    if (IsNullValue(arg)) {
        SetNull(result);
        return S_OK;
    }
    double x = 0;
    HRESULT hr = ArgDouble(ctx, arg, &x);
    if (FAILED(hr))
        return hr;
    double y = 0;
    if (FAILED(hr = f(x, &y)))
        return hr;
    if (!std::isfinite(y))
        return VBScriptError(kVBOverflow);
    SetDouble(result, y);
    return S_OK;
}

HRESULT Atn(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return RealFunction(ctx, args[0], result, [](double x, double* y) {
        *y = std::atan(x);
        return S_OK;
    });
}
HRESULT Cos(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return RealFunction(ctx, args[0], result, [](double x, double* y) {
        *y = std::cos(x);
        return S_OK;
    });
}
HRESULT Sin(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return RealFunction(ctx, args[0], result, [](double x, double* y) {
        *y = std::sin(x);
        return S_OK;
    });
}
HRESULT Tan(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return RealFunction(ctx, args[0], result, [](double x, double* y) {
        *y = std::tan(x);
        return S_OK;
    });
}
HRESULT Exp(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return RealFunction(ctx, args[0], result, [](double x, double* y) {
        *y = std::exp(x);
        return std::isfinite(*y) ? S_OK : VBScriptError(kVBOverflow);
    });
}
HRESULT Log(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return RealFunction(ctx, args[0], result, [](double x, double* y) {
        if (x <= 0)
            return VBScriptError(kVBInvalidCall);
        *y = std::log(x);
        return S_OK;
    });
}
HRESULT Sqr(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return RealFunction(ctx, args[0], result, [](double x, double* y) {
        if (x < 0)
            return VBScriptError(kVBInvalidCall);
        *y = std::sqrt(x);
        return S_OK;
    });
}

// Round(expression[, numdecimalplaces]): half to even, keeping the argument's type (a
// string becomes a Double).
HRESULT Round(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, VARIANT* result) {
    LONG places = 0;
    HRESULT hr = OptionalLong(ctx, OptionalArg(args, argc, 1), 0, &places);
    if (FAILED(hr))
        return hr;
    if (places < 0)
        return VBScriptError(kVBInvalidCall);
    if (IsNullValue(args[0])) {
        SetNull(result);
        return S_OK;
    }
    CComVariant in(args[0]);
    if (args[0].vt == VT_BSTR || args[0].vt == VT_DISPATCH || args[0].vt == VT_EMPTY) {
        if (FAILED(hr = ConvertArg(ctx, args[0], args[0].vt == VT_EMPTY ? VT_I2 : VT_R8, &in)))
            return hr;
    }
    CComVariant out;
    if (FAILED(hr = VarRound(&in, static_cast<int>(std::min<LONG>(places, 28)), &out)))
        return VBStatus(hr);
    VariantClear(result);
    out.Detach(result);
    return S_OK;
}

std::uint32_t NextSeed(std::uint32_t seed) {
    return (seed * kRndMultiplier + kRndIncrement) & kRndMask;
}

// Rnd([number]): negative reseeds from the number's single-precision bits and gives the
// same value for the same number, 0 repeats the last value, positive or none advances.
HRESULT Rnd(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, VARIANT* result) {
    const VARIANT* arg = OptionalArg(args, argc, 0);
    float number = 1.0f;
    if (arg) {
        double value = 0;
        HRESULT hr = ArgDouble(ctx, *arg, &value);
        if (FAILED(hr))
            return hr;
        number = static_cast<float>(value);
    }
    if (number == 0.0f) {
        VariantClear(result);
        result->vt = VT_R4;
        result->fltVal = ctx.rndLast;
        return S_OK;
    }
    if (number < 0.0f) {
        std::uint32_t bits = 0;
        std::memcpy(&bits, &number, sizeof bits);
        ctx.rndSeed = (bits + (bits >> 24)) & kRndMask;
    }
    ctx.rndSeed = NextSeed(ctx.rndSeed);
    ctx.rndLast = static_cast<float>(ctx.rndSeed) / 16777216.0f;
    VariantClear(result);
    result->vt = VT_R4;
    result->fltVal = ctx.rndLast;
    return S_OK;
}

HRESULT RandomizeBuiltin(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc,
                         VARIANT* result) {
    HRESULT hr = VBRandomize(ctx, OptionalArg(args, argc, 0));
    if (SUCCEEDED(hr))
        VariantClear(result);
    return hr;
}

constexpr VBBuiltin kMath[] = {
    {u"Atn", Atn, 1, 1},
    {u"Cos", Cos, 1, 1},
    {u"Exp", Exp, 1, 1},
    {u"Log", Log, 1, 1},
    {u"Randomize", RandomizeBuiltin, 0, 1},
    {u"Rnd", Rnd, 0, 1},
    {u"Round", Round, 1, 2},
    {u"Sin", Sin, 1, 1},
    {u"Sqr", Sqr, 1, 1},
    {u"Tan", Tan, 1, 1},
};

}  // namespace

HRESULT VBRandomize(VBBuiltinContext& ctx, const VARIANT* seed) {
    double value = 0;
    if (seed) {
        HRESULT hr = ArgDouble(ctx, *seed, &value);
        if (FAILED(hr))
            return hr;
    } else {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        tm local{};
        localtime_r(&now.tv_sec, &local);
        value = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec +
                static_cast<double>(now.tv_nsec / 10000000) / 100.0;
    }
    // The high word of the Double, folded to 16 bits, becomes the middle of the state.
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    std::uint32_t high = static_cast<std::uint32_t>(bits >> 32);
    std::uint32_t folded = ((high & 0xFFFF) ^ (high >> 16)) << 8;
    ctx.rndSeed = (ctx.rndSeed & 0xFF) | (folded & 0xFFFF00);
    return S_OK;
}

std::span<const VBBuiltin> VBMathBuiltins() {
    return kMath;
}
