// CAsyncRead: a self-deleting reader that keeps receiving from a socket into a buffer and
// hands each arrival to a handler of its owner.
//
// The owner creates the reader on the heap with a socket copy and, optionally, a buffer
// that already holds bytes (they are delivered first, without a receive), and calls
// `read<&Owner::OnRead>(owner)`. From a successful `read` on the reader owns itself. Each
// cycle runs in order: the receive is started by a queued call on a pool thread, its
// completion is queued again as a call, and the handler runs there:
//
//     bool Owner::OnRead(DWORD error, CSocketHandle socket, CBuffer* buffer,
//                        bool endOfStream, bool& keepBuffer);
//
// `buffer` holds everything received since the last time the handler took a buffer (the
// reader never consumes). Answering true reads again into the same buffer; answering false
// stops, and the reader deletes itself. Setting keepBuffer hands the buffer to the handler
// (it frees it or hands it on); a reader that reads again then starts a fresh buffer.
// When the peer has closed, end of stream is true with error 0; a failure carries a
// Winsock number. Handlers answer false on an error or at the end of the stream.
//
// When a further read cannot be started (the pool is stopping, no memory), the handler is
// called once more with that error, whatever it answers the reader stops.
#pragma once

#include "async/Buffer.h"
#include "async/Delegate.h"
#include "async/InstanceCount.h"
#include "async/SocketHandle.h"
#include "com/DiagnosticLog.h"
#include "com/HResult.h"

class CAsyncRead {
public:
    using Handler = CDelegate_5<bool, DWORD, CSocketHandle, CBuffer*, bool, bool&>;

    // Takes a copy of the socket and the buffer (null: the reader makes its own). Each
    // receive makes room for the socket's receive buffer size (1024 bytes if that cannot
    // be read).
    CAsyncRead(const CSocketHandle& socket, CBuffer* buffer = nullptr);
    ~CAsyncRead();
    CAsyncRead(const CAsyncRead&) = delete;
    CAsyncRead& operator=(const CAsyncRead&) = delete;

    // Binds the owner's handler and starts reading. On success the reader owns itself; on
    // failure the owner still owns the reader and the buffer it gave, and deletes the reader.
    template <auto Member, class T>
    HRESULT read(T* owner) {
        if (CheckExpression(!owner)) {
            m_buffer = nullptr;
            return E_POINTER;
        }
        m_handler = Handler::Bind<Member>(owner);
        // A failed start has freed a buffer it made and dropped the one it was given.
        return read_impl();
    }

    // Before `read`: run the handler on the pool thread where a receive completes (and,
    // for content handed over at construction, inside `read` itself) instead of moving
    // it to another pool thread. Meant for short handlers that only parse and decide (a
    // hand-off record): the hops saved are most of their cost. A handler that may block,
    // or that takes locks its caller of `read` holds, must not use it.
    void SetInlineCompletion(bool inlineCompletion) { m_inline = inlineCompletion; }

    // Readers alive now (started or not).
    static const CInstanceCount& Instances();

private:
    HRESULT read_impl();
    void read_impl_io();
    void ReadComplete(DWORD error, DWORD bytes);
    void OnReadComplete(DWORD error, DWORD bytes);
    bool CallHandler(DWORD error, bool endOfStream);

    Handler m_handler;
    CSocketHandle m_socket;
    CBuffer* m_buffer;  // owned unless the handler takes it over
    bool m_first_read;  // the buffer came with content that has not been delivered yet
    DWORD m_max_msg_size = 1024;
    bool m_pending = false;  // a receive is in flight
    bool m_inline = false;   // completions run where they happen (SetInlineCompletion)
};
