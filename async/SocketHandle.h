// CSocketHandle: a shared, reference-counted owner of one TCP socket.
//
// Copies of a handle share one socket record; the socket is closed when the last copy
// is released. An accepted connection stays open this way while its reader, writer,
// relay and connection object each hold their own copy. The socket is an Asio TCP
// socket on the thread pool's io_context; its completions run on the pool's threads.
//
// Asio does not allow two threads to start operations on one socket object at once, so
// the record serialises everything done with the socket (starting a receive or a send,
// shut-down, options, close) under its own lock. Completions never take that lock: Asio
// queues them, it never runs a handler inside the call that starts an operation. Once an
// asynchronous operation has run, the descriptor is in non-blocking mode.
//
// Locks: a handle's lock guards its record pointer; the record's lock guards the socket
// object. A handle's lock is taken before its record's lock; both are innermost apart
// from the thread pool's and nothing is called out while they are held.
#pragma once

#include <asio/cancellation_signal.hpp>
#include <asio/ip/tcp.hpp>

#include <atomic>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>

#include "com/CriticalSection.h"
#include "com/DiagnosticLog.h"
#include "com/HResult.h"

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;  // all bits set

// The Win32 error that a socket operation's outcome stands for: 0 for success and for
// the end of the stream, a Winsock number for a network failure, ERROR_OPERATION_ABORTED
// for a cancelled operation. Never an errno.
DWORD SocketError(const std::error_code& ec);

// The status of a failed socket operation: HRESULT_FROM_WIN32(SocketError(ec)).
HRESULT SocketStatus(const std::error_code& ec);

// The Win32 error to hand to a completion handler for a failed status.
DWORD ErrorFromStatus(HRESULT hr);

class CSocketHandle {
public:
    CSocketHandle() = default;
    CSocketHandle(const CSocketHandle& other);
    CSocketHandle& operator=(const CSocketHandle& other);
    ~CSocketHandle() { release(); }

    // Releases the current record and takes `s` (a connected TCP socket descriptor) into a
    // new record with one reference. The handle owns the descriptor from here on: if it
    // cannot be taken in, it is closed and the failure returned. INVALID_SOCKET makes a
    // record that holds no socket.
    HRESULT Attach(SOCKET s);
    // The same for a socket that is already an Asio socket on the thread pool's io_context.
    HRESULT Attach(asio::ip::tcp::socket&& s);

    // Drops this copy's reference; the last one closes the socket.
    void release();

    // The socket's descriptor, or INVALID_SOCKET when there is none.
    SOCKET socket() const;
    bool IsInvalid() const { return socket() == INVALID_SOCKET; }

    // Starts a receive into (`data`, `size`) or a send of (`data`, `size`); `handler`
    // (std::error_code, std::size_t) runs on a pool thread when it completes. A failure to
    // start returns a status and the handler is not called.
    template <class Handler>
    HRESULT AsyncReceive(void* data, std::size_t size, Handler&& handler);
    template <class Handler>
    HRESULT AsyncSend(const void* data, std::size_t size, Handler&& handler);

    // Readiness on the socket's own registration, for owners that read and write the
    // descriptor themselves (splice) and only need to know when to:
    //  - AsyncPeek starts a receive that leaves the bytes in the socket (MSG_PEEK). It is
    //    tried at once, so a readiness that came before the call is never missed; `handler`
    //    gets (no error, n > 0) for data, `asio::error::eof` for the peer's orderly close,
    //    anything else for a failure. After a peek that saw the end or a failure, Asio
    //    takes the socket's readiness as spent: a receive started then waits for a
    //    further event, so the owner acts on the peek's answer instead of reading.
    //  - AsyncWait waits for the next readiness edge of one kind (Asio's wait types). It is
    //    not tried at once: a caller that found the socket full arms it and then looks
    //    again. A handler bound to a cancellation slot (asio::bind_cancellation_slot) can
    //    be taken back alone with that slot's signal, under CancelWait.
    // Waits share the socket's queues with AsyncReceive and AsyncSend: an owner does not
    // leave a wait pending behind which it starts a receive or send of the same kind.
    template <class Handler>
    HRESULT AsyncPeek(void* data, std::size_t size, Handler&& handler);
    template <class Handler>
    HRESULT AsyncWait(asio::socket_base::wait_type what, Handler&& handler);
    // Emits `signal` (cancelling the operation bound to its slot) under the socket's lock.
    HRESULT CancelWait(asio::cancellation_signal& signal);
    // Makes every pending operation on the socket complete with operation_aborted.
    HRESULT Cancel();
    // Puts the descriptor into non-blocking mode (for owners that use it directly).
    HRESULT SetNonBlocking();

    // Shuts down one or both directions (Asio's shutdown types).
    HRESULT Shutdown(asio::socket_base::shutdown_type what);
    // The socket's receive buffer size (SO_RCVBUF).
    HRESULT ReceiveBufferSize(DWORD* size);
    // Sets the send buffer size (SO_SNDBUF); small buffers make sends complete in parts.
    HRESULT SetSendBufferSize(DWORD size);

private:
    // The shared record: the socket and the count of handles that share it.
    struct SocketRef {
        explicit SocketRef(std::optional<asio::ip::tcp::socket> s) : socket(std::move(s)) {}
        // Guards `socket`: every use of the socket object happens under it.
        std::mutex lock;
        std::optional<asio::ip::tcp::socket> socket;  // empty for INVALID_SOCKET
        std::atomic<std::uint32_t> count{1};
    };

    // Runs `fn(socket)` under the record's lock; WSAENOTSOCK when there is no socket.
    template <class Fn>
    HRESULT WithSocket(Fn&& fn) const;
    HRESULT Replace(std::optional<asio::ip::tcp::socket> s);
    static void ReleaseRef(SocketRef* ref);

    // Guards m_ref (the pointer, not the record). Taken before the record's lock.
    mutable CComAutoCriticalSection m_lock;
    SocketRef* m_ref = nullptr;
};

template <class Fn>
HRESULT CSocketHandle::WithSocket(Fn&& fn) const {
    CCritSecLock guard(m_lock);
    if (!m_ref)
        return HRESULT_FROM_WIN32(WSAENOTSOCK);
    std::lock_guard socketGuard(m_ref->lock);
    if (!m_ref->socket || !m_ref->socket->is_open())
        return HRESULT_FROM_WIN32(WSAENOTSOCK);
    return fn(*m_ref->socket);
}

template <class Handler>
HRESULT CSocketHandle::AsyncReceive(void* data, std::size_t size, Handler&& handler) {
    try {
        return WithSocket([&](asio::ip::tcp::socket& s) {
            s.async_read_some(asio::buffer(data, size), std::forward<Handler>(handler));
            return S_OK;
        });
    } catch (...) {
        return ReportException("CSocketHandle::AsyncReceive", CV_HERE);
    }
}

template <class Handler>
HRESULT CSocketHandle::AsyncSend(const void* data, std::size_t size, Handler&& handler) {
    try {
        return WithSocket([&](asio::ip::tcp::socket& s) {
            s.async_write_some(asio::buffer(data, size), std::forward<Handler>(handler));
            return S_OK;
        });
    } catch (...) {
        return ReportException("CSocketHandle::AsyncSend", CV_HERE);
    }
}

template <class Handler>
HRESULT CSocketHandle::AsyncPeek(void* data, std::size_t size, Handler&& handler) {
    try {
        return WithSocket([&](asio::ip::tcp::socket& s) {
            s.async_receive(asio::buffer(data, size), asio::socket_base::message_peek,
                            std::forward<Handler>(handler));
            return S_OK;
        });
    } catch (...) {
        return ReportException("CSocketHandle::AsyncPeek", CV_HERE);
    }
}

template <class Handler>
HRESULT CSocketHandle::AsyncWait(asio::socket_base::wait_type what, Handler&& handler) {
    try {
        return WithSocket([&](asio::ip::tcp::socket& s) {
            s.async_wait(what, std::forward<Handler>(handler));
            return S_OK;
        });
    } catch (...) {
        return ReportException("CSocketHandle::AsyncWait", CV_HERE);
    }
}
