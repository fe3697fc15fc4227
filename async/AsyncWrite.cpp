// The writer's cycle: start a send on a pool thread, queue its completion, send the rest
// of a partial send, and finally run the handler and end.
#include "async/AsyncWrite.h"

#include "async/AsyncThreadPool.h"

namespace {
CInstanceCount g_writers;
}

const CInstanceCount& CAsyncWrite::Instances() {
    return g_writers;
}

CAsyncWrite::CAsyncWrite(const CSocketHandle& socket, CBuffer* buffer)
    : m_socket(socket), m_buffer(buffer) {
    g_writers.Add();
}

CAsyncWrite::~CAsyncWrite() {
    // Only the writer itself deletes a started writer, never with a send in flight.
    {
        CCritSecLock guard(m_lock);
        CheckExpression(m_pending);
        delete m_buffer;
    }
    g_writers.Remove();
}

HRESULT CAsyncWrite::write_and_forget(bool forget, bool shutdown) {
    m_shutdown = shutdown;
    m_handler = forget ? Handler::Bind<&CAsyncWrite::ForgetBuffer>(this)
                       : Handler::Bind<&CAsyncWrite::KeepBuffer>(this);
    return start();
}

bool CAsyncWrite::ForgetBuffer(DWORD, CSocketHandle socket, CBuffer*) {
    if (m_shutdown)
        CheckResult(socket.Shutdown(asio::socket_base::shutdown_send));
    return false;
}

bool CAsyncWrite::KeepBuffer(DWORD, CSocketHandle socket, CBuffer*) {
    if (m_shutdown)
        CheckResult(socket.Shutdown(asio::socket_base::shutdown_send));
    return true;
}

HRESULT CAsyncWrite::start() {
    const HRESULT hr = write_impl();
    if (FAILED(hr)) {
        CCritSecLock guard(m_lock);
        m_buffer = nullptr;  // the caller keeps its buffer
    }
    return hr;
}

HRESULT CAsyncWrite::write_impl() {
    try {
        auto pCall = CAsyncCall::CreateCall<&CAsyncWrite::write_impl_io>(this);
        if (CheckExpression(!pCall))
            return E_OUTOFMEMORY;
        CAsyncThreadPool* pool = THREAD_POOL::instance();
        if (CheckExpression(!pool))
            return E_OUTOFMEMORY;
        return CheckResultValue(pool->QueueCall(pCall, WT_EXECUTEINIOTHREAD));
    } catch (...) {
        return ReportException("CAsyncWrite::write_impl", CV_HERE);
    }
}

void CAsyncWrite::write_impl_io() {
    HRESULT hr = S_OK;
    {
        CCritSecLock guard(m_lock);
        if (!m_buffer || m_buffer->length() == 0) {
            hr = S_FALSE;  // nothing to send
        } else {
            // Pending is set before the send starts: its completion may run on another
            // thread before AsyncSend has returned (it then waits for this lock).
            m_pending = true;
            hr = m_socket.AsyncSend(m_buffer->data(), m_buffer->length(),
                                    [this](const std::error_code& ec, std::size_t bytes) {
                                        WriteComplete(SocketError(ec), static_cast<DWORD>(bytes));
                                    });
            if (!CheckResult(hr))
                m_pending = false;
        }
    }
    // Once a send is under way, `this` belongs to its completion.
    if (hr == S_FALSE)
        WriteComplete(0, 0);
    else if (FAILED(hr))
        WriteComplete(ErrorFromStatus(hr), 0);
}

void CAsyncWrite::WriteComplete(DWORD error, DWORD bytes) {
    auto pCall = CAsyncCall::CreateCall<&CAsyncWrite::OnWriteComplete>(this, error, bytes);
    // clang-format off
    if (pCall && THREAD_POOL::exists() &&
        CheckResult(THREAD_POOL::instance()->QueueCall(pCall,WT_EXECUTEDEFAULT | WT_EXECUTELONGFUNCTION)))
        return;
    // clang-format on
    // The completion cannot be moved to another thread; it runs here rather than not at all,
    // so the owner hears the outcome and the writer ends.
    OnWriteComplete(error, bytes);
}

void CAsyncWrite::OnWriteComplete(DWORD error, DWORD bytes) {
    bool more;
    {
        CCritSecLock guard(m_lock);
        m_pending = false;
        if (m_buffer && bytes > 0)
            m_buffer->consume(bytes);
        more = m_buffer && m_buffer->length() > 0;
    }
    if (error == 0 && more) {
        // A send that moved nothing without an error would repeat for ever.
        if (CheckExpression(bytes == 0)) {
            error = WSAECONNABORTED;
        } else {
            const HRESULT hr = write_impl();
            if (SUCCEEDED(hr))
                return;
            error = ErrorFromStatus(hr);  // the owner hears that the rest was not sent
        }
    }
    EndWrite(error);
}

void CAsyncWrite::EndWrite(DWORD error) {
    CBuffer* buffer;
    {
        CCritSecLock guard(m_lock);
        buffer = m_buffer;
    }
    bool keepBuffer = false;
    try {
        keepBuffer = m_handler(error, m_socket, buffer);
    } catch (...) {
        ReportException("CAsyncWrite::OnWriteComplete", CV_HERE);
    }
    {
        CCritSecLock guard(m_lock);
        if (keepBuffer)
            m_buffer = nullptr;  // the handler owns it now
    }
    delete this;  // frees a buffer the handler did not keep
}
