// The shared socket record, its reference count, and the socket error mapping.
#include "async/SocketHandle.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "async/AsyncThreadPool.h"

DWORD SocketError(const std::error_code& ec) {
    if (!ec || ec == asio::error::eof)
        return 0;
    if (ec == asio::error::operation_aborted)
        return ERROR_OPERATION_ABORTED;
    // Asio reports system errors in its own category, which carries errno values too.
    if (ec.category() != asio::system_category() && ec.category() != std::system_category())
        return WinsockFromErrno(EIO);
    // A send on a connection that the peer has reset fails with EPIPE here; Winsock
    // reports that case as a reset.
    if (ec.value() == EPIPE)
        return WSAECONNRESET;
    const long code = Win32FromErrno(ec.value());
    if (code >= WSAEINTR && code <= WSATRY_AGAIN)
        return static_cast<DWORD>(code);
    return static_cast<DWORD>(WinsockFromErrno(ec.value()));
}

HRESULT SocketStatus(const std::error_code& ec) {
    return HRESULT_FROM_WIN32(static_cast<long>(SocketError(ec)));
}

DWORD ErrorFromStatus(HRESULT hr) {
    if (SUCCEEDED(hr))
        return 0;
    if (HRESULT_FACILITY(hr) == FACILITY_WIN32)
        return static_cast<DWORD>(HRESULT_CODE(hr));
    return static_cast<DWORD>(ERROR_GEN_FAILURE);
}

CSocketHandle::CSocketHandle(const CSocketHandle& other) {
    // The other handle's lock keeps its record alive between reading the pointer and
    // counting the new reference.
    CCritSecLock guard(other.m_lock);
    m_ref = other.m_ref;
    if (m_ref)
        m_ref->count.fetch_add(1, std::memory_order_relaxed);
}

CSocketHandle& CSocketHandle::operator=(const CSocketHandle& other) {
    if (this == &other)
        return *this;
    SocketRef* taken;
    {
        CCritSecLock guard(other.m_lock);
        taken = other.m_ref;
        if (taken)
            taken->count.fetch_add(1, std::memory_order_relaxed);
    }
    SocketRef* old;
    {
        // One handle lock at a time, so two handles assigned to each other cannot deadlock.
        CCritSecLock guard(m_lock);
        old = std::exchange(m_ref, taken);
    }
    ReleaseRef(old);
    return *this;
}

void CSocketHandle::ReleaseRef(SocketRef* ref) {
    if (!ref)
        return;
    if (ref->count.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    // The last reference: nobody else can reach the socket, and no operation is pending
    // (every pending operation's owner holds a reference).
    if (ref->socket && ref->socket->is_open()) {
        std::error_code ec;
        ref->socket->close(ec);
        CheckExpression(ec.value() != 0);
    }
    delete ref;
}

void CSocketHandle::release() {
    SocketRef* old;
    {
        CCritSecLock guard(m_lock);
        old = std::exchange(m_ref, nullptr);
    }
    ReleaseRef(old);
}

HRESULT CSocketHandle::Replace(std::optional<asio::ip::tcp::socket> s) {
    SocketRef* fresh = new (std::nothrow) SocketRef(std::move(s));
    if (CheckExpression(!fresh))
        return E_OUTOFMEMORY;  // `s` closes the socket as it goes
    SocketRef* old;
    {
        CCritSecLock guard(m_lock);
        old = std::exchange(m_ref, fresh);
    }
    ReleaseRef(old);
    return S_OK;
}

HRESULT CSocketHandle::Attach(SOCKET s) {
    try {
        if (s == INVALID_SOCKET)
            return Replace(std::nullopt);
        CAsyncThreadPool* pool = THREAD_POOL::instance();
        if (CheckExpression(!pool)) {
            ::close(s);
            return E_OUTOFMEMORY;
        }
        sockaddr_storage address{};
        socklen_t length = sizeof(address);
        if (CheckExpression(::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) !=
                            0)) {
            const int err = errno;
            ::close(s);
            return HRESULT_FROM_WIN32(WinsockFromErrno(err));
        }
        const auto protocol =
            address.ss_family == AF_INET6 ? asio::ip::tcp::v6() : asio::ip::tcp::v4();
        asio::ip::tcp::socket socket(pool->Context());
        std::error_code ec;
        socket.assign(protocol, s, ec);
        if (CheckExpression(ec.value() != 0)) {
            ::close(s);
            return SocketStatus(ec);
        }
        return Replace(std::move(socket));
    } catch (...) {
        return ReportException("CSocketHandle::Attach", CV_HERE);
    }
}

HRESULT CSocketHandle::Attach(asio::ip::tcp::socket&& s) {
    try {
        return Replace(std::move(s));
    } catch (...) {
        return ReportException("CSocketHandle::Attach", CV_HERE);
    }
}

SOCKET CSocketHandle::socket() const {
    SOCKET s = INVALID_SOCKET;
    WithSocket([&](asio::ip::tcp::socket& socket) {
        s = socket.native_handle();
        return S_OK;
    });
    return s;
}

HRESULT CSocketHandle::Shutdown(asio::socket_base::shutdown_type what) {
    return WithSocket([&](asio::ip::tcp::socket& s) {
        std::error_code ec;
        s.shutdown(what, ec);
        return ec ? SocketStatus(ec) : S_OK;
    });
}

HRESULT CSocketHandle::CancelWait(asio::cancellation_signal& signal) {
    try {
        return WithSocket([&](asio::ip::tcp::socket&) {
            signal.emit(asio::cancellation_type::all);
            return S_OK;
        });
    } catch (...) {
        return ReportException("CSocketHandle::CancelWait", CV_HERE);
    }
}

HRESULT CSocketHandle::Cancel() {
    return WithSocket([&](asio::ip::tcp::socket& s) {
        std::error_code ec;
        s.cancel(ec);
        return ec ? SocketStatus(ec) : S_OK;
    });
}

HRESULT CSocketHandle::SetNonBlocking() {
    return WithSocket([&](asio::ip::tcp::socket& s) {
        std::error_code ec;
        s.non_blocking(true, ec);
        return ec ? SocketStatus(ec) : S_OK;
    });
}

HRESULT CSocketHandle::ReceiveBufferSize(DWORD* size) {
    if (CheckExpression(!size))
        return E_POINTER;
    *size = 0;
    return WithSocket([&](asio::ip::tcp::socket& s) {
        asio::socket_base::receive_buffer_size option;
        std::error_code ec;
        s.get_option(option, ec);
        if (ec)
            return SocketStatus(ec);
        *size = option.value() > 0 ? static_cast<DWORD>(option.value()) : 0;
        return S_OK;
    });
}

HRESULT CSocketHandle::SetSendBufferSize(DWORD size) {
    return WithSocket([&](asio::ip::tcp::socket& s) {
        std::error_code ec;
        s.set_option(asio::socket_base::send_buffer_size(static_cast<int>(size)), ec);
        return ec ? SocketStatus(ec) : S_OK;
    });
}
