// CSocketWatch: readiness notifications for a socket that someone else reads and writes.
//
// The relay learns that a side has data, has closed, or has room to send again without
// keeping a read posted (an idle connection then holds no receive buffer). The watch
// uses the socket's own registration with the thread pool's io_context (no descriptor
// of its own, so a relayed connection costs only its two sockets) and offers two
// one-shot waits:
//
// - `WaitReadable`: completes once the socket has a byte to read, has reached the end of
//   its stream, or has failed. It peeks at one byte, so the answer is exact and a
//   readiness that came before the wait was started is never missed: (no error, 1) is
//   data, `asio::error::eof` the peer's orderly close, anything else its failure.
// - `WaitWritable`: completes on the next sign that the send buffer has room. Such signs
//   are edges: a caller that found the socket full must arm the wait first and then look
//   again (`IsWritable`) before it parks. A caller that goes on without the wait takes it
//   back with `CancelWritable` (it completes with `operation_aborted`), so that it does not
//   stay queued in front of a later send on the socket.
//
// Only one wait of each kind is out at a time, and the owner starts no receive while a
// readable wait is out. Handlers run on pool threads. `Cancel` makes every pending
// operation on the socket complete with `operation_aborted` and refuses any later wait.
//
// Locks: the watch's lock serialises starting and cancelling its waits; it is taken
// before the socket's own locks and nothing else is called out while it is held.
#pragma once

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>

#include <mutex>

#include "async/SocketHandle.h"
#include "com/HResult.h"

class CSocketWatch {
public:
    CSocketWatch() = default;
    CSocketWatch(const CSocketWatch&) = delete;
    CSocketWatch& operator=(const CSocketWatch&) = delete;

    // Starts watching `socket` (a copy is kept) and puts it into non-blocking mode.
    HRESULT Open(const CSocketHandle& socket);
    // The socket's descriptor, or -1 before Open.
    int Descriptor() const { return m_fd; }

    template <class Handler>
    HRESULT WaitReadable(Handler&& handler);
    template <class Handler>
    HRESULT WaitWritable(Handler&& handler);
    // Takes back a pending writable wait; nothing happens when none is pending.
    void CancelWritable();
    // True when a send would not block now.
    bool IsWritable() const;

    void Cancel();

private:
    // Guards m_bCancelled and m_writeCancel. Taken before the socket's locks.
    std::mutex m_lock;
    CSocketHandle m_socket;
    int m_fd = -1;
    bool m_bCancelled = false;
    asio::cancellation_signal m_writeCancel;  // bound to the pending writable wait
    unsigned char m_peek = 0;  // target of the peeking receive; its content is not used
};

template <class Handler>
HRESULT CSocketWatch::WaitReadable(Handler&& handler) {
    std::lock_guard guard(m_lock);
    if (m_bCancelled || CheckExpression(m_fd < 0))
        return HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED);
    return m_socket.AsyncPeek(&m_peek, 1, std::forward<Handler>(handler));
}

template <class Handler>
HRESULT CSocketWatch::WaitWritable(Handler&& handler) {
    std::lock_guard guard(m_lock);
    if (m_bCancelled || CheckExpression(m_fd < 0))
        return HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED);
    return m_socket.AsyncWait(
        asio::socket_base::wait_write,
        asio::bind_cancellation_slot(m_writeCancel.slot(), std::forward<Handler>(handler)));
}
