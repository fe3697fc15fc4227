// CAsyncWrite: a self-deleting writer that sends a buffer completely and then tells a
// handler of its owner.
//
// The owner creates the writer on the heap with a socket copy and the buffer whose content
// (head to tail) is to be sent, and calls `write<&Owner::OnWritten>(owner)`, or
// `write_and_forget` when nobody needs to hear the outcome. From a successful start on the
// writer owns itself. Each send is started by a queued call on a pool thread; its
// completion is queued as a call that may run long; a partial send continues with the rest
// until everything is sent or a send fails, and only then the handler runs:
//
//     bool Owner::OnWritten(DWORD error, CSocketHandle socket, CBuffer* buffer);
//
// error is 0 when every byte was sent, else a Winsock number (or the Win32 error of a
// continuation that could not be started); the buffer's content is what was not sent.
// Answering true keeps the buffer (the handler frees it or hands it on); otherwise the
// writer frees it. Then the writer deletes itself.
#pragma once

#include "async/Buffer.h"
#include "async/Delegate.h"
#include "async/InstanceCount.h"
#include "async/SocketHandle.h"
#include "com/CriticalSection.h"
#include "com/DiagnosticLog.h"
#include "com/HResult.h"

class CAsyncWrite {
public:
    using Handler = CDelegate_3<bool, DWORD, CSocketHandle, CBuffer*>;

    // Takes a copy of the socket and the buffer to send (null sends nothing).
    CAsyncWrite(const CSocketHandle& socket, CBuffer* buffer);
    ~CAsyncWrite();
    CAsyncWrite(const CAsyncWrite&) = delete;
    CAsyncWrite& operator=(const CAsyncWrite&) = delete;

    // Binds the owner's handler and starts writing. On success the writer owns itself; on
    // failure the owner still owns the writer and the buffer, and deletes the writer.
    template <auto Member, class T>
    HRESULT write(T* owner) {
        if (CheckExpression(!owner)) {
            m_buffer = nullptr;
            return E_POINTER;
        }
        m_handler = Handler::Bind<Member>(owner);
        return start();
    }

    // Starts writing with nobody to tell. When the write has ended (sent or failed), the
    // sending direction is shut down if `shutdown` is set, and the buffer is freed if
    // `forget` is set; without `forget` the caller keeps the buffer and must keep it alive
    // until the writer has gone (Instances()). Failure to start: as for `write`.
    HRESULT write_and_forget(bool forget = true, bool shutdown = false);

    // Writers alive now (started or not).
    static const CInstanceCount& Instances();

private:
    HRESULT start();
    HRESULT write_impl();
    void write_impl_io();
    void WriteComplete(DWORD error, DWORD bytes);
    void OnWriteComplete(DWORD error, DWORD bytes);
    bool ForgetBuffer(DWORD error, CSocketHandle socket, CBuffer* buffer);
    bool KeepBuffer(DWORD error, CSocketHandle socket, CBuffer* buffer);
    void EndWrite(DWORD error);

    Handler m_handler;
    // Guards m_buffer and m_pending between the thread that starts a send and the one that
    // completes it. Innermost but for the socket's locks, which it is taken before.
    CComAutoCriticalSection m_lock;
    CSocketHandle m_socket;
    CBuffer* m_buffer;        // the bytes still to send; owned unless the handler keeps it
    bool m_pending = false;   // a send is in flight
    bool m_shutdown = false;  // write_and_forget: shut the sending direction down at the end
};
