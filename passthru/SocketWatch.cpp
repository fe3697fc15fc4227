// The watch starts its waits on the socket's own Asio object, through the handle that
// serialises every use of it.
#include "passthru/SocketWatch.h"

#include <poll.h>

#include <cerrno>

HRESULT CSocketWatch::Open(const CSocketHandle& socket) {
    try {
        std::lock_guard guard(m_lock);
        if (CheckExpression(m_fd >= 0 || socket.IsInvalid()))
            return E_UNEXPECTED;
        m_socket = socket;
        const HRESULT hr = m_socket.SetNonBlocking();
        if (!CheckResult(hr)) {
            m_socket.release();
            return hr;
        }
        m_fd = m_socket.socket();
        return S_OK;
    } catch (...) {
        return ReportException("CSocketWatch::Open", CV_HERE);
    }
}

bool CSocketWatch::IsWritable() const {
    pollfd p{m_fd, POLLOUT, 0};
    int n;
    do {
        n = ::poll(&p, 1, 0);
    } while (n < 0 && errno == EINTR);
    return n > 0;
}

void CSocketWatch::CancelWritable() {
    std::lock_guard guard(m_lock);
    if (m_fd >= 0)
        m_socket.CancelWait(m_writeCancel);
}

void CSocketWatch::Cancel() {
    std::lock_guard guard(m_lock);
    m_bCancelled = true;
    if (m_fd >= 0)
        m_socket.Cancel();
}
