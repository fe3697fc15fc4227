// The code page table and conversions through ICU converters.
#include "com/CodePage.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ucnv_err.h>

#include <memory>

#include "com/DiagnosticLog.h"
#include "com/Strings.h"

namespace {

constexpr CodePageEntry kCodePages[] = {
    {65001, "UTF-8", "utf-8"},
    {1200, "UTF-16LE", "utf-16le"},
    {1201, "UTF-16BE", "utf-16be"},
    {20127, "US-ASCII", "us-ascii"},
    {28591, "ISO-8859-1", "iso-8859-1"},
    {28592, "ISO-8859-2", "iso-8859-2"},
    {28593, "ISO-8859-3", "iso-8859-3"},
    {28594, "ISO-8859-4", "iso-8859-4"},
    {28595, "ISO-8859-5", "iso-8859-5"},
    {28596, "ISO-8859-6", "iso-8859-6"},
    {28597, "ISO-8859-7", "iso-8859-7"},
    {28598, "ISO-8859-8", "iso-8859-8"},
    {38598, "ISO-8859-8-I", "iso-8859-8-i"},
    {28599, "ISO-8859-9", "iso-8859-9"},
    {28603, "ISO-8859-13", "iso-8859-13"},
    {28605, "ISO-8859-15", "iso-8859-15"},
    {874, "windows-874", "windows-874"},
    {1250, "windows-1250", "windows-1250"},
    {1251, "windows-1251", "windows-1251"},
    {1252, "windows-1252", "windows-1252"},
    {1253, "windows-1253", "windows-1253"},
    {1254, "windows-1254", "windows-1254"},
    {1255, "windows-1255", "windows-1255"},
    {1256, "windows-1256", "windows-1256"},
    {1257, "windows-1257", "windows-1257"},
    {1258, "windows-1258", "windows-1258"},
    {866, "IBM866", "ibm866"},
    {20866, "KOI8-R", "koi8-r"},
    {21866, "KOI8-U", "koi8-u"},
    {10000, "macintosh", "macintosh"},
    {932, "Shift_JIS", "shift_jis"},
    {51932, "EUC-JP", "euc-jp"},
    {50220, "ISO-2022-JP", "iso-2022-jp"},
    {936, "GBK", "gbk"},
    {54936, "GB18030", "gb18030"},
    {949, "windows-949", "euc-kr"},
    {950, "Big5", "big5"},
};

struct ConverterCloser {
    void operator()(UConverter* c) const { ucnv_close(c); }
};
using ConverterPtr = std::unique_ptr<UConverter, ConverterCloser>;

// To-Unicode callback: every bad byte sequence becomes U+FFFD (ICU's own substitute
// would give U+001A in some single-byte code pages).
void ReplacementToUnicode(const void*, UConverterToUnicodeArgs* args, const char*, int32_t,
                          UConverterCallbackReason reason, UErrorCode* status) {
    if (reason > UCNV_IRREGULAR)
        return;
    static const UChar kReplacement[] = {0xFFFD};
    *status = U_ZERO_ERROR;
    ucnv_cbToUWriteUChars(args, kReplacement, 1, 0, status);
}

ConverterPtr OpenConverter(const CodePageEntry& entry) {
    UErrorCode status = U_ZERO_ERROR;
    ConverterPtr conv(ucnv_open(entry.icuName, &status));
    if (CheckExpression(U_FAILURE(status) || !conv))
        return nullptr;
    ucnv_setToUCallBack(conv.get(), ReplacementToUnicode, nullptr, nullptr, nullptr, &status);
    status = U_ZERO_ERROR;
    ucnv_setSubstChars(conv.get(), "?", 1, &status);
    return conv;
}

}  // namespace

std::span<const CodePageEntry> CodePageTable() {
    return kCodePages;
}

const CodePageEntry* FindCodePage(UINT codePage) {
    if (codePage == CP_ACP)
        codePage = CP_UTF8;
    for (const auto& e : kCodePages)
        if (e.codePage == codePage)
            return &e;
    return nullptr;
}

const CodePageEntry* FindCodePageByLabel(std::string_view label) {
    std::size_t b = label.find_first_not_of(" \t");
    if (b == std::string_view::npos)
        return nullptr;
    label = label.substr(b, label.find_last_not_of(" \t") - b + 1);
    for (const auto& e : kCodePages)
        if (EqualsNoCase(label, e.webLabel) || EqualsNoCase(label, e.icuName))
            return &e;
    return nullptr;
}

bool IsValidCodePage(UINT codePage) {
    return codePage != CP_ACP && FindCodePage(codePage);
}

UINT GetACP() {
    return CP_UTF8;
}

HRESULT MultiByteToUnicode(UINT codePage, std::string_view bytes, std::u16string* out) {
    if (CheckExpression(!out))
        return E_POINTER;
    const CodePageEntry* entry = FindCodePage(codePage);
    if (CheckExpression(!entry))
        return E_INVALIDARG;
    try {
        if (entry->codePage == CP_UTF8) {
            *out = Utf8ToUtf16(bytes);
            return S_OK;
        }
        ConverterPtr conv = OpenConverter(*entry);
        if (!conv)
            return E_FAIL;
        out->assign(bytes.size() * 2 + 4, u'\0');
        UErrorCode status = U_ZERO_ERROR;
        int32_t n = ucnv_toUChars(conv.get(), reinterpret_cast<UChar*>(out->data()),
                                  static_cast<int32_t>(out->size()), bytes.data(),
                                  static_cast<int32_t>(bytes.size()), &status);
        if (CheckExpression(U_FAILURE(status)))
            return E_FAIL;
        out->resize(n);
        return S_OK;
    } catch (...) {
        return ReportException("MultiByteToUnicode", CV_HERE);
    }
}

HRESULT UnicodeToMultiByte(UINT codePage, std::u16string_view text, std::string* out) {
    if (CheckExpression(!out))
        return E_POINTER;
    const CodePageEntry* entry = FindCodePage(codePage);
    if (CheckExpression(!entry))
        return E_INVALIDARG;
    try {
        if (entry->codePage == CP_UTF8) {
            *out = Utf16ToUtf8(text);
            return S_OK;
        }
        ConverterPtr conv = OpenConverter(*entry);
        if (!conv)
            return E_FAIL;
        out->assign(text.size() * 8 + 16, '\0');
        UErrorCode status = U_ZERO_ERROR;
        int32_t n = ucnv_fromUChars(conv.get(), out->data(), static_cast<int32_t>(out->size()),
                                    reinterpret_cast<const UChar*>(text.data()),
                                    static_cast<int32_t>(text.size()), &status);
        if (CheckExpression(U_FAILURE(status)))
            return E_FAIL;
        out->resize(n);
        return S_OK;
    } catch (...) {
        return ReportException("UnicodeToMultiByte", CV_HERE);
    }
}
