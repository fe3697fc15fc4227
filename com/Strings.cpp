// UTF conversions and simple case folding.
#include "com/Strings.h"

#include <unicode/uchar.h>

#include <algorithm>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at text[i], advancing i; ill-formed input gives U+FFFD and
// consumes the longest prefix that could have started a valid sequence (at least 1).
char32_t DecodeUtf8(std::string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char b0 = byte(i);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int length;
    char32_t cp;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        cp = b0 & 0x0F;
        if (b0 == 0xE0)
            lo = 0xA0;
        if (b0 == 0xED)
            hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        cp = b0 & 0x07;
        if (b0 == 0xF0)
            lo = 0x90;
        if (b0 == 0xF4)
            hi = 0x8F;
    } else {
        ++i;
        return kReplacement;
    }
    std::size_t k = i + 1;
    for (int n = 1; n < length; ++n, ++k) {
        if (k >= text.size()) {
            i = k;
            return kReplacement;
        }
        unsigned char b = byte(k);
        if (b < lo || b > hi) {
            i = k;
            return kReplacement;
        }
        lo = 0x80;
        hi = 0xBF;
        cp = cp << 6 | (b & 0x3F);
    }
    i = k;
    return cp;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | cp >> 18);
        out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text) {
    // Never more units than bytes: a sequence of up to three bytes gives one unit, one of
    // four a surrogate pair, a byte that starts none the replacement character.
    std::u16string out(text.size(), u'\0');
    std::size_t n = 0;
    for (std::size_t i = 0; i < text.size();) {
        const auto b0 = static_cast<unsigned char>(text[i]);
        if (b0 < 0x80) {  // ASCII, most of what passes here (URLs, headers, names)
            out[n++] = static_cast<char16_t>(b0);
            ++i;
            continue;
        }
        char32_t cp = DecodeUtf8(text, i);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out[n++] = static_cast<char16_t>(0xD800 + (cp >> 10));
            out[n++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out[n++] = static_cast<char16_t>(cp);
        }
    }
    out.resize(n);
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = kReplacement;
        }
        AppendUtf8(out, cp);
    }
    return out;
}

bool IsValidUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        std::size_t start = i;
        if (DecodeUtf8(text, i) == kReplacement && text.substr(start, i - start) != "\xEF\xBF\xBD")
            return false;
    }
    return true;
}

namespace {

// One code unit upper-cased by the simple (one-to-one) mapping; surrogates stay as they are.
char16_t UpperUnit(char16_t c) {
    if (c < 0x80)
        return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
    if (c >= 0xD800 && c <= 0xDFFF)
        return c;
    const UChar32 upper = u_toupper(c);
    return upper <= 0xFFFF ? static_cast<char16_t>(upper) : c;
}

}  // namespace

std::u16string ToUpperSimple(std::u16string_view text) {
    std::u16string out(text);
    for (auto& c : out)
        c = UpperUnit(c);
    return out;
}

std::string ToUpperSimple(std::string_view text) {
    bool ascii = true;
    for (char c : text)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (!ascii)
        return Utf16ToUtf8(ToUpperSimple(Utf8ToUtf16(text)));
    std::string out(text);
    for (auto& c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 32);
    return out;
}

// As ToUpperSimple(a).compare(ToUpperSimple(b)), unit by unit without the copies: names
// are compared this way on every dispatch by name.
int CompareNoCase(std::u16string_view a, std::u16string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] == b[i])
            continue;
        const char16_t x = UpperUnit(a[i]), y = UpperUnit(b[i]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

int CompareNoCase(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        auto x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 0x80 || y >= 0x80)  // beyond ASCII, a letter may change its length
            return ToUpperSimple(a).compare(ToUpperSimple(b));
        x = x >= 'a' && x <= 'z' ? x - 32 : x;
        y = y >= 'a' && y <= 'z' ? y - 32 : y;
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() && CompareNoCase(a, b) == 0;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return CompareNoCase(a, b) == 0;
}
