// The duplicate descriptor shares the socket's open file, so its non-blocking flag and
// its data are the socket's own; closing it leaves the socket open.
#include "passthru/SocketWatch.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "async/AsyncThreadPool.h"

CSocketWatch::~CSocketWatch() {
    std::lock_guard guard(m_lock);
    if (m_socket) {
        std::error_code ignored;
        m_socket->close(ignored);
    }
}

HRESULT CSocketWatch::Open(SOCKET s) {
    try {
        std::lock_guard guard(m_lock);
        if (CheckExpression(m_socket || s == INVALID_SOCKET))
            return E_UNEXPECTED;
        CAsyncThreadPool* pool = THREAD_POOL::instance();
        if (CheckExpression(!pool))
            return E_OUTOFMEMORY;
        const int fd = ::fcntl(s, F_DUPFD_CLOEXEC, 0);
        if (CheckExpression(fd < 0))
            return HResultFromErrno(errno);
        const int flags = ::fcntl(fd, F_GETFL);
        if (CheckExpression(flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)) {
            const int error = errno;
            ::close(fd);
            return HResultFromErrno(error);
        }
        std::error_code ec;
        m_socket.emplace(pool->Context());
        m_socket->assign(asio::ip::tcp::v4(), fd, ec);
        if (CheckExpression(ec)) {
            ::close(fd);
            m_socket.reset();
            return SocketStatus(ec);
        }
        m_socket->non_blocking(true, ec);
        m_fd = fd;
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

void CSocketWatch::Cancel() {
    std::lock_guard guard(m_lock);
    m_bCancelled = true;
    if (m_socket) {
        std::error_code ignored;
        m_socket->cancel(ignored);
    }
}
