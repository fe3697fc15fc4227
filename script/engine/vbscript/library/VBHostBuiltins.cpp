// Built-ins that touch the host rather than values: Escape/Unescape, GetLocale and
// SetLocale, the ScriptEngine… version functions, CreateObject, GetObject, LoadPicture,
// RGB, MsgBox and InputBox.
//
// Scripts run inside a service with no desktop: MsgBox shows nothing and returns vbOK
// (1); InputBox shows nothing and returns its default (or "" without one). Neither
// blocks. GetObject and LoadPicture have nothing to attach to or load and fail with 429.
#include "com/ClassRegistry.h"
#include "com/Locale.h"
#include "generated/Version.h"
#include "script/engine/vbscript/library/VBLibrarySupport.h"

namespace {

bool IsEscapeSafe(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
           c == u'@' || c == u'*' || c == u'_' || c == u'+' || c == u'-' || c == u'.' || c == u'/';
}

HRESULT Escape(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    if (IsNullValue(args[0])) {
        SetNull(result);
        return S_OK;
    }
    std::u16string text;
    HRESULT hr = ArgText(ctx, args[0], &text);
    if (FAILED(hr))
        return hr;
    static constexpr char16_t kHex[] = u"0123456789ABCDEF";
    std::u16string out;
    for (char16_t c : text) {
        if (IsEscapeSafe(c)) {
            out += c;
        } else if (c < 0x100) {
            out += {u'%', kHex[c >> 4], kHex[c & 15]};
        } else {
            out +=
                {u'%', u'u', kHex[c >> 12], kHex[(c >> 8) & 15], kHex[(c >> 4) & 15], kHex[c & 15]};
        }
    }
    SetText(result, std::move(out));
    return S_OK;
}

int HexValue(char16_t c) {
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    return -1;
}

// Reads `count` hex digits at `at`; -1 when they are not all there.
int ReadHex(std::u16string_view text, std::size_t at, std::size_t count) {
    if (at + count > text.size())
        return -1;
    int value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        int digit = HexValue(text[at + i]);
        if (digit < 0)
            return -1;
        value = value * 16 + digit;
    }
    return value;
}

// Unescape: %XX and %uXXXX become their characters; a malformed escape stays as it is.
HRESULT Unescape(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    if (IsNullValue(args[0])) {
        SetNull(result);
        return S_OK;
    }
    std::u16string text;
    HRESULT hr = ArgText(ctx, args[0], &text);
    if (FAILED(hr))
        return hr;
    std::u16string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'%') {
            int value;
            if (i + 1 < text.size() && text[i + 1] == u'u' &&
                (value = ReadHex(text, i + 2, 4)) >= 0) {
                out += static_cast<char16_t>(value);
                i += 5;
                continue;
            }
            if ((value = ReadHex(text, i + 1, 2)) >= 0) {
                out += static_cast<char16_t>(value);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    SetText(result, std::move(out));
    return S_OK;
}

HRESULT GetLocale(VBBuiltinContext& ctx, const VARIANT*, unsigned, VARIANT* result) {
    SetLong(result, static_cast<LONG>(ctx.lcid));
    return S_OK;
}

// SetLocale([lcid]): a number or an RFC 1766 tag; 0 or none means the system default.
// Returns the previous locale.
HRESULT SetLocale(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, VARIANT* result) {
    LCID lcid = 0;
    if (const VARIANT* arg = OptionalArg(args, argc, 0)) {
        if (arg->vt == VT_BSTR) {
            std::u16string_view tag = VariantText(*arg);
            if (!tag.empty()) {
                lcid = LcidFromRfc1766(Utf16ToUtf8(tag));
                if (lcid == 0)
                    return VBScriptError(kVBInvalidCall);
            }
        } else {
            LONG value = 0;
            HRESULT hr = ArgLong(ctx, *arg, &value);
            if (FAILED(hr))
                return hr;
            lcid = static_cast<LCID>(value);
        }
    }
    if (lcid == 0)
        lcid = GetSystemDefaultLCID();
    if (!IsValidLocale(lcid, LCID_SUPPORTED))
        return VBScriptError(kVBInvalidCall);
    SetLong(result, static_cast<LONG>(ctx.lcid));
    ctx.lcid = lcid;
    return S_OK;
}

HRESULT ScriptEngine(VBBuiltinContext&, const VARIANT*, unsigned, VARIANT* result) {
    SetText(result, u"VBScript");
    return S_OK;
}
HRESULT ScriptEngineMajorVersion(VBBuiltinContext&, const VARIANT*, unsigned, VARIANT* result) {
    SetLong(result, 5);
    return S_OK;
}
HRESULT ScriptEngineMinorVersion(VBBuiltinContext&, const VARIANT*, unsigned, VARIANT* result) {
    SetLong(result, 8);
    return S_OK;
}
HRESULT ScriptEngineBuildVersion(VBBuiltinContext&, const VARIANT*, unsigned, VARIANT* result) {
    SetLong(result, CORVANE_VERSION_TWEAK);
    return S_OK;
}

// CreateObject(class[, servername]): classes of the registry only; there are no remote
// servers to create on.
HRESULT CreateObject(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, VARIANT* result) {
    std::u16string progId;
    HRESULT hr = ArgText(ctx, args[0], &progId);
    if (FAILED(hr))
        return hr;
    if (const VARIANT* server = OptionalArg(args, argc, 1)) {
        std::u16string name;
        if (FAILED(hr = ArgText(ctx, *server, &name)))
            return hr;
        if (!name.empty())
            return VBScriptError(kVBRemoteServer);
    }
    CLSID clsid;
    if (FAILED(CLSIDFromProgID(progId.c_str(), &clsid)))
        return VBScriptError(kVBCannotCreate);
    CComPtr<IDispatch> object;
    if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IIDOf<IDispatch>(),
                                object.ReceiveVoid())))
        return VBScriptError(kVBCannotCreate);
    VariantClear(result);
    result->vt = VT_DISPATCH;
    result->pdispVal = object.Detach();
    return S_OK;
}

HRESULT CannotCreate(VBBuiltinContext&, const VARIANT*, unsigned, VARIANT*) {
    return VBScriptError(kVBCannotCreate);
}

// RGB(red, green, blue): each part above 255 counts as 255; a negative one is error 5.
HRESULT RGB(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    LONG parts[3] = {};
    for (int i = 0; i < 3; ++i) {
        HRESULT hr = ArgLong(ctx, args[i], &parts[i]);
        if (FAILED(hr))
            return hr;
        if (parts[i] < 0)
            return VBScriptError(kVBInvalidCall);
        parts[i] = std::min<LONG>(parts[i], 255);
    }
    SetLong(result, parts[0] + parts[1] * 256 + parts[2] * 65536);
    return S_OK;
}

HRESULT MsgBox(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    std::u16string prompt;
    HRESULT hr = ArgText(ctx, args[0], &prompt);
    if (FAILED(hr))
        return hr;
    SetInteger(result, 1);  // vbOK
    return S_OK;
}

HRESULT InputBox(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, VARIANT* result) {
    std::u16string prompt, answer;
    HRESULT hr = ArgText(ctx, args[0], &prompt);
    if (FAILED(hr))
        return hr;
    if (const VARIANT* fallback = OptionalArg(args, argc, 2);
        fallback && FAILED(hr = ArgText(ctx, *fallback, &answer)))
        return hr;
    SetText(result, std::move(answer));
    return S_OK;
}

constexpr VBBuiltin kHost[] = {
    {u"CreateObject", CreateObject, 1, 2},
    {u"Escape", Escape, 1, 1},
    {u"GetLocale", GetLocale, 0, 0},
    {u"GetObject", CannotCreate, 0, 2},
    {u"InputBox", InputBox, 1, 7},
    {u"LoadPicture", CannotCreate, 1, 1},
    {u"MsgBox", MsgBox, 1, 5},
    {u"RGB", RGB, 3, 3},
    {u"ScriptEngine", ScriptEngine, 0, 0},
    {u"ScriptEngineBuildVersion", ScriptEngineBuildVersion, 0, 0},
    {u"ScriptEngineMajorVersion", ScriptEngineMajorVersion, 0, 0},
    {u"ScriptEngineMinorVersion", ScriptEngineMinorVersion, 0, 0},
    {u"SetLocale", SetLocale, 0, 1},
    {u"Unescape", Unescape, 1, 1},
};

}  // namespace

std::span<const VBBuiltin> VBHostBuiltins() {
    return kHost;
}
