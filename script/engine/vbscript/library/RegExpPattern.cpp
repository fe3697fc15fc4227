// Translation of VBScript regular expressions into ICU's syntax.
#include "script/engine/vbscript/library/RegExpPattern.h"

#include "script/engine/vbscript/library/VBScriptBuiltins.h"

namespace {

constexpr HRESULT kSyntax = VBScriptError(5017);
constexpr HRESULT kQuantifier = VBScriptError(5018);
constexpr HRESULT kMissingBracket = VBScriptError(5019);
constexpr HRESULT kMissingParen = VBScriptError(5020);

bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}
bool IsHex(char16_t c) {
    return IsDigit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}
bool IsLetter(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

bool HexRun(std::u16string_view p, std::size_t at, std::size_t count) {
    if (at + count > p.size())
        return false;
    for (std::size_t i = 0; i < count; ++i)
        if (!IsHex(p[at + i]))
            return false;
    return true;
}

// The length of a repeat count "{n}", "{n,}" or "{n,m}" at `at`, or 0 when there is none.
std::size_t RepeatCount(std::u16string_view p, std::size_t at) {
    std::size_t i = at + 1;
    std::size_t digits = 0;
    while (i < p.size() && IsDigit(p[i]))
        ++i, ++digits;
    if (digits == 0)
        return 0;
    if (i < p.size() && p[i] == u',') {
        ++i;
        while (i < p.size() && IsDigit(p[i]))
            ++i;
    }
    if (i < p.size() && p[i] == u'}')
        return i - at + 1;
    return 0;
}

// An escape sequence at p[at] == '\\'; appends its ICU form and returns its length.
HRESULT Escape(std::u16string_view p, std::size_t at, bool inClass, std::u16string& out,
               std::size_t* length) {
    if (at + 1 >= p.size())
        return kSyntax;
    char16_t c = p[at + 1];
    *length = 2;
    switch (c) {
        case u'd':
        case u'D':
        case u'w':
        case u'W':
        case u's':
        case u'S':
        case u'n':
        case u'r':
        case u't':
        case u'f':
            out += u'\\';
            out += c;
            return S_OK;
        case u'b':
            out += inClass ? u"\\x{8}" : u"\\b";
            return S_OK;
        case u'B':
            out += inClass ? u"B" : u"\\B";
            return S_OK;
        case u'v':
            out += u"\\x{B}";
            return S_OK;
        case u'x':
            if (HexRun(p, at + 2, 2)) {
                out += u"\\x{";
                out += p.substr(at + 2, 2);
                out += u'}';
                *length = 4;
            } else {
                out += u'x';
            }
            return S_OK;
        case u'u':
            if (HexRun(p, at + 2, 4)) {
                out += u"\\x{";
                out += p.substr(at + 2, 4);
                out += u'}';
                *length = 6;
            } else {
                out += u'u';
            }
            return S_OK;
        case u'c':
            if (at + 2 < p.size() && IsLetter(p[at + 2])) {
                out += u"\\x{";
                static constexpr char16_t kHex[] = u"0123456789ABCDEF";
                unsigned code = p[at + 2] & 0x1F;
                out += kHex[code >> 4];
                out += kHex[code & 15];
                out += u'}';
                *length = 3;
            } else {
                out += u"\\\\c";
            }
            return S_OK;
        default:
            break;
    }
    if (IsDigit(c)) {
        if (c == u'0' || inClass) {
            // An octal escape (a back-reference cannot stand in a class).
            unsigned value = 0;
            std::size_t i = at + 1;
            while (i < p.size() && i < at + 4 && p[i] >= u'0' && p[i] <= u'7' &&
                   value * 8 + (p[i] - u'0') <= 0xFF)
                value = value * 8 + (p[i++] - u'0');
            if (i == at + 1)
                i = at + 2;  // \8 or \9 in a class: the digit itself
            std::u16string hex;
            static constexpr char16_t kHex[] = u"0123456789ABCDEF";
            out += u"\\x{";
            out += kHex[(value >> 4) & 15];
            out += kHex[value & 15];
            out += u'}';
            *length = i - at;
            return S_OK;
        }
        std::size_t i = at + 1;
        while (i < p.size() && IsDigit(p[i]))
            ++i;
        out += u'\\';
        out += p.substr(at + 1, i - at - 1);
        *length = i - at;
        return S_OK;
    }
    if (IsLetter(c)) {
        out += c;  // an unknown letter escape is the letter
        return S_OK;
    }
    out += u"\\x{";
    static constexpr char16_t kHex[] = u"0123456789ABCDEF";
    out += kHex[c >> 12];
    out += kHex[(c >> 8) & 15];
    out += kHex[(c >> 4) & 15];
    out += kHex[c & 15];
    out += u'}';
    return S_OK;
}

}  // namespace

HRESULT TranslateRegExpPattern(std::u16string_view p, bool multiline, std::u16string* result) {
    std::u16string out;
    int depth = 0;
    bool canRepeat = false;    // the last item may take a quantifier
    bool afterRepeat = false;  // the last item was a quantifier (a '?' makes it lazy)
    for (std::size_t i = 0; i < p.size();) {
        char16_t c = p[i];
        switch (c) {
            case u'\\': {
                std::size_t length = 0;
                HRESULT hr = Escape(p, i, false, out, &length);
                if (FAILED(hr))
                    return hr;
                i += length;
                canRepeat = true;
                afterRepeat = false;
                continue;
            }
            case u'[': {
                std::size_t j = i + 1;
                bool negated = j < p.size() && p[j] == u'^';
                if (negated)
                    ++j;
                if (j < p.size() && p[j] == u']') {
                    out += negated ? u"[\\s\\S]" : u"(?!)";
                    i = j + 1;
                    canRepeat = true;
                    afterRepeat = false;
                    continue;
                }
                out += negated ? u"[^" : u"[";
                bool closed = false;
                while (j < p.size()) {
                    char16_t k = p[j];
                    if (k == u']') {
                        closed = true;
                        ++j;
                        break;
                    }
                    if (k == u'\\') {
                        std::size_t length = 0;
                        HRESULT hr = Escape(p, j, true, out, &length);
                        if (FAILED(hr))
                            return kMissingBracket;
                        j += length;
                        continue;
                    }
                    if (k == u'[' || k == u'&' || k == u'$' || k == u'{' || k == u'}' ||
                        k == u'^' || k == u':')
                        out += u'\\';
                    out += k;
                    ++j;
                }
                if (!closed)
                    return kMissingBracket;
                out += u']';
                i = j;
                canRepeat = true;
                afterRepeat = false;
                continue;
            }
            case u'(':
                if (i + 1 < p.size() && p[i + 1] == u'?') {
                    if (i + 2 >= p.size() ||
                        (p[i + 2] != u':' && p[i + 2] != u'=' && p[i + 2] != u'!'))
                        return kSyntax;
                    out += p.substr(i, 3);
                    i += 3;
                } else {
                    out += c;
                    ++i;
                }
                ++depth;
                canRepeat = false;
                afterRepeat = false;
                continue;
            case u')':
                if (depth == 0)
                    return kSyntax;
                --depth;
                out += c;
                ++i;
                canRepeat = true;
                afterRepeat = false;
                continue;
            case u'*':
            case u'+':
            case u'?':
                if (c == u'?' && afterRepeat) {
                    out += c;
                    ++i;
                    afterRepeat = false;
                    canRepeat = false;
                    continue;
                }
                if (!canRepeat)
                    return kQuantifier;
                out += c;
                ++i;
                canRepeat = false;
                afterRepeat = true;
                continue;
            case u'{': {
                std::size_t length = RepeatCount(p, i);
                if (length == 0) {
                    out += u"\\{";
                    ++i;
                    canRepeat = true;
                    afterRepeat = false;
                    continue;
                }
                if (!canRepeat)
                    return kQuantifier;
                out += p.substr(i, length);
                i += length;
                canRepeat = false;
                afterRepeat = true;
                continue;
            }
            case u'}':
                out += u"\\}";
                break;
            case u'.':
                out += u"[^\\n]";
                break;
            case u'$':
                out += multiline ? u"$" : u"\\z";
                ++i;
                canRepeat = false;
                afterRepeat = false;
                continue;
            case u'^':
                out += c;
                ++i;
                canRepeat = false;
                afterRepeat = false;
                continue;
            case u'|':
                out += c;
                ++i;
                canRepeat = false;
                afterRepeat = false;
                continue;
            case u'#':
            case u' ':
                out += u'\\';
                out += c;
                break;
            default:
                out += c;
                break;
        }
        ++i;
        canRepeat = true;
        afterRepeat = false;
    }
    if (depth > 0)
        return kMissingParen;
    *result = std::move(out);
    return S_OK;
}
