// Splits URLs into their parts with libcurl's URL parser (see URLCracker.h).
#include "http/URLCracker.h"

#include <curl/curl.h>

#include <array>
#include <memory>
#include <string>

#include "com/DiagnosticLog.h"

namespace {

struct UrlHandleDeleter {
    void operator()(CURLU* h) const { curl_url_cleanup(h); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlHandleDeleter>;

// Reads one part; an absent part leaves `out` empty and gives false.
bool GetPart(CURLU* h, CURLUPart part, std::string* out, CURLUcode* pOom) {
    char* text = nullptr;
    const CURLUcode rc = curl_url_get(h, part, &text, 0);
    if (rc == CURLUE_OUT_OF_MEMORY)
        *pOom = rc;
    if (rc != CURLUE_OK || !text) {
        out->clear();
        return false;
    }
    out->assign(text);
    curl_free(text);
    return true;
}

}  // namespace

HRESULT CURLCracker::Crack(std::string_view url, Parts* pParts) {
    if (CheckExpression(!pParts))
        return E_POINTER;
    try {
        *pParts = Parts{};
        // The parser reads a C string: an embedded NUL would cut the URL short and
        // crack something other than what was sent.
        if (url.find('\0') != std::string_view::npos)
            return S_FALSE;
        UrlHandle h(curl_url());
        if (CheckExpression(!h))
            return E_OUTOFMEMORY;
        const std::string text(url);
        // Dot segments stay as sent; nothing is encoded or decoded.
        const CURLUcode rc = curl_url_set(h.get(), CURLUPART_URL, text.c_str(), CURLU_PATH_AS_IS);
        if (rc == CURLUE_OUT_OF_MEMORY) {
            CheckExpression(rc == CURLUE_OUT_OF_MEMORY);
            return E_OUTOFMEMORY;
        }
        if (rc != CURLUE_OK)
            return S_FALSE;

        CURLUcode oom = CURLUE_OK;
        std::string unused;
        GetPart(h.get(), CURLUPART_SCHEME, &pParts->strScheme, &oom);
        const bool bHost = GetPart(h.get(), CURLUPART_HOST, &pParts->strHost, &oom);
        GetPart(h.get(), CURLUPART_PORT, &pParts->strPort, &oom);
        GetPart(h.get(), CURLUPART_PATH, &pParts->strPath, &oom);
        pParts->bHasQuery = GetPart(h.get(), CURLUPART_QUERY, &pParts->strQuery, &oom);
        pParts->bHasUserInfo = GetPart(h.get(), CURLUPART_USER, &unused, &oom) ||
                               GetPart(h.get(), CURLUPART_PASSWORD, &unused, &oom) ||
                               GetPart(h.get(), CURLUPART_OPTIONS, &unused, &oom);
        pParts->bHasFragment = GetPart(h.get(), CURLUPART_FRAGMENT, &unused, &oom);
        if (CheckExpression(oom == CURLUE_OUT_OF_MEMORY))
            return E_OUTOFMEMORY;
        if (!bHost || pParts->strHost.empty())
            return S_FALSE;
        if (pParts->strPath.empty())
            pParts->strPath = "/";
        return S_OK;
    } catch (...) {
        return ReportException("CURLCracker::Crack", CV_HERE);
    }
}

namespace {

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Characters that the parser keeps as they are in a path or a query: letters, digits,
// the unreserved and sub-delimiter marks, ':', '@', '/' and '?' (the query's first one
// ends the path), and '%' that starts an escape. Everything else, '#' and anything it
// might reject or treat specially, is left to the parser.
bool IsPlainTargetChar(unsigned char c) {
    static constexpr auto kPlain = [] {
        std::array<bool, 256> table{};
        for (unsigned char ch : std::string_view("abcdefghijklmnopqrstuvwxyz"
                                                 "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                                                 "-._~!$&'()*+,;=:@/?"))
            table[ch] = true;
        return table;
    }();
    return kPlain[c];
}

// Whether the path has a "." or ".." segment, which the parser may treat apart.
bool HasDotSegment(std::string_view path) {
    for (std::size_t start = 0; start < path.size();) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        const std::string_view segment = path.substr(start, end - start);
        if (segment == "." || segment == "..")
            return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

HRESULT CURLCracker::CrackOriginForm(std::string_view target, Parts* pParts) {
    if (CheckExpression(!pParts))
        return E_POINTER;
    try {
        bool plain = target.starts_with('/') && !target.ends_with('?');
        for (std::size_t i = 0; plain && i < target.size(); ++i) {
            const char c = target[i];
            if (c == '%')
                plain =
                    i + 2 < target.size() && IsHexDigit(target[i + 1]) && IsHexDigit(target[i + 2]);
            else
                plain = IsPlainTargetChar(static_cast<unsigned char>(c));
        }
        const std::size_t question = target.find('?');
        const std::string_view path = target.substr(0, question);
        if (!plain || HasDotSegment(path)) {
            // Names the server in the URL built to crack the target; never shown.
            static constexpr std::string_view kOrigin = "http://corvane.invalid";
            std::string url;
            url.reserve(kOrigin.size() + target.size());
            url.append(kOrigin).append(target);
            const HRESULT hr = Crack(url, pParts);
            pParts->strScheme.clear();
            pParts->strHost.clear();
            pParts->strPort.clear();
            return hr;
        }
        *pParts = Parts{};
        pParts->strPath.assign(path);
        if (question != std::string_view::npos) {
            pParts->bHasQuery = true;
            pParts->strQuery.assign(target.substr(question + 1));
        }
        return S_OK;
    } catch (...) {
        return ReportException("CURLCracker::CrackOriginForm", CV_HERE);
    }
}
