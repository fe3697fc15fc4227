// The response's status table, its headers, and the chain of writes that sends it.
#include "http/HTTPResponse.h"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <memory>
#include <new>

#include "async/AsyncWrite.h"
#include "com/DiagnosticLog.h"
#include "generated/Version.h"

namespace {

// The product name that the "Server" header starts with.
constexpr const char* kProductName = "Corvane";

// The largest piece of body one write carries, whatever the socket's send buffer: a
// send buffer grown by the kernel must not make every response allocate megabytes.
constexpr std::uint32_t kMaxPiece = 256 * 1024;

struct StatusEntry {
    UINT code;
    const char* text;
};

// The status codes of HTTP/1.1 with their reason phrases, as the protocol lists them.
constexpr StatusEntry kStatusTable[] = {
    {100, "100 Continue"},
    {101, "101 Switching Protocols"},
    {200, "200 OK"},
    {201, "201 Created"},
    {202, "202 Accepted"},
    {203, "203 Non-Authoritative Information"},
    {204, "204 No Content"},
    {205, "205 Reset Content"},
    {206, "206 Partial Content"},
    {300, "300 Multiple Choices"},
    {301, "301 Moved Permanently"},
    {302, "302 Found"},
    {303, "303 See Other"},
    {304, "304 Not Modified"},
    {305, "305 Use Proxy"},
    {307, "307 Temporary Redirect"},
    {400, "400 Bad Request"},
    {401, "401 Unauthorized"},
    {402, "402 Payment Required"},
    {403, "403 Forbidden"},
    {404, "404 Not Found"},
    {405, "405 Method Not Allowed"},
    {406, "406 Not Acceptable"},
    {407, "407 Proxy Authentication Required"},
    {408, "408 Request Time-out"},
    {409, "409 Conflict"},
    {410, "410 Gone"},
    {411, "411 Length Required"},
    {412, "412 Precondition Failed"},
    {413, "413 Request Entity Too Large"},
    {414, "414 Request-URI Too Large"},
    {415, "415 Unsupported Media Type"},
    {416, "416 Requested range not satisfiable"},
    {417, "417 Expectation Failed"},
    {500, "500 Internal Server Error"},
    {501, "501 Not Implemented"},
    {502, "502 Bad Gateway"},
    {503, "503 Service Unavailable"},
    {504, "504 Gateway Time-out"},
    {505, "505 HTTP Version not supported"},
};
static_assert(std::size(kStatusTable) == 40);

// Header names compare without regard to ASCII case.
bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z')
            x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = static_cast<char>(y - 'a' + 'A');
        if (x != y)
            return false;
    }
    return true;
}

// A header name must be a token: visible ASCII without the separators.
bool IsToken(std::string_view name) {
    static constexpr auto kTokenChars = [] {
        std::array<bool, 256> table{};
        for (int c = 33; c < 127; ++c)
            table[static_cast<std::size_t>(c)] =
                std::string_view("()<>@,;:\\\"/[]?={}").find(static_cast<char>(c)) ==
                std::string_view::npos;
        return table;
    }();
    if (name.empty())
        return false;
    for (unsigned char c : name)
        if (!kTokenChars[c])
            return false;
    return true;
}

bool HasLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

std::atomic<CHTTPSocketOwner*> g_socketOwner{nullptr};

bool Append(CBuffer& buffer, std::string_view text) {
    return buffer.append(text.data(), static_cast<long>(text.size())) == 0;
}

}  // namespace

CHTTPSocketOwner* CHTTPSocketOwner::Instance() {
    return g_socketOwner.load(std::memory_order_acquire);
}

void CHTTPSocketOwner::SetInstance(CHTTPSocketOwner* owner) {
    g_socketOwner.store(owner, std::memory_order_release);
}

CComPtr<CHTTPResponse> CHTTPResponse::Create(CComPtr<IUnknown> ptrSession) {
    auto* p = new (std::nothrow) CHTTPResponse(std::move(ptrSession));
    if (CheckExpression(!p))
        return nullptr;
    return CComPtr<CHTTPResponse>(p);
}

CHTTPResponse::CHTTPResponse(CComPtr<IUnknown> ptrSession)
    : m_ptrSession(std::move(ptrSession)), m_pOwner(CHTTPSocketOwner::Instance()) {
    m_headers.reserve(8);  // what a page's answer usually carries, with those Send adds
}

ULONG CHTTPResponse::AddRef() {
    return m_cRef.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG CHTTPResponse::Release() {
    const ULONG n = m_cRef.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (n == 0)
        delete this;
    return n;
}

void CHTTPResponse::SetStatus(UINT code) {
    for (const auto& entry : kStatusTable) {
        if (entry.code == code) {
            m_strStatus = entry.text;
            return;
        }
    }
    char text[64];
    std::snprintf(text, sizeof(text), "%u User specified status code", code);
    m_strStatus = text;
}

HRESULT CHTTPResponse::SetStatus(std::string_view text) {
    try {
        if (CheckExpression(HasLineBreak(text)))
            return E_INVALIDARG;
        m_strStatus.assign(text);
        return S_OK;
    } catch (...) {
        return ReportException("CHTTPResponse::SetStatus", CV_HERE);
    }
}

HRESULT CHTTPResponse::PutHeader(std::string_view name, std::string_view value) {
    try {
        if (CheckExpression(!IsToken(name) || HasLineBreak(value)))
            return E_INVALIDARG;
        if (const auto it = FindHeader(name); it != m_headers.end()) {
            it->second.assign(value);
            return S_OK;
        }
        m_headers.emplace_back(std::string(name), std::string(value));
        return S_OK;
    } catch (...) {
        return ReportException("CHTTPResponse::PutHeader", CV_HERE);
    }
}

std::string CHTTPResponse::GetHeader(std::string_view name) const {
    try {
        const auto it = FindHeader(name);
        return it == m_headers.end() ? std::string() : it->second;
    } catch (...) {
        ReportException("CHTTPResponse::GetHeader", CV_HERE);
        return std::string();
    }
}

void CHTTPResponse::ClearHeaders() {
    m_headers.clear();
}

CHTTPResponse::HeaderList::iterator CHTTPResponse::FindHeader(std::string_view name) {
    // A response has a handful of headers: a search costs less than an index of them.
    return std::find_if(m_headers.begin(), m_headers.end(),
                        [name](const auto& header) { return SameName(header.first, name); });
}

CHTTPResponse::HeaderList::const_iterator CHTTPResponse::FindHeader(std::string_view name) const {
    return const_cast<CHTTPResponse*>(this)->FindHeader(name);
}

void CHTTPResponse::RemoveHeader(std::string_view name) {
    if (const auto it = FindHeader(name); it != m_headers.end())
        m_headers.erase(it);
}

HRESULT CHTTPResponse::SetEntityStream(IStream* pStream) {
    try {
        if (!pStream) {
            m_ptrEntityStream = nullptr;
            m_nTotalSize = 0;
            RemoveHeader("Content-Length");
            return S_OK;
        }
        STATSTG stat{};
        HRESULT hr = pStream->Stat(&stat, STATFLAG_NONAME);
        if (!CheckResult(hr))
            return hr;
        hr = pStream->Seek(0, STREAM_SEEK_SET, nullptr);
        if (!CheckResult(hr))
            return hr;
        hr = PutHeader("Content-Length", std::to_string(stat.cbSize));
        if (FAILED(hr))
            return hr;
        m_ptrEntityStream = pStream;
        m_nTotalSize = stat.cbSize;
        return S_OK;
    } catch (...) {
        return ReportException("CHTTPResponse::SetEntityStream", CV_HERE);
    }
}

const std::string& CHTTPResponse::ServerName() {
    static const std::string name = [] {
        char text[96];
        std::snprintf(text, sizeof(text), "%s/%u.%u.%u.%u", kProductName,
                      static_cast<unsigned>(CORVANE_VERSION_MAJOR),
                      static_cast<unsigned>(CORVANE_VERSION_MINOR),
                      static_cast<unsigned>(CORVANE_VERSION_PATCH),
                      static_cast<unsigned>(CORVANE_VERSION_TWEAK));
        return std::string(text);
    }();
    return name;
}

std::string CHTTPResponse::FormatDate(std::int64_t unixSeconds) {
    // English names whatever the process's locale: strftime would translate them.
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm tm{};
    if (CheckExpression(!gmtime_r(&t, &tm)))
        return std::string();
    char text[64];
    std::snprintf(text, sizeof(text), "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday % 7],
                  tm.tm_mday, kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
    return text;
}

const std::string& CHTTPResponse::CurrentDate() {
    // Formatted once a second per thread rather than for every response.
    thread_local std::int64_t t_second = -1;
    thread_local std::string t_text;
    const auto now = static_cast<std::int64_t>(std::time(nullptr));
    if (now != t_second) {
        t_text = FormatDate(now);
        t_second = now;
    }
    return t_text;
}

bool CHTTPResponse::StatusAllowsBody() const {
    // The status text starts with its code; a text that does not is taken to allow one.
    unsigned code = 0;
    if (std::sscanf(m_strStatus.c_str(), "%3u", &code) != 1)
        return true;
    return !(code >= 100 && code < 200) && code != 204 && code != 304;
}

std::uint32_t CHTTPResponse::NextPieceSize() const {
    const ULONGLONG left = m_nTotalSize > m_nBodySent ? m_nTotalSize - m_nBodySent : 0;
    return static_cast<std::uint32_t>(
        std::min<ULONGLONG>({left, m_nSendBufferSize, static_cast<ULONGLONG>(kMaxPiece)}));
}

HRESULT CHTTPResponse::Send(CSocketHandle sock, bool bClose) {
    try {
        if (CheckExpression(m_bSent))
            return E_UNEXPECTED;
        if (CheckExpression(sock.IsInvalid()))
            return HRESULT_FROM_WIN32(WSAENOTSOCK);

        int size = 0;
        socklen_t length = sizeof(size);
        m_nSendBufferSize =
            ::getsockopt(sock.socket(), SOL_SOCKET, SO_SNDBUF, &size, &length) == 0 && size > 0
                ? static_cast<DWORD>(size)
                : 1024;

        HRESULT hr = S_OK;
        if (bClose)
            hr = PutHeader("Connection", "close");
        if (SUCCEEDED(hr))
            hr = PutHeader("Date", CurrentDate());
        if (SUCCEEDED(hr))
            hr = PutHeader("Server", ServerName());
        // The length is set here as well as with the stream: a page may have cleared the
        // headers since, and a keep-alive client needs it to find the next response.
        const bool bBody = StatusAllowsBody();
        if (SUCCEEDED(hr)) {
            if (!bBody)
                RemoveHeader("Content-Length");
            else if (m_ptrEntityStream)
                hr = PutHeader("Content-Length", std::to_string(m_nTotalSize));
            else if (!bClose)
                hr = PutHeader("Content-Length", "0");
        }
        if (FAILED(hr))
            return hr;
        if (!bBody || m_bHeadRequest)
            m_nBodySent = m_nTotalSize;  // nothing of the body goes out
        else
            m_nBodySent = 0;

        // The head goes straight into the first write's buffer, ahead of the body.
        std::size_t headSize = 9 + m_strStatus.size() + 2 + 2;
        for (const auto& [name, value] : m_headers)
            headSize += name.size() + 2 + value.size() + 2;
        const std::uint64_t capacity = headSize + std::uint64_t{NextPieceSize()};
        auto buffer = std::make_unique<CBuffer>(static_cast<std::uint32_t>(capacity));
        if (CheckExpression(buffer->capacity() < capacity))
            return E_OUTOFMEMORY;
        bool bAppended =
            Append(*buffer, "HTTP/1.1 ") && Append(*buffer, m_strStatus) && Append(*buffer, "\r\n");
        for (const auto& [name, value] : m_headers)
            bAppended = bAppended && Append(*buffer, name) && Append(*buffer, ": ") &&
                        Append(*buffer, value) && Append(*buffer, "\r\n");
        if (!(bAppended && Append(*buffer, "\r\n")))
            return E_OUTOFMEMORY;

        m_bClose = bClose;
        m_socket = sock;
        m_bSent = true;
        AddRef();  // the writes' reference, dropped by EndSend
        hr = Write_Entity(sock, buffer.get());
        if (FAILED(hr)) {
            m_bSent = false;
            m_socket.release();
            Release();
            return hr;
        }
        buffer.release();  // the writer has it
        return S_OK;
    } catch (...) {
        return ReportException("CHTTPResponse::Send", CV_HERE);
    }
}

HRESULT CHTTPResponse::Write_Entity(CSocketHandle sock, CBuffer* buffer) {
    try {
        if (CheckExpression(!buffer))
            return E_POINTER;
        if (m_ptrEntityStream && m_nBodySent < m_nTotalSize && buffer->free_space() > 0) {
            const auto want = static_cast<ULONG>(
                std::min<ULONGLONG>(buffer->free_space(), m_nTotalSize - m_nBodySent));
            ULONG got = 0;
            const HRESULT hr = m_ptrEntityStream->Read(buffer->write_ptr(), want, &got);
            if (!CheckResult(hr))
                return hr;
            // A stream shorter than it said cannot fill the promised length: the response
            // must fail rather than write empty pieces for ever.
            if (CheckExpression(got == 0 || got > want))
                return STG_E_READFAULT;
            buffer->commit(got);
            m_nBodySent += got;
        }
        // Decided before the write starts: its completion may run at once, elsewhere.
        const bool bLast = m_nBodySent >= m_nTotalSize || !m_ptrEntityStream;
        auto writer = std::make_unique<CAsyncWrite>(sock, buffer);
        const HRESULT hr = bLast ? writer->write<&CHTTPResponse::WriteComplete>(this)
                                 : writer->write<&CHTTPResponse::WriteMore>(this);
        if (!CheckResult(hr))
            return hr;     // the writer dropped the buffer: the caller still has it
        writer.release();  // owns itself now
        return S_OK;
    } catch (...) {
        return ReportException("CHTTPResponse::Write_Entity", CV_HERE);
    }
}

bool CHTTPResponse::WriteMore(DWORD error, CSocketHandle sock, CBuffer*) {
    try {
        if (CheckExpression(error != 0)) {
            LogTrace("CHTTPResponse: write failed with %lu before the end of the body",
                     static_cast<unsigned long>(error));
            EndSend(true);
            return false;
        }
        // Consumed bytes are never reused, so each piece gets a buffer of its own; the
        // writer frees the one just sent.
        auto next = std::make_unique<CBuffer>(NextPieceSize());
        if (CheckExpression(next->capacity() < NextPieceSize()) ||
            FAILED(Write_Entity(std::move(sock), next.get()))) {
            EndSend(true);
            return false;
        }
        next.release();  // the next writer has it
        return false;
    } catch (...) {
        ReportException("CHTTPResponse::WriteMore", CV_HERE);
        EndSend(true);
        return false;
    }
}

bool CHTTPResponse::WriteComplete(DWORD error, CSocketHandle, CBuffer*) {
    if (CheckExpression(error != 0))
        LogTrace("CHTTPResponse: write failed with %lu", static_cast<unsigned long>(error));
    EndSend(error != 0);
    return false;
}

void CHTTPResponse::EndSend(bool bFailed) {
    CSocketHandle sock;
    try {
        sock = m_socket;
        m_socket.release();
        // A failed response leaves the client unable to tell where it ends: nothing more
        // may be sent or read on this connection.
        if (bFailed)
            sock.Shutdown(asio::socket_base::shutdown_both);
        else if (m_bClose)
            CheckResult(sock.Shutdown(asio::socket_base::shutdown_send));
        if (m_pOwner)
            m_pOwner->ReleaseSocket(sock);
    } catch (...) {
        ReportException("CHTTPResponse::EndSend", CV_HERE);
    }
    Release();  // the writes' reference: the response may be gone now
}
