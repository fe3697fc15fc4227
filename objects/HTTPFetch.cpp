// HTTP GET on libcurl with the Server object's rules for what counts as a complete body.
#include "objects/HTTPFetch.h"

#include <curl/curl.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "com/DiagnosticLog.h"

namespace {

std::atomic<long> s_stallSeconds{60};

struct Transfer {
    CURL* pCurl = nullptr;
    const CHTTPFetch::Options* pOptions = nullptr;
    const CHTTPFetch::Sink* pSink = nullptr;
    CHTTPFetch::Result* pResult = nullptr;
    bool bChecked = false;  // the final response's status and length were looked at
    std::string strStatusLine;
};

bool StatusAcceptable(const CHTTPFetch::Options& options, long status) {
    return options.bOnly200 ? status == 200 : status >= 200 && status < 300;
}

// Decides, at the first piece of the final response's body or after a transfer without
// one, whether the response is one whose body is wanted.
bool CheckResponse(Transfer& t) {
    t.bChecked = true;
    CHTTPFetch::Result& r = *t.pResult;
    curl_easy_getinfo(t.pCurl, CURLINFO_RESPONSE_CODE, &r.lStatus);
    const char* pszType = nullptr;
    if (curl_easy_getinfo(t.pCurl, CURLINFO_CONTENT_TYPE, &pszType) == CURLE_OK && pszType)
        r.strContentType = pszType;
    if (!StatusAcceptable(*t.pOptions, r.lStatus)) {
        r.outcome = CHTTPFetch::Outcome::BadStatus;
        r.strMessage = t.strStatusLine;
        return false;
    }
    curl_off_t length = -1;
    if (curl_easy_getinfo(t.pCurl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK ||
        length < 0) {
        r.outcome = CHTTPFetch::Outcome::NoContentLength;
        return false;
    }
    r.cbContentLength = static_cast<std::uint64_t>(length);
    if (r.cbContentLength > t.pOptions->cbMaxBody) {
        r.outcome = CHTTPFetch::Outcome::TooLarge;
        return false;
    }
    return true;
}

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const std::size_t n = size * count;
    if (!t.bChecked && !CheckResponse(t))
        return 0;
    CHTTPFetch::Result& r = *t.pResult;
    if (r.cbReceived + n > r.cbContentLength) {
        r.outcome = CHTTPFetch::Outcome::TooLarge;
        return 0;
    }
    const HRESULT hr = (*t.pSink)(data, n);
    if (FAILED(hr)) {
        r.outcome = CHTTPFetch::Outcome::SinkFailed;
        r.hrSink = hr;
        return 0;
    }
    r.cbReceived += n;
    return n;
}

// Keeps the status line of the latest response (each redirect starts a new one).
std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const std::size_t n = size * count;
    std::string_view line(data, n);
    if (line.starts_with("HTTP/")) {
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
            line.remove_suffix(1);
        t.strStatusLine = line;
    }
    return n;
}

// Loopback never goes through a proxy, whatever the environment configures.
std::string NoProxyList() {
    std::string list = "localhost,127.0.0.0/8,::1";
    for (const char* name : {"no_proxy", "NO_PROXY"}) {
        if (const char* value = std::getenv(name); value && *value) {
            list += ',';
            list += value;
            break;
        }
    }
    return list;
}

}  // namespace

void CHTTPFetch::SetStallSeconds(long seconds) {
    s_stallSeconds = seconds;
}

HRESULT CHTTPFetch::Fetch(const std::string& url, const Options& options, const Sink& sink,
                          Result* pResult) {
    if (CheckExpression(!pResult || !sink))
        return E_POINTER;
    if (CheckExpression(url.find('\0') != std::string::npos))
        return E_INVALIDARG;
    try {
        static std::once_flag s_initOnce;
        std::call_once(s_initOnce, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

        *pResult = Result();
        std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(),
                                                                 &curl_easy_cleanup);
        if (CheckExpression(!curl))
            return E_OUTOFMEMORY;
        curl_slist* pHeaders = curl_slist_append(nullptr, "Pragma: no-cache");
        if (CheckExpression(!pHeaders))
            return E_OUTOFMEMORY;
        std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(pHeaders,
                                                                            &curl_slist_free_all);
        Transfer t;
        t.pCurl = curl.get();
        t.pOptions = &options;
        t.pSink = &sink;
        t.pResult = pResult;
        char szError[CURL_ERROR_SIZE] = {};
        const std::string strNoProxy = NoProxyList();
        CURL* c = curl.get();
        bool bSet = curl_easy_setopt(c, CURLOPT_URL, url.c_str()) == CURLE_OK;
        bSet = bSet && curl_easy_setopt(c, CURLOPT_USERAGENT, "Corvane2") == CURLE_OK;
        bSet = bSet && curl_easy_setopt(c, CURLOPT_HTTPHEADER, pHeaders) == CURLE_OK;
        bSet = bSet && curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
        bSet = bSet && curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK;
        bSet = bSet && curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK;
        bSet = bSet && curl_easy_setopt(c, CURLOPT_MAXREDIRS, 10L) == CURLE_OK;
        bSet = bSet && curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 30L) == CURLE_OK;
        bSet = bSet && curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK;
        bSet =
            bSet && curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, s_stallSeconds.load()) == CURLE_OK;
        bSet = bSet && curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
        bSet = bSet && curl_easy_setopt(c, CURLOPT_NOPROXY, strNoProxy.c_str()) == CURLE_OK;
        bSet = bSet && curl_easy_setopt(c, CURLOPT_ERRORBUFFER, szError) == CURLE_OK;
        bSet = bSet && curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &OnBody) == CURLE_OK;
        bSet = bSet && curl_easy_setopt(c, CURLOPT_WRITEDATA, &t) == CURLE_OK;
        bSet = bSet && curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &OnHeader) == CURLE_OK;
        bSet = bSet && curl_easy_setopt(c, CURLOPT_HEADERDATA, &t) == CURLE_OK;
        if (CheckExpression(!bSet))
            return E_OUTOFMEMORY;

        const CURLcode rc = curl_easy_perform(c);
        if (pResult->outcome != Outcome::Unreachable)
            return S_OK;  // a callback decided
        if (rc == CURLE_OK) {
            // A response without a body never reached the body callback.
            if ((t.bChecked || CheckResponse(t)) && pResult->cbReceived == pResult->cbContentLength)
                pResult->outcome = Outcome::Complete;
            else if (pResult->outcome == Outcome::Unreachable)
                pResult->outcome = Outcome::Short;
            return S_OK;
        }
        if (rc == CURLE_OUT_OF_MEMORY)
            return E_OUTOFMEMORY;
        if (rc == CURLE_PARTIAL_FILE && (t.bChecked || CheckResponse(t))) {
            pResult->outcome = Outcome::Short;
            return S_OK;
        }
        if (pResult->outcome != Outcome::Unreachable)
            return S_OK;
        pResult->outcome = Outcome::Unreachable;
        pResult->strMessage = *szError ? szError : curl_easy_strerror(rc);
        return S_OK;
    } catch (...) {
        return ReportException("CHTTPFetch::Fetch", CV_HERE);
    }
}
