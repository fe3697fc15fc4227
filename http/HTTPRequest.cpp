// Parses HTTP requests incrementally from the bytes received so far (see HTTPRequest.h).
//
// The parse runs as a chain of states, each of which falls through to the next within
// one call: sniff (local connections only), request line, headers, headers complete,
// body. A line ends at CR LF; a bare CR, a bare LF or a NUL inside the request line or
// a header line is refused, so a value that reaches a script can never carry a line
// break. Searches for a line's end never look further than that line may be long,
// which keeps each call's cost and the request's memory bounded.
#include "http/HTTPRequest.h"

#include <algorithm>
#include <array>
#include <utility>

#include "com/DiagnosticLog.h"
#include "http/URLCracker.h"

namespace {

// A method token longer than this is not HTTP.
constexpr std::size_t kMaxMethodToken = 32;

constexpr std::array<std::pair<std::string_view, CHTTPRequest::Method>, 15> kMethods = {{
    {"GET", CHTTPRequest::Method::GET},
    {"OPTIONS", CHTTPRequest::Method::OPTIONS},
    {"HEAD", CHTTPRequest::Method::HEAD},
    {"POST", CHTTPRequest::Method::POST},
    {"PUT", CHTTPRequest::Method::PUT},
    {"DELETE", CHTTPRequest::Method::DELETE},
    {"TRACE", CHTTPRequest::Method::TRACE},
    {"CONNECT", CHTTPRequest::Method::CONNECT},
    {"PROPFIND", CHTTPRequest::Method::PROPFIND},
    {"PROPPATCH", CHTTPRequest::Method::PROPPATCH},
    {"MKCOL", CHTTPRequest::Method::MKCOL},
    {"COPY", CHTTPRequest::Method::COPY},
    {"MOVE", CHTTPRequest::Method::MOVE},
    {"LOCK", CHTTPRequest::Method::LOCK},
    {"UNLOCK", CHTTPRequest::Method::UNLOCK},
}};

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Header names are ASCII; other bytes are left as they are.
std::string ToUpperAscii(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
}

std::string_view TrimWhitespace(std::string_view text) {
    const auto isSpace = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

// Reads an unsigned decimal number at the start of `text` into *pValue and drops it
// from `text`. False when there are no digits or the number does not fit 32 bits.
bool ReadDecimal(std::string_view* pText, ULONG* pValue) {
    std::uint64_t value = 0;
    std::size_t i = 0;
    for (; i < pText->size() && IsDigit((*pText)[i]); ++i) {
        value = value * 10 + static_cast<unsigned>((*pText)[i] - '0');
        if (value > 0xFFFFFFFFu)
            return false;
    }
    if (i == 0)
        return false;
    *pValue = static_cast<ULONG>(value);
    pText->remove_prefix(i);
    return true;
}

// True when a request or header line holds a byte that must never appear inside one.
bool HasForbiddenByte(std::string_view line) {
    return line.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos;
}

// Where the line starting at `from` ends.
enum class LineEnd { Found, Incomplete, TooLong, BareLF };

// Finds the LF of the CR LF that ends the line at `from`, looking at no more than
// `maxLength` bytes of line plus its CR LF.
LineEnd FindLineEnd(std::string_view data, std::size_t from, std::size_t maxLength,
                    std::size_t* pLF) {
    const std::size_t window = std::min(data.size() - from, maxLength + 2);
    const std::size_t lf = data.substr(from, window).find('\n');
    if (lf == std::string_view::npos)
        return data.size() - from >= maxLength + 2 ? LineEnd::TooLong : LineEnd::Incomplete;
    if (lf == 0 || data[from + lf - 1] != '\r')
        return LineEnd::BareLF;
    *pLF = from + lf;
    return LineEnd::Found;
}

}  // namespace

CHTTPRequest::CHTTPRequest(CComPtr<IUnknown> ptrSession, bool bLocal, USHORT nLocalPort)
    : m_ptrSession(std::move(ptrSession)),
      m_nParseState(bLocal ? ParseState::Sniff : ParseState::RequestLine),
      m_bLocal(bLocal),
      m_nLocalPort(nLocalPort) {}

bool CHTTPRequest::SniffRequestLine(std::string_view data, bool* pbIsHTTP) {
    if (CheckExpression(!pbIsHTTP))
        return false;
    *pbIsHTTP = false;
    const std::size_t n = data.size();

    // The method: 1 to 32 upper-case letters, then a space.
    std::size_t i = 0;
    for (; i < n && data[i] != ' '; ++i) {
        if (data[i] < 'A' || data[i] > 'Z')
            return false;
        if (i + 1 > kMaxMethodToken)
            return false;
    }
    if (i == n)
        return true;
    if (i == 0)
        return false;

    // The request target runs to the next space or to the CR LF of a line with no
    // version; it is never empty.
    std::size_t t = i + 1;
    for (; t < n; ++t) {
        if (data[t] == ' ' || (data[t] == '\n' && data[t - 1] == '\r'))
            break;
    }
    if (t == n)
        return true;
    if (data[t] == '\n') {
        // A request line without a version is HTTP/0.9, which only knows GET.
        if (t - 1 > i + 1)
            *pbIsHTTP = data.starts_with("GET ");
        return false;
    }
    if (t == i + 1)
        return false;

    // " HTTP/", digits, '.', digits, CR LF. Digit counts are not limited.
    constexpr std::string_view kVersion = " HTTP/";
    std::size_t v = t;
    for (char expected : kVersion) {
        if (v == n)
            return true;
        if (data[v++] != expected)
            return false;
    }
    while (v < n && IsDigit(data[v]))
        ++v;
    if (v == n)
        return true;
    if (data[v++] != '.')
        return false;
    while (v < n && IsDigit(data[v]))
        ++v;
    if (v == n)
        return true;
    if (data[v++] != '\r')
        return false;
    if (v == n)
        return true;
    *pbIsHTTP = data[v] == '\n';
    return false;
}

HRESULT CHTTPRequest::Parse(std::string_view data, std::string_view defaultHost, bool endOfStream,
                            bool* pbMoreRequired) {
    if (CheckExpression(!pbMoreRequired))
        return E_POINTER;
    *pbMoreRequired = false;
    try {
        if (m_nParseState == ParseState::Complete)
            return S_OK;
        if (m_nParseState == ParseState::Failed)
            return m_hrResult;
        // Every call sees all bytes of the request from its first one on.
        if (CheckExpression(data.size() < m_nParseOffset))
            return Fail(E_INVALIDARG);
        for (;;) {
            HRESULT hr = S_OK;
            switch (m_nParseState) {
                case ParseState::Sniff:
                    hr = ParseSniff(data, endOfStream, pbMoreRequired);
                    break;
                case ParseState::RequestLine:
                    hr = ParseRequestLine(data, endOfStream, pbMoreRequired);
                    break;
                case ParseState::Headers:
                    hr = ParseHeaders(data, endOfStream, pbMoreRequired);
                    break;
                case ParseState::HeadersComplete:
                    hr = CompleteHeaders(defaultHost);
                    break;
                case ParseState::Body:
                    hr = ParseBody(data, endOfStream, pbMoreRequired);
                    break;
                case ParseState::Complete:
                    return S_OK;
                default:
                    CheckExpression(m_nParseState != ParseState::Complete);
                    return Fail(E_UNEXPECTED);
            }
            if (FAILED(hr) || *pbMoreRequired)
                return hr;
        }
    } catch (...) {
        *pbMoreRequired = false;
        return Fail(ReportException("CHTTPRequest::Parse", CV_HERE));
    }
}

ULONG CHTTPRequest::ErrorStatus() const {
    if (m_nParseState != ParseState::Failed)
        return 0;
    if (HRESULT_FACILITY(m_hrResult) == FACILITY_HTTP)
        return static_cast<ULONG>(HRESULT_CODE(m_hrResult));
    return 500;
}

bool CHTTPRequest::GetHeader(std::string_view name, std::string* pValue) const {
    if (CheckExpression(!pValue))
        return false;
    const auto it = m_mapHeaders.find(std::string(name));
    if (it == m_mapHeaders.end()) {
        pValue->clear();
        return false;
    }
    *pValue = it->second;
    return true;
}

HRESULT CHTTPRequest::Incomplete(bool endOfStream, bool* pbMore) {
    if (CheckExpression(endOfStream))
        return Fail(HTTP_E_STATUS_BAD_REQUEST);
    *pbMore = true;
    return S_OK;
}

HRESULT CHTTPRequest::Fail(HRESULT hr) {
    m_hrResult = hr;
    m_nParseState = ParseState::Failed;
    return hr;
}

HRESULT CHTTPRequest::ParseSniff(std::string_view data, bool endOfStream, bool* pbMore) {
    // Empty lines before a request line are skipped (some clients send a CR LF after a
    // request body); they count as part of this request.
    std::size_t start = m_nParseOffset;
    while (data.size() - start >= 2 && data[start] == '\r' && data[start + 1] == '\n') {
        start += 2;
        if (CheckExpression(start > m_limits.nMaxRequestLine))
            return Fail(HTTP_E_STATUS_BAD_REQUEST);
    }
    m_nParseOffset = static_cast<ULONG>(start);
    if (data.size() - start == 1 && data[start] == '\r')
        return Incomplete(endOfStream, pbMore);

    const std::string_view window = data.substr(start, m_limits.nMaxRequestLine + 2);
    bool bIsHTTP = false;
    if (SniffRequestLine(window, &bIsHTTP)) {
        if (CheckExpression(window.size() < data.size() - start))
            return Fail(HTTP_E_STATUS_URI_TOO_LONG);
        return Incomplete(endOfStream, pbMore);
    }
    if (CheckExpression(!bIsHTTP))
        return Fail(HTTP_E_STATUS_BAD_REQUEST);
    m_nParseState = ParseState::RequestLine;
    return S_OK;
}

HRESULT CHTTPRequest::ParseRequestLine(std::string_view data, bool endOfStream, bool* pbMore) {
    const std::size_t start = m_nParseOffset;
    std::size_t lf = 0;
    const LineEnd end = FindLineEnd(data, start, m_limits.nMaxRequestLine, &lf);
    if (end == LineEnd::Incomplete)
        return Incomplete(endOfStream, pbMore);
    if (CheckExpression(end == LineEnd::TooLong))
        return Fail(HTTP_E_STATUS_URI_TOO_LONG);
    if (CheckExpression(end == LineEnd::BareLF))
        return Fail(HTTP_E_STATUS_BAD_REQUEST);
    const std::string_view line = data.substr(start, lf - 1 - start);
    if (CheckExpression(HasForbiddenByte(line)))
        return Fail(HTTP_E_STATUS_BAD_REQUEST);

    const std::size_t space = line.find(' ');
    if (CheckExpression(space == std::string_view::npos || space == 0))
        return Fail(HTTP_E_STATUS_BAD_REQUEST);
    m_strMethod.assign(line.substr(0, space));
    m_nMethod = Method::Other;
    for (const auto& [token, method] : kMethods) {
        if (token == m_strMethod)
            m_nMethod = method;
    }

    const std::size_t second = line.find(' ', space + 1);
    if (second == std::string_view::npos) {
        m_strURL.assign(line.substr(space + 1));
        m_nMajorVersion = 0;
        m_nMinorVersion = 9;
    } else {
        m_strURL.assign(line.substr(space + 1, second - space - 1));
        // " HTTP/major.minor"; a part that does not read keeps its value (0).
        std::string_view version = TrimWhitespace(line.substr(second));
        if (version.starts_with("HTTP/")) {
            version.remove_prefix(5);
            if (ReadDecimal(&version, &m_nMajorVersion) && version.starts_with('.')) {
                version.remove_prefix(1);
                ReadDecimal(&version, &m_nMinorVersion);
            }
        }
    }
    if (CheckExpression(m_strURL.empty()))
        return Fail(HTTP_E_STATUS_BAD_REQUEST);

    m_nParseOffset = static_cast<ULONG>(lf + 1);
    m_nHeaderStart = m_nParseOffset;
    m_nParseState = ParseState::Headers;
    return S_OK;
}

HRESULT CHTTPRequest::ParseHeaders(std::string_view data, bool endOfStream, bool* pbMore) {
    const std::size_t sectionEnd = m_nHeaderStart + m_limits.nMaxHeaderBytes;
    for (;;) {
        const std::size_t pos = m_nParseOffset;
        if (CheckExpression(pos > sectionEnd))
            return Fail(HTTP_E_STATUS_HEADERS_TOO_LARGE);
        // The furthest a logical line may reach, its last CR LF excepted.
        const std::size_t lineLimit = pos + std::min(m_limits.nMaxHeaderLine, sectionEnd - pos);

        std::size_t lf = 0;
        LineEnd end = FindLineEnd(data, pos, lineLimit - pos, &lf);
        if (end == LineEnd::Found && lf == pos + 1) {
            // The empty line that ends the headers.
            m_nParseOffset = static_cast<ULONG>(lf + 1);
            m_nParseState = ParseState::HeadersComplete;
            return S_OK;
        }

        // One logical line: the line and its continuation lines, each of which begins
        // with a space or a tab and joins with that whitespace kept.
        std::string line;
        std::size_t from = pos;
        for (;;) {
            if (end == LineEnd::Incomplete)
                return Incomplete(endOfStream, pbMore);
            if (CheckExpression(end == LineEnd::TooLong))
                return Fail(HTTP_E_STATUS_HEADERS_TOO_LARGE);
            if (CheckExpression(end == LineEnd::BareLF))
                return Fail(HTTP_E_STATUS_BAD_REQUEST);
            const std::string_view piece = data.substr(from, lf - 1 - from);
            if (CheckExpression(HasForbiddenByte(piece)))
                return Fail(HTTP_E_STATUS_BAD_REQUEST);
            line.append(piece);
            from = lf + 1;
            // The next byte decides whether the line goes on.
            if (from == data.size())
                return Incomplete(endOfStream, pbMore);
            if (data[from] != ' ' && data[from] != '\t')
                break;
            end = from > lineLimit ? LineEnd::TooLong
                                   : FindLineEnd(data, from, lineLimit - from, &lf);
        }

        if (CheckExpression(++m_nHeaderLines > m_limits.nMaxHeaderLines))
            return Fail(HTTP_E_STATUS_HEADERS_TOO_LARGE);
        HRESULT hr = StoreHeader(line);
        if (FAILED(hr))
            return Fail(hr);
        m_nParseOffset = static_cast<ULONG>(from);
    }
}

HRESULT CHTTPRequest::StoreHeader(std::string_view line) {
    // The name is everything before the first colon from the second byte on, spaces
    // included; a line without one is not a header and is skipped.
    const std::size_t colon = line.find(':', 1);
    if (colon == std::string_view::npos)
        return S_OK;
    std::string name = ToUpperAscii(line.substr(0, colon));
    const std::string_view value = TrimWhitespace(line.substr(colon + 1));

    const auto it = m_mapHeaders.find(name);
    if (it != m_mapHeaders.end()) {
        // Two hosts, or two lengths that disagree, leave it open which one the server
        // behind us would believe: the request is refused rather than guessed at.
        if (CheckExpression(name == "HOST"))
            return HTTP_E_STATUS_BAD_REQUEST;
        if (CheckExpression(name == "CONTENT-LENGTH" && it->second != value))
            return HTTP_E_STATUS_BAD_REQUEST;
        it->second.assign(value);
        return S_OK;
    }
    m_mapHeaders.emplace(std::move(name), std::string(value));
    return S_OK;
}

HRESULT CHTTPRequest::CompleteHeaders(std::string_view defaultHost) {
    HRESULT hr = DetermineURLForm();
    if (SUCCEEDED(hr))
        hr = BuildFullURL(defaultHost);
    if (FAILED(hr))
        return Fail(hr);

    m_nBodyOffset = m_nParseOffset;
    m_nRequestLength = m_nParseOffset;
    m_nContentLength = 0;
    // The relay needs nothing beyond the headers.
    if (!m_bLocal) {
        m_nParseState = ParseState::Complete;
        return S_OK;
    }
    hr = CheckBodyHeaders();
    if (FAILED(hr))
        return Fail(hr);
    m_nParseState = ParseState::Body;
    return S_OK;
}

HRESULT CHTTPRequest::DetermineURLForm() {
    const bool bHTTP11 = m_nMajorVersion > 1 || (m_nMajorVersion == 1 && m_nMinorVersion >= 1);
    m_nURLForm = URLForm::Unknown;
    if (bHTTP11 && m_strURL == "*") {
        m_nURLForm = URLForm::Asterisk;
        return S_OK;
    }

    CURLCracker::Parts parts;
    // A target that starts with '/' has no scheme: no need to ask the cracker.
    HRESULT hr = m_strURL.starts_with('/') ? S_FALSE : CURLCracker::Crack(m_strURL, &parts);
    if (FAILED(hr))
        return CheckResultValue(hr);
    // "http:/host" cracks too, but only "scheme://" is an absolute request target.
    if (hr == S_OK && ToUpperAscii(m_strURL).starts_with(ToUpperAscii(parts.strScheme + "://"))) {
        // Credentials in a request target are refused: "http://allowed@blocked/"
        // reads as one host and goes to another.
        if (CheckExpression(parts.bHasUserInfo))
            return HTTP_E_STATUS_BAD_REQUEST;
        m_nURLForm = URLForm::AbsoluteURI;
        return S_OK;
    }

    // HTTP/0.9 has no other form: its path names the page as much as a later one's.
    const bool bHTTP09 = m_nMajorVersion == 0 && m_nMinorVersion == 9;
    if ((m_nMajorVersion >= 1 || bHTTP09) && m_strURL.starts_with('/')) {
        hr = CURLCracker::CrackOriginForm(m_strURL, &parts);
        if (FAILED(hr))
            return CheckResultValue(hr);
        if (hr == S_OK) {
            // The full URL puts the target after a host checked on its own: its path and
            // query are these.
            m_nURLForm = URLForm::AbsolutePath;
            m_strPath = std::move(parts.strPath);
            m_strQuery = std::move(parts.strQuery);
        }
        return S_OK;
    }

    // "host:port", and only for CONNECT: any other method with a bare host name names
    // a path on the server, not a server.
    if (m_nMajorVersion >= 1 && m_nMethod == Method::CONNECT &&
        m_strURL.find_first_of("/?#@\\") == std::string::npos) {
        hr = CURLCracker::Crack("http://" + m_strURL + "/", &parts);
        if (FAILED(hr))
            return CheckResultValue(hr);
        if (hr == S_OK && !parts.strPort.empty())
            m_nURLForm = URLForm::Authority;
    }
    return S_OK;
}

HRESULT CHTTPRequest::ValidateHost(const std::string& strHost) {
    // The answer depends on the text alone, and connections (a page's too) name a few
    // hosts many times over: the last hosts this thread found valid need no second look.
    constexpr std::size_t kRemembered = 8;
    thread_local std::array<std::string, kRemembered> t_valid;
    thread_local std::size_t t_next = 0;
    for (const std::string& known : t_valid)
        if (!known.empty() && strHost == known)
            return S_OK;
    // uri-host [":" port]: registered names, IPv4 and bracketed IPv6 literals. Anything
    // that could end the authority early ('@', '/', '?', '#') is refused, so the full
    // URL's host is the one the client sent.
    constexpr std::string_view kAllowed =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._~!$&'()*+,;=%:[]";
    if (CheckExpression(strHost.find_first_not_of(kAllowed) != std::string::npos))
        return HTTP_E_STATUS_BAD_REQUEST;
    CURLCracker::Parts parts;
    const HRESULT hr = CURLCracker::Crack("http://" + strHost + "/", &parts);
    if (FAILED(hr))
        return CheckResultValue(hr);
    if (CheckExpression(hr != S_OK || parts.strPath != "/"))
        return HTTP_E_STATUS_BAD_REQUEST;
    t_valid[t_next] = strHost;
    t_next = (t_next + 1) % kRemembered;
    return S_OK;
}

HRESULT CHTTPRequest::BuildFullURL(std::string_view defaultHost) {
    std::string strDefaultHost(defaultHost);
    if (strDefaultHost.empty()) {
        strDefaultHost = "localhost";
        if (m_nLocalPort != 0)
            strDefaultHost += ":" + std::to_string(m_nLocalPort);
    }
    std::string strHost;
    if (GetHeader("HOST", &strHost) && !strHost.empty()) {
        HRESULT hr = ValidateHost(strHost);
        if (FAILED(hr))
            return hr;
    } else {
        strHost = strDefaultHost;
    }

    switch (m_nURLForm) {
        case URLForm::AbsoluteURI:
            m_strFullURL = m_strURL;
            break;
        case URLForm::AbsolutePath:
            m_strFullURL = "http://" + strHost + m_strURL;
            break;
        case URLForm::Asterisk:
            m_strFullURL = "http://" + strHost;
            break;
        case URLForm::Authority:
            m_strFullURL = "http://" + m_strURL;
            break;
        case URLForm::Unknown:
            m_strFullURL = "http://" + strDefaultHost;
            break;
    }

    if (m_nURLForm == URLForm::AbsolutePath)
        return S_OK;
    CURLCracker::Parts parts;
    const HRESULT hr = CURLCracker::Crack(m_strFullURL, &parts);
    if (FAILED(hr))
        return CheckResultValue(hr);
    m_strPath = parts.strPath;
    m_strQuery = parts.strQuery;
    return S_OK;
}

HRESULT CHTTPRequest::CheckBodyHeaders() {
    std::string value;
    if (GetHeader("TRANSFER-ENCODING", &value) &&
        CheckExpression(ToUpperAscii(value) != "IDENTITY"))
        return HTTP_E_STATUS_NOT_SUPPORTED;

    if (!GetHeader("CONTENT-LENGTH", &value))
        return S_OK;
    // Digits only. A value that does not start with a digit (a sign, a letter, nothing)
    // is 400; digits followed by anything else, or a length of 4294967295 or more, is
    // 413, as is a body larger than this server takes.
    std::string_view text = value;
    if (CheckExpression(text.empty() || !IsDigit(text.front())))
        return HTTP_E_STATUS_BAD_REQUEST;
    ULONG length = 0;
    const bool bFits = ReadDecimal(&text, &length);
    if (CheckExpression(bFits && length == 0 && !text.empty()))
        return HTTP_E_STATUS_BAD_REQUEST;
    if (CheckExpression(!bFits || !text.empty() || length == 0xFFFFFFFFu))
        return HTTP_E_STATUS_REQUEST_TOO_LARGE;
    if (CheckExpression(length > m_limits.nMaxBody))
        return HTTP_E_STATUS_REQUEST_TOO_LARGE;
    m_nContentLength = length;
    return S_OK;
}

HRESULT CHTTPRequest::ParseBody(std::string_view data, bool endOfStream, bool* pbMore) {
    if (data.size() - m_nBodyOffset < m_nContentLength)
        return Incomplete(endOfStream, pbMore);
    m_strBody.assign(data.substr(m_nBodyOffset, m_nContentLength));
    m_nRequestLength = m_nBodyOffset + m_nContentLength;
    m_nParseState = ParseState::Complete;
    return S_OK;
}
