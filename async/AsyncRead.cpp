// The reader's cycle: start a receive on a pool thread, queue its completion, run the
// handler, and read again or end.
#include "async/AsyncRead.h"

#include <new>

#include "async/AsyncThreadPool.h"

namespace {
CInstanceCount g_readers;
}

const CInstanceCount& CAsyncRead::Instances() {
    return g_readers;
}

CAsyncRead::CAsyncRead(const CSocketHandle& socket, CBuffer* buffer)
    : m_socket(socket), m_buffer(buffer), m_first_read(buffer && buffer->length() > 0) {
    g_readers.Add();
    DWORD size = 0;
    if (CheckResult(m_socket.ReceiveBufferSize(&size)) && size > 0)
        m_max_msg_size = size;
}

CAsyncRead::~CAsyncRead() {
    // Only the reader itself deletes a started reader, and only from its completion step,
    // when nothing is in flight; an owner that deletes a started reader is caught here.
    CheckExpression(m_pending);
    delete m_buffer;
    g_readers.Remove();
}

HRESULT CAsyncRead::read_impl() {
    bool madeHere = false;
    auto dropBuffer = [&] {
        if (madeHere)
            delete m_buffer;
        m_buffer = nullptr;
    };
    try {
        if (!m_buffer) {
            m_buffer = new (std::nothrow) CBuffer(m_max_msg_size);
            if (CheckExpression(!m_buffer))
                return E_OUTOFMEMORY;
            madeHere = true;
        }
        if (CheckExpression(m_buffer->space(m_max_msg_size) != 0)) {
            dropBuffer();
            return E_OUTOFMEMORY;
        }
        if (m_inline) {
            // Started here; the handler may run and the reader end before this returns.
            read_impl_io();
            return S_OK;
        }
        auto pCall = CAsyncCall::CreateCall<&CAsyncRead::read_impl_io>(this);
        if (CheckExpression(!pCall)) {
            dropBuffer();
            return E_OUTOFMEMORY;
        }
        CAsyncThreadPool* pool = THREAD_POOL::instance();
        if (CheckExpression(!pool)) {
            dropBuffer();
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = pool->QueueCall(pCall, WT_EXECUTEINIOTHREAD);
        if (!CheckResult(hr)) {
            dropBuffer();  // the call goes with pCall
            return hr;
        }
        return S_OK;  // read_impl_io may be running already: `this` is not touched again
    } catch (...) {
        dropBuffer();
        return ReportException("CAsyncRead::read_impl", CV_HERE);
    }
}

void CAsyncRead::read_impl_io() {
    if (m_first_read && m_buffer && m_buffer->length() > 0) {
        // The content the creator handed over goes to the handler without a receive.
        LogTrace("Expression: 'm_first_read && m_buffer && m_buffer->length()>0' was true.");
        ReadComplete(0, 0);
        return;
    }
    // Pending is set before the receive starts: its completion may run on another thread
    // before AsyncReceive has even returned.
    m_pending = true;
    const HRESULT hr =
        m_socket.AsyncReceive(m_buffer->write_ptr(), m_buffer->free_space(),
                              [this](const std::error_code& ec, std::size_t bytes) {
                                  ReadComplete(SocketError(ec), static_cast<DWORD>(bytes));
                              });
    if (!CheckResult(hr)) {
        m_pending = false;
        ReadComplete(ErrorFromStatus(hr), 0);
    }
}

void CAsyncRead::ReadComplete(DWORD error, DWORD bytes) {
    if (m_inline) {
        OnReadComplete(error, bytes);
        return;
    }
    auto pCall = CAsyncCall::CreateCall<&CAsyncRead::OnReadComplete>(this, error, bytes);
    // clang-format off
    if (pCall && THREAD_POOL::exists() &&
        CheckResult(THREAD_POOL::instance()->QueueCall(pCall,WT_EXECUTEDEFAULT)))
        return;
    // clang-format on
    // The completion cannot be moved to another thread; it runs here rather than not at all,
    // so the owner hears the outcome and the reader ends.
    OnReadComplete(error, bytes);
}

bool CAsyncRead::CallHandler(DWORD error, bool endOfStream) {
    bool keepBuffer = false;
    bool again = false;
    try {
        again = m_handler(error, m_socket, m_buffer, endOfStream, keepBuffer);
    } catch (...) {
        ReportException("CAsyncRead::OnReadComplete", CV_HERE);
        again = false;
    }
    if (keepBuffer)
        m_buffer = nullptr;  // the handler owns it now
    return again;
}

void CAsyncRead::OnReadComplete(DWORD error, DWORD bytes) {
    if (m_buffer && bytes > 0)
        m_buffer->commit(bytes);
    // Handed-over content is data, not the end of the stream, although no bytes arrived.
    const bool endOfStream = bytes == 0 && !m_first_read;
    m_pending = false;
    m_first_read = false;
    if (CallHandler(error, endOfStream)) {
        CBuffer* held = m_buffer;
        const HRESULT hr = read_impl();
        if (SUCCEEDED(hr))
            return;
        // Reading cannot go on: the owner learns why, and the buffer it did not take is
        // freed with the reader.
        m_buffer = held;
        CallHandler(ErrorFromStatus(hr), false);
    }
    delete this;
}
