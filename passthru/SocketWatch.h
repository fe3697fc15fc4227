// CSocketWatch: readiness notifications for a socket that someone else reads and writes.
//
// The relay learns that a side has data, has closed, or has room to send again without
// keeping a read posted (an idle connection then holds no receive buffer). The watch
// keeps its own descriptor for the socket (a duplicate, registered with the thread
// pool's io_context beside the socket's own registration) and offers two one-shot waits:
//
// - `WaitReadable`: completes once the socket has a byte to read, has reached the end of
//   its stream, or has failed. It peeks at one byte, so the answer is exact and a
//   readiness that came before the wait was started is never missed: (no error, 1) is
//   data, `asio::error::eof` the peer's orderly close, anything else its failure.
// - `WaitWritable`: completes on the next sign that the send buffer has room. Such signs
//   are edges: a caller that found the socket full must arm the wait first and then look
//   again (`IsWritable`) before it parks.
//
// Handlers run on pool threads. `Cancel` makes every pending wait complete with
// `operation_aborted` and refuses any later wait; the descriptor closes with the watch.
//
// Locks: the watch's lock serialises starting and cancelling waits on the descriptor. It
// is innermost; nothing is called out while it is held.
#pragma once

#include <asio/ip/tcp.hpp>

#include <mutex>
#include <optional>

#include "async/SocketHandle.h"
#include "com/HResult.h"

class CSocketWatch {
public:
    CSocketWatch() = default;
    ~CSocketWatch();
    CSocketWatch(const CSocketWatch&) = delete;
    CSocketWatch& operator=(const CSocketWatch&) = delete;

    // Starts watching the socket `s` (which stays the caller's) and puts it into
    // non-blocking mode.
    HRESULT Open(SOCKET s);
    // The watch's own descriptor for the socket, or -1 before Open.
    int Descriptor() const { return m_fd; }

    template <class Handler>
    HRESULT WaitReadable(Handler&& handler);
    template <class Handler>
    HRESULT WaitWritable(Handler&& handler);
    // True when a send would not block now.
    bool IsWritable() const;

    void Cancel();

private:
    // Guards m_socket: every start and cancel of a wait happens under it. Innermost.
    std::mutex m_lock;
    std::optional<asio::ip::tcp::socket> m_socket;
    int m_fd = -1;
    bool m_bCancelled = false;
    unsigned char m_peek = 0;  // target of the peeking receive; its content is not used
};

template <class Handler>
HRESULT CSocketWatch::WaitReadable(Handler&& handler) {
    try {
        std::lock_guard guard(m_lock);
        if (m_bCancelled || CheckExpression(!m_socket))
            return HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED);
        m_socket->async_receive(asio::buffer(&m_peek, 1), asio::socket_base::message_peek,
                                std::forward<Handler>(handler));
        return S_OK;
    } catch (...) {
        return ReportException("CSocketWatch::WaitReadable", CV_HERE);
    }
}

template <class Handler>
HRESULT CSocketWatch::WaitWritable(Handler&& handler) {
    try {
        std::lock_guard guard(m_lock);
        if (m_bCancelled || CheckExpression(!m_socket))
            return HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED);
        m_socket->async_wait(asio::socket_base::wait_write, std::forward<Handler>(handler));
        return S_OK;
    } catch (...) {
        return ReportException("CSocketWatch::WaitWritable", CV_HERE);
    }
}
