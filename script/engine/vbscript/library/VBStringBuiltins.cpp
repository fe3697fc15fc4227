// String built-ins: Len, Left, Right, Mid and their byte forms, InStr, InStrRev, LCase,
// UCase, the trims, Space, String, StrComp, StrReverse and Replace.
//
// Lengths and positions count UTF-16 code units (positions from 1). Case mapping is the
// simple per-unit mapping, so a string never changes length; text comparison is a
// comparison after the simple upper-casing, binary comparison is by code unit. The byte
// forms count two bytes per code unit and round an odd byte count down to whole units,
// since a string cannot hold half a code unit.
#include <unicode/uchar.h>

#include <algorithm>

#include "com/Strings.h"
#include "script/engine/vbscript/library/VBLibrarySupport.h"

namespace {

constexpr LONG kMaxStringLength = 0x3FFFFFFF;

HRESULT Len(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    if (IsNullValue(args[0])) {
        SetNull(result);
        return S_OK;
    }
    CComVariant holder;
    std::u16string_view text;
    HRESULT hr = ArgTextView(ctx, args[0], &holder, &text);
    if (SUCCEEDED(hr))
        SetLong(result, static_cast<LONG>(text.size()));
    return hr;
}

HRESULT LenB(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    HRESULT hr = Len(ctx, args, 1, result);
    if (SUCCEEDED(hr) && result->vt == VT_I4)
        result->lVal *= 2;
    return hr;
}

// Left, Right and Mid: Null text gives Null; a Null count is error 94, a negative one 5.
enum class Part { Left, Right };

HRESULT Side(VBBuiltinContext& ctx, const VARIANT* args, Part part, LONG unitDivisor,
             VARIANT* result) {
    LONG count = 0;
    HRESULT hr = ArgLong(ctx, args[1], &count);
    if (FAILED(hr))
        return hr;
    if (count < 0)
        return VBScriptError(kVBInvalidCall);
    if (IsNullValue(args[0])) {
        SetNull(result);
        return S_OK;
    }
    CComVariant holder;
    std::u16string_view text;
    hr = ArgTextView(ctx, args[0], &holder, &text);
    if (FAILED(hr))
        return hr;
    std::size_t n =
        std::min<std::size_t>(static_cast<std::size_t>(count / unitDivisor), text.size());
    SetText(result,
            std::u16string(part == Part::Left ? text.substr(0, n) : text.substr(text.size() - n)));
    return S_OK;
}

HRESULT Left(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return Side(ctx, args, Part::Left, 1, result);
}
HRESULT Right(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return Side(ctx, args, Part::Right, 1, result);
}
HRESULT LeftB(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return Side(ctx, args, Part::Left, 2, result);
}
HRESULT RightB(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return Side(ctx, args, Part::Right, 2, result);
}

HRESULT MidOf(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, LONG unitDivisor,
              VARIANT* result) {
    LONG start = 0;
    HRESULT hr = ArgLong(ctx, args[1], &start);
    if (FAILED(hr))
        return hr;
    LONG length = kMaxStringLength;
    hr = OptionalLong(ctx, OptionalArg(args, argc, 2), kMaxStringLength, &length);
    if (FAILED(hr))
        return hr;
    if (start < 1 || length < 0)
        return VBScriptError(kVBInvalidCall);
    if (IsNullValue(args[0])) {
        SetNull(result);
        return S_OK;
    }
    CComVariant holder;
    std::u16string_view text;
    hr = ArgTextView(ctx, args[0], &holder, &text);
    if (FAILED(hr))
        return hr;
    std::size_t from = static_cast<std::size_t>((start - 1) / unitDivisor);
    if (from >= text.size()) {
        SetText(result, u"");
        return S_OK;
    }
    SetText(result,
            std::u16string(text.substr(from, static_cast<std::size_t>(length / unitDivisor))));
    return S_OK;
}

HRESULT Mid(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, VARIANT* result) {
    return MidOf(ctx, args, argc, 1, result);
}
HRESULT MidB(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, VARIANT* result) {
    return MidOf(ctx, args, argc, 2, result);
}

// InStr([start, ]string1, string2[, compare]): with three or four arguments the first
// is the start.
HRESULT InStr(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, VARIANT* result) {
    LONG start = 1;
    unsigned first = 0;
    if (argc >= 3) {
        HRESULT hr = ArgLong(ctx, args[0], &start);
        if (FAILED(hr))
            return hr;
        if (start < 1)
            return VBScriptError(kVBInvalidCall);
        first = 1;
    }
    bool textCompare = false;
    HRESULT hr = ArgCompareMode(ctx, OptionalArg(args, argc, 3), &textCompare);
    if (FAILED(hr))
        return hr;
    if (IsNullValue(args[first]) || IsNullValue(args[first + 1])) {
        SetNull(result);
        return S_OK;
    }
    CComVariant textHolder, whatHolder;
    std::u16string_view text, what;
    if (FAILED(hr = ArgTextView(ctx, args[first], &textHolder, &text)) ||
        FAILED(hr = ArgTextView(ctx, args[first + 1], &whatHolder, &what)))
        return hr;
    std::size_t from = static_cast<std::size_t>(start - 1);
    if (from > text.size() || (from == text.size() && !what.empty())) {
        SetLong(result, 0);
        return S_OK;
    }
    std::size_t at = FindText(text, what, from, textCompare);
    SetLong(result, at == std::u16string::npos ? 0 : static_cast<LONG>(at + 1));
    return S_OK;
}

HRESULT InStrB(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, VARIANT* result) {
    HRESULT hr = InStr(ctx, args, argc, result);
    if (SUCCEEDED(hr) && result->vt == VT_I4 && result->lVal > 0)
        result->lVal = result->lVal * 2 - 1;
    return hr;
}

// InStrRev(string1, string2[, start[, compare]]): start -1 means the end.
HRESULT InStrRev(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, VARIANT* result) {
    LONG start = -1;
    HRESULT hr = OptionalLong(ctx, OptionalArg(args, argc, 2), -1, &start);
    if (FAILED(hr))
        return hr;
    if (start == 0 || start < -1)
        return VBScriptError(kVBInvalidCall);
    bool textCompare = false;
    if (FAILED(hr = ArgCompareMode(ctx, OptionalArg(args, argc, 3), &textCompare)))
        return hr;
    if (IsNullValue(args[0]) || IsNullValue(args[1])) {
        SetNull(result);
        return S_OK;
    }
    CComVariant textHolder, whatHolder;
    std::u16string_view text, what;
    if (FAILED(hr = ArgTextView(ctx, args[0], &textHolder, &text)) ||
        FAILED(hr = ArgTextView(ctx, args[1], &whatHolder, &what)))
        return hr;
    std::size_t end = start == -1 ? text.size() : static_cast<std::size_t>(start);
    if (end > text.size()) {
        SetLong(result, 0);
        return S_OK;
    }
    if (what.empty()) {
        SetLong(result, static_cast<LONG>(end));
        return S_OK;
    }
    if (what.size() > end) {
        SetLong(result, 0);
        return S_OK;
    }
    std::size_t at;
    if (textCompare)
        at = ToUpperSimple(text.substr(0, end)).rfind(ToUpperSimple(what));
    else
        at = text.substr(0, end).rfind(what);
    SetLong(result, at == std::u16string::npos ? 0 : static_cast<LONG>(at + 1));
    return S_OK;
}

// Applies `change` to the text of a string argument; Null gives Null.
template <class Change>
HRESULT MapText(VBBuiltinContext& ctx, const VARIANT& arg, VARIANT* result, Change change) {
    if (IsNullValue(arg)) {
        SetNull(result);
        return S_OK;
    }
    std::u16string text;
    HRESULT hr = ArgText(ctx, arg, &text);
    if (FAILED(hr))
        return hr;
    SetText(result, change(std::move(text)));
    return S_OK;
}

HRESULT LCase(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return MapText(ctx, args[0], result, [](std::u16string s) {
        for (char16_t& c : s)
            c = static_cast<char16_t>(u_tolower(c));
        return s;
    });
}
HRESULT UCase(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return MapText(ctx, args[0], result, [](std::u16string s) { return ToUpperSimple(s); });
}
HRESULT LTrim(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return MapText(ctx, args[0], result, [](std::u16string s) {
        std::size_t i = s.find_first_not_of(u' ');
        return i == std::u16string::npos ? std::u16string() : s.substr(i);
    });
}
HRESULT RTrim(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return MapText(ctx, args[0], result, [](std::u16string s) {
        std::size_t i = s.find_last_not_of(u' ');
        return i == std::u16string::npos ? std::u16string() : s.substr(0, i + 1);
    });
}
HRESULT Trim(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return MapText(ctx, args[0], result, [](std::u16string s) {
        std::size_t i = s.find_first_not_of(u' ');
        if (i == std::u16string::npos)
            return std::u16string();
        return s.substr(i, s.find_last_not_of(u' ') - i + 1);
    });
}

HRESULT Space(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    LONG n = 0;
    HRESULT hr = ArgLong(ctx, args[0], &n);
    if (FAILED(hr))
        return hr;
    if (n < 0 || n > kMaxStringLength)
        return VBScriptError(kVBInvalidCall);
    SetText(result, std::u16string(static_cast<std::size_t>(n), u' '));
    return S_OK;
}

// String(number, character): a number is a character code (taken modulo 256), text
// gives its first character; a Null character gives Null.
HRESULT String(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    LONG n = 0;
    HRESULT hr = ArgLong(ctx, args[0], &n);
    if (FAILED(hr))
        return hr;
    if (n < 0 || n > kMaxStringLength)
        return VBScriptError(kVBInvalidCall);
    if (IsNullValue(args[1])) {
        SetNull(result);
        return S_OK;
    }
    char16_t unit = 0;
    if (args[1].vt == VT_BSTR) {
        std::u16string_view text = VariantText(args[1]);
        if (text.empty())
            return VBScriptError(kVBInvalidCall);
        unit = text[0];
    } else {
        LONG code = 0;
        if (FAILED(hr = ArgLong(ctx, args[1], &code)))
            return hr;
        unit = static_cast<char16_t>(((code % 256) + 256) % 256);
    }
    SetText(result, std::u16string(static_cast<std::size_t>(n), unit));
    return S_OK;
}

HRESULT StrComp(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, VARIANT* result) {
    bool textCompare = false;
    HRESULT hr = ArgCompareMode(ctx, OptionalArg(args, argc, 2), &textCompare);
    if (FAILED(hr))
        return hr;
    if (IsNullValue(args[0]) || IsNullValue(args[1])) {
        SetNull(result);
        return S_OK;
    }
    std::u16string a, b;
    if (FAILED(hr = ArgText(ctx, args[0], &a)) || FAILED(hr = ArgText(ctx, args[1], &b)))
        return hr;
    SetInteger(result, static_cast<SHORT>(CompareText(a, b, textCompare)));
    return S_OK;
}

HRESULT StrReverse(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    std::u16string text;
    HRESULT hr = ArgText(ctx, args[0], &text);
    if (FAILED(hr))
        return hr;
    std::reverse(text.begin(), text.end());
    SetText(result, std::move(text));
    return S_OK;
}

// Replace(expression, find, replacewith[, start[, count[, compare]]]): the result
// begins at `start`; count -1 replaces every occurrence.
HRESULT Replace(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, VARIANT* result) {
    LONG start = 1, count = -1;
    bool textCompare = false;
    HRESULT hr;
    if (FAILED(hr = OptionalLong(ctx, OptionalArg(args, argc, 3), 1, &start)) ||
        FAILED(hr = OptionalLong(ctx, OptionalArg(args, argc, 4), -1, &count)) ||
        FAILED(hr = ArgCompareMode(ctx, OptionalArg(args, argc, 5), &textCompare)))
        return hr;
    if (start < 1 || count < -1)
        return VBScriptError(kVBInvalidCall);
    std::u16string text, find, with;
    if (FAILED(hr = ArgText(ctx, args[0], &text)) || FAILED(hr = ArgText(ctx, args[1], &find)) ||
        FAILED(hr = ArgText(ctx, args[2], &with)))
        return hr;
    std::size_t from = static_cast<std::size_t>(start - 1);
    if (from >= text.size()) {
        SetText(result, u"");
        return S_OK;
    }
    text.erase(0, from);
    if (find.empty() || count == 0) {
        SetText(result, std::move(text));
        return S_OK;
    }
    std::u16string out;
    std::u16string_view view(text);
    std::u16string upper = textCompare ? ToUpperSimple(text) : std::u16string();
    std::u16string upperFind = textCompare ? ToUpperSimple(find) : std::u16string();
    std::u16string_view hay = textCompare ? std::u16string_view(upper) : view;
    std::u16string_view needle = textCompare ? std::u16string_view(upperFind) : find;
    std::size_t pos = 0;
    for (LONG done = 0; count == -1 || done < count; ++done) {
        std::size_t at = hay.find(needle, pos);
        if (at == std::u16string_view::npos)
            break;
        out.append(view.substr(pos, at - pos));
        out.append(with);
        pos = at + needle.size();
    }
    out.append(view.substr(pos));
    SetText(result, std::move(out));
    return S_OK;
}

constexpr VBBuiltin kStrings[] = {
    {u"InStr", InStr, 2, 4},
    {u"InStrB", InStrB, 2, 4},
    {u"InStrRev", InStrRev, 2, 4},
    {u"LCase", LCase, 1, 1},
    {u"Left", Left, 2, 2},
    {u"LeftB", LeftB, 2, 2},
    {u"Len", Len, 1, 1},
    {u"LenB", LenB, 1, 1},
    {u"LTrim", LTrim, 1, 1},
    {u"Mid", Mid, 2, 3},
    {u"MidB", MidB, 2, 3},
    {u"Replace", Replace, 3, 6},
    {u"Right", Right, 2, 2},
    {u"RightB", RightB, 2, 2},
    {u"RTrim", RTrim, 1, 1},
    {u"Space", Space, 1, 1},
    {u"StrComp", StrComp, 2, 3},
    {u"String", String, 2, 2},
    {u"StrReverse", StrReverse, 1, 1},
    {u"Trim", Trim, 1, 1},
    {u"UCase", UCase, 1, 1},
};

}  // namespace

std::span<const VBBuiltin> VBStringBuiltins() {
    return kStrings;
}
