// URL and HTML encoding and the MD5 digest for the Server object.
#include "objects/TextEncoder.h"

#include <openssl/evp.h>

#include <cstdio>

#include "com/DiagnosticLog.h"
#include "com/Strings.h"

namespace {

bool IsUrlSafe(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
        case '!':
        case '\'':
        case '(':
        case ')':
        case '*':
        case '-':
        case '.':
        case '/':
        case ':':
        case '_':
        case '~':
            return true;
        default:
            return false;
    }
}

void AppendAscii(std::u16string& out, const char* text) {
    for (; *text; ++text)
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*text)));
}

}  // namespace

std::u16string CTextEncoder::URLEncode(std::u16string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    const std::string bytes = Utf16ToUtf8(text);
    std::u16string out;
    out.reserve(bytes.size() * 3);
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (IsUrlSafe(c)) {
            out.push_back(c);
        } else if (c == ' ') {
            out.push_back(u'+');
        } else {
            out.push_back(u'%');
            out.push_back(static_cast<char16_t>(kHex[c >> 4]));
            out.push_back(static_cast<char16_t>(kHex[c & 0xF]));
        }
    }
    return out;
}

std::u16string CTextEncoder::HTMLEncode(std::u16string_view text) {
    std::u16string out;
    out.reserve(text.size());
    char entity[16];
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c == u'&') {
            out += u"&amp;";
        } else if (c == u'<') {
            out += u"&lt;";
        } else if (c == u'>') {
            out += u"&gt;";
        } else if (c >= 0x20 && c <= 0x7E) {
            out.push_back(c);
        } else if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                   text[i + 1] <= 0xDFFF) {
            const unsigned long cp =
                0x10000 + ((static_cast<unsigned long>(c) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            std::snprintf(entity, sizeof entity, "&#x%06lX;", cp);
            AppendAscii(out, entity);
            ++i;
        } else {
            std::snprintf(entity, sizeof entity, "&#x%04X;", static_cast<unsigned>(c));
            AppendAscii(out, entity);
        }
    }
    return out;
}

HRESULT CTextEncoder::MD5Hex(std::string_view bytes, std::string* pHex) {
    if (CheckExpression(!pHex))
        return E_POINTER;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int cbDigest = 0;
    if (CheckExpression(
            EVP_Digest(bytes.data(), bytes.size(), digest, &cbDigest, EVP_md5(), nullptr) != 1 ||
            cbDigest != 16))
        return E_FAIL;
    static constexpr char kHex[] = "0123456789abcdef";
    pHex->clear();
    pHex->reserve(32);
    for (unsigned int i = 0; i < cbDigest; ++i) {
        pHex->push_back(kHex[digest[i] >> 4]);
        pHex->push_back(kHex[digest[i] & 0xF]);
    }
    return S_OK;
}
