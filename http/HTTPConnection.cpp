// The connection's life: the idle wait, the reader's completions, the hand-over of
// complete requests, and the teardown.
#include "http/HTTPConnection.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <new>

#include "async/AsyncCall.h"
#include "async/AsyncRead.h"
#include "com/DiagnosticLog.h"

namespace {
CInstanceCount g_connections;
std::atomic<CHTTPRequestHandler*> g_requestHandler{nullptr};
}  // namespace

CHTTPRequestHandler* CHTTPRequestHandler::Instance() {
    return g_requestHandler.load(std::memory_order_acquire);
}

void CHTTPRequestHandler::SetInstance(CHTTPRequestHandler* handler) {
    g_requestHandler.store(handler, std::memory_order_release);
}

const CInstanceCount& CHTTPConnection::Instances() {
    return g_connections;
}

CHTTPConnection::CHTTPConnection(CComPtr<IUnknown> ptrSession, CSocketHandle socket,
                                 CHTTPRequestHandler* pHandler)
    : m_ptrSession(std::move(ptrSession)),
      m_socket(std::move(socket)),
      m_pHandler(pHandler ? pHandler : CHTTPRequestHandler::Instance()) {
    g_connections.Add();
}

CHTTPConnection::~CHTTPConnection() {
    g_connections.Remove();
}

void CHTTPConnection::AddRef() {
    m_nRefs.fetch_add(1, std::memory_order_relaxed);
}

void CHTTPConnection::Release() {
    if (m_nRefs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete this;
}

HRESULT CHTTPConnection::Start(CBuffer* buffer) {
    std::unique_ptr<CBuffer> owned(buffer);
    HRESULT hr = S_OK;
    try {
        CAsyncThreadPool* pool = THREAD_POOL::instance();
        m_hEvent = CEvent::Create(false, false);
        if (CheckExpression(!pool || !m_hEvent))
            hr = E_OUTOFMEMORY;
        else if (CheckExpression(!m_pHandler))
            hr = E_UNEXPECTED;
        else if (CheckExpression(m_socket.IsInvalid()))
            hr = HRESULT_FROM_WIN32(WSAENOTSOCK);
        if (SUCCEEDED(hr) && m_nLocalPort == 0) {
            sockaddr_in address{};
            socklen_t length = sizeof(address);
            if (::getsockname(m_socket.socket(), reinterpret_cast<sockaddr*>(&address), &length) ==
                    0 &&
                address.sin_family == AF_INET)
                m_nLocalPort = ntohs(address.sin_port);
        }
        if (SUCCEEDED(hr))
            hr = CheckResultValue(pool->QueueWait<&CHTTPConnection::OnReadReady>(
                this, &m_wait, m_hEvent, m_nIdleTimeoutMs, WT_EXECUTEDEFAULT, nullptr));
    } catch (...) {
        hr = ReportException("CHTTPConnection::Start", CV_HERE);
        if (m_wait)
            THREAD_POOL::instance()->CancelWait(m_wait);
    }
    if (FAILED(hr)) {
        delete this;  // nothing is running yet
        return hr;
    }

    AddRef();  // the registered wait's, dropped by Term
    AddRef();  // the reader's, dropped by its last completion
    hr = Read(owned.release());
    if (FAILED(hr)) {
        Stop();
        Release();
    }
    return hr;
}

HRESULT CHTTPConnection::Read(CBuffer* buffer) {
    std::unique_ptr<CBuffer> owned(buffer);
    try {
        auto reader = std::make_unique<CAsyncRead>(m_socket, buffer);
        const HRESULT hr = reader->read<&CHTTPConnection::OnRead>(this);
        if (!CheckResult(hr))
            return hr;  // the reader dropped the buffer: it is still ours to free
        owned.release();
        reader.release();  // owns itself now
        return S_OK;
    } catch (...) {
        return ReportException("CHTTPConnection::Read", CV_HERE);
    }
}

void CHTTPConnection::OnReadReady(int timedOut, void*) {
    try {
        // Arrivals only restart the clock; a request with the handler is not idling.
        if (!timedOut || m_bDispatching.load())
            return;
        LogTrace("CHTTPConnection: closing a connection idle for %lu ms",
                 static_cast<unsigned long>(m_nIdleTimeoutMs));
        Stop();
    } catch (...) {
        ReportException("CHTTPConnection::OnReadReady", CV_HERE);
    }
}

bool CHTTPConnection::OnRead(DWORD error, CSocketHandle, CBuffer* buffer, bool endOfStream,
                             bool& takeBuffer) {
    // The bytes are copied out, so every arrival is freed here and the reader starts a
    // fresh buffer: a buffer never compacts, and a keep-alive connection is long-lived.
    takeBuffer = true;
    std::unique_ptr<CBuffer> owned(buffer);
    bool bMore = false;
    try {
        if (error != 0) {
            if (!m_bStopping.load())
                LogTrace("CHTTPConnection: read failed with %lu",
                         static_cast<unsigned long>(error));
            Stop();
        } else {
            if (buffer && buffer->length() > 0)
                m_strData.append(reinterpret_cast<const char*>(buffer->data()), buffer->length());
            owned.reset();
            m_bHandedOver = false;
            bMore = !m_bStopping.load() && ProcessData(endOfStream);
            // Every hand-over signals when it ends; an arrival that handed nothing over
            // signals here. One signal per arrival at most: each one costs the idle wait
            // a round through the pool.
            if (!m_bHandedOver)
                m_hEvent->Set();
        }
    } catch (...) {
        ReportException("CHTTPConnection::OnRead", CV_HERE);
        Stop();
        bMore = false;
    }
    if (!bMore) {
        // Reading has ended: the connection goes once the wait is cancelled. A response
        // still being written holds its own copy of the socket.
        m_pRequest.reset();
        Stop(false);
        Release();  // the reader's reference: the connection may be gone now
    }
    return bMore;
}

bool CHTTPConnection::ProcessData(bool endOfStream) {
    for (;;) {
        if (m_bStopping.load())
            return false;
        if (!m_pRequest) {
            // Between requests, empty lines are ignored; at the end of the stream they
            // are not a request that ended early.
            if (m_strData.find_first_not_of("\r\n") == std::string::npos) {
                if (endOfStream)
                    m_strData.clear();
                return !endOfStream;
            }
            m_pRequest = std::make_shared<CHTTPRequest>(m_ptrSession, true, m_nLocalPort);
        }
        bool bMore = false;
        const HRESULT hr = m_pRequest->Parse(m_strData, std::string_view(), endOfStream, &bMore);
        if (FAILED(hr)) {
            // Nothing after a request that cannot be read can be trusted to start another.
            m_strData.clear();
            Dispatch(std::exchange(m_pRequest, nullptr), true);
            return false;
        }
        if (bMore)
            return true;
        const std::shared_ptr<CHTTPRequest> request = std::exchange(m_pRequest, nullptr);
        m_strData.erase(0, request->RequestLength());
        Dispatch(request, false);
        if (WantsClose(*request)) {
            // The socket closes once the answer has gone out (the response holds it).
            m_strData.clear();
            return false;
        }
    }
}

bool CHTTPConnection::WantsClose(const CHTTPRequest& request) {
    std::string connection;
    request.GetHeader("CONNECTION", &connection);
    for (char& c : connection)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    // Connection options are a comma-separated list of tokens.
    bool bClose = false, bKeepAlive = false;
    std::size_t start = 0;
    while (start <= connection.size()) {
        std::size_t end = connection.find(',', start);
        if (end == std::string::npos)
            end = connection.size();
        std::string_view token(connection.data() + start, end - start);
        while (!token.empty() && (token.front() == ' ' || token.front() == '\t'))
            token.remove_prefix(1);
        while (!token.empty() && (token.back() == ' ' || token.back() == '\t'))
            token.remove_suffix(1);
        bClose |= token == "close";
        bKeepAlive |= token == "keep-alive";
        start = end + 1;
    }
    if (bClose)
        return true;
    const bool bHTTP11 = request.GetMajorVersion() > 1 ||
                         (request.GetMajorVersion() == 1 && request.GetMinorVersion() >= 1);
    return !bHTTP11 && !bKeepAlive;
}

void CHTTPConnection::Dispatch(const std::shared_ptr<CHTTPRequest>& request, bool bFailed) {
    m_bDispatching = true;
    try {
        if (!bFailed)
            m_pHandler->ProcessRequest(request, m_socket);
        else if (request->ErrorStatus() == 500)
            m_pHandler->RespondInternalError(request, m_socket, request->Result());
        else
            m_pHandler->RespondError(request, m_socket, request->ErrorStatus());
    } catch (...) {
        ReportException("CHTTPConnection::Dispatch", CV_HERE);
    }
    m_bDispatching = false;
    m_bHandedOver = true;
    m_hEvent->Set();  // the idle time starts again from here
}

void CHTTPConnection::Stop(bool bShutdown) {
    if (m_bStopping.exchange(true))
        return;
    try {
        // Shutting both directions ends the pending receive at once.
        if (bShutdown)
            m_socket.Shutdown(asio::socket_base::shutdown_both);
        auto pCall = CAsyncCall::CreateCall<&CHTTPConnection::Term>(this);
        CAsyncThreadPool* pool = THREAD_POOL::instance();
        if (!CheckExpression(!pCall || !pool) &&
            CheckResult(pool->QueueCall(pCall, WT_EXECUTEDEFAULT)))
            return;
    } catch (...) {
        ReportException("CHTTPConnection::Stop", CV_HERE);
    }
    // Term could not be queued: the wait must still be cancelled before the connection
    // may go, so it ends here.
    Term();
}

void CHTTPConnection::Term() {
    try {
        if (m_wait)
            THREAD_POOL::instance()->CancelWait(m_wait);
    } catch (...) {
        ReportException("CHTTPConnection::Term", CV_HERE);
    }
    Release();  // the wait's reference
}
