// Splits URLs into their parts with libcurl's URL parser (see URLCracker.h).
#include "http/URLCracker.h"

#include <curl/curl.h>

#include <memory>

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
