// The parsed form of one HTTP request, and the sniff that tells whether bytes start one.
//
// `CHTTPRequest` is a pure function of bytes: it never touches a socket, a buffer object
// or the thread pool. Its two users hand it bytes and act on what it reports:
//
// - the relay sniffs the first bytes of a diverted connection (`SniffRequestLine`) and
//   parses requests in relay mode (local = false) up to the end of their headers, to get
//   the full URL that the site's scripts classify;
// - the local web server's connections parse in local mode (local = true) until the
//   request is complete, body included, and answer a failure with `ErrorStatus()`.
//
// Parsing is incremental: each call to `Parse` is given every byte received so far for
// this request, from the same first byte, and continues where the previous call
// stopped. When a request is complete, `RequestLength()` says how many of those bytes it
// used; the rest belong to the next request on the connection (pipelining) and are the
// caller's to keep.
//
// Malformed input fails with an HTTP-facility status whose code is the HTTP status to
// answer with (HTTP_E_STATUS_BAD_REQUEST is 400, and so on); `ErrorStatus()` gives the
// number. Every size is bounded (see `Limits`), so an endless request line or header
// section costs bounded memory and time and ends in its status.
//
// Classification (the relay's `PreClassify` and `Classify`, which run the site's
// scripts) and sending error pages through the local web server belong to the layers
// above; the parser only reports.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

#include "com/HResult.h"
#include "com/Types.h"
#include "com/Unknown.h"

// Statuses of the HTTP facility: the low 16 bits are the HTTP status code.
constexpr int FACILITY_HTTP = 25;
constexpr HRESULT HResultFromHTTPStatus(ULONG status) {
    return MakeHResult(0x80000000u | (static_cast<std::uint32_t>(FACILITY_HTTP) << 16) |
                       (status & 0xFFFFu));
}
constexpr HRESULT HTTP_E_STATUS_BAD_REQUEST = HResultFromHTTPStatus(400);
constexpr HRESULT HTTP_E_STATUS_REQUEST_TOO_LARGE = HResultFromHTTPStatus(413);
constexpr HRESULT HTTP_E_STATUS_URI_TOO_LONG = HResultFromHTTPStatus(414);
constexpr HRESULT HTTP_E_STATUS_HEADERS_TOO_LARGE = HResultFromHTTPStatus(431);
constexpr HRESULT HTTP_E_STATUS_SERVER_ERROR = HResultFromHTTPStatus(500);
constexpr HRESULT HTTP_E_STATUS_NOT_SUPPORTED = HResultFromHTTPStatus(501);

class CHTTPRequest {
public:
    // The request line's method token, compared case-sensitively.
    enum class Method : LONG {
        Other = 0,
        GET = 1,
        OPTIONS = 2,
        HEAD = 3,
        POST = 4,
        PUT = 5,
        DELETE = 6,
        TRACE = 7,
        CONNECT = 8,
        PROPFIND = 9,
        PROPPATCH = 10,
        MKCOL = 11,
        COPY = 12,
        MOVE = 13,
        LOCK = 14,
        UNLOCK = 15,
    };

    // The form of the request target.
    enum class URLForm : LONG {
        Unknown = 0,
        Asterisk = 1,      // "*" (OPTIONS *), HTTP/1.1 or later
        AbsoluteURI = 2,   // "http://host/path" (proxy style)
        AbsolutePath = 3,  // "/path?query" (the usual form)
        Authority = 4,     // "host:port" (CONNECT)
    };

    // Where the parse stands. The state only moves forward; Complete and Failed are
    // final, and a further call to `Parse` answers as the call that got there.
    enum class ParseState : LONG {
        Sniff = 0,
        RequestLine = 1,
        Headers = 2,
        HeadersComplete = 3,
        Body = 4,
        Complete = 5,
        Failed = 6,
    };

    // Bounds on what one request may cost. A request line longer than
    // `nMaxRequestLine` bytes fails with 414; a header line (with its continuation
    // lines) longer than `nMaxHeaderLine`, a header section longer than
    // `nMaxHeaderBytes` or with more than `nMaxHeaderLines` lines fails with 431; a
    // body longer than `nMaxBody` fails with 413.
    struct Limits {
        std::size_t nMaxRequestLine = 8192;
        std::size_t nMaxHeaderLine = 8192;
        std::size_t nMaxHeaderBytes = 65536;
        std::size_t nMaxHeaderLines = 100;
        std::size_t nMaxBody = 8 * 1024 * 1024;
    };

    // `ptrSession` is the process session on whose behalf the request is made (carried
    // for classification; the parser never calls it). `nLocalPort` is the local web
    // server's port, which names the server when no default host is given.
    CHTTPRequest(CComPtr<IUnknown> ptrSession, bool bLocal, USHORT nLocalPort = 0);

    void SetLimits(const Limits& limits) { m_limits = limits; }

    // Decides whether `data` starts with an HTTP request line. Returns true when more
    // bytes are needed to decide; *pbIsHTTP is true only for a complete request line
    // "TOKEN SP target SP HTTP/d*.d* CRLF" (TOKEN: 1 to 32 letters A-Z) or "GET SP
    // target CRLF". Decides as soon as the bytes allow: "get" is refused at its first
    // byte.
    static bool SniffRequestLine(std::string_view data, bool* pbIsHTTP);

    // Parses on from where the last call stopped. `data` is every byte received for
    // this request so far; `defaultHost` names the server when the request does not
    // (the relay passes the destination address); `endOfStream` says no more bytes will
    // come. On S_OK, *pbMoreRequired is true when the request is not complete yet; when
    // it is false the request is complete (local mode: body included; relay mode: the
    // headers, which is all the relay needs). A failure is final: *pbMoreRequired is
    // false and `ErrorStatus()` gives the status to answer with.
    HRESULT Parse(std::string_view data, std::string_view defaultHost, bool endOfStream,
                  bool* pbMoreRequired);

    // The HTTP status of a failed parse (400, 413, 414, 431, 501, or 500 for an
    // internal failure); 0 while the parse has not failed.
    ULONG ErrorStatus() const;
    HRESULT Result() const { return m_hrResult; }
    ParseState State() const { return m_nParseState; }

    bool IsLocal() const { return m_bLocal; }
    const CComPtr<IUnknown>& Session() const { return m_ptrSession; }
    Method GetMethod() const { return m_nMethod; }
    // The method token as sent.
    const std::string& GetMethodText() const { return m_strMethod; }
    // The request target exactly as sent.
    const std::string& GetURL() const { return m_strURL; }
    URLForm GetURLForm() const { return m_nURLForm; }
    ULONG GetMajorVersion() const { return m_nMajorVersion; }
    ULONG GetMinorVersion() const { return m_nMinorVersion; }
    // Looks a header up by its upper-cased name ("CONTENT-TYPE").
    bool GetHeader(std::string_view name, std::string* pValue) const;
    const std::unordered_map<std::string, std::string>& GetHeaders() const { return m_mapHeaders; }
    ULONG GetContentLength() const { return m_nContentLength; }
    // Offset of the body in the bytes given to `Parse`: the length of the request line
    // and headers, with the blank line that ends them.
    std::size_t GetBodyOffset() const { return m_nBodyOffset; }
    // Bytes of the data that this request used, body included (local mode) or up to
    // the end of the headers (relay mode). Anything after them is the next request.
    std::size_t RequestLength() const { return m_nRequestLength; }
    // The body (local mode, once complete).
    const std::string& GetBody() const { return m_strBody; }
    // The absolute URL of the request as the program understands it.
    const std::string& GetFullURL() const { return m_strFullURL; }
    // Path and query of the full URL, as sent (percent-encoding left alone). The
    // query is empty when there is none.
    const std::string& GetPath() const { return m_strPath; }
    const std::string& GetQuery() const { return m_strQuery; }

private:
    HRESULT ParseSniff(std::string_view data, bool endOfStream, bool* pbMore);
    HRESULT ParseRequestLine(std::string_view data, bool endOfStream, bool* pbMore);
    HRESULT ParseHeaders(std::string_view data, bool endOfStream, bool* pbMore);
    HRESULT CompleteHeaders(std::string_view defaultHost);
    HRESULT ValidateHost(const std::string& strHost);
    HRESULT CheckBodyHeaders();
    HRESULT ParseBody(std::string_view data, bool endOfStream, bool* pbMore);
    HRESULT StoreHeader(std::string_view line);
    HRESULT DetermineURLForm();
    HRESULT BuildFullURL(std::string_view defaultHost);
    HRESULT Incomplete(bool endOfStream, bool* pbMore);
    HRESULT Fail(HRESULT hr);

    // The session on whose behalf the request is made.
    CComPtr<IUnknown> m_ptrSession;
    ParseState m_nParseState;
    // Bytes consumed by the request line and the headers read so far.
    ULONG m_nParseOffset = 0;
    Method m_nMethod = Method::Other;
    std::string m_strMethod;
    std::string m_strURL;
    URLForm m_nURLForm = URLForm::Unknown;
    ULONG m_nMinorVersion = 0;
    ULONG m_nMajorVersion = 0;
    // Header names upper-cased, values trimmed.
    std::unordered_map<std::string, std::string> m_mapHeaders;
    ULONG m_nContentLength = 0;
    bool m_bLocal;
    std::string m_strFullURL;

    USHORT m_nLocalPort;
    Limits m_limits;
    HRESULT m_hrResult = S_OK;
    std::size_t m_nHeaderStart = 0;  // offset of the first header line
    std::size_t m_nHeaderLines = 0;
    std::size_t m_nBodyOffset = 0;
    std::size_t m_nRequestLength = 0;
    std::string m_strBody;
    std::string m_strPath;
    std::string m_strQuery;
};
