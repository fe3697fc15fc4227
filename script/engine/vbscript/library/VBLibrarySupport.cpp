// Argument conversion and result helpers for the VBScript built-in functions.
#include "script/engine/vbscript/library/VBLibrarySupport.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <iterator>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <immintrin.h>
#endif

#include "com/Strings.h"
#include "com/TextForms.h"

const VARIANT* OptionalArg(const VARIANT* args, unsigned argc, unsigned index) {
    if (index >= argc)
        return nullptr;
    const VARIANT& v = args[index];
    if (v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND)
        return nullptr;
    return &v;
}

bool IsNullValue(const VARIANT& v) {
    return v.vt == VT_NULL;
}

HRESULT VBStatus(HRESULT hr) {
    switch (hr) {
        case DISP_E_TYPEMISMATCH:
        case DISP_E_BADVARTYPE:
            return VBScriptError(kVBTypeMismatch);
        case DISP_E_OVERFLOW:
            return VBScriptError(kVBOverflow);
        case DISP_E_DIVBYZERO:
            return VBScriptError(kVBDivByZero);
        case DISP_E_BADINDEX:
            return VBScriptError(kVBSubscript);
        case E_INVALIDARG:
            return VBScriptError(kVBInvalidCall);
        case E_OUTOFMEMORY:
            return VBScriptError(kVBOutOfMemory);
        default:
            return hr;
    }
}

HRESULT ConvertArg(const VBBuiltinContext& ctx, const VARIANT& v, VARTYPE vt, VARIANT* out) {
    if (IsNullValue(v))
        return VBScriptError(kVBInvalidNull);
    CComVariant value;
    HRESULT hr = VariantChangeTypeEx(&value, &v, ctx.lcid, VARIANT_ALPHABOOL, vt);
    if (FAILED(hr))
        return VBStatus(hr);
    VariantClear(out);
    value.Detach(out);
    return S_OK;
}

HRESULT ArgText(const VBBuiltinContext& ctx, const VARIANT& v, std::u16string* out) {
    if (v.vt == VT_BSTR) {
        *out = std::u16string(VariantText(v));
        return S_OK;
    }
    CComVariant text;
    HRESULT hr = ConvertArg(ctx, v, VT_BSTR, &text);
    if (FAILED(hr))
        return hr;
    *out = std::u16string(text.Text());
    return S_OK;
}

HRESULT ArgTextView(const VBBuiltinContext& ctx, const VARIANT& v, CComVariant* holder,
                    std::u16string_view* out) {
    if (v.vt == VT_BSTR) {
        *out = VariantText(v);
        return S_OK;
    }
    HRESULT hr = ConvertArg(ctx, v, VT_BSTR, holder);
    if (SUCCEEDED(hr))
        *out = holder->Text();
    return hr;
}

HRESULT ArgLong(const VBBuiltinContext& ctx, const VARIANT& v, LONG* out) {
    if (v.vt == VT_I4 || v.vt == VT_I2) {  // the common whole numbers, without a conversion
        *out = v.vt == VT_I4 ? v.lVal : v.iVal;
        return S_OK;
    }
    CComVariant value;
    HRESULT hr = ConvertArg(ctx, v, VT_I4, &value);
    if (SUCCEEDED(hr))
        *out = value.lVal;
    return hr;
}

HRESULT ArgDouble(const VBBuiltinContext& ctx, const VARIANT& v, double* out) {
    CComVariant value;
    HRESULT hr = ConvertArg(ctx, v, VT_R8, &value);
    if (SUCCEEDED(hr))
        *out = value.dblVal;
    return hr;
}

HRESULT ArgBool(const VBBuiltinContext& ctx, const VARIANT& v, bool* out) {
    CComVariant value;
    HRESULT hr = ConvertArg(ctx, v, VT_BOOL, &value);
    if (SUCCEEDED(hr))
        *out = value.boolVal != 0;
    return hr;
}

HRESULT ArgDate(const VBBuiltinContext& ctx, const VARIANT& v, double* out) {
    CComVariant value;
    HRESULT hr = ConvertArg(ctx, v, VT_DATE, &value);
    if (SUCCEEDED(hr))
        *out = value.date;
    return hr;
}

HRESULT OptionalLong(const VBBuiltinContext& ctx, const VARIANT* v, LONG fallback, LONG* out) {
    if (!v) {
        *out = fallback;
        return S_OK;
    }
    return ArgLong(ctx, *v, out);
}

HRESULT ArgCompareMode(const VBBuiltinContext& ctx, const VARIANT* v, bool* textCompare) {
    LONG mode = 0;
    HRESULT hr = OptionalLong(ctx, v, 0, &mode);
    if (FAILED(hr))
        return hr;
    if (mode < 0 || mode > 2)
        return VBScriptError(kVBInvalidCall);
    *textCompare = mode != 0;
    return S_OK;
}

int CompareText(std::u16string_view a, std::u16string_view b, bool textCompare) {
    if (textCompare)
        return CompareNoCase(a, b);
    int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

namespace {

#if defined(__SSE2__)
// Eight positions at a time: a position is a candidate when the text has two of the
// pattern's characters where the pattern would have them (its first and last, or the ones
// inside those when the two are alike, as in "|name|"); only candidates are compared in
// full. Scripts search long lists of names this way (a host in a "|"-separated list of
// blocked hosts), where a scan that looks at every position in turn was most of a
// decision's time. Where the processor has AVX2, sixteen positions at a time.
struct Probes {
    std::size_t a, b;  // offsets in the pattern, a <= b
};
Probes ChooseProbes(std::u16string_view what) {
    const std::size_t m = what.size();
    if (what[0] == what[m - 1] && m > 2)
        return {1, m - 2};
    return {0, m - 1};
}

constexpr std::size_t kNone = std::u16string_view::npos;

// The first candidate from `pos` that the pattern matches in full, or kNone. `bits`: two
// mask bits per 16-bit lane, the even ones naming the candidates.
std::size_t FirstMatch(const char16_t* t, std::u16string_view what, std::size_t pos,
                       unsigned bits) {
    for (; bits != 0; bits &= bits - 1) {
        const std::size_t at = pos + static_cast<std::size_t>(std::countr_zero(bits) >> 1);
        if (std::char_traits<char16_t>::compare(t + at, what.data(), what.size()) == 0)
            return at;
    }
    return kNone;
}

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) std::size_t FindBinaryWide(std::u16string_view text,
                                                           std::u16string_view what,
                                                           std::size_t from) {
    const std::size_t m = what.size();
    const std::size_t n = text.size();
    const char16_t* const t = text.data();
    const Probes p = ChooseProbes(what);
    const __m256i first = _mm256_set1_epi16(static_cast<short>(what[p.a]));
    const __m256i second = _mm256_set1_epi16(static_cast<short>(what[p.b]));
    std::size_t pos = from;
    for (; pos + m - 1 + 16 <= n; pos += 16) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t + pos + p.a));
        const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t + pos + p.b));
        unsigned bits = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_and_si256(
                            _mm256_cmpeq_epi16(x, first), _mm256_cmpeq_epi16(y, second)))) &
                        0x55555555u;
        if (const std::size_t at = FirstMatch(t, what, pos, bits); at != kNone)
            return at;
    }
    return text.find(what, pos);
}

std::atomic<bool> g_wideAllowed{true};

bool HasAVX2() {
    static const bool s_has = __builtin_cpu_supports("avx2");
    return s_has && g_wideAllowed.load(std::memory_order_relaxed);
}
#else
constexpr std::size_t FindBinaryWide(std::u16string_view, std::u16string_view, std::size_t) {
    return std::u16string_view::npos;
}
std::atomic<bool> g_wideAllowed{true};

bool HasAVX2() {
    return false;
}
#endif

std::size_t FindBinaryNarrow(std::u16string_view text, std::u16string_view what, std::size_t from) {
    const std::size_t m = what.size();
    const std::size_t n = text.size();
    const char16_t* const t = text.data();
    const Probes p = ChooseProbes(what);
    const __m128i first = _mm_set1_epi16(static_cast<short>(what[p.a]));
    const __m128i second = _mm_set1_epi16(static_cast<short>(what[p.b]));
    std::size_t pos = from;
    for (; pos + m - 1 + 8 <= n; pos += 8) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + pos + p.a));
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + pos + p.b));
        unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(
                            _mm_and_si128(_mm_cmpeq_epi16(x, first), _mm_cmpeq_epi16(y, second)))) &
                        0x5555u;
        if (const std::size_t at = FirstMatch(t, what, pos, bits); at != kNone)
            return at;
    }
    return text.find(what, pos);
}

std::size_t FindBinary(std::u16string_view text, std::u16string_view what, std::size_t from) {
    if (what.size() < 2 || text.size() - from < what.size() + 64)
        return text.find(what, from);
    return HasAVX2() ? FindBinaryWide(text, what, from) : FindBinaryNarrow(text, what, from);
}
#else
// Horspool's search: after a mismatch the text's character under the pattern's last one
// says how far the pattern can move. The skip table is indexed by a character's low byte;
// characters that share a low byte share the smallest of their skips, which only makes
// some moves shorter, never wrong.
std::size_t FindBinary(std::u16string_view text, std::u16string_view what, std::size_t from) {
    const std::size_t m = what.size();
    if (m < 3 || text.size() - from < 4 * m + 64)
        return text.find(what, from);
    std::size_t skip[256];
    std::fill(std::begin(skip), std::end(skip), m);
    for (std::size_t i = 0; i + 1 < m; ++i)
        skip[what[i] & 0xFF] = m - 1 - i;
    const char16_t last = what[m - 1];
    const char16_t* const t = text.data();
    for (std::size_t pos = from; pos + m <= text.size();) {
        const char16_t c = t[pos + m - 1];
        if (c == last && std::char_traits<char16_t>::compare(t + pos, what.data(), m - 1) == 0)
            return pos;
        pos += skip[c & 0xFF];
    }
    return std::u16string_view::npos;
}
#endif

}  // namespace

void AllowWideSearchForTest(bool allowed) {
#if defined(__SSE2__)
    g_wideAllowed.store(allowed, std::memory_order_relaxed);
#else
    (void)allowed;
#endif
}

std::size_t FindText(std::u16string_view text, std::u16string_view what, std::size_t from,
                     bool textCompare) {
    if (from > text.size())
        return std::u16string_view::npos;
    if (!textCompare)
        return FindBinary(text, what, from);
    std::u16string upperText = ToUpperSimple(text);
    std::u16string upperWhat = ToUpperSimple(what);
    return std::u16string_view(upperText).find(upperWhat, from);
}

void SetText(VARIANT* result, std::u16string text) {
    VariantClear(result);
    VariantSetBstr(result, BSTR(std::move(text)));
}

void SetLong(VARIANT* result, LONG value) {
    VariantClear(result);
    result->vt = VT_I4;
    result->lVal = value;
}

void SetInteger(VARIANT* result, SHORT value) {
    VariantClear(result);
    result->vt = VT_I2;
    result->iVal = value;
}

void SetBool(VARIANT* result, bool value) {
    VariantClear(result);
    result->vt = VT_BOOL;
    result->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}

void SetDouble(VARIANT* result, double value) {
    VariantClear(result);
    result->vt = VT_R8;
    result->dblVal = value;
}

void SetDate(VARIANT* result, double date) {
    VariantClear(result);
    result->vt = VT_DATE;
    result->date = date;
}

void SetNull(VARIANT* result) {
    VariantClear(result);
    result->vt = VT_NULL;
}
